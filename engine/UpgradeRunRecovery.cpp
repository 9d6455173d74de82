#include "UpgradeRun.h"

#include <QDir>
#include <QFileInfo>

#include "SuiteLayout.h"
#include "VersionRecords.h"

// Undoing an upgrade (after a failure or a cancel), and bringing an
// interrupted one to an end at the next start.

void UpgradeRun::rollBack()
{
    const bool hadChanges = transaction.hasChanges();
    if (hadChanges) {
        say(tr("正在恢复升级前的文件"));
        progressCount.progressed(tr("正在恢复升级前的文件"), 0);
    }
    current = Stage::RollingBack;
    const FileTree::Failures unrestored = transaction.rollBack(purpose == Purpose::Upgrade);
    for (const FileTree::Failure &failure : unrestored)
        say(tr("无法恢复:%1 %2").arg(QDir::toNativeSeparators(failure.path), failure.reason));
    if (!unrestored.isEmpty()) {
        restoreFailed = true;
        say(tr("部分文件未能恢复,升级前的文件保留在%1")
                .arg(SuiteLayout::backupRoot(request.mainPath)));
    } else if (hadChanges) {
        say(tr("已恢复到升级前的版本"));
    }
    // The package's rollback scripts, when scripts of it may have run: the
    // chain had started, and (for a recovery) no rollback ran them yet, or
    // they failed when one did.
    const bool scriptsMayHaveRun = purpose == Purpose::Upgrade
        ? failedIn >= Stage::BeforeScripts
        : transaction.passed(Journal::Mark::ChainStarted)
            && (!transaction.passed(Journal::Mark::RollbackScriptsRun)
                || transaction.passed(Journal::Mark::RollbackScriptsFailed));
    if (scriptsMayHaveRun && QDir(request.mainPath).exists()
        && QFileInfo(SuiteLayout::stagedPackageRoot(request.mainPath)).isDir()) {
        enter(Stage::RollbackScripts);
        return;
    }
    finishFailure();
}

void UpgradeRun::rollbackScriptsEnded(bool succeeded)
{
    if (!succeeded) {
        // The upgrade has failed already; what the rest would have put right
        // stays undone.
        restoreFailed = true;
        say(tr("回滚脚本执行失败,安装可能未完全恢复"));
    }
    // A recovery notes nothing: while they fail the journal stays, and the
    // next one runs them again.
    QString error;
    if (!transaction.mark(
            succeeded ? Journal::Mark::RollbackScriptsRun : Journal::Mark::RollbackScriptsFailed,
            &error))
        say(tr("无法写入升级日志文件%1:%2").arg(transaction.journalFile(), error));
    finishFailure();
}

void UpgradeRun::finishFailure()
{
    if (purpose == Purpose::Recovery) {
        endRecovery();
        return;
    }
    transaction.end(restoreFailed);
    current = Stage::Finished;
    emit ended(restoreFailed ? UpgradeOutcome::NotRestored : UpgradeOutcome::Restored);
}

void UpgradeRun::recover()
{
    purpose = Purpose::Recovery;
    Journal::Contents contents;
    QString line;
    const Transaction::Recovery found = transaction.openForRecovery(&contents, &line);
    if (!line.isEmpty())
        say(line);
    switch (found) {
    case Transaction::Recovery::Ready:
        recoverFrom(contents);
        return;
    case Transaction::Recovery::NothingToDo:
    case Transaction::Recovery::Unstarted:
        emit recovered(RecoveryResult::NothingToDo);
        break;
    case Transaction::Recovery::Busy:
        emit recovered(RecoveryResult::Busy);
        break;
    case Transaction::Recovery::Refused:
        emit recovered(RecoveryResult::Incomplete);
        break;
    }
    current = Stage::Finished;
}

// The journal's header says what the upgrade was; what it lists may have
// happened, wholly, partly or not: each change is undone as far as the files
// show it was made. Past the database step (or with the helper saying it got
// through) the upgrade is finished instead.
void UpgradeRun::recoverFrom(const Journal::Contents &contents)
{
    const QString mainPath = request.mainPath;
    request = contents.header;
    request.mainPath = mainPath;
    say(tr("发现未完成的升级(%1 升级到 %2),正在处理").arg(request.version, request.versionTo));
    if (transaction.passed(Journal::Mark::Committed)
        || (transaction.passed(Journal::Mark::DatabaseBegun)
            && DatabaseStep::applied(
                SuiteLayout::helperProgram(mainPath, request.exePath), helperArguments(), true))) {
        recoverForward();
        return;
    }
    rollBack();
}

// The database step had ended well: only the version records and the
// clean-up were left to do.
void UpgradeRun::recoverForward()
{
    recoveryResult = RecoveryResult::RolledForward;
    current = Stage::Commit;
    updateVersionRecords();
    endRecovery();
}

void UpgradeRun::endRecovery()
{
    transaction.end(restoreFailed);
    current = Stage::Finished;
    if (recoveryResult == RecoveryResult::RolledForward)
        say(tr("已完成上次中断的升级"));
    else if (!restoreFailed)
        say(tr("已将上次中断的升级撤销,安装已恢复到升级前的版本"));
    emit recovered(restoreFailed ? RecoveryResult::Incomplete : recoveryResult);
}
