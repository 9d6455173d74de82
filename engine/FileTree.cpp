#include "FileTree.h"

#include <QDir>
#include <QFile>

namespace FileTree {

namespace {

// The "user" bits say what the running user may do (for root nearly
// anything), not what the mode holds, so only owner, group and other count.
const QFileDevice::Permissions userBits
    = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
const QFileDevice::Permissions executeBits
    = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;

// Present on disk, or a symbolic link whose target is gone (QFile::exists
// follows links and would miss it).
bool entryPresent(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

QString join(const QString &folder, const QString &name)
{
    return folder + QDir::separator() + name;
}

bool isSafeEntryName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

void makeCopiedFileAccessible(const QString &path, QFileDevice::Permissions keepExecutable)
{
#ifdef Q_OS_WIN
    Q_UNUSED(keepExecutable)
    QFile(path).setPermissions(QFileDevice::ReadOther | QFileDevice::WriteOther);
#else
    QFile(path).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
        | QFileDevice::ReadOther | (keepExecutable & executeBits));
#endif
}

void makeWritable(const QString &path)
{
    if (QFileInfo(path).isSymLink())
        return;
#ifdef Q_OS_WIN
    QFile::setPermissions(path, QFileDevice::WriteOwner);
#else
    // Only adds the owner's write bit: should the removal fail after all, the
    // file keeps the rest of its mode.
    const QFileDevice::Permissions current = QFile::permissions(path) & ~userBits;
    if (QFileInfo::exists(path))
        QFile::setPermissions(path, current | QFileDevice::WriteOwner);
#endif
}

bool copyFolder(const QString &source, const QString &target, bool overwrite)
{
    const QDir sourceDir(source);
    if (!sourceDir.exists())
        return false;
    QDir targetDir(target);
    if (!targetDir.exists())
        QDir().mkpath(target);

    const QStringList folders = sourceDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    const QStringList files = sourceDir.entryList(QDir::Files);
    // A name that would lead outside the folder refuses the whole folder
    // before anything of it is written.
    for (const QString &name : folders + files) {
        if (!isSafeEntryName(name))
            return false;
    }

    bool ok = true;
    for (const QString &name : folders) {
        const QString targetFolder = join(target, name);
        QDir().mkpath(targetFolder);
        if (!copyFolder(join(source, name), targetFolder, overwrite))
            ok = false;
    }
    for (const QString &name : files) {
        const QString targetFile = join(target, name);
        if (QFile::exists(targetFile)) {
            if (!overwrite)
                continue;
            QFile::remove(targetFile);
        }
        if (QFile::copy(join(source, name), targetFile))
            makeCopiedFileAccessible(targetFile);
        else
            ok = false;
    }
    targetDir.refresh();
    return ok && targetDir.exists();
}

bool copyFolderList(
    const QString &sourceRoot, const QStringList &names, const QString &targetRoot, bool overwrite)
{
    for (const QString &name : names) {
        if (!copyFolder(join(sourceRoot, name), join(targetRoot, name), overwrite))
            return false;
    }
    return true;
}

QList<QFileInfo> findFilesNamed(const QString &folder, const QString &fileName)
{
    const QDir dir(folder);
    QList<QFileInfo> all = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
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

bool removeFolder(const QString &folder)
{
    // A link standing where the folder is expected goes as a link; following
    // it would empty a folder elsewhere.
    if (QFileInfo(folder).isSymLink())
        return QFile::remove(folder);
    const QDir dir(folder);
    if (!dir.exists())
        return true;

    QString prefix = QDir::toNativeSeparators(folder);
    if (!prefix.endsWith(QDir::separator()))
        prefix += QDir::separator();

    bool ok = true;
    // System makes dangling links, FIFOs and sockets visible, so that they
    // don't keep the folder from going.
    const QStringList names
        = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QString path = prefix + name;
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink()) {
            if (!removeFolder(path))
                ok = false;
        } else {
            makeWritable(path);
            if (!QFile::remove(path))
                ok = false;
        }
    }
    if (!QDir().rmdir(QDir::toNativeSeparators(dir.absolutePath())))
        ok = false;
    return ok;
}

bool deleteFile(const QString &target)
{
    makeWritable(target);
    if (entryPresent(target))
        return QFile::remove(target);
    return true;
}

bool updateFile(const QString &source, const QString &target)
{
    QFileDevice::Permissions keep;
#ifndef Q_OS_WIN
    const QFileInfo installed(target);
    if (installed.isFile())
        keep = installed.permissions() & executeBits;
#endif
    if (entryPresent(target))
        QFile::remove(target);
    const bool copied = QFile::copy(source, target);
    if (copied)
        makeCopiedFileAccessible(target, keep);
    return copied;
}

bool addFile(const QString &source, const QString &target)
{
    if (QFile::exists(target))
        return true;
    const bool copied = QFile::copy(source, target);
    if (copied)
        makeCopiedFileAccessible(target);
    return copied;
}

} // namespace FileTree
