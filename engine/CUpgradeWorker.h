#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

#include "UpgradeOutcome.h"
#include "UpgradeRequest.h"
#include "UpgradeRun.h"

// Applies one upgrade package to the installed suite. Lives on its own thread;
// talks to the window only through signals. The chain of steps is carried by
// the worker's own signals and slots (sigExeShellBefore to slotExeShellBefore
// and so on); each upgrade is an UpgradeRun, made at its start and deleted at
// its end, which knows the order of the steps and does them. One upgrade runs
// at a time; one worker may apply several packages one after another.
//
// The upgrade is a transaction: the installation is locked against a second
// upgrade, every change of the file steps is journaled before it is made and
// made by moving (the replaced and removed items kept in a backup folder), so
// that a failure, a cancel, a time limit or a crash before the database step
// has ended well puts the installation back as it was, and a crash after it
// finishes the upgrade at the next start (doRecover).
class CUpgradeWorker : public QObject
{
    Q_OBJECT
public:
    explicit CUpgradeWorker(QObject *parent = nullptr);
    ~CUpgradeWorker() override;

    // Called by the window while the worker is idle, before startCopyAll.
    void setDbFlags(int isDb, int ifUpgradeDb);
    void setExePath(QString exePath);
    void setVersions(QString version, QString versionTo);
    // Time limits of a script and of the database helper, in seconds; 0 for
    // none. Defaults: 30 minutes for a script, none for the helper.
    void setTimeouts(int scriptSeconds, int dbSeconds);
    // All of the above at once.
    void setRequest(const UpgradeRequest &request);

    // Thread-safe: asks the running upgrade to stop and roll back. Ignored
    // once the upgrade is past the point where it can be undone.
    void requestCancel();

signals:
    void status(QString mess);
    void sigCopyAllEnd(bool success);
    void sigExeShellBefore();
    void sigExeDeleteFile();
    void sigExeUpdateFile();
    void sigExeAddFile();
    void sigExeShellAfter();
    void sigExeDb();
    void sigSuccess(bool success);
    void sigFaildClearEnd();
    void sigSuccessClearEnd();
    // Just before sigSuccessClearEnd or sigFaildClearEnd: how it ended.
    void sigOutcome(UpgradeOutcome outcome);
    // The end of doRecover.
    void sigRecoverEnd(RecoveryResult result);
    // How far the upgrade is: steps and files done out of all, and what it
    // does now ("正在执行脚本 …"). Sent at most a few times a second.
    void sigProgress(int done, int total, QString action);
    // For the log file: each script's end with its exit code (-1 when it
    // didn't end by itself) and the last lines it wrote.
    void sigScriptReport(QString script, int exitCode, QString lastLines);
    // A line of the run that asks a person to finish something by hand
    // ("请手动修改"), after the line itself; the upgrade stays done.
    void sigManualAction(QString line);
    // Something of the run that failed: kind ("file", "script", "database",
    // "record"), the file, script or program concerned, and why.
    void sigFailure(QString kind, QString target, QString reason);

public slots:
    // The first argument is unused: it stays because the window's startCopyAll
    // carries it (the installation directory); the worker needs only the main
    // directory, installPath.
    void doStartCopyAll(QString sysConfigXmlPath, QString installPath);
    void doStartUpgrade();
    void slotExeShellBefore();
    void slotFinishShellBefore(int exitCode);
    void slotExeDeleteFile();
    void slotExeUpdateFile();
    void slotExeAddFile();
    void slotExeShellAfter();
    void slotFinishShellAfter(int exitCode);
    void slotExeDb();
    void slotInstallHelperHandler();
    void slotInstallHelperFinishedHandler(int exitCode, QProcess::ExitStatus exitStatus);
    void slotFaildClear();
    void slotSuccessClear();
    // Stops what runs (a script, the helper) and rolls the upgrade back.
    void doCancel();
    // Brings an installation whose upgrade was interrupted (the journal is
    // still there) to a consistent state: undone, or finished when it was past
    // the database step. Ends with sigRecoverEnd; with nothing to do at once.
    void doRecover(QString installPath);
    // What follows the extraction's end (sigCopyAllEnd): the upgrade's chain
    // after a staging that succeeded, the clean-up after one that failed. The
    // window does the same through its own signals.
    void continueAfterStaging(bool staged);

private:
    UpgradeRun *startRun(const QString &mainPath);
    void announce(UpgradeRun::Stage stage);
    void runEnded(UpgradeOutcome outcome);
    // Hands a slot's call to the running upgrade's stage, if one runs.
    void enter(UpgradeRun::Stage stage);

    UpgradeRequest request;
    CancelRequest cancelRequest;
    UpgradeRun *run = nullptr;
};
