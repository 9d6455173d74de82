#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The Windows process list through the Toolhelp and PSAPI functions, in plain
// C++ and Win32 so that it can be built and checked without Qt (the self-test
// program in tests/wine runs it under wine). ProcessList_win.cpp adapts it.
namespace WinProcessSnapshot {

struct Entry
{
    std::uint32_t pid = 0;
    std::wstring exeFile; // executable file name as the snapshot gives it
};

// Path capacity used when reading a process's executable path, in UTF-16 units
// including the terminating null.
constexpr std::uint32_t pathCapacity = 260;

// All processes of the system in snapshot order; false (and an empty list)
// when no snapshot can be taken.
bool take(std::vector<Entry> *entries);

// Full path of the process's executable. False (and an empty path) when the
// process can't be opened, its path can't be read, or the path doesn't fit
// into pathCapacity (a cut-off path would name the wrong file).
bool imagePath(std::uint32_t pid, std::wstring *path);

// The account the process runs as, "DOMAIN\user", from its token. False (and
// an empty name) when the process or its token can't be opened or the account
// has no name.
bool userName(std::uint32_t pid, std::wstring *user);

} // namespace WinProcessSnapshot
