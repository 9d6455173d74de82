#include "WinFileSystem.h"

#include <windows.h>

#include <restartmanager.h>
#include <winioctl.h>

#include <cstring>

#include "WinHandle.h"

namespace {

// The error of the Win32 call that just failed; never 0, so that a failure is
// never taken for success.
WinFileSystem::Status lastError()
{
    WinFileSystem::Status status;
    status.error = GetLastError();
    if (status.error == ERROR_SUCCESS)
        status.error = ERROR_GEN_FAILURE;
    return status;
}

WinFileSystem::Status succeeded(BOOL result)
{
    return result ? WinFileSystem::Status() : lastError();
}

bool startsWith(const std::wstring &text, const wchar_t *prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// "\\?\C:\x" -> "C:\x", "\\?\UNC\server\share" -> "\\server\share"; the NT
// form "\??\" that links store is handled alike.
std::wstring plainPath(const std::wstring &path)
{
    for (const wchar_t *prefix : { L"\\\\?\\", L"\\??\\" }) {
        if (!startsWith(path, prefix))
            continue;
        const std::wstring rest = path.substr(4);
        if (startsWith(rest, L"UNC\\"))
            return L"\\\\" + rest.substr(4);
        if (rest.size() >= 2 && rest[1] == L':')
            return rest;
        return L"\\\\?\\" + rest; // a volume name such as Volume{...}: keep it usable
    }
    return path;
}

std::wstring finalPathOf(HANDLE handle, WinFileSystem::Status *status)
{
    std::wstring buffer(MAX_PATH, L'\0');
    // The size needed can only grow if the path is renamed meanwhile; a few
    // rounds are enough.
    for (int round = 0; round < 4; ++round) {
        const DWORD length = GetFinalPathNameByHandleW(handle, &buffer[0],
            static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            *status = lastError();
            return std::wstring();
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            *status = WinFileSystem::Status();
            return plainPath(buffer);
        }
        buffer.assign(length, L'\0'); // too small: length is the size needed
    }
    status->error = ERROR_INSUFFICIENT_BUFFER;
    return std::wstring();
}

// GetFullPathNameW into a string: the absolute form of path, with "." and
// ".." folded.
bool absolutePath(const std::wstring &path, std::wstring *absolute)
{
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return false;
    absolute->assign(needed, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), needed, &(*absolute)[0], nullptr);
    if (written == 0 || written >= needed)
        return false;
    absolute->resize(written);
    return true;
}

// The reparse data of the entry at path itself (not following it), as
// FSCTL_GET_REPARSE_POINT returns it.
WinFileSystem::Status readReparsePoint(const std::wstring &path, std::vector<unsigned char> *data)
{
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    HandleCloser closer(handle);
    data->assign(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, 0);
    DWORD size = 0;
    if (!DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data->data(),
            static_cast<DWORD>(data->size()), &size, nullptr))
        return lastError();
    data->resize(size);
    return WinFileSystem::Status();
}

std::uint32_t readU32(const unsigned char *bytes)
{
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

std::uint16_t readU16(const unsigned char *bytes)
{
    std::uint16_t value;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

constexpr std::uint32_t symlinkFlagRelative = 1;

bool isMissing(std::uint32_t error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
        || error == ERROR_CANT_RESOLVE_FILENAME;
}

// The plain absolute form of path: no \\?\ prefix, backslashes, "." and ".."
// folded, no trailing backslash but on a drive's root.
std::wstring plainAbsolute(const std::wstring &path)
{
    std::wstring plain = plainPath(path);
    std::wstring absolute;
    if (absolutePath(plain, &absolute))
        plain = absolute;
    while (plain.size() > 3 && plain.back() == L'\\')
        plain.pop_back();
    return plain;
}

// A plain path as it is passed to Win32: with the \\?\ prefix when asked
// for or when it is too long without.
std::wstring callForm(const std::wstring &plain, bool prefixed)
{
    if (!prefixed && plain.size() < MAX_PATH)
        return plain;
    if (startsWith(plain, L"\\\\"))
        return L"\\\\?\\UNC\\" + plain.substr(2);
    return L"\\\\?\\" + plain;
}

// Whether the plain path is dir or lies below it, without regard to case.
bool atOrBelow(const std::wstring &path, const std::wstring &dir)
{
    return path.size() >= dir.size()
        && CompareStringOrdinal(path.c_str(), static_cast<int>(dir.size()), dir.c_str(),
               static_cast<int>(dir.size()), TRUE)
        == CSTR_EQUAL
        && (path.size() == dir.size() || dir.back() == L'\\' || path[dir.size()] == L'\\');
}

} // namespace

namespace WinFileSystem {

std::wstring errorText(std::uint32_t error)
{
    wchar_t *message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&message), 0, nullptr);
    std::wstring text;
    if (length != 0 && message != nullptr)
        text.assign(message, length);
    LocalFree(message);
    const size_t end = text.find_last_not_of(L" \t\r\n");
    text.erase(end == std::wstring::npos ? 0 : end + 1);
    const size_t begin = text.find_first_not_of(L" \t\r\n");
    text.erase(0, begin == std::wstring::npos ? text.size() : begin);
    if (text.empty())
        text = L"Error";
    return text + L" (" + std::to_wstring(error) + L")";
}

