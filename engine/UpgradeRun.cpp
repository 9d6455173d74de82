#include "UpgradeRun.h"

#include <QDir>
#include <QFileInfo>

#include "ContainedTree.h"
#include "ScriptRunner.h"
#include "StagingExtraction.h"
#include "SuiteLayout.h"
#include "VersionRecords.h"

UpgradeRun::UpgradeRun(
    const UpgradeRequest &request, const CancelRequest &cancelRequest, QObject *parent)
    : QObject(parent)
    , request(request)
    , cancelRequest(cancelRequest)
    , transaction(request.mainPath)
    , progressCount([this](int done, int total, const QString &action) {
        emit progress(done, total, action);
    })
    , scriptRunner(new ScriptRunner(this))
    , databaseStep(new DatabaseStep(this))
{
    connect(scriptRunner, &ScriptRunner::scriptStarting, this, [this](const QString &name) {
        progressCount.progressed(tr("正在执行脚本 %1").arg(name), 0);
    });
    connect(scriptRunner, &ScriptRunner::scriptReport, this,
        [this](const QString &script, int exitCode, const QString &lastLines) {
            emit scriptReport(script, exitCode, lastLines);
            progressCount.progressed(QString());
        });
    connect(scriptRunner, &ScriptRunner::line, this, &UpgradeRun::line);
    connect(scriptRunner, &ScriptRunner::failed, this,
        [this](const QString &script, const QString &reason) {
            emit failure(QStringLiteral("script"), script, reason);
        });
    connect(scriptRunner, &ScriptRunner::finished, this, &UpgradeRun::scriptsEnded);
    // A failure counts as a cancel while the upgrade can still be undone; the
    // rollback scripts are never cancelled.
    scriptRunner->setCancelled([this] { return cancelled() && current != Stage::RollbackScripts; });
    connect(databaseStep, &DatabaseStep::line, this, &UpgradeRun::line);
    connect(databaseStep, &DatabaseStep::failure, this, [this](const QString &reason) {
        emit failure(QStringLiteral("database"),
            QDir::toNativeSeparators(
                SuiteLayout::helperProgram(this->request.mainPath, this->request.exePath)),
            reason);
    });
    connect(databaseStep, &DatabaseStep::ended, this, &UpgradeRun::databaseEnded);
    databaseStep->setCancelled([this] { return cancelled(); });
}

UpgradeRun::~UpgradeRun() = default;

bool UpgradeRun::cancelled() const
{
    return cancelRequest.isMade();
}

void UpgradeRun::stageFiles()
{
    say(tr("开始拷贝升级包信息"));
    QString refusal;
    const Transaction::Begin begun = transaction.begin(request, &refusal);
    refusedBusy = begun == Transaction::Begin::Busy;
    if (!refusal.isEmpty())
        say(refusal);
    QString changedPackage;
    const bool done
        = (begun == Transaction::Begin::Begun || begun == Transaction::Begin::NoInstallation)
        && StagingExtraction::extract(
            request.mainPath, transaction.tree(), [this](const QString &text) { say(text); },
            &stagedFiles, &changedPackage);
    if (!changedPackage.isEmpty())
        emit failure(QStringLiteral("package"), changedPackage, tr("升级包文件在载入后被改动"));
    if (done) {
        transaction.startWriteBack();
        say(tr("升级包信息拷贝成功"));
    } else {
        say(tr("升级包信息拷贝失败"));
    }
    emit staged(done);
}

void UpgradeRun::startChain()
{
    // From here on scripts may run, which nothing can undo but the
    // package's rollback scripts.
    current = Stage::BeforeScripts;
    if (!journalMark(Journal::Mark::ChainStarted))
        return;
    progressCount.start(request.mainPath, stagedFiles);
    emit stageDue(Stage::BeforeScripts);
}

