#include "CUpgradeWorker.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QMutex>

#include "FaultInjection.h"
#include "InstallationRecord.h"
#include "FileMoves.h"
#include "FileTree.h"
#include "PackageManifest.h"
#include "SuiteLayout.h"
#include "UpgradeConstants.h"

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
    connect(
        this, &CUpgradeWorker::sigRollbackScriptsDone, this, &CUpgradeWorker::rollbackScriptsEnded);
}

CUpgradeWorker::~CUpgradeWorker()
{
    // The processes are children of the worker and go with it; the
    // pointers are cleared first, so that nothing reaches them meanwhile.
    shellBeforeProcess = nullptr;
    shellAfterProcess = nullptr;
    shellRollbackProcess = nullptr;
    installHelperProcess = nullptr;
    if (writeBack) {
        writeBack->wait();
        delete writeBack;
    }
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

void CUpgradeWorker::setTimeouts(int scriptSeconds, int dbSeconds)
{
    scriptTimeoutSeconds = qMax(0, scriptSeconds);
    dbTimeoutSeconds = qMax(0, dbSeconds);
}

void CUpgradeWorker::setRequest(const UpgradeRequest &request)
{
    setDbFlags(request.databaseInstalled, request.upgradeDatabase);
    setExePath(request.exePath);
    setVersions(request.version, request.versionTo);
    setTimeouts(request.scriptTimeoutSeconds, request.dbTimeoutSeconds);
}

void CUpgradeWorker::doStartUpgrade()
{
    // From here on scripts may run, which nothing can undo but the
    // package's rollback scripts.
    chainStarted = true;
    if (!journalMark(Journal::Mark::ChainStarted))
        return;
    countProgressTotal();
    emit sigExeShellBefore();
}

// ---- Extraction -------------------------------------------------------------

namespace {

// The registered package's manifest, read before the staging copy. A file
// written from the package's bytes in memory has been read back by the copy
// and found equal to them; those bytes are the ones checked against this
// manifest when the package was loaded. A file written otherwise (a
// compressed one) is hashed as it lies in the staging folder. Once the copy
// ends, a file that differs, one missing or one too many fails the
// extraction before anything in the installation changes.
class StagingCheck
{
public:
    StagingCheck()
        : sourcePrefix(SuiteLayout::join(QStringLiteral(":"), UpgradeConstants::packageFolderName())
            + QDir::separator())
    {
        const QString path = QStringLiteral(":/%1/%2").arg(
            UpgradeConstants::packageFolderName(), PackageManifest::fileName());
        if (!QFileInfo::exists(path))
            return; // a package from before manifests
        present = true;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            problem = path + QStringLiteral(" (") + file.errorString() + QLatin1Char(')');
        else if (!PackageManifest::parse(file.readAll(), &entries, &problem))
            problem = path + QStringLiteral(" (") + problem + QLatin1Char(')');
        for (const PackageManifest::Entry &entry : qAsConst(entries))
            listed.insert(entry.path, entry.sha256);
    }

    // The manifest's fault, if it can't be read or is not in the form.
    QString manifestProblem() const { return problem; }

    // Takes the digest of every file the copy writes; none without a manifest.
    FileTree::CopiedFile observer()
    {
        if (!present)
            return nullptr;
        return [this](const QString &source, const QString &target, const char *data, qint64 size) {
            Q_UNUSED(size)
            const QString relative = QDir::fromNativeSeparators(source.mid(sourcePrefix.size()));
            // Written from checked bytes and read back equal: as listed (a
            // path not listed is extra whatever its digest).
            const QByteArray digest
                = data ? listed.value(relative) : PackageManifest::hashFile(target);
            const QMutexLocker locker(&mutex);
            digests.insert(relative, digest);
        };
    }

    // The staged files that don't match, each as a path for the log.
    QStringList failures(const QString &stagedRoot) const
    {
        QStringList paths;
        const PackageManifest::Result result = PackageManifest::compareDigests(entries, digests);
        for (const PackageManifest::Problem &found : result.problems)
            paths << QDir::toNativeSeparators(stagedRoot + QLatin1Char('/') + found.path);
        return paths;
    }

private:
    const QString sourcePrefix;
    bool present = false;
    QString problem;
    QVector<PackageManifest::Entry> entries;
    QHash<QString, QByteArray> listed; // path -> digest, from the manifest
    QMutex mutex;
    QHash<QString, QByteArray> digests;
};

} // namespace

void CUpgradeWorker::doStartCopyAll(QString sysConfigXmlPath, QString installPath)
{
    Q_UNUSED(sysConfigXmlPath)
    resetUpgradeState();
    this->installPath = installPath;
    emit status(tr("开始拷贝升级包信息"));
    if (beginTransaction() && copyAllToStaging()) {
        startWriteBack();
        emit status(tr("升级包信息拷贝成功"));
        emit sigCopyAllEnd(true);
    } else {
        emit status(tr("升级包信息拷贝失败"));
        emit sigCopyAllEnd(false);
        emit sigSuccess(false);
    }
}

void CUpgradeWorker::resetUpgradeState()
{
    shellBeforeList.clear();
    shellAfterList.clear();
    shellBeforeIndex = 0;
    shellAfterIndex = 0;
    shellBefore.running = false;
    shellAfter.running = false;
    installHelperPending = false;
    shellRollbackList.clear();
    shellRollbackIndex = 0;
    shellRollback.running = false;
    madeChanges.clear();
    contained.reset();
    nextBackup = 0;
    chainStarted = false;
    committed = false;
    restoreFailed = false;
    recovering = false;
    cancelRequested = false;
    lockBusy = false;
    fileStepFailures = 0;
    progressDone = 0;
    progressTotal = 0;
    progressAction.clear();
    scriptOutput.clear();
    lastFailures.clear();
    scriptErrors.clear();
    helperErrors.clear();
}

bool CUpgradeWorker::copyAllToStaging()
{
    if (!installFolderPresent())
        return false;
    const QString stagingRoot = SuiteLayout::stagingRoot(installPath);
    // A staging folder left by an earlier run goes first, so that none of its
    // files survive into this one. What can't be removed would be taken for
    // part of the new package (a stale script run, a stale entry deleted), so
    // the extraction stops there, before anything in the installation changed.
    if (QFileInfo(stagingRoot).isDir() && !removeFolder(stagingRoot)) {
        reportStagingLeftovers(stagingRoot);
        return false;
    }
    QDir(installPath).mkdir(UpgradeConstants::stagingFolderName());
    // From here on the staging folder is used by its handle: the package is
    // written into the folder just made, and the later steps, scripts and
    // the helper read from it, even should it be swapped for a link since.
    // A staging folder that could not be made fails the extraction, as the
    // copy into it would; one that leads outside is named.
    ContainedTree::Parent refusal;
    if (!containedTree().hold(stagingRoot, &refusal)) {
        if (refusal.state() == ContainedTree::Parent::State::Escapes)
            emit status(refusal.reason());
        return false;
    }
    const QString heldStaging = throughHeld(stagingRoot);

    // The staged files are what the later steps install: their bytes are
    // checked against the package's manifest (placeholders included).
    StagingCheck check;
    if (!check.manifestProblem().isEmpty()) {
        emit status(tr("升级包文件清单有误:%1").arg(check.manifestProblem()));
        return false;
    }

    // Only the package's top folder: the program's own resources share the tree.
    stagedFiles = 0;
    if (!FileTree::copyFolderList(QStringLiteral(":"),
            QStringList(UpgradeConstants::packageFolderName()), heldStaging, true, nullptr,
            &stagedFiles, check.observer()))
        return false;

    const QStringList unverified
        = check.failures(stagingRoot + QLatin1Char('/') + UpgradeConstants::packageFolderName());
    if (!unverified.isEmpty()) {
        const int shown = 10;
        for (int i = 0; i < unverified.size() && i < shown; ++i)
            emit status(tr("升级包文件写入后校验失败:%1").arg(unverified.at(i)));
        if (unverified.size() > shown)
            emit status(tr("另有%1项升级包文件写入后校验失败").arg(unverified.size() - shown));
        return false;
    }

    const QList<QFileInfo> placeholders = findPlaceholderFiles(heldStaging);
    for (const QFileInfo &placeholder : placeholders)
        QFile::remove(placeholder.absoluteFilePath());
    return true;
}

QString CUpgradeWorker::throughHeld(const QString &path) const
{
    return contained ? contained->through(path) : path;
}

void CUpgradeWorker::reportStagingLeftovers(const QString &stagingRoot)
{
    const int shown = 10;
    QStringList left;
    int count = 0;
    QDirIterator it(stagingRoot,
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileInfo().isDir() && !it.fileInfo().isSymLink())
            continue;
        if (++count <= shown)
            left << QDir::toNativeSeparators(it.filePath());
    }
    if (left.isEmpty())
        left << QDir::toNativeSeparators(stagingRoot);
    for (const QString &path : qAsConst(left))
        emit status(tr("无法清除上次升级的临时文件:%1").arg(path));
    if (count > shown)
        emit status(tr("另有%1项上次升级的临时文件无法清除").arg(count - shown));
}

