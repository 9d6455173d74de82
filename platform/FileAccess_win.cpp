#include "FileAccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include "NativePath.h"
#include "WinFileSystem.h"

#include <windows.h>

// The probes are WinFileSystem's (checked under wine); this adapts the types.

namespace FileAccess {

namespace {

QString errorText(std::uint32_t error)
{
    return QString::fromStdWString(WinFileSystem::errorText(error));
}

// One entry opened without sharing and closed again at once.
Verdict probe(const QString &path, bool forWrite)
{
    const WinFileSystem::Status status
        = WinFileSystem::probeExclusive(nativeLongPath(path), forWrite);
    if (status.ok())
        return Verdict();
    Verdict verdict;
    verdict.path = path;
    if (status.error == ERROR_SHARING_VIOLATION || status.error == ERROR_LOCK_VIOLATION) {
        verdict.kind = Verdict::InUse;
        for (const WinFileSystem::Holder &holder : WinFileSystem::holders(nativeLongPath(path)))
            verdict.holders << QString::fromStdWString(holder.name);
    } else {
        verdict.kind = Verdict::Refused;
        verdict.reason = errorText(status.error);
        verdict.denied = status.error == ERROR_ACCESS_DENIED;
    }
    return verdict;
}

} // namespace

Verdict checkRemovable(const QString &path, bool replacing)
{
    if (replacing) {
        // Replacing refuses a read-only file; the installer never clears it.
        const DWORD attributes = GetFileAttributesW(nativeLongPath(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            return { Verdict::Refused, path,
                QCoreApplication::translate("FileAccess", "文件为只读"), {} };
    }
    Verdict verdict = probe(path, replacing);
    const QFileInfo info(path);
    if (!verdict.ok() || !info.isDir() || info.isSymLink())
        return verdict;
    // A folder can't be renamed while a file in it is open.
    QDirIterator files(
        path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (verdict.ok() && files.hasNext())
        verdict = probe(files.next(), false);
    return verdict;
}

Verdict checkReceiving(const QString &folder)
{
    // Whether the folder's access rights let this process create entries is
    // left to the run: it can't be told without a try. It must be a folder.
    const DWORD attributes = GetFileAttributesW(nativeLongPath(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return { Verdict::Refused, folder, errorText(error), {}, error == ERROR_ACCESS_DENIED };
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return { Verdict::Refused, folder, errorText(ERROR_DIRECTORY), {} };
    return Verdict();
}

int lengthOverLimit(const QString &path, QString *name)
{
    const QString nativePath = QDir::toNativeSeparators(path);
    for (const QString &part : nativePath.split(QLatin1Char('\\'))) {
        if (part.size() > 255) {
            if (name)
                *name = part;
            return part.size();
        }
    }
    // Without long-path support a path must stay under MAX_PATH (its
    // terminating zero included); with it, under the system's own limit.
    static const bool longPaths = WinFileSystem::longPathsEnabled();
    const int limit = longPaths ? 32767 : MAX_PATH;
    return nativePath.size() >= limit ? nativePath.size() : 0;
}

} // namespace FileAccess
