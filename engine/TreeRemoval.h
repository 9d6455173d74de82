#pragma once

#include "FileTree.h"

// Removing folders with everything below them, and many files at once: on
// several threads when there are many entries, never through a link, and
// with every entry that stays noted with the system's reason.
namespace TreeRemoval {

// Removes folder with everything below it, hidden entries included. A symbolic
// link is removed as a link and never followed (also when folder itself is
// one). Removes all it can; true when nothing failed. A folder that does not
// exist counts as removed.
bool removeFolder(const QString &folder, FileTree::Failures *failures = nullptr);

// Removes files (or links), several at a time when there are many; true when
// every one went. A file already absent counts as removed.
bool removeFiles(const QStringList &paths, FileTree::Failures *failures = nullptr);

} // namespace TreeRemoval
