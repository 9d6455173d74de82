#include "CUpgradeWorker.h"

#include <QDebug>
#include <QDir>

#include "ContainedTree.h"
#include "EngineLog.h"
#include "FaultInjection.h"
#include "PathGuard.h"
#include "SuiteLayout.h"

// The delete, update and add steps: one procedure, three tables of texts.

namespace {

enum FileStep { DeleteStep, UpdateStep, AddStep };

// Folder below the staged package root and the progress lines of one file step.
struct FileStepTexts
{
    const char *folder;
    const char *beforeFile;
    const char *fileFailed;
    const char *fileDone;
    const char *beforeFolder;
    const char *folderFailed;
    const char *folderDone;
};

const FileStepTexts fileSteps[] = {
    { "delete", QT_TRANSLATE_NOOP("CUpgradeWorker", "正在删除文件:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "删除文件:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "删除文件:%1成功"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "正在删除目录:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "删除目录:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "删除目录:%1成功") },
    { "update", QT_TRANSLATE_NOOP("CUpgradeWorker", "正在更新文件:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "更新文件:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "更新文件:%1成功"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "正在更新目录:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "更新目录:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "更新目录:%1成功") },
    { "add", QT_TRANSLATE_NOOP("CUpgradeWorker", "正在添加文件:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "添加文件:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "添加文件:%1成功"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "正在添加目录:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "添加目录:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "添加目录:%1成功") },
};

} // namespace

void CUpgradeWorker::slotExeDeleteFile()
{
    runFileStep(DeleteStep, Q_FUNC_INFO);
}

void CUpgradeWorker::slotExeUpdateFile()
{
    runFileStep(UpdateStep, Q_FUNC_INFO);
}

void CUpgradeWorker::slotExeAddFile()
{
    runFileStep(AddStep, Q_FUNC_INFO);
}

void CUpgradeWorker::runFileStep(int step, const char *function)
{
    if (!stepCanRun())
        return;
    const QDir dir(
        SuiteLayout::stagedStepFolder(installPath, QLatin1String(fileSteps[step].folder)));
    if (dir.exists()) {
        const QString stepRoot = dir.absolutePath();
        qCDebug(lcEngine).noquote() << function << stepRoot;
        // Every change reaches its folders from the main directory's handle,
        // and the staging and backup folders are held from their first use on:
        // no link on the way, planted before or during the step, leads a
        // change outside the installation.
        const QString backups = SuiteLayout::backupRoot(installPath);
        PathGuard::Escape escape;
        if (!PathGuard(installPath).check(backups, &escape)) {
            emit status(PathGuard::refusal(escape));
            slotFaildClear();
            return;
        }
        QDir().mkpath(backups);
        if (!holdTransactionFolders())
            return;
        const QList<PlannedEntry> entries = ChangePlan::plan(ChangePlan::Step(step), stepRoot,
            installPath, QFileInfo(backups).absoluteFilePath(), &nextBackup);
        // The step's changes are on disk in the journal before the first is made.
        QList<FileChange> changes;
        for (const PlannedEntry &planned : entries)
            changes += planned.changes;
        QString error;
        if (journal.isOpen() && !journal.record(changes, &error)) {
            emit status(
                tr("无法写入升级日志文件%1:%2").arg(SuiteLayout::journalFile(installPath), error));
            slotFaildClear();
            return;
        }
        FaultInjection::changeMade();
        // Translated once per step, not twice per entry.
        const FileStepTexts &texts = fileSteps[step];
        const QStringList lines { tr(texts.beforeFile), tr(texts.fileDone), tr(texts.fileFailed),
            tr(texts.beforeFolder), tr(texts.folderDone), tr(texts.folderFailed) };
        for (const PlannedEntry &planned : entries) {
            if (stopForCancel())
                return;
            if (!runFileEntry(lines, planned))
                ++fileStepFailures;
        }
    }

    if (step == DeleteStep)
        emit sigExeUpdateFile();
    else if (step == UpdateStep)
        emit sigExeAddFile();
    else
        endFileSteps();
}

// The main directory is held from the first change on; the staging and backup
// folders as well, so that a folder swapped for a link since can't redirect a
// change. False, after ending the upgrade with the reason, when one can't be.
bool CUpgradeWorker::holdTransactionFolders()
{
    ContainedTree &tree = containedTree();
    ContainedTree::Parent refusal;
    for (const QString &folder :
        { SuiteLayout::stagingRoot(installPath), SuiteLayout::backupRoot(installPath) }) {
        if (!tree.isOpen() || !tree.hold(folder, &refusal)) {
            emit status(refusal.state() == ContainedTree::Parent::State::Escapes
                    ? refusal.reason()
                    : tr("无法打开文件夹%1:%2")
                          .arg(QDir::toNativeSeparators(folder),
                              tree.isOpen() ? refusal.reason() : installPath));
            slotFaildClear();
            return false;
        }
    }
    return true;
}

ContainedTree &CUpgradeWorker::containedTree()
{
    if (!contained)
        contained = std::make_unique<ContainedTree>(installPath);
    return *contained;
}

// After the add step: every change made, or the upgrade fails and is undone.
void CUpgradeWorker::endFileSteps()
{
    if (fileStepFailures > 0) {
        // With a file operation failed the after scripts, the database and the
        // version record must not run on a half-changed installation.
        emit status(tr("%1项文件操作失败,升级终止").arg(fileStepFailures));
        slotFaildClear();
        return;
    }
    if (journalMark(Journal::Mark::FilesDone))
        emit sigExeShellAfter();
}

// One entry of a file step, with its lines (before, done, failed for a file,
// then for a folder); false when it failed.
bool CUpgradeWorker::runFileEntry(const QStringList &lines, const PlannedEntry &planned)
{
    const int first = planned.entry.isDir() ? 3 : 0;
    // The target joins the main directory and the package's relative path:
    // shown with one kind of separator, the system's.
    const QString shown = QDir::toNativeSeparators(planned.target);
    emit status(lines.at(first).arg(shown));
    if (progressDue())
        progressed(lines.at(first).arg(shown.mid(installPath.size() + 1)), 0);
    const bool done = applyChanges(planned);
    emit status(lines.at(first + (done ? 1 : 2)).arg(shown));
    if (!done)
        reportFailures();
    return done;
}

// The entry's changes in order; one that fails leaves its target as it was,
// and the others are still made (they are undone with the rest).
bool CUpgradeWorker::applyChanges(const PlannedEntry &planned)
{
    lastFailures = planned.refusals;
    bool done = planned.refusals.isEmpty();
    ContainedTree &tree = containedTree();
    for (const FileChange &change : planned.changes) {
        if (change.apply(&lastFailures, tree)) {
            madeChanges.append(change);
            FaultInjection::changeMade();
            if (change.kind != FileChange::MakeFolder)
                progressed(QString(), change.files);
        } else {
            done = false;
        }
    }
    return done;
}

// The line after a failed file or folder: which file, and why.
void CUpgradeWorker::reportFailures()
{
    if (lastFailures.isEmpty())
        return;
    const FileTree::Failure &first = lastFailures.first();
    QString reason
        = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(first.path), first.reason);
    if (lastFailures.size() > 1)
        reason += tr("(另有%1项失败)").arg(lastFailures.size() - 1);
    emit status(tr("失败原因:%1").arg(reason));
}
