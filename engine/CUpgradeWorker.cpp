#include "CUpgradeWorker.h"

#include "ScriptRunner.h"

CUpgradeWorker::CUpgradeWorker(QObject *parent)
    : QObject(parent)
{
    registerOutcomeTypes();
    connect(this, &CUpgradeWorker::sigExeShellBefore, this, &CUpgradeWorker::slotExeShellBefore);
    connect(this, &CUpgradeWorker::sigExeDeleteFile, this, &CUpgradeWorker::slotExeDeleteFile);
    connect(this, &CUpgradeWorker::sigExeUpdateFile, this, &CUpgradeWorker::slotExeUpdateFile);
    connect(this, &CUpgradeWorker::sigExeAddFile, this, &CUpgradeWorker::slotExeAddFile);
    connect(this, &CUpgradeWorker::sigExeShellAfter, this, &CUpgradeWorker::slotExeShellAfter);
    connect(this, &CUpgradeWorker::sigExeDb, this, &CUpgradeWorker::slotExeDb);
}

// The run and the processes it started are children of the worker and go
// with it.
CUpgradeWorker::~CUpgradeWorker() = default;

void CUpgradeWorker::setDbFlags(int isDb, int ifUpgradeDb)
{
    request.databaseInstalled = isDb != 0;
    request.upgradeDatabase = ifUpgradeDb != 0;
}

void CUpgradeWorker::setExePath(QString exePath)
{
    request.exePath = exePath;
}

void CUpgradeWorker::setVersions(QString version, QString versionTo)
{
    request.version = version;
    request.versionTo = versionTo;
}

void CUpgradeWorker::setTimeouts(int scriptSeconds, int dbSeconds)
{
    request.scriptTimeoutSeconds = qMax(0, scriptSeconds);
    request.dbTimeoutSeconds = qMax(0, dbSeconds);
}

void CUpgradeWorker::setRequest(const UpgradeRequest &request)
{
    this->request = request;
    setTimeouts(request.scriptTimeoutSeconds, request.dbTimeoutSeconds);
}

UpgradeRun *CUpgradeWorker::startRun(const QString &mainPath)
{
    delete run;
    cancelRequest.withdraw();
    request.mainPath = mainPath;
    run = new UpgradeRun(request, cancelRequest, this);
    connect(run, &UpgradeRun::line, this, &CUpgradeWorker::status);
    connect(run, &UpgradeRun::progress, this, &CUpgradeWorker::sigProgress);
    connect(run, &UpgradeRun::scriptReport, this, &CUpgradeWorker::sigScriptReport);
    connect(run, &UpgradeRun::manualAction, this, &CUpgradeWorker::sigManualAction);
    connect(run, &UpgradeRun::failure, this, &CUpgradeWorker::sigFailure);
    connect(run, &UpgradeRun::stageDue, this, &CUpgradeWorker::announce);
    connect(run, &UpgradeRun::ended, this, &CUpgradeWorker::runEnded);
    connect(run, &UpgradeRun::recovered, this, [this](RecoveryResult result) {
        run->deleteLater();
        run = nullptr;
        emit sigRecoverEnd(result);
    });
    return run;
}

void CUpgradeWorker::doStartCopyAll(QString sysConfigXmlPath, QString installPath)
{
    Q_UNUSED(sysConfigXmlPath)
    UpgradeRun *started = startRun(installPath);
    connect(started, &UpgradeRun::staged, this, [this](bool success) {
        emit sigCopyAllEnd(success);
        if (!success)
            emit sigSuccess(false);
    });
    started->stageFiles();
}

void CUpgradeWorker::continueAfterStaging(bool staged)
{
    if (staged)
        doStartUpgrade();
    else
        slotFaildClear();
}

void CUpgradeWorker::doStartUpgrade()
{
    if (run)
        run->startChain();
}

// The run's next stage goes out as the worker's own signal, which its slot
// answers: the chain keeps its signals and slots.
void CUpgradeWorker::announce(UpgradeRun::Stage stage)
{
    switch (stage) {
    case UpgradeRun::Stage::BeforeScripts:
        emit sigExeShellBefore();
        break;
    case UpgradeRun::Stage::Delete:
        emit sigExeDeleteFile();
        break;
    case UpgradeRun::Stage::Update:
        emit sigExeUpdateFile();
        break;
    case UpgradeRun::Stage::Add:
        emit sigExeAddFile();
        break;
    case UpgradeRun::Stage::AfterScripts:
        emit sigExeShellAfter();
        break;
    case UpgradeRun::Stage::Database:
        emit sigExeDb();
        break;
    default:
        enter(stage);
        break;
    }
}

void CUpgradeWorker::enter(UpgradeRun::Stage stage)
{
    if (run)
        run->enter(stage);
}

void CUpgradeWorker::runEnded(UpgradeOutcome outcome)
{
    if (run)
        run->deleteLater();
    run = nullptr;
    emit sigOutcome(outcome);
    if (outcome == UpgradeOutcome::Upgraded)
        emit sigSuccessClearEnd();
    else
        emit sigFaildClearEnd();
}

void CUpgradeWorker::slotExeShellBefore()
{
    enter(UpgradeRun::Stage::BeforeScripts);
}

void CUpgradeWorker::slotFinishShellBefore(int exitCode)
{
    if (run)
        run->scripts().processFinished(exitCode);
}

void CUpgradeWorker::slotExeDeleteFile()
{
    enter(UpgradeRun::Stage::Delete);
}

void CUpgradeWorker::slotExeUpdateFile()
{
    enter(UpgradeRun::Stage::Update);
}

void CUpgradeWorker::slotExeAddFile()
{
    enter(UpgradeRun::Stage::Add);
}

void CUpgradeWorker::slotExeShellAfter()
{
    enter(UpgradeRun::Stage::AfterScripts);
}

void CUpgradeWorker::slotFinishShellAfter(int exitCode)
{
    if (run)
        run->scripts().processFinished(exitCode);
}

void CUpgradeWorker::slotExeDb()
{
    enter(UpgradeRun::Stage::Database);
}

void CUpgradeWorker::slotInstallHelperHandler()
{
    if (run)
        run->database().readLines();
}

void CUpgradeWorker::slotInstallHelperFinishedHandler(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (run)
        run->database().processFinished(exitCode, exitStatus);
}

void CUpgradeWorker::slotFaildClear()
{
    // Without an upgrade there is nothing to undo; the caller still hears the end.
    if (run)
        run->fail();
    else
        runEnded(UpgradeOutcome::Restored);
}

void CUpgradeWorker::slotSuccessClear()
{
    if (run)
        run->succeed();
    else
        runEnded(UpgradeOutcome::Upgraded);
}

void CUpgradeWorker::requestCancel()
{
    cancelRequest.make();
    QMetaObject::invokeMethod(this, &CUpgradeWorker::doCancel, Qt::QueuedConnection);
}

void CUpgradeWorker::doCancel()
{
    if (run)
        run->cancel();
}

void CUpgradeWorker::doRecover(QString installPath)
{
    startRun(installPath)->recover();
}
