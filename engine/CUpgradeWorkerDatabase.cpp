#include "CUpgradeWorker.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include "ChildProcess.h"
#include "EngineLog.h"
#include "FaultInjection.h"
#include "PathGuard.h"
#include "SuiteLayout.h"
#include "UpgradeConstants.h"
#include "VersionRecordFile.h"

// Database step: hands the package's SQL folders to the suite's helper
// program, shows its output and judges its end. Then the version record.

QString CUpgradeWorker::findDbScriptDir(QString name)
{
    if (!installFolderPresent())
        return QString();
    const QDir dir(SuiteLayout::stagedDbFolder(installPath, name));
    const QDir held(throughHeld(dir.path()));
    if (!held.exists())
        return QString();
    // Plain files only (no links, nothing hidden); the pattern ignores case.
    const QFileInfoList scripts
        = held.entryInfoList({ QStringLiteral("*.sql") }, QDir::Files | QDir::NoSymLinks);
    if (scripts.isEmpty())
        return QString();
    return dir.absolutePath();
}

void CUpgradeWorker::makeHelperArguments(
    QStringList &arguments, QString beforeDir, QString afterDir)
{
    if (ifUpgradeDb != 0)
        arguments << QStringLiteral("--up") << QStringLiteral("yes");
    // The helper reads the staged SQL through the held staging folder.
    if (!beforeDir.isEmpty())
        arguments << QStringLiteral("--before") << throughHeld(beforeDir);
    if (!afterDir.isEmpty())
        arguments << QStringLiteral("--after") << throughHeld(afterDir);
}

void CUpgradeWorker::slotExeDb()
{
    QStringList arguments;
    if (isDb != 0) {
        if (!stepCanRun())
            return;
        makeHelperArguments(arguments, findDbScriptDir(QStringLiteral("db_before")),
            findDbScriptDir(QStringLiteral("db_after")));
    }
    if (arguments.isEmpty()) {
        commitUpgrade();
        return;
    }
    // Should the installer die while the helper runs, the next start asks the
    // database whether the helper got through: if so the upgrade is finished,
    // and the files it needs must be on disk by then.
    makeDurable();
    if (!journalMark(Journal::Mark::DatabaseBegun))
        return;
    progressed(tr("正在升级数据库"), 0);
    startHelper(arguments);
}

void CUpgradeWorker::startHelper(const QStringList &arguments)
{
    if (!installHelperProcess) {
        installHelperProcess = new ChildProcess(this);
        connect(installHelperProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
            this, &CUpgradeWorker::slotInstallHelperFinishedHandler);
        connect(installHelperProcess, &QProcess::readyReadStandardOutput, this,
            &CUpgradeWorker::slotInstallHelperHandler);
        // A helper that cannot be started reports only this, never finished.
        connect(installHelperProcess, &QProcess::errorOccurred, this,
            &CUpgradeWorker::installHelperErrorHandler);
        // Its errors come on the error output; the last lines are kept for
        // the log, should it fail.
        connect(installHelperProcess, &QProcess::readyReadStandardError, this,
            [this] { helperErrors.append(installHelperProcess->readAllStandardError()); });
    }
    helperErrors.clear();
    static_cast<ChildProcess *>(installHelperProcess)->setTimeLimit(dbTimeoutSeconds);

    const QString program = SuiteLayout::helperProgram(installPath, exePath);
    qCDebug(lcEngine).noquote().nospace() << "program " << program << " arguments:" << arguments;

    installHelperPending = true;
    // No working directory is set: the helper inherits the installer's.
    installHelperProcess->start(program, arguments, QIODevice::ReadWrite);
    // The outcome is judged by the process's notifications, not by this wait.
    installHelperProcess->waitForStarted(30000);
}

// Past the database step the upgrade is finished, never undone: the journal
// says so first, then the version records are written.
void CUpgradeWorker::commitUpgrade()
{
    QString error;
    makeDurable(); // nothing the committed upgrade needs may be lost after this
    if (!journal.isOpen())
        ; // a step driven on its own, outside an upgrade
    else if (journal.mark(Journal::Mark::Committed, &error))
        FaultInjection::changeMade();
    else
        emit status(
            tr("无法写入升级日志文件%1:%2").arg(SuiteLayout::journalFile(installPath), error));
    committed = true;
    progressed(tr("正在修改版本信息"));
    updateVersionRecords();
    progressed(QString(), progressTotal);
    slotSuccessClear();
}