QList<QFileInfo> CUpgradeWorker::findPlaceholderFiles(const QString &folder)
{
    return FileTree::findFilesNamed(folder, UpgradeConstants::placeholderFileName());
}

bool CUpgradeWorker::removeFolder(const QString &folder)
{
    lastFailures.clear();
    return FileTree::removeFolder(folder, &lastFailures);
}

// ---- Transaction --------------------------------------------------------------

// Before anything in the installation changes: the installation's lock (one
// upgrade at a time) and the journal that lets a later start recover.
bool CUpgradeWorker::beginTransaction()
{
    if (!installFolderPresent())
        return true; // the extraction fails on its own, creating nothing
    switch (lock.take(SuiteLayout::lockFile(installPath))) {
    case InstallationLock::Result::Taken:
        break;
    case InstallationLock::Result::Busy:
        lockBusy = true;
        emit status(tr("另一个升级程序正在运行,本次升级未作任何改动"));
        return false;
    case InstallationLock::Result::Failed:
        emit status(tr("无法锁定安装目录:%1").arg(lock.errorString()));
        return false;
    }
    if (Journal::exists(installPath)) {
        emit status(tr("上次升级未完成,请先重新启动升级程序完成恢复"));
        lock.release();
        return false;
    }
    // The package was judged against the version read before the lock was
    // taken: an upgrade that ended while this one waited for it may have
    // installed another since.
    InstallationRecord installed;
    if (!version.isEmpty()
        && installed.read(SuiteLayout::installationRecord(UpgradeConstants::installDir()))
            == RecordLayout::ReadResult::Ok
        && installed.version != version) {
        lockBusy = true;
        emit status(
            tr("另一个升级程序已将安装升级到%1,本次升级未作任何改动").arg(installed.version));
        lock.release();
        return false;
    }
    QString error;
    if (!journal.begin(installPath, { version, versionTo, exePath, isDb, ifUpgradeDb }, &error)) {
        emit status(
            tr("无法写入升级日志文件%1:%2").arg(SuiteLayout::journalFile(installPath), error));
        lock.release();
        return false;
    }
    FaultInjection::changeMade();
    return true;
}

