#include "WinConsoleControl.h"

#include <windows.h>

namespace {

void (*volatile requested)() = nullptr;
// Set by release(); made once and never closed, so that a handler still
// waiting on it never waits on a closed handle.
HANDLE released = nullptr;

BOOL WINAPI onControl(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (void (*request)() = requested)
            request();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        if (void (*request)() = requested) {
            request();
            WaitForSingleObject(released, INFINITE); // the process ends when this returns
        }
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

namespace WinConsoleControl {

bool install(void (*request)())
{
    if (released == nullptr)
        released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (released == nullptr || !ResetEvent(released))
        return false;
    requested = request;
    if (SetConsoleCtrlHandler(onControl, TRUE))
        return true;
    const DWORD error = GetLastError();
    requested = nullptr;
    SetLastError(error);
    return false;
}

void release()
{
    SetConsoleCtrlHandler(onControl, FALSE);
    requested = nullptr;
    if (released != nullptr)
        SetEvent(released);
}

} // namespace WinConsoleControl
