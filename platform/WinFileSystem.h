#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// File replacement, in-use checks and link resolution on Windows, in plain C++
// and Win32 so that it can be built and checked without Qt (the self-test
// program in tests/wine runs it under wine). Paths are passed to Win32 as they
// are: a caller that needs paths beyond MAX_PATH adds the \\?\ prefix itself.
namespace WinFileSystem {

// Outcome of a call: error is the Win32 error code (GetLastError) of the call
// that failed, 0 on success. A failing call never reports 0.
struct Status
{
    std::uint32_t error = 0;
    bool ok() const { return error == 0; }
};

// The system's text for a Win32 error code, trimmed, followed by the code,
// e.g. "The process cannot access the file because it is being used by
// another process. (32)". Codes without a text give "Error (code)".
std::wstring errorText(std::uint32_t error);

// Renames a file or a folder on the same volume, written through to disk.
// Fails (ERROR_ALREADY_EXISTS or ERROR_FILE_EXISTS) when `to` exists; nothing
// is changed then.
Status moveNew(const std::wstring &from, const std::wstring &to);

// Moves a file over an existing file in one step, written through to disk,
// e.g. to put a new journal in place of the old one. Files only.
Status moveReplacing(const std::wstring &from, const std::wstring &to);

// The replacement file takes the target's place (ReplaceFileW, written
// through); the old target is kept as `backup` unless that is empty.
// - A target another process holds open without sharing delete access fails
//   with ERROR_SHARING_VIOLATION (32) or ERROR_UNABLE_TO_REMOVE_REPLACED
//   (1175); target and replacement stay as they were.
// - A read-only target fails with ERROR_ACCESS_DENIED (5) or
//   ERROR_UNABLE_TO_REMOVE_REPLACED; target and replacement stay as they
//   were. Clear the attribute first to replace such a file.
// - When the old target was moved to the backup but the replacement could not
//   be moved in (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 1177), the backup is
//   moved back to the target's name, so that the target doesn't go missing
//   (should that move fail too, the old target stays under the backup name);
//   the error is reported either way.
Status replace(
    const std::wstring &target, const std::wstring &replacement, const std::wstring &backup);

// Opens the existing file for writing and flushes its buffers to disk.
Status flushFile(const std::wstring &path);

// Flushes every cached write of the volume that holds path, in one call;
// Windows allows it to administrators only (ERROR_ACCESS_DENIED otherwise).
Status flushVolume(const std::wstring &path);

// Whether the file or folder (a link itself, not what it points to) can be
// replaced or removed now: opens it without sharing, for delete access and,
// when forWrite, write access, and closes it again at once.
// ERROR_SHARING_VIOLATION (32) means another program holds it open.
Status probeExclusive(const std::wstring &path, bool forWrite);

struct Holder
{
    std::uint32_t pid = 0;
    std::wstring name; // the program's name as the Restart Manager gives it
};

// The programs that hold the file open, as far as the Restart Manager knows;
// empty when it knows none or can't be asked.
std::vector<Holder> holders(const std::wstring &path);

// Whether paths longer than MAX_PATH work without the \\?\ prefix: asks ntdll
// (RtlAreLongPathsEnabled) where it exists, else the system setting
// HKLM\SYSTEM\CurrentControlSet\Control\FileSystem\LongPathsEnabled.
bool longPathsEnabled();

struct LinkInfo
{
    bool isLink = false; // a symbolic link or a junction (mount point)
    bool dangling = false; // a link whose target doesn't exist
    // Where the link finally leads (all links resolved, a plain drive or UNC
    // path). For a dangling link: the target it stores, made absolute.
    std::wstring finalPath;
};

// Looks at the one path entry itself, without following it: whether it is a
// link that redirects (symbolic link, junction) and where it leads. Other
// reparse points (cloud files, deduplicated files) are not links. Under wine a
// Unix symbolic link is a link too, but a dangling one is a missing path.
Status linkInfo(const std::wstring &path, LinkInfo *info);

// Reads reparse data as FSCTL_GET_REPARSE_POINT returns it for the entry at
// linkPath: its tag and, for a symbolic link or a junction, the stored target
// as a plain absolute path (a relative symbolic link taken against linkPath's
// folder; linkPath itself is not accessed). Data that is cut off or whose
// offsets point outside it gives ERROR_INVALID_REPARSE_DATA. linkInfo uses it;
// it is public so that it can be checked where links can't be created.
Status parseReparseData(const void *data, std::size_t size, const std::wstring &linkPath,
    std::uint32_t *tag, std::wstring *target);

// The path an existing file or folder finally has, with every link on the way
// resolved, as a plain drive or UNC path.
Status finalPath(const std::wstring &path, std::wstring *resolved);

// Opens (creating it when missing) a lock file that no other process can open
// while the handle lives; Windows closes it when the process ends, however it
// ends, and then deletes the file. Null with *status telling why
// (ERROR_SHARING_VIOLATION: held by another process). Close with unlockFile.
void *lockFile(const std::wstring &path, Status *status);
void unlockFile(void *handle);

// Looks at path part by part below mainDir, from the top down, for the first
// existing part that is a link (symbolic link, junction) whose final location
// is neither mainDir's final location nor below it. Paths are compared without
// regard to case, by whole parts, after "." and ".." are folded; either may
// have the \\?\ prefix (used for parts of MAX_PATH or more in any case).
// True with *link (that part) and *target (where it finally leads; for a
// dangling link the target it stores) set when such a part exists, and also
// - when path isn't mainDir or below it as text: link and target are path;
// - for a reparse point that redirects but can't be read: target is the part.
// False when none leads outside. A missing part ends the walk (nothing below
// it can be a link yet), and so does a part that can't be looked at (whatever
// is done below it fails the same way). Parts down to `checked` (a folder on
// the way to path found good before) are not looked at again.
bool firstEscape(const std::wstring &mainDir, const std::wstring &path, std::wstring *link,
    std::wstring *target, const std::wstring &checked = std::wstring());

} // namespace WinFileSystem
