#include "FileTree.h"

#include <QDir>
#include <QFile>

#include <thread>
#include <vector>

#include "FolderCopy.h"
#include "TreeRemoval.h"

namespace FileTree {

namespace {

// The "user" bits say what the running user may do (for root nearly
// anything), not what the mode holds, so only owner, group and other count.
const QFileDevice::Permissions userBits
    = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;

} // namespace

void note(Failures *failures, const QString &path, const QString &reason)
{
    if (failures)
        failures->append({ path, reason });
}

bool isSafeEntryName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

void makeWritable(const QFileInfo &info, const QString &path)
{
    if (info.isSymLink())
        return;
#ifdef Q_OS_WIN
    QFile::setPermissions(path, QFileDevice::WriteOwner);
#else
    // Only adds the owner's write bit: should the removal fail after all, the
    // file keeps the rest of its mode. A file that has the bit (nearly every
    // one) is left untouched, which spares a metadata write per file.
    if (!info.exists() || info.permission(QFileDevice::WriteOwner))
        return;
    QFile::setPermissions(path, (info.permissions() & ~userBits) | QFileDevice::WriteOwner);
#endif
}

void makeWritable(const QString &path)
{
    makeWritable(QFileInfo(path), path);
}

bool entryPresent(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}

bool removeFile(const QString &path, Failures *failures)
{
    QFile file(path);
    if (file.remove())
        return true;
    note(failures, path, file.errorString());
    return false;
}

void onThreads(int threads, const std::function<void(int slot)> &work)
{
    std::vector<std::thread> helpers;
    for (int slot = 1; slot < threads; ++slot)
        helpers.emplace_back(work, slot);
    work(0);
    for (std::thread &helper : helpers)
        helper.join();
}

QList<QFileInfo> findFilesNamed(const QString &folder, const QString &fileName)
{
    const QDir dir(folder);
    // A name without wildcard characters, given as a case-sensitive name
    // filter, lets the listing skip every other file early (no entry info, no
    // sorting); the comparison below still decides.
    const bool plainName = !fileName.contains(QLatin1Char('*'))
        && !fileName.contains(QLatin1Char('?')) && !fileName.contains(QLatin1Char('['));
    QList<QFileInfo> all = plainName
        ? dir.entryInfoList(QStringList(fileName),
            QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::CaseSensitive)
        : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    const QList<QFileInfo> folders = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &sub : folders)
        all += findFilesNamed(sub.absoluteFilePath(), fileName);

    QList<QFileInfo> found;
    for (const QFileInfo &info : qAsConst(all)) {
        if (info.fileName() == fileName)
            found.append(info);
    }
    return found;
}

QList<QFileInfo> listLeafEntries(const QString &folder)
{
    const QDir dir(folder);
    QList<QFileInfo> result
        = dir.entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    const QList<QFileInfo> folders
        = dir.entryInfoList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QFileInfo &sub : folders) {
        const QList<QFileInfo> nested = listLeafEntries(sub.absoluteFilePath());
        if (nested.isEmpty())
            result.append(sub);
        else
            result += nested;
    }
    return result;
}

bool deleteFile(const QString &target, Failures *failures)
{
    const QFileInfo info(target);
    makeWritable(info, target);
    if (entryPresent(info))
        return removeFile(target, failures);
    return true;
}

bool copyFolderList(const QString &sourceRoot, const QStringList &names, const QString &targetRoot,
    bool overwrite, Failures *failures, int *copied, const CopiedFile &onCopied)
{
    return FolderCopy::copyFolderList(
        sourceRoot, names, targetRoot, overwrite, failures, copied, onCopied);
}

bool removeFolder(const QString &folder, Failures *failures)
{
    return TreeRemoval::removeFolder(folder, failures);
}

} // namespace FileTree
