#include "CUpgradeWorker.h"

// Database step and version record update.
QString CUpgradeWorker::findDbScriptDir(QString) { return {}; }
void CUpgradeWorker::makeHelperArguments(QStringList &, QString, QString) {}
void CUpgradeWorker::updateVersionRecords() {}
void CUpgradeWorker::updateVersionRecord(QString) {}
void CUpgradeWorker::slotExeDb() {}
void CUpgradeWorker::slotInstallHelperHandler() {}
void CUpgradeWorker::slotInstallHelperFinishedHandler(int, QProcess::ExitStatus) {}
