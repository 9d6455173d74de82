#include "ProcessList.h"

#include "WinProcessSnapshot.h"

// Windows: the Toolhelp snapshot and PSAPI path reader of WinProcessSnapshot,
// turned into Qt types. wchar_t holds UTF-16 on Windows.
namespace ProcessList {

bool snapshot(QList<ProcessEntry> *processes)
{
    processes->clear();
    std::vector<WinProcessSnapshot::Entry> entries;
    if (!WinProcessSnapshot::take(&entries))
        return false;
    processes->reserve(static_cast<int>(entries.size()));
    for (const WinProcessSnapshot::Entry &entry : entries) {
        ProcessEntry process;
        process.pid = entry.pid;
        process.name = QString::fromStdWString(entry.exeFile);
        processes->append(process);
    }
    return true;
}

bool imagePath(qint64 pid, QString *path)
{
    path->clear();
    // Windows process IDs are 32-bit; anything else names no process.
    if (pid < 0 || pid > 0xFFFFFFFFLL)
        return false;
    std::wstring image;
    if (!WinProcessSnapshot::imagePath(static_cast<std::uint32_t>(pid), &image))
        return false;
    *path = QString::fromStdWString(image);
    return true;
}

bool processUser(qint64 pid, QString *user)
{
    user->clear();
    if (pid < 0 || pid > 0xFFFFFFFFLL)
        return false;
    std::wstring account;
    if (!WinProcessSnapshot::userName(static_cast<std::uint32_t>(pid), &account))
        return false;
    *user = QString::fromStdWString(account);
    return true;
}

} // namespace ProcessList
