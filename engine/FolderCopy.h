#pragma once

#include "FileTree.h"

// Copying package folders: the merges of the staging copy, their files
// written on several threads and each one told to an observer, and the copy
// of a single file they are made of. A file is copied by the quick road
// (FastCopy) where it can be, else by QFile::copy.
namespace FolderCopy {

// Copies the file source (a path on disk or ":/..." in a registered package)
// to target as QFile::copy does: refuses an existing target, follows a link
// at source and leaves nothing behind when it fails. Elsewhere than on
// Windows it writes the target directly, in large blocks or inside the
// kernel, where QFile::copy goes through an anonymous temporary file that it
// flushes to disk before linking it in, in 4 KiB blocks from a package.
bool copyFile(const QString &source, const QString &target, FileTree::Failures *failures = nullptr);

// Merges the folder source into target (created with its parents when
// missing): sub-folders first, then files. With overwrite an existing target
// file is replaced; without it the installed file stays. Hidden entries are
// passed over, symbolic links followed. True when the source existed, no file
// that was tried failed to copy, no nested copy failed, no entry name was
// unsafe, and the target folder exists afterwards. The files written are
// counted into *copied when asked; onCopied, when given, is told of each.
bool copyFolder(const QString &source, const QString &target, bool overwrite,
    FileTree::Failures *failures = nullptr, int *copied = nullptr,
    const FileTree::CopiedFile &onCopied = nullptr);

// copyFolder for each name of names below sourceRoot into the same name below
// targetRoot; stops at the first failure. An empty list succeeds.
bool copyFolderList(const QString &sourceRoot, const QStringList &names, const QString &targetRoot,
    bool overwrite, FileTree::Failures *failures = nullptr, int *copied = nullptr,
    const FileTree::CopiedFile &onCopied = nullptr);

} // namespace FolderCopy
