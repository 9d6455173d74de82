#include "VisibleText.h"

#include <algorithm>

namespace VisibleText {

namespace {

bool needsEscape(QChar c)
{
    // Format characters (U+202E and the like) reorder or hide what a line
    // shows; they are written out as well.
    return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
        || c.unicode() == 0x2028 || c.unicode() == 0x2029;
}

} // namespace

QString escaped(const QString &text)
{
    if (std::none_of(text.cbegin(), text.cend(), needsEscape))
        return text;
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (!needsEscape(c)) {
            out += c;
            continue;
        }
        switch (c.unicode()) {
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            out += (c.unicode() < 0x100 ? QLatin1String("\\x") : QLatin1String("\\u"))
                + QString::number(c.unicode(), 16)
                      .toUpper()
                      .rightJustified(c.unicode() < 0x100 ? 2 : 4, QLatin1Char('0'));
        }
    }
    return out;
}

} // namespace VisibleText
