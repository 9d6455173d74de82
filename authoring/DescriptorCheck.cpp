#include "DescriptorCheck.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QXmlStreamReader>

#include "PackageDescriptor.h"
#include "RecordLayout.h"
#include "VersionText.h"

namespace DescriptorCheck {

namespace {

// Why the descriptor at path does not parse, as " (line L, column C: reason)";
// empty when the stream reader finds no fault (the nesting limit, say).
QString xmlErrorAt(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray bytes = file.readAll();
    QString reason;
    if (!RecordLayout::withinNestingLimit(bytes, &reason))
        return QStringLiteral(" (%1)").arg(reason);
    QXmlStreamReader xml(bytes);
    while (!xml.atEnd())
        xml.readNext();
    if (!xml.hasError())
        return QString();
    return QStringLiteral(" (line %1, column %2: %3)")
        .arg(xml.lineNumber())
        .arg(xml.columnNumber())
        .arg(xml.errorString());
}

bool isNumber(const QString &part)
{
    if (part.isEmpty() || part.size() > 18)
        return false;
    for (const QChar c : part) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// A range the installer's fit check can accept: numbers in the first three
// parts, both ends in one series, the lower end not above the upper.
QString versionProblem(const QString &rel, const RecordLayout::Entries &entries)
{
    const QString fromKey = QStringLiteral("software_version_from");
    const QString toKey = QStringLiteral("software_version_to");
    for (const QString &key : { fromKey, toKey }) {
        const QString value = entries.value(key);
        const QStringList parts = value.section(QLatin1Char('-'), 0, 0).split(QLatin1Char('.'));
        for (int i = 0; i < 3; ++i) {
            if (!isNumber(parts.at(i)))
                return QStringLiteral("%1: the version \"%2\" of \"%3\" has the part \"%4\", "
                                      "which is not a number; the first three parts must be "
                                      "numbers of at most 18 digits")
                    .arg(rel, value, key, parts.at(i));
        }
    }
    const QString from = entries.value(fromKey), to = entries.value(toKey);
    const VersionText lower = VersionText::parse(from), upper = VersionText::parse(to);
    if (!lower.sameSeries(upper))
        return QStringLiteral("%1: the versions \"%2\" and \"%3\" belong to different series "
                              "(their first two parts differ); no installed version could "
                              "ever fit the package")
            .arg(rel, from, to);
    if (lower.third > upper.third)
        return QStringLiteral("%1: \"%2\" (%3) is above \"%4\" (%5); no installed version "
                              "could ever fit the package")
            .arg(rel, fromKey, from, toKey, to);
    return QString();
}

} // namespace

QString problem(const QString &sourceDir)
{
    const QString rel = QStringLiteral("upgrade/upgrade_config.xml");
    const QFileInfo info(sourceDir + QLatin1Char('/') + rel);
    if (!info.exists() && !info.isSymLink())
        return QStringLiteral("the package tree has no %1").arg(rel);
    if (!info.isFile())
        return QStringLiteral("%1 is not a file").arg(rel);

    RecordLayout::Entries entries;
    switch (RecordLayout::readFile(info.filePath(), &entries)) {
    case RecordLayout::ReadResult::Ok:
        break;
    case RecordLayout::ReadResult::CannotOpen:
        return QStringLiteral("%1 cannot be read").arg(rel);
    case RecordLayout::ReadResult::ParseError:
        return QStringLiteral("%1 is not well-formed XML%2").arg(rel, xmlErrorAt(info.filePath()));
    case RecordLayout::ReadResult::WrongRoot:
        return QStringLiteral("%1 does not have the document element \"root\"").arg(rel);
    }

    const QStringList needed { QStringLiteral("software_product_id"),
        QStringLiteral("software_version_from"), QStringLiteral("software_version_to"),
        QStringLiteral("upgrade_type") };
    for (const QString &key : needed) {
        if (!entries.contains(key))
            return QStringLiteral("%1 lacks the key \"%2\" (entries are read from the "
                                  "first child element \"module\" of \"root\")")
                .arg(rel, key);
    }
    for (const QString &key : { QStringLiteral("software_product_id"),
             QStringLiteral("upgrade_type"), QStringLiteral("if_upgrade_db") }) {
        if (!entries.contains(key))
            continue;
        bool ok = false;
        entries.value(key).toInt(&ok, 10);
        if (!ok)
            return QStringLiteral("%1: the value \"%2\" of \"%3\" is not a base-10 integer")
                .arg(rel, entries.value(key), key);
    }
    PackageDescriptor descriptor;
    descriptor.apply(entries);
    if (descriptor.upgradeType != 0 && descriptor.upgradeType != 1)
        return QStringLiteral("%1: \"upgrade_type\" is %2; the installer accepts only 0 and 1")
            .arg(rel)
            .arg(descriptor.upgradeType);
    const QStringList versionKeys { QStringLiteral("software_version_from"),
        QStringLiteral("software_version_to") };
    for (const QString &key : versionKeys) {
        const QString value = entries.value(key);
        if (!VersionText::parse(value).valid)
            return QStringLiteral("%1: the version \"%2\" of \"%3\" does not have three "
                                  "dot-separated parts")
                .arg(rel, value, key);
    }
    return versionProblem(rel, entries);
}

} // namespace DescriptorCheck
