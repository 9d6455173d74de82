// Checks file replacement, in-use checks, links and child-process jobs on a
// Windows system (run under wine by the test suite). Prints "ok", "FAIL" or
// "skip" per check and exits non-zero on any FAIL. Started with "hold PATH
// EVENT", "spawn MARKER" or "sleep MARKER" it acts as a helper process.

#include "SelfTest.h"

#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "WinFileSystem.h"
#include "WinJob.h"

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

namespace fs = WinFileSystem;

namespace {

using SelfTest::check;
using SelfTest::failures;
using SelfTest::utf8;

void skip(const char *what, const std::wstring &why)
{
    std::printf("skip %s: %s\n", what, utf8(why).c_str());
    std::fflush(stdout);
}

std::wstring said(fs::Status status)
{
    return status.ok() ? L"success" : fs::errorText(status.error);
}

bool samePath(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(
               a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE)
        == CSTR_EQUAL;
}

void writeFile(const std::wstring &path, const std::string &content)
{
    const HANDLE file = CreateFileW(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

// The file's content, or "<missing>" when it can't be read.
std::string readFile(const std::wstring &path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    char buffer[256];
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
}

bool exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes a folder tree; links are removed, never followed.
void removeTree(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW entry;
        const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &entry)) {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..")
                removeTree(path + L"\\" + name);
        }
        if (find != INVALID_HANDLE_VALUE)
            FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

bool startSelf(const std::wstring &arguments, DWORD flags, PROCESS_INFORMATION *process)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + arguments;
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    ZeroMemory(process, sizeof(*process));
    return CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr,
               &startup, process)
        != 0;
}

// Ends a process still running after a failed check, and closes its handles.
void reap(PROCESS_INFORMATION *process)
{
    if (process->hProcess != nullptr) {
        TerminateProcess(process->hProcess, 1);
        WaitForSingleObject(process->hProcess, 10000);
        CloseHandle(process->hProcess);
    }
    if (process->hThread != nullptr)
        CloseHandle(process->hThread);
    ZeroMemory(process, sizeof(*process));
}

// Helper: holds PATH open without sharing until EVENT_stop is set.
int holdHelper(const std::wstring &path, const std::wstring &event)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 2;
    SetEvent(OpenEventW(EVENT_MODIFY_STATE, FALSE, (event + L"_ready").c_str()));
    WaitForSingleObject(OpenEventW(SYNCHRONIZE, FALSE, (event + L"_stop").c_str()), 60000);
    CloseHandle(file);
    return 0;
}

