#pragma once

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/types.h>
#endif

// Ends a process at once, as kill -9 (TerminateProcess on Windows) would.
inline void killHard(qint64 pid)
{
#ifdef Q_OS_WIN
    if (const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid))) {
        TerminateProcess(process, 9);
        CloseHandle(process);
    }
#else
    ::kill(pid_t(pid), SIGKILL);
#endif
}
