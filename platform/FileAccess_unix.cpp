#include "FileAccess.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace FileAccess {

namespace {

Verdict refused(const QString &path, const QString &reason)
{
    return { Verdict::Refused, path, reason, {} };
}

// Refused for the system call that failed with errno.
Verdict refusedByError(const QString &path)
{
    const int error = errno;
    Verdict verdict = refused(path, QString::fromLocal8Bit(std::strerror(error)));
    verdict.denied = error == EACCES || error == EPERM;
    return verdict;
}

// Why the entry's attribute flags forbid changing it (immutable) or removing
// entries from it (append-only); empty when they don't, or where the file
// system keeps no such flags. A link itself carries none.
QString flagReason(const QByteArray &path)
{
#ifdef Q_OS_LINUX
    const int fd
        = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return QString();
    int flags = 0;
    const bool known = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    if (known && (flags & FS_IMMUTABLE_FL))
        return QCoreApplication::translate("FileAccess", "已被设为不可更改(immutable)");
    if (known && (flags & FS_APPEND_FL))
        return QCoreApplication::translate("FileAccess", "已被设为只可追加(append-only)");
#else
    Q_UNUSED(path)
#endif
    return QString();
}

// A folder in which entries can be created, renamed and removed.
Verdict folderWritable(const QString &folder)
{
    const QByteArray native = QFile::encodeName(folder);
    const QString flags = flagReason(native);
    if (!flags.isEmpty())
        return refused(folder, flags);
    if (::access(native.constData(), W_OK | X_OK) != 0)
        return refusedByError(folder);
    return Verdict();
}

} // namespace

Verdict checkRemovable(const QString &path, bool replacing)
{
    // A rename needs only the folder's permission.
    const QFileInfo info(path);
    const Verdict folder = folderWritable(info.absolutePath());
    if (!folder.ok())
        return folder;
    const QByteArray native = QFile::encodeName(path);
    const QString flags = flagReason(native);
    if (!flags.isEmpty())
        return refused(path, flags);
    // Replacing keeps the old file as a second name (a hard link) for its
    // backup, which the system grants its owner and others only with read and
    // write access.
    struct stat status;
    if (replacing && ::lstat(native.constData(), &status) == 0 && S_ISREG(status.st_mode)
        && ::geteuid() != 0 && status.st_uid != ::geteuid()
        && ::faccessat(AT_FDCWD, native.constData(), R_OK | W_OK, AT_EACCESS) != 0)
        return refusedByError(path);
    // A folder moved into another one gets its ".." entry rewritten.
    if (info.isDir() && !info.isSymLink() && ::access(native.constData(), W_OK) != 0)
        return refusedByError(path);
    return Verdict();
}

Verdict checkReceiving(const QString &folder)
{
    return folderWritable(folder);
}

int lengthOverLimit(const QString &path, QString *name)
{
    const QByteArray native = QFile::encodeName(path);
    for (const QByteArray &part : native.split('/')) {
        if (part.size() > NAME_MAX) {
            if (name)
                *name = QFile::decodeName(part);
            return part.size();
        }
    }
    // PATH_MAX counts the terminating zero.
    return native.size() > PATH_MAX - 1 ? native.size() : 0;
}

} // namespace FileAccess