bool CUpgradeWorker::journalMark(Journal::Mark mark)
{
    if (!journal.isOpen())
        return true; // a step driven on its own, outside an upgrade
    QString error;
    if (journal.mark(mark, &error)) {
        FaultInjection::changeMade();
        return true;
    }
    emit status(tr("无法写入升级日志文件%1:%2").arg(SuiteLayout::journalFile(installPath), error));
    slotFaildClear();
    return false;
}

void CUpgradeWorker::startWriteBack()
{
    // Where flushing holds the files, it waits for makeDurable instead of
    // getting in the way of the file steps.
    if (!FileMoves::syncRunsAlongsideMoves())
        return;
    const QString path = installPath;
    writeBack = QThread::create([path] { FileMoves::syncFileSystem(path); });
    writeBack->start();
}

void CUpgradeWorker::makeDurable()
{
    if (writeBack) {
        writeBack->wait();
        delete writeBack;
        writeBack = nullptr;
    }
    FileMoves::syncFileSystem(installPath);
}

// Removes the staging folder, the backups (unless something could not be put
// back: they are the operator's way back then) and the journal, and lets the
// installation go.
void CUpgradeWorker::endTransaction(bool keepBackups)
{
    if (writeBack) {
        writeBack->wait();
        delete writeBack;
        writeBack = nullptr;
    }
    contained.reset();
    removeTransactionFolders(keepBackups);
    // When something could not be put back, the backups and the journal stay
    // for the next start.
    if (keepBackups)
        journal.close();
    else
        journal.finish();
    lock.release();
}

