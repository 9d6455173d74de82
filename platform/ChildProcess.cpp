#include "ChildProcess.h"

#include <limits>

#include <QTimer>

#ifdef Q_OS_WIN
#include "WinJob.h"
#else
#include <QMutex>
#include <QVector>

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

#ifndef Q_OS_WIN
namespace {

// A small process, forked once, that outlives nothing: it learns the process
// groups of the running children through a pipe and, when the pipe closes
// because the installer has ended (normally, killed or crashed), ends every
// group still listed. Only async-signal-safe calls run in it.
class Watcher
{
public:
    static Watcher &instance()
    {
        static Watcher watcher;
        return watcher;
    }
    void watch(qint64 group) { send('+', group); }
    void forget(qint64 group) { send('-', group); }

private:
    Watcher() { start(); }

    void start()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        const pid_t pid = ::fork();
        if (pid == 0) {
            run(fds[0]);
            ::_exit(0);
        }
        ::close(fds[0]);
        if (pid < 0)
            ::close(fds[1]);
        else
            writeEnd = fds[1];
    }

    [[noreturn]] static void run(int readEnd)
    {
        // Signals meant for the installer's terminal or session don't stop it.
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ::signal(SIGPIPE, SIG_IGN);
        ::setpgid(0, 0);
        // Nothing of the installer's stays open here (a lock, a file).
        struct rlimit files;
        const int limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
            ? int(files.rlim_cur)
            : 65536;
        for (int fd = 3; fd < limit; ++fd) {
            if (fd != readEnd)
                ::close(fd);
        }
        static pid_t groups[4096];
        int count = 0;
        char record[1 + sizeof(pid_t)];
        for (;;) {
            const ssize_t got = ::read(readEnd, record, sizeof(record));
            if (got < 0 && errno == EINTR)
                continue;
            if (got != ssize_t(sizeof(record)))
                break;
            pid_t group;
            std::memcpy(&group, record + 1, sizeof(group));
            if (record[0] == '+' && count < 4096) {
                groups[count++] = group;
            } else if (record[0] == '-') {
                for (int i = 0; i < count; ++i) {
                    if (groups[i] == group)
                        groups[i] = groups[--count];
                }
            }
        }
        for (int i = 0; i < count; ++i)
            ::kill(-groups[i], SIGKILL);
        ::_exit(0);
    }

    void send(char op, qint64 group)
    {
        QMutexLocker lock(&mutex);
        if (writeEnd < 0)
            return;
        char record[1 + sizeof(pid_t)];
        record[0] = op;
        const pid_t value = pid_t(group);
        std::memcpy(record + 1, &value, sizeof(value));
        while (::write(writeEnd, record, sizeof(record)) < 0 && errno == EINTR) { }
    }

    QMutex mutex;
    int writeEnd = -1;
};

} // namespace
#endif

ChildProcess::ChildProcess(QObject *parent)
    : QProcess(parent)
    , limit(new QTimer(this))
{
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, this, [this] {
        overTime = true;
        killTree();
    });
    connect(this, &QProcess::started, this, &ChildProcess::childStarted);
    connect(this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
        &ChildProcess::childEnded);
#ifdef Q_OS_WIN
    // Started suspended, so that it is in its job before it can start anything.
    setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *arguments) {
        arguments->flags |= WinJob::suspendedFlag();
    });
#else
    Watcher::instance();
    parentPid = ::getpid();
#endif
}

ChildProcess::~ChildProcess()
{
    if (state() != QProcess::NotRunning) {
        killTree();
        waitForFinished(5000);
    }
    childEnded();
}

void ChildProcess::setTimeLimit(int seconds)
{
    limitSeconds = qMax(0, seconds);
}

void ChildProcess::childStarted()
{
    overTime = false;
#ifdef Q_OS_WIN
    job = WinJob::adoptSuspended(pid());
#else
    group = processId();
    Watcher::instance().watch(group);
#endif
    // The timer counts milliseconds in an int: a limit beyond that (about 24
    // days) is none in practice, and is taken as none rather than wrapped.
    if (limitSeconds > 0 && limitSeconds <= std::numeric_limits<int>::max() / 1000)
        limit->start(limitSeconds * 1000);
}

void ChildProcess::childEnded()
{
    limit->stop();
#ifdef Q_OS_WIN
    WinJob::close(job); // ends whatever it left running
    job = nullptr;
#else
    if (group > 0) {
        ::kill(pid_t(-group), SIGKILL);
        Watcher::instance().forget(group);
    }
    group = 0;
#endif
}

void ChildProcess::killTree()
{
#ifdef Q_OS_WIN
    if (job == nullptr || !WinJob::terminate(job, 1))
        kill();
#else
    if (group > 0)
        ::kill(pid_t(-group), SIGKILL);
    else
        kill();
#endif
}

void ChildProcess::setupChildProcess()
{
#ifndef Q_OS_WIN
    // Here in the child, before its program starts: a process group of its
    // own, so that killTree reaches what it starts.
    ::setpgid(0, 0);
#endif
#ifdef Q_OS_LINUX
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != pid_t(parentPid))
        ::_exit(127); // the installer died before the line above took effect
#endif
}
