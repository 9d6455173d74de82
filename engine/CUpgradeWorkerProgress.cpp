#include "CUpgradeWorker.h"

#include <QDateTime>
#include <QDir>

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

} // namespace

void CUpgradeWorker::countProgressTotal()
{
    progressDone = 1; // the extraction
    progressTotal = 3 + stagedFiles
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
