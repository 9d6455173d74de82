#include "UpgradeProgress.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>

#include "SuiteLayout.h"

namespace {

const qint64 reportIntervalMs = 100;

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

UpgradeProgress::UpgradeProgress(Report report)
    : report(std::move(report))
{ }

int UpgradeProgress::units(const QString &mainPath, int stagedFiles)
{
    const int fileStepFiles
        = qMax(0, stagedFiles - countFilesBesideSteps(SuiteLayout::stagedPackageRoot(mainPath)));
    return 3 + fileStepFiles
        + countScripts(SuiteLayout::stagedScriptFolder(mainPath, QStringLiteral("shell_before")))
        + countScripts(SuiteLayout::stagedScriptFolder(mainPath, QStringLiteral("shell_after")));
}

void UpgradeProgress::start(const QString &mainPath, int stagedFiles)
{
    done = 1; // the extraction
    total = units(mainPath, stagedFiles);
    lastReportMs = 0;
}

void UpgradeProgress::progressed(const QString &newAction, int units)
{
    done = qMin(total, done + units);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (newAction.isEmpty() && done < total && now - lastReportMs < reportIntervalMs)
        return;
    if (!newAction.isEmpty())
        action = newAction;
    lastReportMs = now;
    report(done, total, action);
}

bool UpgradeProgress::due() const
{
    return QDateTime::currentMSecsSinceEpoch() - lastReportMs >= reportIntervalMs;
}
