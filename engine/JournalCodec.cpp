#include "JournalCodec.h"

#include <QByteArray>

namespace JournalCodec {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

QString encode(const QString &text)
{
    static const char digits[] = "0123456789ABCDEF";
    const QByteArray bytes = text.toUtf8();
    QByteArray out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const uchar u = uchar(c);
        if (u == '%' || u < 0x20 || u >= 0x7f) {
            out += '%';
            out += digits[u >> 4];
            out += digits[u & 0x0f];
        } else {
            out += c;
        }
    }
    return QString::fromLatin1(out);
}

bool decode(const QString &field, QString *text)
{
    const QByteArray bytes = field.toUtf8();
    QByteArray out;
    out.reserve(bytes.size());
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes.at(i) != '%') {
            out += bytes.at(i);
            continue;
        }
        const int high = i + 2 < bytes.size() ? hexValue(bytes.at(i + 1)) : -1;
        const int low = high >= 0 ? hexValue(bytes.at(i + 2)) : -1;
        if (low < 0)
            return false;
        out += char(high << 4 | low);
        i += 2;
    }
    *text = QString::fromUtf8(out);
    // Bytes that are no UTF-8 would come back as replacement characters.
    return text->toUtf8() == out;
}

} // namespace JournalCodec
