#pragma once

#include <cstdint>

// Child processes that end with the installer: each child is started
// suspended, assigned to a job of its own and then resumed, so that everything
// it starts is in the job too. Closing the job, which Windows also does when
// the installer dies, ends the child and all its descendants; terminate() does
// so at once, e.g. when a time limit runs out. Handles are HANDLEs as void *.
namespace WinJob {

// A new job that kills its processes when its last handle closes; the handle
// is not inherited by children. Null on failure (GetLastError tells why).
void *createKillOnClose();

// Puts a (suspended) process into the job.
bool assign(void *job, void *process);

// Lets a thread started with CREATE_SUSPENDED run.
bool resumeThread(void *thread);

// Ends every process in the job with the exit code.
bool terminate(void *job, std::uint32_t exitCode);

// Closes the job handle (null is allowed), ending its processes.
void close(void *job);

// The creation flag that starts a process suspended (CREATE_SUSPENDED).
std::uint32_t suspendedFlag();

// For a process started suspended, given its PROCESS_INFORMATION: a new
// kill-on-close job with the process in it, and the process resumed. The
// process is resumed even when no job could be made (null is returned then).
void *adoptSuspended(void *processInformation);

} // namespace WinJob
