#include "ProgramCloser.h"

#include <QCoreApplication>

#include <windows.h>

#include <restartmanager.h>

#include "ProcessList.h"
#include "WinHandle.h"

namespace {

QString text(const char *source)
{
    return QCoreApplication::translate("ProgramCloser", source);
}

bool hasEnded(HANDLE process)
{
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// The Restart Manager's shutdown of this one process, named by its ID and
// start time so that no other process with the same ID is touched.
bool restartManagerShutdown(DWORD pid, HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return false;
    DWORD session = 0;
    wchar_t key[CCH_RM_SESSION_KEY + 1] = {};
    if (RmStartSession(&session, 0, key) != ERROR_SUCCESS)
        return false;
    RM_UNIQUE_PROCESS unique;
    unique.dwProcessId = pid;
    unique.ProcessStartTime = created;
    const bool shutDown
        = RmRegisterResources(session, 0, nullptr, 1, &unique, 0, nullptr) == ERROR_SUCCESS
        && RmShutdown(session, 0, nullptr) == ERROR_SUCCESS;
    RmEndSession(session);
    return shutDown;
}

struct WindowSearch
{
    DWORD pid = 0;
    int closed = 0;
};

BOOL CALLBACK postClose(HWND window, LPARAM parameter)
{
    auto *search = reinterpret_cast<WindowSearch *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    // Top-level windows of the process that no other window owns: its main
    // windows, as the task bar's "close" reaches them.
    if (owner == search->pid && GetWindow(window, GW_OWNER) == nullptr
        && PostMessageW(window, WM_CLOSE, 0, 0))
        ++search->closed;
    return TRUE;
}

int postCloseToWindows(DWORD pid)
{
    WindowSearch search;
    search.pid = pid;
    EnumWindows(postClose, reinterpret_cast<LPARAM>(&search));
    return search.closed;
}

} // namespace

namespace ProgramCloser {

Outcome askToEnd(qint64 pid, const QString &path)
{
    if (pid <= 0 || pid > 0xFFFFFFFFLL || path.isEmpty())
        return { Result::Failed, text("进程号或程序路径未知") };
    const DWORD id = static_cast<DWORD>(pid);
    // The open handle keeps the ID with this process while it is checked and asked.
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id);
    if (process == nullptr) {
        if (GetLastError() == ERROR_ACCESS_DENIED)
            return { Result::NotAllowed, text("没有权限") };
        return { Result::Gone, text("进程已结束") };
    }
    HandleCloser closer(process);
    QString now;
    if (hasEnded(process) || !ProcessList::imagePath(pid, &now)
        || now.compare(path, Qt::CaseInsensitive) != 0)
        return { Result::Gone, text("进程已结束") };
    const bool shutDown = restartManagerShutdown(id, process);
    if (hasEnded(process))
        return Outcome();
    // What the Restart Manager left running (or couldn't reach) gets WM_CLOSE.
    if (postCloseToWindows(id) > 0 || shutDown)
        return Outcome();
    return { Result::Failed, text("重启管理器无法关闭它,它也没有可关闭的窗口") };
}

} // namespace ProgramCloser
