#include "Transaction.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>

#include "ContainedTree.h"
#include "FaultInjection.h"
#include "FileMoves.h"
#include "InstallationRecord.h"
#include "SuiteLayout.h"
#include "UpgradeConstants.h"
#include "UpgradeRequest.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("CUpgradeWorker", text);
}

} // namespace

Transaction::Transaction(const QString &mainPath)
    : mainPath(mainPath)
{ }

Transaction::~Transaction()
{
    waitForWriteBack();
}

QString Transaction::journalFile() const
{
    return SuiteLayout::journalFile(mainPath);
}

bool Transaction::installationPresent() const
{
    // An empty path would stand for the working directory.
    return !mainPath.isEmpty() && QDir(mainPath).exists();
}

// The installation's lock; when it can't be had, *line says why (busyLine
// when another upgrade holds it).
InstallationLock::Result Transaction::takeLock(const QString &busyLine, QString *line)
{
    const InstallationLock::Result result = lock.take(SuiteLayout::lockFile(mainPath));
    if (result == InstallationLock::Result::Busy)
        *line = busyLine;
    else if (result == InstallationLock::Result::Failed)
        *line = tr("无法锁定安装目录:%1").arg(lock.errorString());
    return result;
}

// Before anything in the installation changes: the installation's lock (one
// upgrade at a time) and the journal that lets a later start recover.
Transaction::Begin Transaction::begin(const UpgradeRequest &request, QString *line)
{
    if (!installationPresent())
        return Begin::NoInstallation; // the extraction fails on its own, creating nothing
    refused = true;
    switch (takeLock(tr("另一个升级程序正在运行,本次升级未作任何改动"), line)) {
    case InstallationLock::Result::Taken:
        break;
    case InstallationLock::Result::Busy:
        return Begin::Busy;
    case InstallationLock::Result::Failed:
        return Begin::Refused;
    }
    Begin result = Begin::Refused;
    // The package was judged against the version read before the lock was
    // taken: an upgrade that ended while this one waited for it may have
    // installed another since.
    InstallationRecord installed;
    QString error;
    if (Journal::exists(mainPath)) {
        *line = tr("上次升级未完成,请先重新启动升级程序完成恢复");
    } else if (!request.version.isEmpty()
        && installed.read(SuiteLayout::installationRecord(UpgradeConstants::installDir()))
            == RecordLayout::ReadResult::Ok
        && installed.version != request.version) {
        *line = tr("另一个升级程序已将安装升级到%1,本次升级未作任何改动").arg(installed.version);
        result = Begin::Busy;
    } else if (!journal.begin(mainPath, request, &error)) {
        *line = tr("无法写入升级日志文件%1:%2").arg(journalFile(), error);
    } else {
        FaultInjection::changeMade();
        refused = false;
        return Begin::Begun;
    }
    lock.release();
    return result;
}

Transaction::Recovery Transaction::openForRecovery(Journal::Contents *contents, QString *line)
{
    if (!installationPresent() || !Journal::exists(mainPath))
        return Recovery::NothingToDo;
    switch (takeLock(tr("另一个升级程序正在运行,无法恢复"), line)) {
    case InstallationLock::Result::Taken:
        break;
    case InstallationLock::Result::Busy:
        return Recovery::Busy;
    case InstallationLock::Result::Failed:
        return Recovery::Refused;
    }
    QString error;
    Recovery result = Recovery::Ready;
    if (!Journal::read(mainPath, contents, &error)) {
        *line = tr("无法读取升级日志文件%1:%2").arg(journalFile(), error);
        result = Recovery::Refused;
    } else if (contents->unstarted) {
        // Interrupted while the journal was begun, before any change.
        *line
            = tr("上次升级在作出任何改动前中断,已删除其未写完的升级日志文件%1").arg(journalFile());
        QFile::remove(journalFile());
        result = Recovery::Unstarted;
    } else {
        recovered = true;
        marks = contents->marks;
        changes = contents->changes;
        return result;
    }
    lock.release();
    return result;
}

bool Transaction::mark(Journal::Mark mark, QString *error)
{
    if (!journal.isOpen())
        return true;
    if (!journal.mark(mark, error))
        return false;
    marks.insert(mark);
    FaultInjection::changeMade();
    return true;
}

