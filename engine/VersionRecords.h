#pragma once

#include <QStringList>

class ContainedTree;
struct UpgradeRequest;

// The last step of an upgrade: every copy of the installation record names
// the new version. A copy that can't be rewritten is named for the operator
// to fix by hand; the upgrade stays done.
namespace VersionRecords {

// Both copies in turn (the installation directory's, the main directory's),
// with the log lines of each.
QStringList updateAll(const UpgradeRequest &request, ContainedTree *tree);

// One copy. Below the main directory it is written in its folder as opened
// from the held main directory (tree), never through a link that leads out.
QStringList update(const QString &path, const UpgradeRequest &request, ContainedTree *tree);

} // namespace VersionRecords
