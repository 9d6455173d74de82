#pragma once

#include <QList>
#include <QSet>
#include <QString>

#include <memory>

#include "FileChange.h"
#include "InstallationLock.h"
#include "Journal.h"

class ContainedTree;
class QThread;
struct UpgradeRequest;

// One upgrade of an installation as a transaction: the installation's lock
// (one upgrade at a time), the journal that lets a later start recover, the
// changes made so far, in order, and their undo. Its folders (the main
// directory, the staging and the backup folder) are held open while it runs,
// so that a link planted since can't redirect a change.
class Transaction
{
public:
    enum class Begin {
        Begun,
        NoInstallation, // the main directory is missing: nothing was taken
        Busy, // another upgrade holds the installation or has upgraded it meanwhile
        Refused // the lock or the journal could not be had; *line says why
    };
    enum class Recovery {
        NothingToDo, // no journal
        Busy, // another upgrade holds the installation
        Refused, // the lock can't be taken or the journal read; *line says why
        Unstarted, // the journal was cut off before any change: removed, *line says so
        Ready // contents read, the lock held
    };

    explicit Transaction(const QString &mainPath);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    // Takes the lock and writes the journal's header; *line says why not.
    Begin begin(const UpgradeRequest &request, QString *line);
    // Takes the lock and reads an interrupted upgrade's journal.
    Recovery openForRecovery(Journal::Contents *contents, QString *line);

    // Notes that the upgrade passed a point, on disk before it goes on. A
    // recovery reads the journal and doesn't extend it: it notes nothing.
    bool mark(Journal::Mark mark, QString *error);
    bool passed(Journal::Mark mark) const { return marks.contains(mark); }
    // The changes of a step, in the journal before the first is made.
    bool record(const QList<FileChange> &changes, QString *error);
    // Makes one change and keeps it for the undo.
    bool apply(const FileChange &change, FileTree::Failures *failures);
    // Undoes every change kept, last first; what could not be put back.
    // made: the changes are known to be made (an undo at the time), not
    // merely listed in a journal.
    FileTree::Failures rollBack(bool made);
    bool hasChanges() const { return !changes.isEmpty(); }

    ContainedTree &tree();
    // The tree once made (by the extraction, or by the first change), or null.
    ContainedTree *heldTree() const { return contained.get(); }
    // The staging and backup folders held as well; false with the reason.
    bool holdFolders(QString *reason);
    int *backupCounter() { return &nextBackup; }

    // What the upgrade wrote goes to disk in the background from the end of
    // the extraction; makeDurable waits for it and writes the rest, before
    // the database step or the commit can't be undone any more.
    void startWriteBack();
    void makeDurable();

    // Lets the installation go: the staging folder, the backups (unless
    // something could not be put back: they are the operator's way back
    // then) and the journal removed.
    void end(bool keepBackups);
    bool isLocked() const { return lock.isHeld(); }
    QString journalFile() const;

private:
    InstallationLock::Result takeLock(const QString &busyLine, QString *line);
    void removeFolders(bool keepBackups);
    void waitForWriteBack();
    bool installationPresent() const;

    const QString mainPath;
    InstallationLock lock;
    Journal journal;
    QSet<Journal::Mark> marks;
    QList<FileChange> changes;
    int nextBackup = 0;
    bool recovered = false; // the journal is an interrupted upgrade's, read
    bool refused = false; // begin was refused: nothing here is this transaction's
    std::unique_ptr<ContainedTree> contained;
    QThread *writeBack = nullptr;
};
