#pragma once

#include <QFileDevice>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// File-system operations of the upgrade engine: copying package folders,
// listing and removing trees, and the single-file operations of the delete
// step. Every listing uses QDir's default order (names
// compared without regard to case); paths are joined as text with the native
// separator. Nothing here throws or reports beyond its result.
namespace FileTree {

// One thing that went wrong: the file or folder, and why (the system's words).
struct Failure
{
    QString path;
    QString reason;
};
using Failures = QList<Failure>;

// The operations below return false when something failed and, when given a
// list, append to it what failed and why, file by file. The folder copies
// count the files they wrote into *copied when asked.

// False for a listed entry name that would lead outside its folder when joined
// to a target path: ".", "..", or a name holding a slash or a backslash.
bool isSafeEntryName(const QString &name);

// Leaves a file just copied by the engine readable and writable. On Windows
// the read-only attribute is cleared; elsewhere the mode becomes 0644 plus the
// execute bits given in keepExecutable.
void makeCopiedFileAccessible(
    const QString &path, QFileDevice::Permissions keepExecutable = QFileDevice::Permissions());

// Makes a file about to be removed writable (clears the read-only attribute
// on Windows). A symbolic link is left alone, so its target is never changed.
void makeWritable(const QString &path);

// Copies the file source (a path on disk or ":/..." in a registered package)
// to target as QFile::copy does: refuses an existing target, follows a link
// at source and leaves nothing behind when it fails. Elsewhere than on
// Windows it writes the target directly, in large blocks or inside the
// kernel, where QFile::copy goes through an anonymous temporary file that it
// flushes to disk before linking it in, in 4 KiB blocks from a package.
bool copyFile(const QString &source, const QString &target, Failures *failures = nullptr);

// Told of every file a folder copy wrote: its source and target, and the
// bytes written when they were in memory (an uncompressed file of a
// registered package; the copy has read the file back and found exactly
// them), else data is nullptr. Called on the copying threads, possibly on
// several at once.
using CopiedFile = std::function<void(
    const QString &source, const QString &target, const char *data, qint64 size)>;

// Merges the folder source into target (created with its parents when
// missing): sub-folders first, then files. With overwrite an existing target
// file is replaced; without it the installed file stays. Hidden entries are
// passed over, symbolic links followed. True when the source existed, no file
// that was tried failed to copy, no nested copy failed, no entry name was
// unsafe, and the target folder exists afterwards. onCopied, when given, is
// told of each file written.
bool copyFolder(const QString &source, const QString &target, bool overwrite,
    Failures *failures = nullptr, int *copied = nullptr, const CopiedFile &onCopied = nullptr);

// copyFolder for each name of names below sourceRoot into the same name below
// targetRoot; stops at the first failure. An empty list succeeds.
bool copyFolderList(const QString &sourceRoot, const QStringList &names, const QString &targetRoot,
    bool overwrite, Failures *failures = nullptr, int *copied = nullptr,
    const CopiedFile &onCopied = nullptr);

// Every file named fileName (compared exactly) in folder at any depth, hidden
// files included; hidden sub-folders are not entered.
QList<QFileInfo> findFilesNamed(const QString &folder, const QString &fileName);

// Every file at any depth and every folder that holds no listed entry, depth
// first with a folder's files ahead of its sub-folders. Hidden entries and
// symbolic links are left out. Each entry's filePath() is folder + "/" + the
// entry's path relative to folder, when folder is an absolute, clean path.
QList<QFileInfo> listLeafEntries(const QString &folder);

// Removes folder with everything below it, hidden entries included. A symbolic
// link is removed as a link and never followed (also when folder itself is
// one). Removes all it can; true when nothing failed. A folder that does not
// exist counts as removed.
bool removeFolder(const QString &folder, Failures *failures = nullptr);

// Removes files (or links), several at a time when there are many; true when
// every one went. A file already absent counts as removed.
bool removeFiles(const QStringList &paths, Failures *failures = nullptr);

// Removes a file; true also when it is already absent.
bool deleteFile(const QString &target, Failures *failures = nullptr);

// Whether the file at path holds exactly bytes (the check a watched folder
// copy makes of every file it writes from memory).
bool holdsExactly(const QString &path, const QByteArray &bytes);

} // namespace FileTree