bool Transaction::record(const QList<FileChange> &planned, QString *error)
{
    if (!journal.record(planned, error))
        return false;
    FaultInjection::changeMade();
    return true;
}

bool Transaction::apply(const FileChange &change, FileTree::Failures *failures)
{
    const FileChange::Applied applied = change.apply(failures, tree());
    if (applied == FileChange::Applied::Failed)
        return false;
    changes.append(change);
    changes.last().renamed = applied == FileChange::Applied::Renamed;
    FaultInjection::changeMade();
    return true;
}

// Last change first: a folder made for new files goes after them, a folder
// moved away comes back before what was inside it is touched. Files that
// moved in just now go back to the staging folder. Nothing is put back or
// removed through a link leading outside the installation, not even one
// planted after the change was made (by an after script): such a change stays
// unrestored, its backup kept. The staging and backup folders are reached by
// their held handles where the upgrade held them, wherever they were moved
// since; a recovery holds them now.
FileTree::Failures Transaction::rollBack(bool made)
{
    ContainedTree &held = tree();
    if (recovered) {
        for (const QString &folder :
            { SuiteLayout::stagingRoot(mainPath), SuiteLayout::backupRoot(mainPath) }) {
            if (QFileInfo(folder).isDir())
                held.hold(folder);
        }
    }
    FileTree::Failures unrestored;
    for (int i = changes.size() - 1; i >= 0; --i) {
        const FileChange &change = changes.at(i);
        FileTree::Failures failures;
        if (!change.undo(made, &failures, held)) {
            if (failures.isEmpty())
                failures.append({ change.target, QString() });
            unrestored += failures;
        }
    }
    changes.clear();
    return unrestored;
}

ContainedTree &Transaction::tree()
{
    if (!contained)
        contained = std::make_unique<ContainedTree>(mainPath);
    return *contained;
}

// The main directory is held from the first change on; the staging and backup
// folders as well, so that a folder swapped for a link since can't redirect a
// change.
bool Transaction::holdFolders(QString *reason)
{
    ContainedTree &held = tree();
    ContainedTree::Parent refusal;
    for (const QString &folder :
        { SuiteLayout::stagingRoot(mainPath), SuiteLayout::backupRoot(mainPath) }) {
        if (!held.isOpen() || !held.hold(folder, &refusal)) {
            *reason = refusal.state() == ContainedTree::Parent::State::Escapes
                ? refusal.reason()
                : tr("无法打开文件夹%1:%2")
                      .arg(QDir::toNativeSeparators(folder),
                          held.isOpen() ? refusal.reason() : mainPath);
            return false;
        }
    }
    return true;
}

void Transaction::startWriteBack()
{
    // Where flushing holds the files, it waits for makeDurable instead of
    // getting in the way of the file steps.
    if (!FileMoves::syncRunsAlongsideMoves())
        return;
    const QString path = mainPath;
    writeBack = QThread::create([path] { FileMoves::syncFileSystem(path); });
    writeBack->start();
}

void Transaction::waitForWriteBack()
{
    if (writeBack) {
        writeBack->wait();
        delete writeBack;
        writeBack = nullptr;
    }
}

void Transaction::makeDurable()
{
    waitForWriteBack();
    FileMoves::syncFileSystem(mainPath);
}

void Transaction::end(bool keepBackups)
{
    waitForWriteBack();
    contained.reset();
    // Refused before it began (the lock, or a journal left by an interrupted
    // upgrade): the staging and backup folders there are another upgrade's,
    // its way back; they stay.
    if (refused)
        return;
    removeFolders(keepBackups);
    // When something could not be put back, the backups and the journal stay
    // for the next start.
    if (keepBackups) {
        journal.close();
    } else {
        journal.finish();
        if (recovered)
            QFile::remove(journalFile());
    }
    lock.release();
}

void Transaction::removeFolders(bool keepBackups)
{
    // What could not be put back is judged again by the next start, which
    // needs the staged files as well: a file still staged was never moved in.
    if (keepBackups || !installationPresent())
        return;
    for (const QString &folder :
        { SuiteLayout::stagingRoot(mainPath), SuiteLayout::backupRoot(mainPath) }) {
        if (QFileInfo(folder).isDir())
            FileTree::removeFolder(QFileInfo(folder).absoluteFilePath());
    }
}
