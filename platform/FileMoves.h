#pragma once

#include <QString>

#include <cstdint>

// The moves a transactional upgrade is made of: renames within one file
// system, each of them one step that either happened or didn't.
namespace FileMoves {

enum class Result {
    Done,
    Exists, // the destination is already there: nothing was moved
    CrossDevice, // source and destination are on different file systems
    Failed
};

// Renames a file or folder to a name that must not exist yet.
Result moveNew(const QString &from, const QString &to, QString *reason = nullptr);

// moveNew of the entry fromName in the folder held as fromFolder to toName
// in toFolder (handles as ContainedTree holds them), where the system renames
// relative to folders (Linux), sparing it the look-up of two whole paths;
// elsewhere moveNew(from, to), the same entries by their paths.
Result moveNewIn(std::intptr_t fromFolder, const QString &fromName, std::intptr_t toFolder,
    const QString &toName, const QString &from, const QString &to, QString *reason = nullptr);

// Renames from over to, replacing to in one step.
Result moveReplacing(const QString &from, const QString &to, QString *reason = nullptr);

// The installed file target is kept as backup (which must not exist) and
// replacement takes target's place, without a moment in which target is
// missing: a hard link and a rename on Unix, ReplaceFile on Windows (which
// refuses a read-only target). On failure target is as it was (backup may
// then exist as a second name of it).
Result replaceKeeping(
    const QString &target, const QString &replacement, const QString &backup, QString *reason);

// Gives to the whole permission mode and, where the process may set them,
// the owner and group of from (a file being replaced by to). Windows: its
// hidden, system, archive and not-indexed attributes (ReplaceFile keeps the
// security descriptor). False, with the reason, when they can't be set.
bool keepAttributes(const QString &from, const QString &to, QString *reason);

// Makes to a symbolic link with the very target text of the link at from
// (a relative link stays relative).
bool copyLink(const QString &from, const QString &to);

// Writes what is cached for the file system that holds path to disk.
bool syncFileSystem(const QString &path);
// Writes a file's or a folder's own data and entry list to disk.
bool syncEntry(const QString &path);
// Whether syncFileSystem may run on another thread while files are moved and
// replaced: on Unix it holds no file; on Windows it opens each file to flush
// it, and ReplaceFile fails with a sharing violation on a file held so.
bool syncRunsAlongsideMoves();

} // namespace FileMoves
