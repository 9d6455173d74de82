#include "ConsoleText.h"

namespace ConsoleText {

bool write(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
        && std::fflush(stream) == 0;
}

QString fromPipe(const QByteArray &bytes)
{
    return QString::fromLocal8Bit(bytes);
}

} // namespace ConsoleText
