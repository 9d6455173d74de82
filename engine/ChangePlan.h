#pragma once

#include <QFileInfo>
#include <QList>
#include <QString>

#include "FileChange.h"

// What one entry of the delete, update or add step will change in the
// installation, worked out before anything changes, so that the journal can
// record it first. The mapping is the steps' own: below delete/ every leaf
// names a target (an empty folder a whole folder); below update/ and add/ a
// top-level file names one file and a top-level folder is merged into the
// folder of the same name (update/ replacing installed files, add/ only adding
// missing ones). Hidden entries are passed over, as the steps always did.
struct PlannedEntry
{
    QFileInfo entry; // in the step folder
    QString target; // in the installation
    QList<FileChange> changes;
    // What can't be done, already known (a folder where a file is expected);
    // the entry then fails whatever its changes do.
    FileTree::Failures refusals;
};

namespace ChangePlan {

enum class Step { Delete, Update, Add };

// The entries of one step folder with their changes. Backups are named
// backupRoot/<n>, n counting on from *nextBackup. Paths in gone (and what
// lies below them) count as absent: what an earlier step will have moved
// away, for a plan made before any step runs.
QList<PlannedEntry> plan(Step step, const QString &stepRoot, const QString &installPath,
    const QString &backupRoot, int *nextBackup, const QStringList &gone = QStringList());

} // namespace ChangePlan
