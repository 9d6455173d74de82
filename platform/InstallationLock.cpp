#include "InstallationLock.h"

#include <QCoreApplication>
#include <QFile>

#ifdef Q_OS_WIN
#include "NativePath.h"
#include "WinFileSystem.h"
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifndef Q_OS_WIN
namespace {

// The system lets go of a lock when its holder's last handle is closed, which
// for a process that was killed may come a moment after it is gone: a lock
// held still is given a short while before it counts as another's.
bool lockBriefly(int fd)
{
    for (int attempt = 0;; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK || attempt == 20)
            return false;
        ::usleep(100 * 1000);
    }
}

} // namespace
#endif

InstallationLock::~InstallationLock()
{
    release();
}

#ifdef Q_OS_WIN

bool InstallationLock::isHeldElsewhere(const QString &lockFile)
{
    // The file lives only as long as its holder's handle (deleted on close):
    // without one, nothing is created to ask.
    if (!QFile::exists(lockFile))
        return false;
    InstallationLock probe;
    return probe.take(lockFile) == Result::Busy;
}

InstallationLock::Result InstallationLock::take(const QString &lockFile)
{
    release();
    WinFileSystem::Status status;
    handle = WinFileSystem::lockFile(nativeLongPath(lockFile), &status); // \\?\ when long
    held = handle != nullptr;
    if (held)
        return Result::Taken;
    error = QString::fromStdWString(WinFileSystem::errorText(status.error));
    return status.error == 32 ? Result::Busy : Result::Failed; // ERROR_SHARING_VIOLATION
}

void InstallationLock::release()
{
    WinFileSystem::unlockFile(handle);
    handle = nullptr;
    held = false;
}

#else

bool InstallationLock::isHeldElsewhere(const QString &lockFile)
{
    const int fd = ::open(QFile::encodeName(lockFile).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false; // a holder always has its file
    // Not waited for: a holder now is an upgrade running now.
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd); // lets go of the probe's own lock, if it got one; the file stays
    return held;
}

InstallationLock::Result InstallationLock::take(const QString &lockFile)
{
    release();
    const QByteArray name = QFile::encodeName(lockFile);
    // The holder removes the file before it lets go, so that no lock file is
    // left behind; a lock taken on a file that was removed meanwhile is no
    // lock, and the file is opened again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Close-on-exec: a script started meanwhile must not keep the lock alive.
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = qt_error_string(errno);
            return Result::Failed;
        }
        if (!lockBriefly(fd)) {
            const int reason = errno;
            error = qt_error_string(reason);
            ::close(fd);
            fd = -1;
            return reason == EWOULDBLOCK ? Result::Busy : Result::Failed;
        }
        struct stat held;
        struct stat named;
        if (::fstat(fd, &held) == 0 && ::stat(name.constData(), &named) == 0
            && held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            path = name;
            this->held = true;
            return Result::Taken;
        }
        ::close(fd);
        fd = -1;
    }
    error = QCoreApplication::translate("InstallationLock", "锁文件不断被替换");
    return Result::Failed;
}

void InstallationLock::release()
{
    if (fd >= 0) {
        if (held)
            ::unlink(path.constData());
        ::close(fd);
    }
    fd = -1;
    held = false;
}

#endif
