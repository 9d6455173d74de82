#include "WinJob.h"

#include <windows.h>

namespace WinJob {

void *createKillOnClose()
{
    // No security attributes: the handle is not inheritable, so a child can't
    // keep the job (and itself) alive after the installer is gone.
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof(limits));
    // Neither JOB_OBJECT_LIMIT_BREAKAWAY_OK nor ..._SILENT_BREAKAWAY_OK: a
    // child started with CREATE_BREAKAWAY_FROM_JOB fails to start instead of
    // leaving the job.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        const DWORD error = GetLastError();
        CloseHandle(job);
        SetLastError(error);
        return nullptr;
    }
    return job;
}

bool assign(void *job, void *process)
{
    return AssignProcessToJobObject(job, process) != FALSE;
}

bool resumeThread(void *thread)
{
    return ResumeThread(thread) != static_cast<DWORD>(-1);
}

bool terminate(void *job, std::uint32_t exitCode)
{
    return TerminateJobObject(job, exitCode) != FALSE;
}

void close(void *job)
{
    if (job != nullptr)
        CloseHandle(job);
}

std::uint32_t suspendedFlag()
{
    return CREATE_SUSPENDED;
}

void *adoptSuspended(void *processInformation)
{
    const auto *info = static_cast<const PROCESS_INFORMATION *>(processInformation);
    void *job = createKillOnClose();
    if (job != nullptr && !assign(job, info->hProcess)) {
        close(job);
        job = nullptr;
    }
    resumeThread(info->hThread);
    return job;
}

} // namespace WinJob