Status moveNew(const std::wstring &from, const std::wstring &to)
{
    return succeeded(MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH));
}

Status moveReplacing(const std::wstring &from, const std::wstring &to)
{
    return succeeded(
        MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

Status replace(
    const std::wstring &target, const std::wstring &replacement, const std::wstring &backup)
{
    if (ReplaceFileW(target.c_str(), replacement.c_str(), backup.empty() ? nullptr : backup.c_str(),
            REPLACEFILE_WRITE_THROUGH, nullptr, nullptr))
        return Status();
    const Status failed = lastError();
    // The old target is under the backup name and the replacement where it
    // was: put the old target back rather than leave its name empty.
    if (failed.error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 && !backup.empty())
        MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    return failed;
}

Status flushFile(const std::wstring &path)
{
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    HandleCloser closer(handle);
    return succeeded(FlushFileBuffers(handle));
}

Status flushVolume(const std::wstring &path)
{
    wchar_t mountPoint[MAX_PATH + 1];
    wchar_t volume[MAX_PATH + 1];
    if (!GetVolumePathNameW(path.c_str(), mountPoint, MAX_PATH)
        || !GetVolumeNameForVolumeMountPointW(mountPoint, volume, MAX_PATH))
        return lastError();
    // "\\?\Volume{...}\" names the volume's root; without the backslash, the
    // volume itself.
    std::wstring device(volume);
    if (!device.empty() && device.back() == L'\\')
        device.pop_back();
    const HANDLE handle = CreateFileW(device.c_str(), GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    HandleCloser closer(handle);
    return succeeded(FlushFileBuffers(handle));
}

Status probeExclusive(const std::wstring &path, bool forWrite)
{
    const DWORD access = DELETE | (forWrite ? GENERIC_WRITE : 0);
    const HANDLE handle = CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    CloseHandle(handle);
    return Status();
}

std::vector<Holder> holders(const std::wstring &path)
{
    std::vector<Holder> found;
    DWORD session = 0;
    wchar_t key[CCH_RM_SESSION_KEY + 1] = {};
    if (RmStartSession(&session, 0, key) != ERROR_SUCCESS)
        return found;
    const wchar_t *files[] = { path.c_str() };
    if (RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
        std::vector<RM_PROCESS_INFO> infos(8);
        // The list can grow between two calls; a few rounds are enough.
        for (int round = 0; round < 4; ++round) {
            UINT needed = 0;
            UINT count = static_cast<UINT>(infos.size());
            DWORD reasons = RmRebootReasonNone;
            const DWORD result = RmGetList(session, &needed, &count, infos.data(), &reasons);
            if (result == ERROR_MORE_DATA) {
                infos.resize(needed + 4);
                continue;
            }
            if (result == ERROR_SUCCESS) {
                for (UINT i = 0; i < count && i < infos.size(); ++i) {
                    Holder holder;
                    holder.pid = infos[i].Process.dwProcessId;
                    const wchar_t *name = infos[i].strAppName;
                    holder.name.assign(name, wcsnlen(name, CCH_RM_MAX_APP_NAME + 1));
                    found.push_back(holder);
                }
            }
            break;
        }
    }
    RmEndSession(session);
    return found;
}

bool longPathsEnabled()
{
    using AreLongPathsEnabled = BOOLEAN(WINAPI *)();
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll != nullptr) {
        const auto ask = reinterpret_cast<AreLongPathsEnabled>(
            reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlAreLongPathsEnabled")));
        if (ask != nullptr)
            return ask() != FALSE;
    }
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS result
        = RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem",
            L"LongPathsEnabled", RRF_RT_REG_DWORD, nullptr, &value, &size);
    return result == ERROR_SUCCESS && value == 1;
}

Status parseReparseData(const void *data, std::size_t size, const std::wstring &linkPath,
    std::uint32_t *tag, std::wstring *target)
{
    *tag = 0;
    target->clear();
    Status broken;
    broken.error = ERROR_INVALID_REPARSE_DATA;
    // Tag, data length, reserved; then the offset and length of the
    // substitute name, those of the print name, for symbolic links a ULONG of
    // flags, and the names.
    const auto *bytes = static_cast<const unsigned char *>(data);
    if (size < 8)
        return broken;
    *tag = readU32(bytes);
    if (*tag != IO_REPARSE_TAG_SYMLINK && *tag != IO_REPARSE_TAG_MOUNT_POINT)
        return Status();
    const bool symlink = *tag == IO_REPARSE_TAG_SYMLINK;
    const std::size_t namesOffset = symlink ? 20 : 16;
    if (size < namesOffset)
        return broken;
    const std::size_t offset = readU16(bytes + 8);
    const std::size_t length = readU16(bytes + 10);
    if (length == 0 || length % sizeof(wchar_t) != 0 || namesOffset + offset + length > size)
        return broken;
    std::wstring stored(length / sizeof(wchar_t), L'\0');
    std::memcpy(&stored[0], bytes + namesOffset + offset, length);
    if (!symlink || !(readU32(bytes + 16) & symlinkFlagRelative)) {
        *target = plainPath(stored);
        return Status();
    }
    // Relative: against the link's own folder, with "." and ".." folded; one
    // starting with a backslash against the link's drive.
    std::wstring link;
    std::wstring full;
    if (!absolutePath(linkPath, &link))
        return lastError();
    const bool fromRoot = stored[0] == L'\\' && link.size() > 1 && link[1] == L':';
    const std::wstring base
        = fromRoot ? link.substr(0, 2) : link.substr(0, link.find_last_of(L"\\/") + 1);
    if (!absolutePath(base + stored, &full))
        return lastError();
    *target = plainPath(full);
    return Status();
}

Status linkInfo(const std::wstring &path, LinkInfo *info)
{
    *info = LinkInfo();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return lastError();
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return Status();

    std::vector<unsigned char> data;
    std::uint32_t tag = 0;
    std::wstring stored;
    const Status read = readReparsePoint(path, &data);
    if (read.ok()) {
        const Status parsed = parseReparseData(data.data(), data.size(), path, &tag, &stored);
        if (!parsed.ok())
            return parsed;
        if (tag != IO_REPARSE_TAG_SYMLINK && tag != IO_REPARSE_TAG_MOUNT_POINT)
            return Status();
    } else if (read.error != ERROR_NOT_A_REPARSE_POINT) {
        return read;
    }
    // A reparse point without reparse data is how wine shows a Unix symbolic
    // link: a link too, but one whose stored target can't be read.
    info->isLink = true;
    const Status resolved = finalPath(path, &info->finalPath);
    if (resolved.ok() || !isMissing(resolved.error) || stored.empty())
        return resolved;
    info->dangling = true;
    info->finalPath = stored;
    return Status();
}

Status finalPath(const std::wstring &path, std::wstring *resolved)
{
    resolved->clear();
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    HandleCloser closer(handle);
    Status status;
    *resolved = finalPathOf(handle, &status);
    return status;
}

void *lockFile(const std::wstring &path, Status *status)
{
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *status = lastError();
        return nullptr;
    }
    *status = Status();
    return handle;
}

void unlockFile(void *handle)
{
    if (handle != nullptr)
        CloseHandle(handle);
}

bool firstEscape(const std::wstring &mainDir, const std::wstring &path, std::wstring *link,
    std::wstring *target, const std::wstring &checked)
{
    link->clear();
    target->clear();
    const bool prefixed = startsWith(mainDir, L"\\\\?\\") || startsWith(path, L"\\\\?\\");
    const std::wstring main = plainAbsolute(mainDir);
    const std::wstring full = plainAbsolute(path);
    if (main.empty() || !atOrBelow(full, main)) {
        *link = full;
        *target = full;
        return true;
    }
    // Inside is judged against where the main directory finally is; one that
    // doesn't exist has no links below it to follow.
    std::wstring mainFinal;
    if (finalPath(callForm(main, prefixed), &mainFinal).ok())
        mainFinal = plainAbsolute(mainFinal);
    else
        mainFinal = main;
    std::wstring known = checked.empty() ? main : plainAbsolute(checked);
    if (!atOrBelow(known, main) || !atOrBelow(full, known))
        known = main;

    for (std::size_t end = known.size(); end < full.size();) {
        end = full.find(L'\\', end + 1);
        if (end == std::wstring::npos)
            end = full.size();
        const std::wstring part = full.substr(0, end);
        const std::wstring call = callForm(part, prefixed);
        const DWORD attributes = GetFileAttributesW(call.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return false;
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        LinkInfo info;
        if (!linkInfo(call, &info).ok()) {
            *link = part;
            *target = part;
            return true;
        }
        if (!info.isLink)
            continue; // another kind of reparse point: no redirection
        const std::wstring leads = plainAbsolute(info.finalPath);
        if (!atOrBelow(leads, mainFinal)) {
            *link = part;
            *target = leads;
            return true;
        }
    }
    return false;
}

} // namespace WinFileSystem
