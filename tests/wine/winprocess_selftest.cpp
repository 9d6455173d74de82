// Checks the Windows process list on a Windows system (run under wine by the
// test suite): the program must find itself and a child it started, by name
// and by full path. Started with "--sleep" it only waits, as the child.

#include "SelfTest.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "WinProcessSnapshot.h"

namespace {

using SelfTest::check;
using SelfTest::failures;

// Windows file names ignore letter case.
bool sameFileName(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(
               a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE)
        == CSTR_EQUAL;
}

std::wstring baseName(const std::wstring &path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring folderOf(const std::wstring &path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring ownPath()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    return std::wstring(buffer.data(), length);
}

const WinProcessSnapshot::Entry *findPid(
    const std::vector<WinProcessSnapshot::Entry> &entries, DWORD pid)
{
    for (const WinProcessSnapshot::Entry &entry : entries) {
        if (entry.pid == pid)
            return &entry;
    }
    return nullptr;
}

void checkProcess(const char *who, DWORD pid, const std::wstring &expectedPath)
{
    std::vector<WinProcessSnapshot::Entry> entries;
    const bool listed = WinProcessSnapshot::take(&entries);
    check(listed, "snapshot taken", std::to_wstring(entries.size()) + L" processes");
    const WinProcessSnapshot::Entry *entry = findPid(entries, pid);
    std::string label = std::string(who) + " listed by pid";
    check(entry != nullptr, label.c_str(), std::to_wstring(pid));
    if (entry) {
        label = std::string(who) + " listed by name";
        check(sameFileName(entry->exeFile, baseName(expectedPath)), label.c_str(),
            L"'" + entry->exeFile + L"', expected '" + baseName(expectedPath) + L"'");
    }
    std::wstring path;
    const bool known = WinProcessSnapshot::imagePath(pid, &path);
    label = std::string(who) + " image path read";
    check(known, label.c_str(), L"'" + path + L"'");
    label = std::string(who) + " image path matches";
    check(known && sameFileName(path, expectedPath), label.c_str(),
        L"expected '" + expectedPath + L"'");
}

int runChild()
{
    Sleep(60000); // bounded: the parent ends it long before
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--sleep") == 0)
        return runChild();

    const std::wstring self = ownPath();
    check(!self.empty(), "own path known", self);
    checkProcess("self", GetCurrentProcessId(), self);

    // A process that doesn't exist has no path.
    std::wstring none = L"untouched";
    const bool noneKnown = WinProcessSnapshot::imagePath(0xFFFFFFF0u, &none);
    check(!noneKnown && none.empty(), "no path for a process id that doesn't exist");

    // A child under another name (not ASCII only): a copy of this program, started to sleep.
    const std::wstring childPath = folderOf(self) + L"\\winprocess_child_\u7A0B\u5E8F.exe";
    check(
        CopyFileW(self.c_str(), childPath.c_str(), FALSE) != 0, "child program copied", childPath);
    std::wstring commandLine = L"\"" + childPath + L"\" --sleep";
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child;
    ZeroMemory(&child, sizeof(child));
    const BOOL started = CreateProcessW(childPath.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
        0, nullptr, nullptr, &startup, &child);
    check(started != 0, "child started", std::to_wstring(child.dwProcessId));
    if (started) {
        // Wait until the child has loaded, so that its module list is readable.
        WaitForInputIdle(child.hProcess, 5000);
        std::wstring path;
        for (int i = 0; i < 100 && !WinProcessSnapshot::imagePath(child.dwProcessId, &path); ++i)
            Sleep(100);
        checkProcess("child", child.dwProcessId, childPath);

        TerminateProcess(child.hProcess, 0);
        const bool ended = WaitForSingleObject(child.hProcess, 10000) == WAIT_OBJECT_0;
        check(ended, "child ended");
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
        if (ended) {
            std::vector<WinProcessSnapshot::Entry> entries;
            WinProcessSnapshot::take(&entries);
            check(findPid(entries, child.dwProcessId) == nullptr, "ended child no longer listed");
        }
    }
    for (int i = 0; i < 50 && !DeleteFileW(childPath.c_str()); ++i)
        Sleep(100);

    std::printf(
        "%s\n", failures == 0 ? "winprocess self-test passed" : "winprocess self-test FAILED");
    return failures == 0 ? 0 : 1;
}
