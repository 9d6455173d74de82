#pragma once

#include <QObject>
#include <QStringList>

#include <atomic>

#include "ChangePlan.h"
#include "DatabaseStep.h"
#include "Journal.h"
#include "Transaction.h"
#include "UpgradeOutcome.h"
#include "UpgradeProgress.h"
#include "UpgradeRequest.h"

class ScriptRunner;

// A request to cancel the running upgrade: made from any thread, looked at by
// the run between its steps and when a script or the helper ends.
class CancelRequest
{
public:
    void make() { made = true; }
    void withdraw() { made = false; }
    bool isMade() const { return made; }

private:
    std::atomic<bool> made { false };
};

// One upgrade, or one recovery of an interrupted upgrade, from start to end:
// created for it and deleted after it, so nothing carries over. Its stage says
// where it is; advance() is the one place that goes from a stage to the next,
// fail() the one place that turns to the undo. The file changes, scripts, the
// database step and the version record are its parts; the transaction
// (lock, journal, undo) holds what it changed.
class UpgradeRun : public QObject
{
    Q_OBJECT
public:
    enum class Stage {
        Staging,
        BeforeScripts,
        Delete,
        Update,
        Add,
        AfterScripts,
        Database,
        Commit,
        RollingBack,
        RollbackScripts,
        Finished
    };
    Q_ENUM(Stage)

    UpgradeRun(const UpgradeRequest &request, const CancelRequest &cancelRequest,
        QObject *parent = nullptr);
    ~UpgradeRun() override;

    Stage stage() const { return current; }

    // The extraction; ends with staged().
    void stageFiles();
    // Past the extraction: scripts may run from here on.
    void startChain();
    // Runs a stage that advance() announced (stageDue), or that the face was
    // asked for by its slot.
    void enter(Stage stage);
    // The upgrade failed (or was refused): the undo, then ended().
    void fail();
    // The upgrade is done and committed: the clean-up, then ended().
    void succeed();
    // Stops a script or the helper that runs; its end fails the upgrade.
    void cancel();
    // Brings an interrupted upgrade to an end; ends with recovered().
    void recover();

    ScriptRunner &scripts() { return *scriptRunner; }
    DatabaseStep &database() { return *databaseStep; }

signals:
    void line(const QString &line);
    void progress(int done, int total, const QString &action);
    void scriptReport(const QString &script, int exitCode, const QString &lastLines);
    void staged(bool success);
    // The next stage is due; the face answers with enter(stage).
    void stageDue(UpgradeRun::Stage stage);
    void ended(UpgradeOutcome outcome);
    void recovered(RecoveryResult result);
    // A line that asks a person to finish something by hand (the upgrade
    // stays done); sent after the line itself.
    void manualAction(const QString &line);
    // Something that failed: kind ("file", "script", "database", "record"),
    // the file, script or program concerned, and why.
    void failure(const QString &kind, const QString &target, const QString &reason);

private:
    void advance();
    void beginTransaction();
    bool journalMark(Journal::Mark mark);
    // False, after failing with a line that says why, when the main directory
    // or the staged package has gone.
    bool stepCanRun();
    bool cancelled() const;

    // Scripts (UpgradeRunSteps.cpp).
    void runScripts(const QString &folder);
    QStringList findScripts(const QString &folder) const;
    void scriptsEnded(bool succeeded);
    // The file steps.
    void runFileStep(ChangePlan::Step step);
    bool prepareFileStep(QString *backups);
    bool runFileEntry(const QStringList &lines, const PlannedEntry &planned);
    void reportFailures(const FileTree::Failures &failures);
    void endFileSteps();
    // The database step and the commit.
    void runDatabase();
    QStringList helperArguments();
    QString findDbScriptDir(const QString &name) const;
    void databaseEnded(DatabaseStep::End end);
    void commit();

    // The undo (UpgradeRunRecovery.cpp).
    void rollBack();
    void rollbackScriptsEnded(bool succeeded);
    void finishFailure();
    void recoverForward();
    void endRecovery();

    void say(const QString &text) { emit line(text); }
    // Writes every version record, says each line, and names the copies that failed.
    void updateVersionRecords();
    QString throughHeld(const QString &path) const;

    UpgradeRequest request; // for a recovery: as its journal says
    const CancelRequest &cancelRequest;
    Stage current = Stage::Staging;
    Stage failedIn = Stage::Staging; // where the upgrade failed
    void recoverFrom(const Journal::Contents &contents);
    Transaction transaction;
    UpgradeProgress progressCount;
    ScriptRunner *scriptRunner;
    DatabaseStep *databaseStep;
    int stagedFiles = 0;
    int fileStepFailures = 0;
    // How it ends, once known.
    enum class Purpose { Upgrade, Recovery } purpose = Purpose::Upgrade;
    bool refusedBusy = false; // another upgrade holds the installation: nothing is undone
    bool restoreFailed = false; // something could not be put back
    RecoveryResult recoveryResult = RecoveryResult::RolledBack;
};
