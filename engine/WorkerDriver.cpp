#include "WorkerDriver.h"

#include <QEventLoop>

#include "CUpgradeWorker.h"
#include "UpgradeConstants.h"

WorkerDriver::WorkerDriver(QObject *parent)
    : QObject(parent)
    , upgradeWorker(new CUpgradeWorker)
{
    upgradeWorker->moveToThread(&thread);
    connect(&thread, &QThread::finished, upgradeWorker, &QObject::deleteLater);
    connect(upgradeWorker, &CUpgradeWorker::status, this, &WorkerDriver::line);
    connect(upgradeWorker, &CUpgradeWorker::sigManualAction, this, &WorkerDriver::manualAction);
    connect(upgradeWorker, &CUpgradeWorker::sigFailure, this, &WorkerDriver::failure);
    thread.start();
}

WorkerDriver::~WorkerDriver()
{
    thread.quit();
    thread.wait();
}

WorkerDriver::Recovery WorkerDriver::recover(const QString &mainPath)
{
    Recovery result;
    QEventLoop loop;
    const QMetaObject::Connection lines = connect(
        this, &WorkerDriver::line, &loop, [&result](const QString &text) { result.lines << text; });
    connect(upgradeWorker, &CUpgradeWorker::sigRecoverEnd, &loop, [&](RecoveryResult ended) {
        result.result = ended;
        loop.quit();
    });
    CUpgradeWorker *worker = upgradeWorker;
    QMetaObject::invokeMethod(
        worker, [worker, mainPath] { worker->doRecover(mainPath); }, Qt::QueuedConnection);
    loop.exec();
    disconnect(lines);
    return result;
}

UpgradeOutcome WorkerDriver::upgrade(const UpgradeRequest &request)
{
    CUpgradeWorker *worker = upgradeWorker;
    // Set while the worker is idle, before the queued start, as the window does.
    worker->setRequest(request);

    UpgradeOutcome outcome = UpgradeOutcome::NotRestored;
    QEventLoop loop;
    const QMetaObject::Connection chain = connect(worker, &CUpgradeWorker::sigCopyAllEnd, worker,
        &CUpgradeWorker::continueAfterStaging, Qt::QueuedConnection);
    connect(worker, &CUpgradeWorker::sigOutcome, &loop,
        [&outcome](UpgradeOutcome ended) { outcome = ended; });
    connect(worker, &CUpgradeWorker::sigSuccessClearEnd, &loop, &QEventLoop::quit);
    connect(worker, &CUpgradeWorker::sigFaildClearEnd, &loop, &QEventLoop::quit);
    const QString mainPath = request.mainPath;
    QMetaObject::invokeMethod(
        worker,
        [worker, mainPath] { worker->doStartCopyAll(UpgradeConstants::installDir(), mainPath); },
        Qt::QueuedConnection);
    loop.exec();
    disconnect(chain);
    return outcome;
}
