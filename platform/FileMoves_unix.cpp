#include "FileMoves.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileMoves {

namespace {

QByteArray name(const QString &path)
{
    return QFile::encodeName(path);
}

Result failure(int error, QString *reason)
{
    if (reason)
        *reason = qt_error_string(error);
    if (error == EXDEV)
        return Result::CrossDevice;
    return error == EEXIST || error == ENOTEMPTY ? Result::Exists : Result::Failed;
}

bool present(const QByteArray &path)
{
    struct stat info;
    return ::lstat(path.constData(), &info) == 0;
}

} // namespace

Result moveNew(const QString &from, const QString &to, QString *reason)
{
    const QByteArray source = name(from);
    const QByteArray target = name(to);
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE)
        == 0)
        return Result::Done;
    if (errno != EINVAL && errno != ENOSYS)
        return failure(errno, reason);
#endif
    // Without the flag: a second name first, which refuses an existing one,
    // then the old name goes. Folders can't be linked; for them the check and
    // the rename are two steps, run under the installation's lock.
    struct stat info;
    if (::lstat(source.constData(), &info) != 0)
        return failure(errno, reason);
    if (!S_ISDIR(info.st_mode)) {
        if (::link(source.constData(), target.constData()) != 0)
            return failure(errno, reason);
        ::unlink(source.constData());
        return Result::Done;
    }
    if (present(target))
        return failure(EEXIST, reason);
    return ::rename(source.constData(), target.constData()) == 0 ? Result::Done
                                                                 : failure(errno, reason);
}

Result moveNewIn(std::intptr_t fromFolder, const QString &fromName, std::intptr_t toFolder,
    const QString &toName, const QString &from, const QString &to, QString *reason)
{
#ifdef RENAME_NOREPLACE
    if (::renameat2(int(fromFolder), name(fromName).constData(), int(toFolder),
            name(toName).constData(), RENAME_NOREPLACE)
        == 0)
        return Result::Done;
    if (errno != EINVAL && errno != ENOSYS)
        return failure(errno, reason);
#else
    Q_UNUSED(fromFolder)
    Q_UNUSED(fromName)
    Q_UNUSED(toFolder)
    Q_UNUSED(toName)
#endif
    return moveNew(from, to, reason);
}

Result moveReplacing(const QString &from, const QString &to, QString *reason)
{
    return ::rename(name(from).constData(), name(to).constData()) == 0 ? Result::Done
                                                                       : failure(errno, reason);
}

Result replaceKeeping(
    const QString &target, const QString &replacement, const QString &backup, QString *reason)
{
    const QByteArray installed = name(target);
    if (::link(installed.constData(), name(backup).constData()) != 0)
        return failure(errno, reason);
    return moveReplacing(replacement, target, reason);
}

bool keepAttributes(const QString &from, const QString &to, QString *reason)
{
    // Only a regular file hands on its mode: a link's own mode (0777) and
    // owner say nothing of what the file should be, and a link is never
    // followed to a file elsewhere.
    struct stat installed;
    if (::lstat(name(from).constData(), &installed) != 0) {
        failure(errno, reason);
        return false;
    }
    if (!S_ISREG(installed.st_mode))
        return true;
    // The replacement is changed through its own descriptor, never a link.
    const int fd = ::open(name(to).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        failure(errno, reason);
        return false;
    }
    // Owner first: a change of owner clears set-user-ID and set-group-ID bits,
    // which the mode then puts back. Only root may give a file away; anyone
    // else keeps the replacement their own.
    const bool kept = (::fchown(fd, installed.st_uid, installed.st_gid) == 0 || errno == EPERM)
        && ::fchmod(fd, installed.st_mode & 07777) == 0;
    if (!kept)
        failure(errno, reason);
    ::close(fd);
    return kept;
}

bool copyLink(const QString &from, const QString &to)
{
    QByteArray buffer(4096, '\0');
    const ssize_t length = ::readlink(name(from).constData(), buffer.data(), size_t(buffer.size()));
    if (length <= 0 || length >= buffer.size())
        return false;
    buffer.truncate(int(length));
    return ::symlink(buffer.constData(), name(to).constData()) == 0;
}

bool syncFileSystem(const QString &path)
{
    const int fd = ::open(name(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
#ifdef Q_OS_LINUX
    const bool synced = ::syncfs(fd) == 0;
#else
    ::sync();
    const bool synced = true;
#endif
    ::close(fd);
    return synced;
}

bool syncEntry(const QString &path)
{
    const int fd = ::open(name(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool syncRunsAlongsideMoves()
{
    return true;
}

} // namespace FileMoves
