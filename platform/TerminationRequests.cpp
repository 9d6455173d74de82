#include "TerminationRequests.h"

#ifdef Q_OS_WIN
#include <atomic>

#include "WinConsoleControl.h"
#else
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN

namespace {

std::atomic<TerminationRequests *> current { nullptr };

// On a thread of the system's.
void onConsoleControl()
{
    if (TerminationRequests *requests = current.load())
        QMetaObject::invokeMethod(
            requests, [requests] { emit requests->received(); }, Qt::QueuedConnection);
}

} // namespace

TerminationRequests::TerminationRequests(QObject *parent)
    : QObject(parent)
{
    TerminationRequests *none = nullptr;
    if (!current.compare_exchange_strong(none, this))
        return;
    active = WinConsoleControl::install(&onConsoleControl);
    if (!active)
        current = nullptr;
}

TerminationRequests::~TerminationRequests()
{
    if (!active)
        return;
    current = nullptr;
    WinConsoleControl::release();
}

#else

namespace {

const int caught[] = { SIGTERM, SIGINT, SIGHUP };
struct sigaction previous[3];
int pipeEnds[2] = { -1, -1 };
pid_t owner = 0;

// A byte into the pipe, read on the owner's thread. A forked child that has
// not yet started its program (ChildProcess) writes nothing.
void onSignal(int)
{
    const int saved = errno;
    if (::getpid() == owner) {
        const char byte = 1;
        if (::write(pipeEnds[1], &byte, 1) < 0) { } // full: a request is pending already
    }
    errno = saved;
}

} // namespace

TerminationRequests::TerminationRequests(QObject *parent)
    : QObject(parent)
{
    if (pipeEnds[0] >= 0 || ::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    owner = ::getpid();
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[64];
        while (::read(pipeEnds[0], bytes, sizeof(bytes)) > 0) { }
        emit received();
    });
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = onSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        ::sigaction(caught[i], &action, &previous[i]);
    active = true;
}

TerminationRequests::~TerminationRequests()
{
    if (!active)
        return;
    for (int i = 0; i < 3; ++i)
        ::sigaction(caught[i], &previous[i], nullptr);
    delete notifier;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

#endif
