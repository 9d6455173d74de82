#include "FileMoves.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include "NativePath.h"
#include "WinFileSystem.h"

#include <windows.h>

namespace FileMoves {

namespace {

// Absolute, with "\\?\" before a path of MAX_PATH or more: Win32 cuts such a
// path off unless the system allows long paths.
std::wstring native(const QString &path)
{
    return path.isEmpty() ? std::wstring() : nativeLongPath(path);
}

Result outcome(const WinFileSystem::Status &status, QString *reason)
{
    if (status.ok())
        return Result::Done;
    if (reason)
        *reason = QString::fromStdWString(WinFileSystem::errorText(status.error));
    switch (status.error) {
    case 17: // ERROR_NOT_SAME_DEVICE
        return Result::CrossDevice;
    case 80: // ERROR_FILE_EXISTS
    case 183: // ERROR_ALREADY_EXISTS
        return Result::Exists;
    default:
        return Result::Failed;
    }
}

} // namespace

Result moveNew(const QString &from, const QString &to, QString *reason)
{
    return outcome(WinFileSystem::moveNew(native(from), native(to)), reason);
}

Result moveReplacing(const QString &from, const QString &to, QString *reason)
{
    return outcome(WinFileSystem::moveReplacing(native(from), native(to)), reason);
}

Result replaceKeeping(
    const QString &target, const QString &replacement, const QString &backup, QString *reason)
{
    return outcome(
        WinFileSystem::replace(native(target), native(replacement), native(backup)), reason);
}

bool syncFileSystem(const QString &path)
{
    // Moves are written through as they happen (MOVEFILE_WRITE_THROUGH), the
    // data of the files moved is not: the volume is flushed at once where the
    // installer may (an administrator), otherwise every file below path.
    if (WinFileSystem::flushVolume(native(path)).ok())
        return true;
    bool synced = true;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        if (!it.fileInfo().isSymLink() && !syncEntry(file))
            synced = false;
    }
    return synced;
}

bool keepAttributes(const QString &from, const QString &to, QString *reason)
{
    // ReplaceFile gives the replacement the replaced file's security
    // descriptor and attributes; not every implementation does (wine keeps
    // none), so the attributes a person or program sets are given here too.
    // Read-only is not: ReplaceFile refuses such a target anyway.
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE
        | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD old = GetFileAttributesW(native(from).c_str());
    const DWORD current = GetFileAttributesW(native(to).c_str());
    DWORD error = 0;
    if (old == INVALID_FILE_ATTRIBUTES || current == INVALID_FILE_ATTRIBUTES)
        error = GetLastError();
    else if ((current & kept) != (old & kept)
        && !SetFileAttributesW(native(to).c_str(), (current & ~kept) | (old & kept)))
        error = GetLastError();
    if (error == 0)
        return true;
    if (reason)
        *reason = QString::fromStdWString(WinFileSystem::errorText(error));
    return false;
}

bool copyLink(const QString &from, const QString &to)
{
    return QFile::link(QFileInfo(from).symLinkTarget(), to);
}

bool syncEntry(const QString &path)
{
    const std::wstring name = native(path);
    if (WinFileSystem::flushFile(name).ok())
        return true;
    // A folder's entries are written through with the moves. A read-only
    // file can't be opened for writing, which the flush needs: its attribute
    // is lifted for the flush and put back.
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return true;
    if (!(attributes & FILE_ATTRIBUTE_READONLY)
        || !SetFileAttributesW(name.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
        return false;
    const bool flushed = WinFileSystem::flushFile(name).ok();
    return SetFileAttributesW(name.c_str(), attributes) && flushed;
}

Result moveNewIn(std::intptr_t, const QString &, std::intptr_t, const QString &,
    const QString &from, const QString &to, QString *reason)
{
    return moveNew(from, to, reason);
}

bool syncRunsAlongsideMoves()
{
    return false;
}

} // namespace FileMoves