// Helper: writes its process id to MARKER (complete, by renaming), then waits
// to be ended; "spawn" first starts such a "sleep" grandchild.
int sleepHelper(const std::wstring &marker, bool spawn)
{
    PROCESS_INFORMATION grandchild;
    if (spawn && !startSelf(L"sleep \"" + marker + L"\"", 0, &grandchild))
        return 2;
    if (!spawn) {
        writeFile(marker + L".tmp", std::to_string(GetCurrentProcessId()));
        MoveFileExW((marker + L".tmp").c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    Sleep(60000); // bounded: the test ends this process long before
    return 0;
}

void checkMoves(const std::wstring &dir)
{
    const std::wstring a = dir + L"\\a.txt", b = dir + L"\\b.txt", c = dir + L"\\c.txt";
    writeFile(a, "A");
    check(fs::moveNew(a, b).ok() && !exists(a) && readFile(b) == "A", "moveNew renames a file");
    CreateDirectoryW((dir + L"\\d1").c_str(), nullptr);
    writeFile(dir + L"\\d1\\inner.txt", "I");
    check(fs::moveNew(dir + L"\\d1", dir + L"\\d2").ok() && !exists(dir + L"\\d1")
            && readFile(dir + L"\\d2\\inner.txt") == "I",
        "moveNew renames a folder");
    writeFile(c, "C");
    const fs::Status onto = fs::moveNew(b, c);
    check((onto.error == ERROR_ALREADY_EXISTS || onto.error == ERROR_FILE_EXISTS)
            && readFile(b) == "A" && readFile(c) == "C",
        "moveNew onto an existing name fails and changes nothing", said(onto));
    check(fs::moveReplacing(b, c).ok() && !exists(b) && readFile(c) == "A",
        "moveReplacing replaces a file");
    check(fs::flushFile(c).ok(), "flushFile of a file");
    // The volume can be flushed at once by an administrator; anyone else is
    // refused (wine: not supported at all), and the files are then flushed
    // one by one. Either way the call returns.
    const fs::Status volume = fs::flushVolume(c);
    check(volume.ok() || volume.error == ERROR_ACCESS_DENIED
            || volume.error == ERROR_INVALID_FUNCTION,
        "flushVolume, or a refusal that leaves it to the files", said(volume));
}

void checkReplace(const std::wstring &dir)
{
    const std::wstring target = dir + L"\\target.txt", replacement = dir + L"\\new.txt",
                       backup = dir + L"\\target.bak";
    writeFile(target, "old");
    writeFile(replacement, "new");
    const fs::Status replaced = fs::replace(target, replacement, backup);
    check(replaced.ok() && readFile(target) == "new" && readFile(backup) == "old"
            && !exists(replacement),
        "replace puts the new content in place and keeps the old as backup", said(replaced));

    // Another process holds the target open without sharing.
    const std::wstring event = L"Local\\winfs_selftest_" + std::to_wstring(GetCurrentProcessId());
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, (event + L"_ready").c_str());
    const HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, (event + L"_stop").c_str());
    writeFile(replacement, "newer");
    PROCESS_INFORMATION holder;
    const bool started = startSelf(L"hold \"" + target + L"\" " + event, 0, &holder);
    const HANDLE waits[] = { ready, holder.hProcess };
    const bool holding = started && WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    check(holding, "helper holds the target open");
    if (holding) {
        const fs::Status held = fs::replace(target, replacement, dir + L"\\held.bak");
        check(held.error == ERROR_SHARING_VIOLATION || held.error == ERROR_UNABLE_TO_REMOVE_REPLACED
                || held.error == ERROR_ACCESS_DENIED,
            "replace of a file held by another process fails", said(held));
        const fs::Status probed = fs::probeExclusive(target, false);
        check(
            probed.error == ERROR_SHARING_VIOLATION, "probeExclusive of a held file", said(probed));
        std::wstring found;
        for (const fs::Holder &h : fs::holders(target))
            found += L" " + std::to_wstring(h.pid) + L" '" + h.name + L"'";
        check(true, "holders of a held file (may be empty under wine)",
            found.empty() ? L"none known" : found);
    }
    SetEvent(stop);
    check(!started || WaitForSingleObject(holder.hProcess, 30000) == WAIT_OBJECT_0,
        "helper let go of the target");
    reap(&holder);
    CloseHandle(ready);
    CloseHandle(stop);
    check(readFile(target) == "new" && readFile(replacement) == "newer"
            && !exists(dir + L"\\held.bak"),
        "the failed replace left target and replacement as they were");

    check(fs::probeExclusive(target, true).ok() && fs::probeExclusive(target, false).ok(),
        "probeExclusive of a free file");
    check(fs::probeExclusive(dir, true).ok(), "probeExclusive of a folder");

    // One lock holder at a time; closing the handle frees it.
    fs::Status status;
    void *lock = fs::lockFile(dir + L"\\upgrade.lock", &status);
    fs::Status second;
    void *again = fs::lockFile(dir + L"\\upgrade.lock", &second);
    check(lock != nullptr && again == nullptr && second.error == ERROR_SHARING_VIOLATION,
        "a held lock file can't be taken again", said(second));
    fs::unlockFile(lock);
    again = fs::lockFile(dir + L"\\upgrade.lock", &second);
    check(again != nullptr, "a released lock file can be taken", said(second));
    fs::unlockFile(again);
    check(!exists(dir + L"\\upgrade.lock"), "the released lock file is gone");

    // A read-only target is not replaced.
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
    const fs::Status readOnly = fs::replace(target, replacement, std::wstring());
    check(!readOnly.ok() && readFile(target) == "new" && readFile(replacement) == "newer",
        "replace of a read-only target fails and changes nothing", said(readOnly));
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Reparse data as FSCTL_GET_REPARSE_POINT returns it: a symbolic link's has a
// ULONG of flags before the names; the print name follows the substitute name.
std::vector<unsigned char> reparseData(
    ULONG tag, const std::wstring &substitute, const std::wstring &print, ULONG flags = 0)
{
    const bool symlink = tag == IO_REPARSE_TAG_SYMLINK;
    const size_t header = symlink ? 20 : 16;
    const USHORT substituteBytes = USHORT(substitute.size() * 2),
                 printBytes = USHORT(print.size() * 2);
    std::vector<unsigned char> data(header + substituteBytes + printBytes + 4, 0);
    const USHORT fields[] = { USHORT(data.size() - 8), 0, 0, substituteBytes,
        USHORT(substituteBytes + 2), printBytes };
    std::memcpy(&data[0], &tag, 4);
    std::memcpy(&data[4], fields, sizeof(fields));
    if (symlink)
        std::memcpy(&data[16], &flags, 4);
    std::memcpy(&data[header], substitute.data(), substituteBytes);
    std::memcpy(&data[header + substituteBytes + 2], print.data(), printBytes);
    return data;
}

void checkReparseData()
{
    struct Row
    {
        const char *name;
        std::vector<unsigned char> data;
        size_t cut; // bytes dropped from the end
        std::uint32_t error;
        std::wstring target;
    };
    auto offsetOutside = reparseData(IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\C:\\x", L"C:\\x");
    offsetOutside[8] = 200;
    const Row rows[] = {
        { "junction to a drive path",
            reparseData(IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\C:\\dest\\x", L"C:\\dest\\x"), 0, 0,
            L"C:\\dest\\x" },
        { "junction to a share",
            reparseData(
                IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\UNC\\srv\\share\\d", L"\\\\srv\\share\\d"),
            0, 0, L"\\\\srv\\share\\d" },
        { "absolute symbolic link",
            reparseData(IO_REPARSE_TAG_SYMLINK, L"\\??\\D:\\abs", L"D:\\abs"), 0, 0, L"D:\\abs" },
        { "relative symbolic link",
            reparseData(IO_REPARSE_TAG_SYMLINK, L"..\\gone\\.\\x", L"..\\gone", 1), 0, 0,
            L"C:\\a\\gone\\x" },
        { "symbolic link relative to the drive",
            reparseData(IO_REPARSE_TAG_SYMLINK, L"\\top", L"\\top", 1), 0, 0, L"C:\\top" },
        { "other reparse point", reparseData(0x9000001Au, L"x", L"x"), 0, 0, L"" },
        { "cut-off data", reparseData(IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\C:\\x", L"C:\\x"), 14,
            ERROR_INVALID_REPARSE_DATA, L"" },
        { "name outside the data", offsetOutside, 0, ERROR_INVALID_REPARSE_DATA, L"" },
    };
    for (const Row &row : rows) {
        std::uint32_t tag = 0;
        std::wstring target = L"untouched";
        const fs::Status status = fs::parseReparseData(
            row.data.data(), row.data.size() - row.cut, L"C:\\a\\b\\link", &tag, &target);
        const std::string label = std::string("parseReparseData: ") + row.name;
        check(status.error == row.error && target == row.target, label.c_str(),
            said(status) + L", '" + target + L"'");
    }
}

// A junction (mount point) at `link` to the absolute folder `target`.
bool makeJunction(const std::wstring &link, const std::wstring &target, std::wstring *why)
{
    if (!CreateDirectoryW(link.c_str(), nullptr)) {
        *why = fs::errorText(GetLastError());
        return false;
    }
    std::vector<unsigned char> data
        = reparseData(IO_REPARSE_TAG_MOUNT_POINT, L"\\??\\" + target, target);
    const HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD unused = 0;
    const bool set = handle != INVALID_HANDLE_VALUE
        && DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data.data(), DWORD(data.size()),
            nullptr, 0, &unused, nullptr);
    *why = set ? std::wstring() : fs::errorText(GetLastError());
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (!set)
        RemoveDirectoryW(link.c_str());
    return set;
}

// A directory symbolic link at `link` to the folder `target`, stored relative
// to the link's folder.
bool makeSymlink(const std::wstring &link, const std::wstring &target, std::wstring *why)
{
    const std::wstring stored = target.substr(target.find_last_of(L'\\') + 1);
    if (!CreateSymbolicLinkW(link.c_str(), stored.c_str(),
            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        *why = fs::errorText(GetLastError());
        return false;
    }
    const DWORD attributes = GetFileAttributesW(link.c_str());
    *why = L"reported success but made no link";
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The link leads to the folder `target`, which holds inner.txt.
void checkLinkTo(const std::string &kind, const std::wstring &link, const std::wstring &target)
{
    std::wstring expected;
    fs::finalPath(target, &expected);
    fs::LinkInfo info;
    fs::Status status = fs::linkInfo(link, &info);
    check(status.ok() && info.isLink && !info.dangling && samePath(info.finalPath, expected),
        (kind + ": linkInfo leads to the target").c_str(),
        said(status) + L", '" + info.finalPath + L"'");
    std::wstring through;
    status = fs::finalPath(link + L"\\inner.txt", &through);
    check(status.ok() && samePath(through, expected + L"\\inner.txt"),
        (kind + ": finalPath through the link").c_str(), said(status) + L", '" + through + L"'");
    status = fs::linkInfo(target, &info);
    check(status.ok() && !info.isLink, (kind + ": the target itself is no link").c_str());
}

void checkLinks(const std::wstring &dir)
{
    checkReparseData();
    const std::wstring target = dir + L"\\linktarget";
    CreateDirectoryW(target.c_str(), nullptr);
    writeFile(target + L"\\inner.txt", "T");
    fs::LinkInfo info;
    const fs::Status missing = fs::linkInfo(dir + L"\\nothing", &info);
    check(missing.error == ERROR_FILE_NOT_FOUND, "linkInfo of a missing path", said(missing));

    using Make = bool (*)(const std::wstring &, const std::wstring &, std::wstring *);
    const std::pair<const char *, Make> kinds[]
        = { { "symbolic link", makeSymlink }, { "junction", makeJunction } };
    for (const auto &kind : kinds) {
        const std::wstring link = dir + L"\\link_" + std::to_wstring(&kind - kinds);
        std::wstring why;
        if (!kind.second(link, target, &why)) {
            skip(kind.first, L"can't be created here: " + why);
            continue;
        }
        checkLinkTo(kind.first, link, target);
        const std::string label = std::string(kind.first) + ": dangling link gives its target";
        if (kind.second(link + L"_dangling", dir + L"\\gone", &why)) {
            const fs::Status status = fs::linkInfo(link + L"_dangling", &info);
            check(status.ok() && info.isLink && info.dangling
                    && samePath(info.finalPath, dir + L"\\gone"),
                label.c_str(), said(status) + L", '" + info.finalPath + L"'");
        }
    }

    // Unix symbolic links, which wine shows as reparse points, made by the
    // test suite beside this program: link -> target.
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring prepared(self, length);
    prepared = prepared.substr(0, prepared.find_last_of(L'\\')) + L"\\winfs_links";
    if (exists(prepared + L"\\link"))
        checkLinkTo("Unix symbolic link", prepared + L"\\link", prepared + L"\\target");
    else
        skip("Unix symbolic link", L"none prepared at " + prepared);
}

// The walk that finds links leading out of a main folder, on the Unix links
// the test suite prepared beside this program.
void checkEscapes()
{
    struct Row
    {
        const char *name;
        std::wstring main, path, checked;
        bool escapes;
        std::wstring link, target;
    };
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring prepared(self, length);
    prepared = prepared.substr(0, prepared.find_last_of(L'\\')) + L"\\winfs_links\\guard";
    if (!exists(prepared + L"\\main\\in")) {
        skip("firstEscape on Unix links", L"none prepared at " + prepared);
        return;
    }
    std::wstring root, outside;
    fs::finalPath(prepared, &root);
    fs::finalPath(prepared + L"\\outside", &outside);
    const std::wstring m = prepared + L"\\main", suite = prepared + L"\\suite", none;
    const Row rows[] = {
        { "plain folder and missing tail", m, m + L"\\sub\\new\\x.dll", none, false, none, none },
        { "the main folder itself", m, m, none, false, none, none },
        { "link inside is followed", m, m + L"\\in\\x.dll", none, false, none, none },
        { "relative link climbing out", m, m + L"\\out\\x.dll", none, true, m + L"\\out", outside },
        { "the last part itself", m, m + L"\\out", none, true, m + L"\\out", outside },
        { "absolute link behind an inside one", m, m + L"\\in\\deep\\x.dll", none, true,
            m + L"\\in\\deep", outside },
        { "walk from a folder found good", m, m + L"\\sub\\deep\\x.dll", m + L"\\sub", true,
            m + L"\\sub\\deep", outside },
        { "link to a link that ends outside", m, m + L"\\hop\\x.dll", none, true, m + L"\\hop",
            outside },
        { "sibling whose name starts like the main folder's", m, m + L"\\sib\\x.dll", none, true,
            m + L"\\sib", root + L"\\main2" },
        { "'..' leaving the main folder as text", m, m + L"\\sub\\..\\..\\outside\\x.dll", none,
            true, prepared + L"\\outside\\x.dll", prepared + L"\\outside\\x.dll" },
        { "case differs between main folder and path", m, prepared + L"\\MAIN\\Out\\x.dll", none,
            true, m + L"\\out", outside },
        { "\\\\?\\ prefixes", L"\\\\?\\" + m, L"\\\\?\\" + m + L"\\out\\x.dll", none, true,
            m + L"\\out", outside },
        { "main folder reached through a link", suite, suite + L"\\in\\x.dll", none, false, none,
            none },
        { "main folder reached through a link, outside link in it", suite, suite + L"\\out\\x.dll",
            none, true, suite + L"\\out", outside },
        { "link loop: nothing can be written through it", m, m + L"\\loop1\\x.dll", none, false,
            none, none },
    };
    for (const Row &row : rows) {
        std::wstring link = L"untouched", target;
        const bool escapes = fs::firstEscape(row.main, row.path, &link, &target, row.checked);
        const std::string label = std::string("firstEscape: ") + row.name;
        check(escapes == row.escapes
                && (!escapes ? link.empty()
                             : samePath(link, row.link) && samePath(target, row.target)),
            label.c_str(), escapes ? link + L" -> " + target : L"none");
    }
}

// The same walk on junctions, which a script of the package may plant as well:
// one leading out of the main folder is found, one staying inside is followed.
void checkJunctionEscapes(const std::wstring &dir)
{
    const std::wstring main = dir + L"\\jmain", outside = dir + L"\\joutside";
    CreateDirectoryW(main.c_str(), nullptr);
    CreateDirectoryW((main + L"\\sub").c_str(), nullptr);
    CreateDirectoryW(outside.c_str(), nullptr);
    std::wstring why;
    if (!makeJunction(main + L"\\out", outside, &why)) {
        skip("firstEscape on junctions", L"junctions can't be created here: " + why);
        return;
    }
    std::wstring expected, link, target;
    fs::finalPath(outside, &expected);
    check(fs::firstEscape(main, main + L"\\out\\x.dll", &link, &target)
            && samePath(link, main + L"\\out") && samePath(target, expected),
        "firstEscape: junction leading outside", link + L" -> " + target);
    link.clear();
    check(makeJunction(main + L"\\in", main + L"\\sub", &why)
            && !fs::firstEscape(main, main + L"\\in\\x.dll", &link, &target),
        "firstEscape: junction inside is followed", why + link);
}

void checkJob(const std::wstring &dir, bool byTerminate)
{
    const char *how = byTerminate ? "terminate" : "close";
    const std::wstring marker = dir + L"\\grandchild_" + (byTerminate ? L"t" : L"c") + L".pid";
    PROCESS_INFORMATION child;
    // Closing: the calls one by one; terminating: adoptSuspended, as the
    // installer starts its children.
    void *job = byTerminate ? nullptr : WinJob::createKillOnClose();
    const bool started = startSelf(L"spawn \"" + marker + L"\"", WinJob::suspendedFlag(), &child);
    if (byTerminate && started)
        job = WinJob::adoptSuspended(&child);
    const bool running = job != nullptr && started
        && (byTerminate
            || (WinJob::assign(job, child.hProcess) && WinJob::resumeThread(child.hThread)));
    std::string label
        = std::string("job (") + how + "): child started suspended, assigned, resumed";
    check(running, label.c_str());
    HANDLE grandchild = nullptr;
    for (int i = 0; running && i < 600 && !exists(marker); ++i)
        Sleep(50);
    const DWORD pid = static_cast<DWORD>(std::atoi(readFile(marker).c_str()));
    if (pid != 0)
        grandchild = OpenProcess(
            SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
    label = std::string("job (") + how + "): grandchild runs";
    check(grandchild != nullptr, label.c_str(), std::to_wstring(pid));

    if (byTerminate)
        check(WinJob::terminate(job, 7), "job (terminate): terminate() succeeds");
    else
        WinJob::close(job);
    DWORD childCode = 0, grandchildCode = 0;
    const bool childEnded = running && WaitForSingleObject(child.hProcess, 10000) == WAIT_OBJECT_0
        && GetExitCodeProcess(child.hProcess, &childCode);
    const bool grandchildEnded = grandchild != nullptr
        && WaitForSingleObject(grandchild, 10000) == WAIT_OBJECT_0
        && GetExitCodeProcess(grandchild, &grandchildCode);
    label = std::string("job (") + how + "): child and grandchild ended";
    check(
        childEnded && grandchildEnded && (!byTerminate || (childCode == 7 && grandchildCode == 7)),
        label.c_str(),
        L"exit codes " + std::to_wstring(childCode) + L", " + std::to_wstring(grandchildCode));
    if (byTerminate)
        WinJob::close(job);
    if (grandchild != nullptr) {
        TerminateProcess(grandchild, 1);
        CloseHandle(grandchild);
    }
    reap(&child);
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc == 4 && std::wstring(argv[1]) == L"hold")
        return holdHelper(argv[2], argv[3]);
    if (argc == 3 && (std::wstring(argv[1]) == L"spawn" || std::wstring(argv[1]) == L"sleep"))
        return sleepHelper(argv[2], std::wstring(argv[1]) == L"spawn");

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring dir
        = std::wstring(temp) + L"winfs_selftest_" + std::to_wstring(GetCurrentProcessId());
    removeTree(dir);
    check(CreateDirectoryW(dir.c_str(), nullptr) != 0, "work folder created", dir);

    const std::wstring text = fs::errorText(ERROR_SHARING_VIOLATION);
    check(text.size() > 6 && text.compare(text.size() - 5, 5, L" (32)") == 0
            && text.find(L"Error (") != 0,
        "errorText gives the system's text and the code", text);
    std::printf("info longPathsEnabled: %s\n", fs::longPathsEnabled() ? "yes" : "no");

    checkMoves(dir);
    checkReplace(dir);
    checkLinks(dir);
    checkEscapes();
    checkJunctionEscapes(dir);
    checkJob(dir, false);
    checkJob(dir, true);

    removeTree(dir);
    std::printf("%s\n", failures == 0 ? "winfs self-test passed" : "winfs self-test FAILED");
    return failures == 0 ? 0 : 1;
}
