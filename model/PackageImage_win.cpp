#include "PackageImage.h"

#include <windows.h>

#include "NativePath.h"

// On Windows the package is opened sharing reading only: while it is loaded
// no one can write to it, cut it short or replace it, so the bytes checked
// stay the bytes applied.
struct PackageImage::Native
{
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE mapping = nullptr;
};

namespace {

QString lastError()
{
    return qt_error_string(int(GetLastError()));
}

} // namespace

PackageImage::PackageImage(const QString &path)
    : m_path(path)
{ }

PackageImage::~PackageImage()
{
    closeNative();
}

bool PackageImage::openNative(QString *reason)
{
    m_native.reset(new Native);
    m_native->file = CreateFileW(nativeLongPath(m_path).c_str(), GENERIC_READ, FILE_SHARE_READ,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_native->file == INVALID_HANDLE_VALUE) {
        *reason = GetLastError() == ERROR_SHARING_VIOLATION
            ? QStringLiteral("another program has the file open for writing")
            : lastError();
        return false;
    }
    LARGE_INTEGER size;
    if (GetFileType(m_native->file) != FILE_TYPE_DISK || !GetFileSizeEx(m_native->file, &size)) {
        *reason = QStringLiteral("not a regular file");
        return false;
    }
    m_size = size.QuadPart;
    if (m_size == 0)
        return true;
    m_native->mapping = CreateFileMappingW(m_native->file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void *view
        = m_native->mapping ? MapViewOfFile(m_native->mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (!view) {
        *reason = lastError();
        return false;
    }
    m_data = static_cast<const uchar *>(view);
    return true;
}

void PackageImage::closeNative()
{
    if (!m_native)
        return;
    if (m_data)
        UnmapViewOfFile(m_data);
    if (m_native->mapping)
        CloseHandle(m_native->mapping);
    if (m_native->file != INVALID_HANDLE_VALUE)
        CloseHandle(m_native->file);
    m_data = nullptr;
    m_native.reset();
}

bool PackageImage::read(qint64 offset, char *buffer, qint64 size, QString *reason) const
{
    while (size > 0) {
        OVERLAPPED at = {};
        at.Offset = DWORD(quint64(offset) & 0xffffffffu);
        at.OffsetHigh = DWORD(quint64(offset) >> 32);
        DWORD got = 0;
        const DWORD part = DWORD(qMin<qint64>(size, qint64(1) << 30));
        const bool read = ReadFile(m_native->file, buffer, part, &got, &at) != FALSE;
        if (!read || got == 0) {
            *reason = read || GetLastError() == ERROR_HANDLE_EOF
                ? QStringLiteral("the package file ends before byte %1").arg(offset + size)
                : lastError();
            return false;
        }
        buffer += got;
        offset += got;
        size -= got;
    }
    return true;
}

// The file can't change while it is held and a view is read-only: nothing
// to pin.
void PackageImage::pin(qint64, qint64) { }

void PackageImage::seal() { }

bool PackageImage::changed() const
{
    LARGE_INTEGER size;
    return !m_native || !GetFileSizeEx(m_native->file, &size) || size.QuadPart != m_size;
}
