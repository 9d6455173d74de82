#include "CUpgradeWorker.h"

CUpgradeWorker::CUpgradeWorker(QObject *parent) : QObject(parent)
{
    connect(this, &CUpgradeWorker::sigExeShellBefore, this, &CUpgradeWorker::slotExeShellBefore);
    connect(this, &CUpgradeWorker::sigExeDeleteFile, this, &CUpgradeWorker::slotExeDeleteFile);
    connect(this, &CUpgradeWorker::sigExeUpdateFile, this, &CUpgradeWorker::slotExeUpdateFile);
    connect(this, &CUpgradeWorker::sigExeAddFile, this, &CUpgradeWorker::slotExeAddFile);
    connect(this, &CUpgradeWorker::sigExeShellAfter, this, &CUpgradeWorker::slotExeShellAfter);
    connect(this, &CUpgradeWorker::sigExeDb, this, &CUpgradeWorker::slotExeDb);
}

CUpgradeWorker::~CUpgradeWorker()
{
    delete shellBeforeProcess;
    shellBeforeProcess = nullptr;
    delete shellAfterProcess;
    shellAfterProcess = nullptr;
    delete installHelperProcess;
    installHelperProcess = nullptr;
}

void CUpgradeWorker::setDbFlags(int isDb, int ifUpgradeDb)
{
    this->isDb = isDb;
    this->ifUpgradeDb = ifUpgradeDb;
}

void CUpgradeWorker::setExePath(QString exePath)
{
    this->exePath = exePath;
}

void CUpgradeWorker::setVersions(QString version, QString versionTo)
{
    this->version = version;
    this->versionTo = versionTo;
}

void CUpgradeWorker::doStartUpgrade()
{
    emit sigExeShellBefore();
}

// Step bodies follow with the extraction, script, file and database work.
bool CUpgradeWorker::copyAllToStaging() { return false; }
bool CUpgradeWorker::copyFolderList(const QString &, const QStringList &, const QString &, bool) { return false; }
bool CUpgradeWorker::copyFolder(const QString &, const QString &, bool) { return false; }
QList<QFileInfo> CUpgradeWorker::findPlaceholderFiles(const QString &) { return {}; }
QList<QFileInfo> CUpgradeWorker::listLeafEntries(const QString &) { return {}; }
bool CUpgradeWorker::removeFolder(const QString &) { return false; }
bool CUpgradeWorker::deleteFile(const QString &) { return false; }
bool CUpgradeWorker::updateFile(const QString &, const QString &) { return false; }
bool CUpgradeWorker::addFile(const QString &, const QString &) { return false; }
bool CUpgradeWorker::updateFolder(const QString &, const QString &) { return false; }
bool CUpgradeWorker::addFolder(const QString &, const QString &) { return false; }
void CUpgradeWorker::doStartCopyAll(QString, QString) {}
void CUpgradeWorker::slotExeShellBefore() {}
void CUpgradeWorker::slotFinishShellBefore(int) {}
void CUpgradeWorker::slotExeDeleteFile() {}
void CUpgradeWorker::slotExeUpdateFile() {}
void CUpgradeWorker::slotExeAddFile() {}
void CUpgradeWorker::slotExeShellAfter() {}
void CUpgradeWorker::slotFinishShellAfter(int) {}
void CUpgradeWorker::slotFaildClear() {}
void CUpgradeWorker::slotSuccessClear() {}
void CUpgradeWorker::runShellBefore(int) {}
void CUpgradeWorker::runShellAfter(int) {}
