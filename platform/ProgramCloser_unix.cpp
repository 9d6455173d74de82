#include "ProgramCloser.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include "ProcessList.h"

namespace {

QString text(const char *source)
{
    return QCoreApplication::translate("ProgramCloser", source);
}

ProgramCloser::Outcome fromErrno(int error)
{
    if (error == ESRCH)
        return { ProgramCloser::Result::Gone, text("进程已结束") };
    if (error == EPERM)
        return { ProgramCloser::Result::NotAllowed, text("没有权限") };
    return { ProgramCloser::Result::Failed, QString::fromLocal8Bit(std::strerror(error)) };
}

bool runs(qint64 pid, const QString &path)
{
    QString now;
    return ProcessList::imagePath(pid, &now) && now == path;
}

} // namespace

namespace ProgramCloser {

Outcome askToEnd(qint64 pid, const QString &path)
{
    if (pid <= 0 || path.isEmpty())
        return { Result::Failed, text("进程号或程序路径未知") };
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
    // A pidfd holds on to this process: checked, then signalled, the same one.
    const int pidfd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (pidfd >= 0) {
        int error = 0;
        if (!runs(pid, path))
            error = ESRCH;
        else if (::syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0) != 0)
            error = errno;
        ::close(pidfd);
        return error == 0 ? Outcome() : fromErrno(error);
    }
    if (errno != ENOSYS)
        return fromErrno(errno);
#endif
    // A kernel without pidfds: checked just before the signal.
    if (!runs(pid, path))
        return fromErrno(ESRCH);
    return ::kill(pid_t(pid), SIGTERM) == 0 ? Outcome() : fromErrno(errno);
}

} // namespace ProgramCloser
