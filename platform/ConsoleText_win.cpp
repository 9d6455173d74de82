#include "ConsoleText.h"

#include <io.h>
#include <windows.h>

namespace ConsoleText {

bool write(std::FILE *stream, const QString &text)
{
    if (std::fflush(stream) != 0)
        return false;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        // A console window: its own Unicode call, in pieces it takes at once.
        const auto *chars = reinterpret_cast<const wchar_t *>(text.utf16());
        DWORD left = DWORD(text.size());
        while (left > 0) {
            DWORD written = 0;
            if (!WriteConsoleW(handle, chars, qMin<DWORD>(left, 8192), &written, nullptr)
                || written == 0)
                return false;
            chars += written;
            left -= written;
        }
        return true;
    }
    // A pipe or a file: UTF-8, with the C runtime's line ends (CR LF).
    const QByteArray bytes = text.toUtf8();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
        && std::fflush(stream) == 0;
}

QString fromPipe(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes);
}

} // namespace ConsoleText
