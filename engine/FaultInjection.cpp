#include "FaultInjection.h"

#ifdef UPGRADE_FAULT_INJECTION
#include <QtGlobal>

#include <atomic>
#include <cstdlib>
#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#endif
#endif

namespace FaultInjection {

void changeMade()
{
#ifdef UPGRADE_FAULT_INJECTION
    static const int stopAfter = qEnvironmentVariableIntValue("UPGRADE_FAULT_AFTER");
    static std::atomic<int> made { 0 };
    if (stopAfter <= 0 || ++made != stopAfter)
        return;
#ifdef Q_OS_WIN
    TerminateProcess(GetCurrentProcess(), 9);
#else
    std::raise(SIGKILL);
#endif
    std::abort();
#endif
}

} // namespace FaultInjection