// The chain's order: each stage that ends well hands over to the next. The
// stages up to the database step are announced, so that the face's own
// signals and slots carry them.
void UpgradeRun::advance()
{
    switch (current) {
    case Stage::BeforeScripts:
        emit stageDue(Stage::Delete);
        break;
    case Stage::Delete:
        emit stageDue(Stage::Update);
        break;
    case Stage::Update:
        emit stageDue(Stage::Add);
        break;
    case Stage::Add:
        emit stageDue(Stage::AfterScripts);
        break;
    case Stage::AfterScripts:
        emit stageDue(Stage::Database);
        break;
    case Stage::Database:
        enter(Stage::Commit);
        break;
    case Stage::Commit:
        succeed();
        break;
    case Stage::Staging:
    case Stage::RollingBack:
    case Stage::RollbackScripts:
    case Stage::Finished:
        break;
    }
}

void UpgradeRun::enter(Stage stage)
{
    current = stage;
    switch (stage) {
    case Stage::BeforeScripts:
        runScripts(QStringLiteral("shell_before"));
        break;
    case Stage::Delete:
        runFileStep(ChangePlan::Step::Delete);
        break;
    case Stage::Update:
        runFileStep(ChangePlan::Step::Update);
        break;
    case Stage::Add:
        runFileStep(ChangePlan::Step::Add);
        break;
    case Stage::AfterScripts:
        runScripts(QStringLiteral("shell_after"));
        break;
    case Stage::Database:
        runDatabase();
        break;
    case Stage::Commit:
        commit();
        break;
    case Stage::RollbackScripts:
        runScripts(QStringLiteral("shell_rollback"));
        break;
    case Stage::Staging:
    case Stage::RollingBack:
    case Stage::Finished:
        break;
    }
}

void UpgradeRun::fail()
{
    // Without the lock this upgrade changed nothing, and what is there (a
    // staging folder, a journal) belongs to another one.
    if (refusedBusy) {
        current = Stage::Finished;
        emit ended(UpgradeOutcome::Busy);
        return;
    }
    if (current >= Stage::RollingBack)
        return; // the undo runs already: its end is the run's end
    failedIn = current;
    rollBack();
}

void UpgradeRun::succeed()
{
    transaction.end(false);
    current = Stage::Finished;
    emit ended(UpgradeOutcome::Upgraded);
}

// A script or the helper that runs is stopped with what it started; its end
// then fails the upgrade, which is rolled back. The file steps look at the
// request between entries.
void UpgradeRun::cancel()
{
    if (!transaction.isLocked() || purpose == Purpose::Recovery)
        return;
    if (current == Stage::Commit) {
        say(tr("升级已完成数据库步骤,无法取消"));
        return;
    }
    if (current == Stage::BeforeScripts || current == Stage::AfterScripts)
        scriptRunner->stop();
    else if (current == Stage::Database)
        databaseStep->stop();
}

bool UpgradeRun::journalMark(Journal::Mark mark)
{
    QString error;
    if (transaction.mark(mark, &error))
        return true;
    say(tr("无法写入升级日志文件%1:%2").arg(transaction.journalFile(), error));
    fail();
    return false;
}

bool UpgradeRun::stepCanRun()
{
    // Removed while the upgrade ran (by a script, say): no step can go on, and
    // the log says why the upgrade ends.
    if (request.mainPath.isEmpty() || !QDir(request.mainPath).exists()) {
        say(tr("安装目录%1不存在,升级终止").arg(QDir::toNativeSeparators(request.mainPath)));
        fail();
        return false;
    }
    // The extraction made the staged package; without it every step would
    // find nothing to do and the upgrade would end as a success that changed
    // nothing. A missing step folder inside it still means an empty step.
    const QString packageRoot = SuiteLayout::stagedPackageRoot(request.mainPath);
    if (!QFileInfo(packageRoot).isDir()) {
        say(tr("升级临时目录%1不存在,升级终止").arg(QDir::toNativeSeparators(packageRoot)));
        fail();
        return false;
    }
    return true;
}

QString UpgradeRun::throughHeld(const QString &path) const
{
    const ContainedTree *held = transaction.heldTree();
    return held ? held->through(path) : path;
}
