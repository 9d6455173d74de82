#pragma once

#include <QFileInfo>
#include <QList>
#include <QString>

#include <functional>

class ContainedTree;

// The first step of an upgrade: the registered package's tree is written into
// the staging folder of the main directory, each file checked against the
// package's manifest, and the placeholder files dropped. Nothing in the
// installation changes.
namespace StagingExtraction {

using Say = std::function<void(const QString &line)>;

// False, with what went wrong said, when the package could not be staged
// whole and unaltered. The staging folder is held in tree from its making on.
// When the package file was changed on disk since it was loaded,
// *changedPackage (when given) names it.
bool extract(const QString &mainPath, ContainedTree &tree, const Say &say, int *stagedFiles,
    QString *changedPackage = nullptr);

// The placeholder files below folder (they only keep empty folders in a package).
QList<QFileInfo> placeholderFiles(const QString &folder);

} // namespace StagingExtraction