void CUpgradeWorker::slotInstallHelperHandler()
{
    if (!installHelperProcess)
        return;
    // Complete lines only; a last fragment without a line end stays unread.
    while (installHelperProcess->canReadLine()) {
        const QByteArray line = installHelperProcess->readLine().simplified();
        emit status(QString::fromUtf8(line));
    }
}

void CUpgradeWorker::slotInstallHelperFinishedHandler(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (sender() && sender() == installHelperProcess) {
        if (!installHelperPending)
            return; // this run's end was already judged
        installHelperPending = false;
    }
    FaultInjection::changeMade();
    if (exitStatus == QProcess::NormalExit && exitCode == 0) {
        commitUpgrade();
        return;
    }
    helperFailed(exitCode, exitStatus);
}

// A helper that reports failure through its exit code failed as much as one
// that ended abnormally: the database is not at the new version.
void CUpgradeWorker::helperFailed(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (installHelperProcess) {
        slotInstallHelperHandler();
        helperErrors.append(installHelperProcess->readAllStandardError());
    }
    auto *helper = static_cast<ChildProcess *>(installHelperProcess);
    if (helper && helper->timedOut())
        emit status(tr("数据库升级程序超过时间限制(%1秒),已终止").arg(helper->timeLimit()));
    else if (cancelRequested)
        emit status(tr("升级已取消"));
    else if (exitStatus == QProcess::NormalExit)
        emit status(tr("数据库升级程序执行失败,退出码为%1").arg(exitCode));
    else
        emit status(tr("数据库升级程序异常结束"));
    reportErrorOutput(helperErrors);
    // Stopped or failed after its transaction committed (between its commit
    // and its exit): the database can't be taken back, so the files must not
    // be either. The upgrade is completed instead.
    if (helperFinishedDatabase(false)) {
        emit status(tr("数据库已升级到新版本,无法撤销,升级继续完成"));
        commitUpgrade();
        return;
    }
    slotFaildClear();
}

void CUpgradeWorker::installHelperErrorHandler(QProcess::ProcessError error)
{
    // A crash is followed by finished(), which judges it; only a failed start
    // has no other notification.
    if (error != QProcess::FailedToStart || !installHelperPending)
        return;
    installHelperPending = false;
    const QString reason = installHelperProcess ? installHelperProcess->errorString() : QString();
    emit status(tr("数据库升级程序启动失败:%1").arg(reason));
    slotFaildClear();
}

void CUpgradeWorker::updateVersionRecords()
{
    const QStringList copies
        = SuiteLayout::recordCopies(UpgradeConstants::installDir(), installPath);
    for (const QString &copy : copies)
        updateVersionRecord(copy);
}

void CUpgradeWorker::updateVersionRecord(QString xmlPath)
{
    QString reason;
    // The copy in the main directory is written in its folder as opened from
    // the held main directory, never through a link that leads outside (the
    // record itself may be a link only while it stays inside).
    QString writePath = xmlPath;
    ContainedTree::Parent parent;
    if (!installPath.isEmpty()
        && PathGuard::atOrBelow(PathGuard::cleaned(xmlPath), PathGuard::cleaned(installPath))) {
        parent = containedTree().parentOf(xmlPath);
        PathGuard::Escape escape;
        if (parent.state() == ContainedTree::Parent::State::Escapes
            || !PathGuard(installPath).check(xmlPath, &escape)) {
            emit status(parent.state() == ContainedTree::Parent::State::Escapes
                    ? parent.reason()
                    : PathGuard::refusal(escape));
            emit status(tr("升级成功,但修改%1版本信息失败,请手动修改!")
                            .arg(QDir::toNativeSeparators(xmlPath)));
            return;
        }
        if (parent.ready())
            writePath = parent.entry();
    }
    switch (VersionRecordFile::rewrite(writePath, version, versionTo, &reason)) {
    case VersionRecordFile::Result::Written:
        emit status(tr("修改%1版本信息成功!").arg(QDir::toNativeSeparators(xmlPath)));
        break;
    case VersionRecordFile::Result::ParseError:
        // Left as it was; the operator must hear that it still names the old
        // version, as for a record that can't be read.
    case VersionRecordFile::Result::CannotRead:
    case VersionRecordFile::Result::CannotWrite:
        qCDebug(lcEngine).noquote() << "version record not updated:" << xmlPath << reason;
        emit status(
            tr("升级成功,但修改%1版本信息失败,请手动修改!").arg(QDir::toNativeSeparators(xmlPath)));
        break;
    }
}
