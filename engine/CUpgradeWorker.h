#pragma once

#include <QFileInfo>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <memory>

#include "ChangePlan.h"
#include "ContainedTree.h"
#include "FileChange.h"
#include "FileTree.h"
#include "InstallationLock.h"
#include "Journal.h"
#include "OutputTail.h"
#include "UpgradeOutcome.h"
#include "UpgradeRequest.h"

class ChildProcess;

// Applies one upgrade package to the installed suite, as a chain of steps that
// hand over to each other through signals joined to the worker itself. Lives on
// its own thread; talks to the window only through signals. One upgrade runs
// at a time; each starts from a clean state, so one worker may apply several
// packages one after another.
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

    // File-system helpers shared by the steps.
    bool copyAllToStaging();
    QList<QFileInfo> findPlaceholderFiles(const QString &folder);
    bool removeFolder(const QString &folder);

    // Database step and version record.
    QString findDbScriptDir(QString name);
    void makeHelperArguments(QStringList &arguments, QString beforeDir, QString afterDir);
    void updateVersionRecords();
    void updateVersionRecord(QString xmlPath);

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
    // The rollback scripts have run (internal).
    void sigRollbackScriptsDone();
    // How far the upgrade is: steps and files done out of all, and what it
    // does now ("正在执行脚本 …"). Sent at most a few times a second.
    void sigProgress(int done, int total, QString action);
    // For the log file: each script's end with its exit code (-1 when it
    // didn't end by itself) and the last lines it wrote.
    void sigScriptReport(QString script, int exitCode, QString lastLines);

public slots:
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

