#pragma once

#include <QList>
#include <QStringList>

class ContainedTree;
struct UpgradeRequest;

// The last step of an upgrade: every copy of the installation record names
// the new version. A copy that can't be rewritten is named for the operator
// to fix by hand; the upgrade stays done.
namespace VersionRecords {

// A copy that could not be rewritten: where, why, and the line that asks the
// operator to fix it by hand.
struct Failure
{
    QString path;
    QString reason;
    QString manualLine;
};

// Both copies in turn (the installation directory's, the main directory's),
// with the log lines of each; the copies that failed are added to failures.
QStringList updateAll(
    const UpgradeRequest &request, ContainedTree *tree, QList<Failure> *failures = nullptr);

// One copy. Below the main directory it is written in its folder as opened
// from the held main directory (tree), never through a link that leads out.
QStringList update(const QString &path, const UpgradeRequest &request, ContainedTree *tree,
    QList<Failure> *failures = nullptr);

} // namespace VersionRecords