void CUpgradeWorker::removeTransactionFolders(bool keepBackups)
{
    // What could not be put back is judged again by the next start, which
    // needs the staged files as well: a file still staged was never moved in.
    if (!keepBackups)
        removeStagingFolder();
    const QString backups = SuiteLayout::backupRoot(installPath);
    if (!keepBackups && installFolderPresent() && QFileInfo(backups).isDir())
        FileTree::removeFolder(backups);
}

// ---- Clean-up ----------------------------------------------------------------

void CUpgradeWorker::slotFaildClear()
{
    // Without the lock this upgrade changed nothing, and what is there (a
    // staging folder, a journal) belongs to another one.
    if (lockBusy) {
        emit sigOutcome(UpgradeOutcome::Busy);
        emit sigFaildClearEnd();
        return;
    }
    rollBack();
}

void CUpgradeWorker::finishFailure()
{
    if (recovering) {
        endRecovery();
        return;
    }
    endTransaction(restoreFailed);
    emit sigOutcome(restoreFailed ? UpgradeOutcome::NotRestored : UpgradeOutcome::Restored);
    emit sigFaildClearEnd();
}

void CUpgradeWorker::slotSuccessClear()
{
    endTransaction(false);
    emit sigOutcome(UpgradeOutcome::Upgraded);
    emit sigSuccessClearEnd();
}

bool CUpgradeWorker::stepCanRun()
{
    if (!installFolderPresent()) {
        abandonWithoutInstallFolder();
        return false;
    }
    // The extraction made the staged package; without it every step would
    // find nothing to do and the upgrade would end as a success that changed
    // nothing. A missing step folder inside it still means an empty step.
    const QString packageRoot = SuiteLayout::stagedPackageRoot(installPath);
    if (!QFileInfo(packageRoot).isDir()) {
        emit status(tr("升级临时目录%1不存在,升级终止").arg(QDir::toNativeSeparators(packageRoot)));
        slotFaildClear();
        return false;
    }
    return true;
}

void CUpgradeWorker::abandonWithoutInstallFolder()
{
    // Removed while the upgrade ran (by a script, say): no step can go on, and
    // the log says why the upgrade ends.
    emit status(tr("安装目录%1不存在,升级终止").arg(QDir::toNativeSeparators(installPath)));
    slotFaildClear();
}

bool CUpgradeWorker::installFolderPresent() const
{
    // An empty path would stand for the working directory.
    return !installPath.isEmpty() && QDir(installPath).exists();
}

void CUpgradeWorker::removeStagingFolder()
{
    if (!installFolderPresent())
        return;
    const QFileInfo staging(SuiteLayout::stagingRoot(installPath));
    if (staging.isDir())
        removeFolder(staging.absoluteFilePath());
}

void CUpgradeWorker::reportErrorOutput(const OutputTail &errors)
{
    for (const QString &line : errors.lines())
        emit status(tr("错误输出:%1").arg(line));
}