private:
    void runShellBefore(int index);
    void runShellAfter(int index);

    // The processes are children of the worker, created on first use.
    QProcess *installHelperProcess = nullptr;
    QProcess *shellBeforeProcess = nullptr;
    QProcess *shellAfterProcess = nullptr;
    QString installPath;
    int isDb = 0;
    int ifUpgradeDb = 0;
    QString exePath;
    QString version;
    QString versionTo;
    QStringList shellBeforeList;
    QStringList shellAfterList;
    int shellBeforeIndex = 0;
    int shellAfterIndex = 0;

    // What the before and the after script step don't share; everything else
    // is the one script runner below (enterScriptStep, runScript, scriptEnded).
    struct ScriptStep
    {
        QString folder; // below shell/ in the staged package
        QProcess *&process;
        QStringList &list;
        int &index;
        void (CUpgradeWorker::*finished)(int); // the step's end-of-script slot
        void (CUpgradeWorker::*next)(); // the signal after its last script
        // True from a script's start until its end has been handled, so that
        // each script's end is taken exactly once whatever the process reports.
        bool running = false;
    };
    ScriptStep shellBefore { QStringLiteral("shell_before"), shellBeforeProcess, shellBeforeList,
        shellBeforeIndex, &CUpgradeWorker::slotFinishShellBefore,
        &CUpgradeWorker::sigExeDeleteFile };
    ScriptStep shellAfter { QStringLiteral("shell_after"), shellAfterProcess, shellAfterList,
        shellAfterIndex, &CUpgradeWorker::slotFinishShellAfter, &CUpgradeWorker::sigExeDb };
    // The package's rollback scripts, run after the files were put back.
    QProcess *shellRollbackProcess = nullptr;
    QStringList shellRollbackList;
    int shellRollbackIndex = 0;
    void slotFinishShellRollback(int exitCode);
    ScriptStep shellRollback { QStringLiteral("shell_rollback"), shellRollbackProcess,
        shellRollbackList, shellRollbackIndex, &CUpgradeWorker::slotFinishShellRollback,
        &CUpgradeWorker::sigRollbackScriptsDone };
    void enterScriptStep(ScriptStep &step);
    void runScript(ScriptStep &step, int index);
    void scriptFinished(ScriptStep &step, int exitCode);
    void scriptEnded(ScriptStep &step, bool succeeded, bool failedToStart = false);
    QString scriptFailureReason(ScriptStep &step, bool failedToStart);
    QStringList findScripts(const QString &folderName) const;
    QProcess *createScriptProcess(ScriptStep &step);

    // The one procedure of the delete, update and add steps.
    void runFileStep(int step, const char *function);
    bool runFileEntry(const QStringList &lines, const PlannedEntry &planned);
    bool applyChanges(const PlannedEntry &planned);
    void endFileSteps();
    void reportFailures();

    // The transaction: lock, journal, backups, and their end.
    bool beginTransaction();
    bool journalMark(Journal::Mark mark);
    void rollBack();
    void rollbackScriptsEnded();
    void finishFailure();
    void endTransaction(bool keepBackups);
    void removeTransactionFolders(bool keepBackups);
    // The main directory, and the staging and backup folders once the file
    // steps begin, held open for the changes (ContainedTree); let go before
    // the transaction's folders are removed.
    std::unique_ptr<ContainedTree> contained;
    ContainedTree &containedTree();
    bool holdTransactionFolders();
    // A path below a held folder as one that reaches it by its handle (for
    // reading the staged package, and for the children that read it).
    QString throughHeld(const QString &path) const;
    bool recoverForward(const Journal::Contents &contents);
    bool helperFinishedDatabase(bool nothingToRun);
    void endRecovery();

    bool installFolderPresent() const;
    // False, after ending the upgrade with a line that says why, when the
    // installation folder or the staged package has gone.
    bool stepCanRun();
    void abandonWithoutInstallFolder();
    void removeStagingFolder();
    // Names what is left of a staging folder that could not be emptied.
    void reportStagingLeftovers(const QString &stagingRoot);
    // Forgets everything of an earlier upgrade: lists, indexes, flags, counts.
    void resetUpgradeState();
    // One log line per kept line of a failed child's error output.
    void reportErrorOutput(const OutputTail &errors);

    // The last lines of the running script's and of the helper's error output,
    // and of everything the running script wrote.
    OutputTail scriptErrors;
    OutputTail scriptOutput { 20, 500 };
    OutputTail helperErrors;
    // What the last file operation found wrong, and the failed operations of
    // the delete, update and add steps of this upgrade.
    FileTree::Failures lastFailures;
    int fileStepFailures = 0;

    InstallationLock lock;
    Journal journal;
    // The changes made so far, in order, for an undo that knows what it did.
    QList<FileChange> madeChanges;
    int nextBackup = 0;
    bool chainStarted = false;
    bool committed = false;
    bool restoreFailed = false; // something could not be put back
    bool recovering = false; // doRecover, not an upgrade, is rolling back
    bool lockBusy = false; // another upgrade holds the installation
    RecoveryResult recoveryAction = RecoveryResult::NothingToDo;
    std::atomic<bool> cancelRequested { false };
    int scriptTimeoutSeconds = 30 * 60;
    int dbTimeoutSeconds = 0;
    bool stopForCancel();

    // What the upgrade wrote is written to disk in the background from the
    // end of the extraction; makeDurable waits for it and writes the rest,
    // before the database step or the commit can't be undone any more.
    QThread *writeBack = nullptr;
    void startWriteBack();
    void makeDurable();

    // Progress: the files of the staged package, its scripts, the database
    // step and the records.
    int stagedFiles = 0;
    int progressDone = 0;
    int progressTotal = 0;
    qint64 lastProgressMs = 0;
    QString progressAction;
    void countProgressTotal();
    // An empty action keeps the last one; a step's first report always goes.
    void progressed(const QString &action, int units = 1);
    bool progressDue() const;

    // Database step: a helper that cannot be started ends the upgrade too.
    void installHelperErrorHandler(QProcess::ProcessError error);
    void helperFailed(int exitCode, QProcess::ExitStatus exitStatus);
    void startHelper(const QStringList &arguments);
    void commitUpgrade();
    // True from the helper's start until its end has been judged, so that a
    // start failure and a crash each end the upgrade exactly once.
    bool installHelperPending = false;

    // The database step's tests set installPath without running an extraction.
    friend class tst_DatabaseStep;
    friend class tst_VersionRecord;
};
