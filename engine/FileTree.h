#pragma once

#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// File-system operations of the upgrade engine: listing trees, the
// single-file operation of the delete step, and what the folder copy
// (FolderCopy.h) and the tree removal (TreeRemoval.h) share. Every listing
// uses QDir's default order (names compared without regard to case); paths
// are joined as text with the native separator. Nothing here throws or
// reports beyond its result.
namespace FileTree {

// One thing that went wrong: the file or folder, and why (the system's words).
struct Failure
{
    QString path;
    QString reason;
};
using Failures = QList<Failure>;

// The operations below, and those of FolderCopy and TreeRemoval, return false
// when something failed and, when given a list, append to it what failed and
// why, file by file.

// Appends path and reason to failures, when given.
void note(Failures *failures, const QString &path, const QString &reason);

// False for a listed entry name that would lead outside its folder when joined
// to a target path: ".", "..", or a name holding a slash or a backslash.
bool isSafeEntryName(const QString &name);

// Makes a file about to be removed writable (clears the read-only attribute
// on Windows). A symbolic link is left alone, so its target is never changed.
void makeWritable(const QString &path);
// makeWritable for path, whose entry info holds what was read of it.
void makeWritable(const QFileInfo &info, const QString &path);

// Present on disk, or a symbolic link whose target is gone (QFile::exists
// follows links and would miss it).
bool entryPresent(const QFileInfo &info);

// Removes a file or link, with the reason noted when it stays.
bool removeFile(const QString &path, Failures *failures);

// Runs work(slot) for slots 0 to threads - 1 at once, slot 0 on the calling
// thread, and returns when all have ended.
void onThreads(int threads, const std::function<void(int slot)> &work);

// Every file named fileName (compared exactly) in folder at any depth, hidden
// files included; hidden sub-folders are not entered.
QList<QFileInfo> findFilesNamed(const QString &folder, const QString &fileName);

// Every file at any depth and every folder that holds no listed entry, depth
// first with a folder's files ahead of its sub-folders. Hidden entries and
// symbolic links are left out. Each entry's filePath() is folder + "/" + the
// entry's path relative to folder, when folder is an absolute, clean path.
QList<QFileInfo> listLeafEntries(const QString &folder);

// Removes a file; true also when it is already absent.
bool deleteFile(const QString &target, Failures *failures = nullptr);

// Told of every file a folder copy wrote: its source and target; the bytes
// written when they were in the registered package's memory, else data is
// nullptr; and the SHA-256 of the bytes written when the copy took it as it
// wrote them (a file of a loaded package, copied from the package file),
// else digest is empty. Called on the copying threads, possibly on several
// at once.
using CopiedFile = std::function<void(const QString &source, const QString &target,
    const char *data, qint64 size, const QByteArray &digest)>;

// The worker's names for FolderCopy::copyFolderList and
// TreeRemoval::removeFolder.
bool copyFolderList(const QString &sourceRoot, const QStringList &names, const QString &targetRoot,
    bool overwrite, Failures *failures = nullptr, int *copied = nullptr,
    const CopiedFile &onCopied = nullptr);
bool removeFolder(const QString &folder, Failures *failures = nullptr);

} // namespace FileTree
