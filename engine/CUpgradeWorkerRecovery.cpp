#include "CUpgradeWorker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "ChildProcess.h"
#include "ContainedTree.h"
#include "SuiteLayout.h"

// Undoing an upgrade (after a failure or a cancel), and bringing an
// interrupted one to an end at the next start.

void CUpgradeWorker::rollBack()
{
    if (!madeChanges.isEmpty()) {
        emit status(tr("正在恢复升级前的文件"));
        progressed(tr("正在恢复升级前的文件"), 0);
    }
    // Last change first: a folder made for new files goes after them, a
    // folder moved away comes back before what was inside it is touched.
    // Files that moved in just now go back to the staging folder. Nothing is put back
    // or removed through a link leading outside the installation, not even
    // one planted after the change was made (by an after script): such a
    // change stays unrestored, its backup kept. The staging and backup
    // folders are reached by their held handles where the upgrade held them,
    // wherever they were moved since.
    ContainedTree &tree = containedTree();
    if (recovering) {
        for (const QString &folder :
            { SuiteLayout::stagingRoot(installPath), SuiteLayout::backupRoot(installPath) }) {
            if (QFileInfo(folder).isDir())
                tree.hold(folder);
        }
    }
    FileTree::Failures unrestored;
    for (int i = madeChanges.size() - 1; i >= 0; --i) {
        const FileChange *change = &madeChanges.at(i);
        FileTree::Failures failures;
        if (!change->undo(!recovering, &failures, tree)) {
            if (failures.isEmpty())
                failures.append({ change->target, QString() });
            unrestored += failures;
        }
    }
    for (const FileTree::Failure &failure : qAsConst(unrestored))
        emit status(
            tr("无法恢复:%1 %2").arg(QDir::toNativeSeparators(failure.path), failure.reason));
    if (!unrestored.isEmpty()) {
        restoreFailed = true;
        emit status(
            tr("部分文件未能恢复,升级前的文件保留在%1").arg(SuiteLayout::backupRoot(installPath)));
    } else if (!madeChanges.isEmpty()) {
        emit status(tr("已恢复到升级前的版本"));
    }
    madeChanges.clear();
    // The package's rollback scripts, when scripts of it may have run.
    if (chainStarted && installFolderPresent()
        && QFileInfo(SuiteLayout::stagedPackageRoot(installPath)).isDir()) {
        enterScriptStep(shellRollback);
        return;
    }
    finishFailure();
}

void CUpgradeWorker::rollbackScriptsEnded()
{
    QString error;
    if (journal.isOpen() && !journal.mark(Journal::Mark::RollbackScriptsRun, &error))
        emit status(
            tr("无法写入升级日志文件%1:%2").arg(SuiteLayout::journalFile(installPath), error));
    finishFailure();
}

void CUpgradeWorker::requestCancel()
{
    cancelRequested = true;
    QMetaObject::invokeMethod(this, &CUpgradeWorker::doCancel, Qt::QueuedConnection);
}

// A script or the helper that runs is stopped with what it started; its end
// then fails the upgrade, which is rolled back. The file steps look at the
// request between entries (stopForCancel).
void CUpgradeWorker::doCancel()
{
    if (!lock.isHeld() || recovering)
        return;
    if (committed) {
        emit status(tr("升级已完成数据库步骤,无法取消"));
        return;
    }
    for (QProcess *process : { shellBeforeProcess, shellAfterProcess, installHelperProcess }) {
        if (process && process->state() != QProcess::NotRunning)
            static_cast<ChildProcess *>(process)->killTree();
    }
}

bool CUpgradeWorker::stopForCancel()
{
    if (!cancelRequested || committed)
        return false;
    emit status(tr("升级已取消"));
    slotFaildClear();
    return true;
}

