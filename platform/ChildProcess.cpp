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
#include <sys/syscall.h>
#include <sys/wait.h>
#endif

#ifndef Q_OS_WIN
namespace {

// Closes every descriptor from lowest on, in a forked process (async-signal-safe).
void closeFrom(int lowest)
{
#if defined(Q_OS_LINUX) && defined(SYS_close_range)
    if (::syscall(SYS_close_range, unsigned(lowest), ~0U, 0U) == 0)
        return;
#endif
    struct rlimit files;
    const int limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
        ? int(files.rlim_cur)
        : 65536;
    for (int fd = lowest; fd < limit; ++fd)
        ::close(fd);
}

// Ends a child with everything it started. On Linux the child is the reaper
// of its script (see below), which ends every descendant when asked with
// SIGTERM; elsewhere the child leads a process group, which is killed.
void endTree(pid_t child)
{
#ifdef Q_OS_LINUX
    ::kill(child, SIGTERM);
#else
    ::kill(-child, SIGKILL);
#endif
}

#ifdef Q_OS_LINUX
// The reaper: the forked child does not run the program itself but forks it
// and stays, as the child subreaper of everything the program starts. A
// process that leaves the group or the session (setsid, a double fork) is
// still its descendant and comes back to it when its parent ends. When the
// program has ended, or SIGTERM asks it to stop (the installer's killTree,
// its watcher, or the installer's death), it kills every descendant and ends
// as the program did. Only async-signal-safe calls run in it.
namespace Reaper {

char *appendNumber(char *to, long value)
{
    char digits[24];
    int count = 0;
    do {
        digits[count++] = char('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0)
        *to++ = digits[--count];
    return to;
}

// Kills every child listed by the kernel; false when the list can't be read.
bool killChildren()
{
    char path[64] = "/proc/self/task/";
    char *end = appendNumber(path + std::strlen(path), long(::getpid()));
    std::memcpy(end, "/children", sizeof("/children"));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    static char list[65536];
    ssize_t size = 0;
    for (ssize_t got; size < ssize_t(sizeof(list))
         && ((got = ::read(fd, list + size, sizeof(list) - size_t(size))) > 0
             || (got < 0 && errno == EINTR));) {
        if (got > 0)
            size += got;
    }
    ::close(fd);
    pid_t pid = 0;
    for (ssize_t i = 0; i <= size; ++i) {
        if (i < size && list[i] >= '0' && list[i] <= '9') {
            pid = pid * 10 + (list[i] - '0');
        } else if (pid > 0) {
            ::kill(pid, SIGKILL); // what the list cut off is found in the next round
            pid = 0;
        }
    }
    return true;
}

[[noreturn]] void run(pid_t program, const sigset_t &waitFor)
{
    closeFrom(0); // pipes, the lock: nothing of the installer's is kept open here
    int status = 0;
    bool ended = false;
    bool stopped = false;
    while (!ended && !stopped) {
        if (::sigwaitinfo(&waitFor, nullptr) == SIGTERM)
            stopped = true;
        int code;
        for (pid_t pid; (pid = ::waitpid(-1, &code, WNOHANG)) > 0;) {
            if (pid == program) {
                status = code;
                ended = true;
            }
        }
    }
    // What stayed in the program's group at once, then every descendant,
    // one generation at a time as each comes back here.
    ::kill(-program, SIGKILL);
    for (;;) {
        const bool listed = killChildren();
        int code;
        const pid_t pid = ::waitpid(-1, &code, listed ? 0 : WNOHANG);
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid <= 0)
            break;
        if (pid == program && !ended) {
            status = code;
            ended = true;
        }
    }
    if (!stopped && ended && WIFEXITED(status))
        ::_exit(WEXITSTATUS(status));
    // Stopped, or the program died of a signal: the installer sees a crash.
    const int signal = !stopped && ended && WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
    struct rlimit noCore = { 0, 0 };
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::signal(signal, SIG_DFL);
    sigset_t unblock;
    ::sigemptyset(&unblock);
    ::sigaddset(&unblock, signal);
    ::sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    ::raise(signal);
    ::kill(::getpid(), SIGKILL);
    ::_exit(127);
}

} // namespace Reaper
#endif

// A small process, forked once, that outlives nothing: it learns the running
// children through a pipe and, when the pipe closes because the installer has
// ended (normally, killed or crashed), ends every child still listed with
// what it started (endTree). Only async-signal-safe calls run in it.
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
        if (readEnd != 3) {
            ::dup2(readEnd, 3);
            readEnd = 3;
        }
        closeFrom(4);
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
            endTree(groups[i]);
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
    // The process information (handles of the suspended process and its
    // thread) is only reachable through the deprecated pid().
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    job = WinJob::adoptSuspended(pid());
    QT_WARNING_POP
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
#ifndef Q_OS_LINUX
        ::kill(pid_t(-group), SIGKILL); // on Linux the reaper has ended everything
#endif
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
        endTree(pid_t(group));
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
    // The child becomes the reaper of its program (Reaper::run); SIGTERM and
    // the ends of children wait until it looks at them. The installer's death
    // asks it to stop as well.
    sigset_t waitFor;
    sigset_t previous;
    ::sigemptyset(&waitFor);
    ::sigaddset(&waitFor, SIGTERM);
    ::sigaddset(&waitFor, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &waitFor, &previous);
    ::signal(SIGCHLD, SIG_DFL);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != pid_t(parentPid))
        ::_exit(127); // the installer died before the line above took effect
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t reaper = ::getpid();
    const pid_t program = ::fork();
    if (program > 0)
        Reaper::run(program, waitFor);
    if (program == 0) {
        // The program's process: a group of its own, the signal mask and
        // dispositions it would have had, and it dies with its reaper.
        ::setpgid(0, 0);
        for (const int signal : { SIGTERM, SIGINT, SIGHUP })
            ::signal(signal, SIG_DFL);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != reaper)
            ::_exit(127);
    } else {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // no second process: the program runs here
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
#endif
}
