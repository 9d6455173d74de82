#pragma once

#include <QObject>
#include <QStringList>
#include <QThread>

#include "UpgradeOutcome.h"

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
        UpgradeOutcome outcome = UpgradeOutcome::Upgraded;
        RecoveryAction action = RecoveryAction::Nothing;
        QStringList lines;
    };
    // Brings an interrupted upgrade of the installation at mainPath to an end
    // (CUpgradeWorker::doRecover), waiting for it.
    Recovery recover(const QString &mainPath);

    CUpgradeWorker *worker() const { return upgradeWorker; }

signals:
    void line(const QString &line);

private:
    QThread thread;
    CUpgradeWorker *upgradeWorker;
};
