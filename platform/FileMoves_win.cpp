#include "FileMoves.h"

#include <QDir>
#include <QFileInfo>

#include "WinFileSystem.h"

namespace FileMoves {

namespace {

std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
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
    // Every move is written through as it happens (MOVEFILE_WRITE_THROUGH).
    Q_UNUSED(path)
    return true;
}

bool syncEntry(const QString &path)
{
    return WinFileSystem::flushFile(native(path)).ok() || QFileInfo(path).isDir();
}

} // namespace FileMoves
