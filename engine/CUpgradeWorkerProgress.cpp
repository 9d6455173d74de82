#include "CUpgradeWorker.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>

#include "SuiteLayout.h"

// What the progress bar counts: every script, every file the file steps
// touch, the database step and the version records.

namespace {

int countScripts(const QString &folder)
{
    return QDir(folder)
        .entryList({ QStringLiteral("*.bat") }, QDir::Files | QDir::NoSymLinks)
        .size();
}

// The staged files that no file step touches: the descriptor, readme and
// manifest, scripts and SQL (all few), every file but delete/, update/, add/.
int countFilesBesideSteps(const QString &packageRoot)
{
    const QStringList steps { QStringLiteral("delete"), QStringLiteral("update"),
        QStringLiteral("add") };
    int count = 0;
    const QFileInfoList entries
        = QDir(packageRoot)
              .entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (!entry.isDir() || entry.isSymLink()) {
            ++count;
        } else if (!steps.contains(entry.fileName())) {
            QDirIterator it(entry.filePath(), QDir::Files | QDir::Hidden | QDir::System,
                QDirIterator::Subdirectories);
            for (; it.hasNext(); it.next())
                ++count;
        }
    }
    return count;
}

} // namespace

void CUpgradeWorker::countProgressTotal()
{
    progressDone = 1; // the extraction
    const int fileStepFiles
        = qMax(0, stagedFiles - countFilesBesideSteps(SuiteLayout::stagedPackageRoot(installPath)));
    progressTotal = 3 + fileStepFiles
        + countScripts(SuiteLayout::stagedScriptFolder(installPath, shellBefore.folder))
        + countScripts(SuiteLayout::stagedScriptFolder(installPath, shellAfter.folder));
    lastProgressMs = 0;
}

// Counts units done. A new action is reported at once; counting alone at the
// end, or a tenth of a second after the last report.
void CUpgradeWorker::progressed(const QString &action, int units)
{
    progressDone = qMin(progressTotal, progressDone + units);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (action.isEmpty() && progressDone < progressTotal && now - lastProgressMs < 100)
        return;
    if (!action.isEmpty())
        progressAction = action;
    lastProgressMs = now;
    emit sigProgress(progressDone, progressTotal, progressAction);
}

bool CUpgradeWorker::progressDue() const
{
    return QDateTime::currentMSecsSinceEpoch() - lastProgressMs >= 100;
}
