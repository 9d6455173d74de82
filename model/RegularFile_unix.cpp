#include "RegularFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RegularFile {

namespace {

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("of an unknown type");
}

} // namespace

Refusal openForReading(const QString &path, QFile *file, QString *reason)
{
    // O_NONBLOCK: opening a pipe without a writer returns at once.
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return Refusal::CannotOpen;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        *reason = qt_error_string(errno);
        ::close(fd);
        return Refusal::CannotOpen;
    }
    if (!S_ISREG(status.st_mode)) {
        *reason = QStringLiteral("not a regular file: ") + kindOf(status.st_mode);
        ::close(fd);
        return Refusal::NotRegular;
    }
    // A regular file: plain reads from here on.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    file->setFileName(path);
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *reason = file->errorString();
        ::close(fd);
        return Refusal::CannotOpen;
    }
    return Refusal::None;
}

bool isSpecial(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 && !S_ISREG(status.st_mode)
        && !S_ISDIR(status.st_mode);
}

Creation createForWriting(
    const QString &path, QIODevice::OpenMode mode, QFile *file, QString *reason)
{
    // O_EXCL fails on any name that is there, a dangling link as well.
    const int fd = ::open(QFile::encodeName(path).constData(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        *reason = qt_error_string(errno);
        return errno == EEXIST ? Creation::Exists : Creation::Failed;
    }
    file->setFileName(path);
    if (!file->open(fd, mode | QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        *reason = file->errorString();
        ::close(fd);
        ::unlink(QFile::encodeName(path).constData());
        return Creation::Failed;
    }
    return Creation::Created;
}

} // namespace RegularFile
