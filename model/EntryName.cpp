#include "EntryName.h"

#include <QSet>

namespace EntryName {

namespace {

QString hex(ushort unit)
{
    return QString::number(unit, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

Problem found(Problem problem, const QString &text, QString *reason)
{
    if (reason)
        *reason = text;
    return problem;
}

// Device names are reserved with any extension: "con.txt" opens the console.
bool isReservedDevice(const QString &name)
{
    static const QSet<QString> reserved = [] {
        QSet<QString> set { QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
            QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$") };
        for (int n = 1; n <= 9; ++n) {
            set.insert(QStringLiteral("COM%1").arg(n));
            set.insert(QStringLiteral("LPT%1").arg(n));
        }
        // Windows also treats the superscript digits as port numbers.
        for (const QChar digit : { QChar(0x00b9), QChar(0x00b2), QChar(0x00b3) }) {
            set.insert(QStringLiteral("COM") + digit);
            set.insert(QStringLiteral("LPT") + digit);
        }
        return set;
    }();
    return reserved.contains(name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper());
}

} // namespace

Problem check(const QString &name, QString *reason)
{
    if (name.isEmpty())
        return found(Problem::Empty, QStringLiteral("an empty name"), reason);
    if (name.size() > maxLength)
        return found(Problem::TooLong,
            QStringLiteral("a name longer than %1 characters").arg(maxLength), reason);
    for (const QChar c : name) {
        const ushort u = c.unicode();
        if (c.category() == QChar::Other_Control)
            return found(Problem::ControlCharacter,
                QStringLiteral("a control character (U+%1) in the name").arg(hex(u)), reason);
        if ((u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069) || u == 0x200b
            || u == 0x200e || u == 0x200f || u == 0x061c)
            return found(Problem::DirectionCharacter,
                QStringLiteral("an invisible direction or spacing character (U+%1) in the name")
                    .arg(hex(u)),
                reason);
        if (u == 0xfffe || u == 0xffff)
            return found(Problem::NonCharacter,
                QStringLiteral("the non-character U+%1, which the resource list (XML) cannot "
                               "carry")
                    .arg(hex(u)),
                reason);
        if (QStringLiteral("<>:\"/\\|?*").contains(c))
            return found(Problem::ForbiddenCharacter,
                QStringLiteral("the character '%1', which Windows does not allow in names").arg(c),
                reason);
    }
    // Paired surrogates are fine; a lone one cannot be encoded.
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if ((c.isHighSurrogate() && !(i + 1 < name.size() && name.at(i + 1).isLowSurrogate()))
            || (c.isLowSurrogate() && !(i > 0 && name.at(i - 1).isHighSurrogate())))
            return found(
                Problem::LoneSurrogate, QStringLiteral("an invalid character in the name"), reason);
    }
    if (name.endsWith(QLatin1Char('.')))
        return found(Problem::TrailingDot,
            QStringLiteral("a name that ends with a dot, which Windows drops"), reason);
    if (name.endsWith(QLatin1Char(' ')))
        return found(Problem::TrailingBlank,
            QStringLiteral("a name that ends with a blank, which Windows drops"), reason);
    if (isReservedDevice(name))
        return found(
            Problem::ReservedDevice, QStringLiteral("a reserved Windows device name"), reason);
    if (reason)
        reason->clear();
    return Problem::None;
}

QString folded(const QString &name)
{
    return name.toCaseFolded();
}

} // namespace EntryName
