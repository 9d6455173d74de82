#include "InterruptedUpgrade.h"

#include <QCoreApplication>

#include "Journal.h"
#include "UpgradeLog.h"
#include "WorkerDriver.h"

InterruptedUpgrade::InterruptedUpgrade(const QString &mainPath, QObject *parent)
    : QObject(parent)
    , mainPath(mainPath)
{ }

bool InterruptedUpgrade::isPending() const
{
    return !mainPath.isEmpty() && Journal::exists(mainPath);
}

InterruptedUpgrade::Ending InterruptedUpgrade::finish()
{
    if (!isPending())
        return Ending();
    WorkerDriver driver;
    connect(&driver, &WorkerDriver::line, this, &InterruptedUpgrade::line);
    connect(&driver, &WorkerDriver::manualAction, this, &InterruptedUpgrade::manualAction);
    connect(&driver, &WorkerDriver::failure, this, &InterruptedUpgrade::failure);
    const WorkerDriver::Recovery recovery = driver.recover(mainPath);
    return Ending { recovery.result, recovery.lines };
}

bool InterruptedUpgrade::writeLog(
    const Ending &ending, const QString &summary, QString *error) const
{
    UpgradeLog log;
    QString reason;
    if (!log.open(mainPath, QString(), &reason)) {
        if (error)
            *error = reason;
        return false;
    }
    for (const QString &text : ending.lines)
        log.write(text);
    log.write(QCoreApplication::translate("MainWindow", "结果:%1").arg(summary));
    return true;
}