void CUpgradeWorker::doRecover(QString installPath)
{
    resetUpgradeState();
    this->installPath = installPath;
    recovering = true;
    recoveryAction = RecoveryResult::NothingToDo;
    if (!installFolderPresent() || !Journal::exists(installPath)) {
        emit sigRecoverEnd(RecoveryResult::NothingToDo);
        return;
    }
    switch (lock.take(SuiteLayout::lockFile(installPath))) {
    case InstallationLock::Result::Taken:
        break;
    case InstallationLock::Result::Busy:
        emit status(tr("另一个升级程序正在运行,无法恢复"));
        emit sigRecoverEnd(RecoveryResult::Busy);
        return;
    case InstallationLock::Result::Failed:
        emit status(tr("无法锁定安装目录:%1").arg(lock.errorString()));
        emit sigRecoverEnd(RecoveryResult::Incomplete);
        return;
    }
    Journal::Contents contents;
    QString error;
    if (!Journal::read(installPath, &contents, &error)) {
        emit status(
            tr("无法读取升级日志文件%1:%2").arg(SuiteLayout::journalFile(installPath), error));
        lock.release();
        emit sigRecoverEnd(RecoveryResult::Incomplete);
        return;
    }
    if (contents.unstarted) {
        // Interrupted while the journal was begun, before any change.
        emit status(tr("上次升级在作出任何改动前中断,已删除其未写完的升级日志文件%1")
                        .arg(SuiteLayout::journalFile(installPath)));
        QFile::remove(SuiteLayout::journalFile(installPath));
        lock.release();
        recovering = false;
        emit sigRecoverEnd(RecoveryResult::NothingToDo);
        return;
    }
    const Journal::Header &header = contents.header;
    setVersions(header.version, header.versionTo);
    setExePath(header.exePath);
    setDbFlags(header.isDb, header.ifUpgradeDb);
    emit status(tr("发现未完成的升级(%1 升级到 %2),正在处理").arg(version, versionTo));
    if (contents.marks.contains(Journal::Mark::Committed)
        || (contents.marks.contains(Journal::Mark::DatabaseBegun)
            && helperFinishedDatabase(true))) {
        recoverForward(contents);
        return;
    }
    recoveryAction = RecoveryResult::RolledBack;
    // The rollback scripts run once: not again after a rollback that ran them
    // but could not put every file back.
    chainStarted = contents.marks.contains(Journal::Mark::ChainStarted)
        && !contents.marks.contains(Journal::Mark::RollbackScriptsRun);
    // What the journal lists may have happened, wholly, partly or not: each
    // change is undone as far as the files show it was made.
    madeChanges = contents.changes;
    rollBack();
}

// The database step had ended well: only the version records and the
// clean-up were left to do.
bool CUpgradeWorker::recoverForward(const Journal::Contents &contents)
{
    Q_UNUSED(contents)
    recoveryAction = RecoveryResult::RolledForward;
    committed = true;
    updateVersionRecords();
    endRecovery();
    return true;
}

// Whether the helper got through (before the installer died, or before it
// was stopped): asked of the helper itself, which knows what it has applied.
// Unknown counts as no; a step with nothing to run counts as nothingToRun.
bool CUpgradeWorker::helperFinishedDatabase(bool nothingToRun)
{
    QStringList arguments;
    makeHelperArguments(arguments, findDbScriptDir(QStringLiteral("db_before")),
        findDbScriptDir(QStringLiteral("db_after")));
    if (arguments.isEmpty())
        return nothingToRun;
    QProcess helper;
    helper.start(
        SuiteLayout::helperProgram(installPath, exePath), arguments << QStringLiteral("--applied"));
    const bool answered = helper.waitForFinished(5 * 60 * 1000);
    if (!answered)
        helper.kill();
    return answered && helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0;
}

void CUpgradeWorker::endRecovery()
{
    contained.reset();
    removeTransactionFolders(restoreFailed);
    if (!restoreFailed)
        QFile::remove(SuiteLayout::journalFile(installPath));
    lock.release();
    recovering = false;
    if (recoveryAction == RecoveryResult::RolledForward)
        emit status(tr("已完成上次中断的升级"));
    else if (!restoreFailed)
        emit status(tr("已将上次中断的升级撤销,安装已恢复到升级前的版本"));
    emit sigRecoverEnd(restoreFailed ? RecoveryResult::Incomplete : recoveryAction);
}
