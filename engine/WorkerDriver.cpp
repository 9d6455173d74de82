#include "WorkerDriver.h"

#include <QEventLoop>

#include "CUpgradeWorker.h"

WorkerDriver::WorkerDriver(QObject *parent)
    : QObject(parent)
    , upgradeWorker(new CUpgradeWorker)
{
    upgradeWorker->moveToThread(&thread);
    connect(&thread, &QThread::finished, upgradeWorker, &QObject::deleteLater);
    connect(upgradeWorker, &CUpgradeWorker::status, this, &WorkerDriver::line);
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
    connect(upgradeWorker, &CUpgradeWorker::sigRecoverEnd, &loop, [&](int outcome, int action) {
        result.outcome = UpgradeOutcome(outcome);
        result.action = RecoveryAction(action);
        loop.quit();
    });
    CUpgradeWorker *worker = upgradeWorker;
    QMetaObject::invokeMethod(
        worker, [worker, mainPath] { worker->doRecover(mainPath); }, Qt::QueuedConnection);
    loop.exec();
    disconnect(lines);
    return result;
}
