#pragma once

#include <QObject>
#include <QStringList>
#include <QThread>

#include "UpgradeOutcome.h"
#include "UpgradeRequest.h"

class CUpgradeWorker;

// Drives a worker of its own, on a thread of its own, from a thread that has
// an event loop, and waits for the end: for a recovery at start-up and for an
// upgrade without a window. Every line the worker logs is passed on by line()
// as it comes.
class WorkerDriver : public QObject
{
    Q_OBJECT
public:
    explicit WorkerDriver(QObject *parent = nullptr);
    ~WorkerDriver() override;

    struct Recovery
    {
        RecoveryResult result = RecoveryResult::NothingToDo;
        QStringList lines;
    };
    // Brings an interrupted upgrade of the installation at mainPath to an end
    // (CUpgradeWorker::doRecover), waiting for it.
    Recovery recover(const QString &mainPath);

    // Runs one upgrade of the registered package, as the window does, and
    // waits for its end.
    UpgradeOutcome upgrade(const UpgradeRequest &request);

    CUpgradeWorker *worker() const { return upgradeWorker; }

signals:
    void line(const QString &line);
    // The worker's sigManualAction and sigFailure.
    void manualAction(const QString &line);
    void failure(const QString &kind, const QString &target, const QString &reason);

private:
    QThread thread;
    CUpgradeWorker *upgradeWorker;
};
