#include "WinProcessSnapshot.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include "WinHandle.h"

namespace WinProcessSnapshot {

bool take(std::vector<Entry> *entries)
{
    entries->clear();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    HandleCloser closer(snapshot);

    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(PROCESSENTRY32W);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        Entry process;
        process.pid = entry.th32ProcessID;
        // szExeFile is null-terminated within its fixed array; don't read past it.
        const size_t capacity = sizeof(entry.szExeFile) / sizeof(entry.szExeFile[0]);
        size_t length = 0;
        while (length < capacity && entry.szExeFile[length] != L'\0')
            ++length;
        process.exeFile.assign(entry.szExeFile, length);
        entries->push_back(process);
    }
    return true;
}

bool imagePath(std::uint32_t pid, std::wstring *path)
{
    path->clear();
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr)
        return false;
    HandleCloser closer(process);

    wchar_t buffer[pathCapacity];
    buffer[0] = L'\0';
    SetLastError(ERROR_SUCCESS);
    const DWORD length = K32GetModuleFileNameExW(process, nullptr, buffer, pathCapacity);
    if (length == 0)
        return false;
    // A path that fills the buffer was cut off; which length reports that
    // differs between Windows versions, the error code doesn't.
    const bool cutOff = length >= pathCapacity
        || (length == pathCapacity - 1 && GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    if (cutOff)
        return false;
    path->assign(buffer, length);
    return true;
}

bool userName(std::uint32_t pid, std::wstring *user)
{
    user->clear();
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr)
        return false;
    HandleCloser processCloser(process);
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return false;
    HandleCloser tokenCloser(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0)
        return false;
    std::vector<unsigned char> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        return false;
    const PSID sid = reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid;
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return false;
    const std::wstring account(name, nameSize);
    if (account.empty())
        return false;
    *user = domainSize > 0 ? std::wstring(domain, domainSize) + L"\\" + account : account;
    return true;
}

} // namespace WinProcessSnapshot
