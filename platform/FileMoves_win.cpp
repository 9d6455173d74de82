#include "FileMoves.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
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
        if (!it.fileInfo().isSymLink() && !WinFileSystem::flushFile(native(file)).ok())
            synced = false;
    }
    return synced;
}

bool keepAttributes(const QString &from, const QString &to, QString *reason)
{
    // ReplaceFile gives the replacement the replaced file's security
    // descriptor and attributes.
    Q_UNUSED(from)
    Q_UNUSED(to)
    Q_UNUSED(reason)
    return true;
}

bool copyLink(const QString &from, const QString &to)
{
    return QFile::link(QFileInfo(from).symLinkTarget(), to);
}

bool syncEntry(const QString &path)
{
    return WinFileSystem::flushFile(native(path)).ok() || QFileInfo(path).isDir();
}

bool syncRunsAlongsideMoves()
{
    return false;
}

} // namespace FileMoves
