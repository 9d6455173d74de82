#include "RegularFile.h"

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "NativePath.h"

namespace RegularFile {

namespace {

Refusal refuse(HANDLE handle, const QString &why, QString *reason)
{
    *reason = QStringLiteral("not a regular file: ") + why;
    CloseHandle(handle);
    return Refusal::NotRegular;
}

} // namespace

Refusal openForReading(const QString &path, QFile *file, QString *reason)
{
    // FILE_FLAG_BACKUP_SEMANTICS lets a folder open, to be named as such.
    const HANDLE handle = CreateFileW(nativeLongPath(path).c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *reason = qt_error_string(int(GetLastError()));
        return Refusal::CannotOpen;
    }
    switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
        break;
    case FILE_TYPE_PIPE:
        return refuse(handle, QStringLiteral("a named pipe"), reason);
    case FILE_TYPE_CHAR:
        return refuse(handle, QStringLiteral("a device"), reason);
    default:
        return refuse(handle, QStringLiteral("of an unknown type"), reason);
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        *reason = qt_error_string(int(GetLastError()));
        CloseHandle(handle);
        return Refusal::CannotOpen;
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return refuse(handle, QStringLiteral("a folder"), reason);
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return refuse(handle, QStringLiteral("a reparse point"), reason);
    // The C runtime's descriptor owns the handle from here on.
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        *reason = qt_error_string(int(GetLastError()));
        CloseHandle(handle);
        return Refusal::CannotOpen;
    }
    file->setFileName(path);
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *reason = file->errorString();
        _close(fd);
        return Refusal::CannotOpen;
    }
    return Refusal::None;
}

bool isSpecial(const QString &path)
{
    // Opened with no access at all, only to ask what it is.
    const HANDLE handle = CreateFileW(nativeLongPath(path).c_str(), 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type != FILE_TYPE_DISK;
}

Creation createForWriting(
    const QString &path, QIODevice::OpenMode mode, QFile *file, QString *reason)
{
    // CREATE_NEW fails on any name that is there, a link as well;
    // FILE_SHARE_DELETE lets the open file be renamed.
    const HANDLE handle = CreateFileW(nativeLongPath(path).c_str(), GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *reason = qt_error_string(int(error));
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? Creation::Exists
                                                                           : Creation::Failed;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        *reason = qt_error_string(int(GetLastError()));
        CloseHandle(handle);
        DeleteFileW(nativeLongPath(path).c_str());
        return Creation::Failed;
    }
    file->setFileName(path);
    if (!file->open(fd, mode | QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        *reason = file->errorString();
        _close(fd);
        DeleteFileW(nativeLongPath(path).c_str());
        return Creation::Failed;
    }
    return Creation::Created;
}

} // namespace RegularFile
