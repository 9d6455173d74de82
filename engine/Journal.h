#pragma once

#include <QFile>
#include <QList>
#include <QSet>
#include <QString>

#include "FileChange.h"
#include "UpgradeRequest.h"

// The journal of an upgrade in progress, a text file in the main directory:
// what the upgrade is (versions, database flags, program folder), every
// change of the file steps, written before the change is made, and the
// points it has passed. Each group of lines is on disk before the upgrade
// goes on, so that after a crash or a power cut the next start can tell
// whether to undo the upgrade or to finish it. It is removed when the
// upgrade has ended either way.
class Journal
{
public:
    enum class Mark {
        ChainStarted, // the before scripts may have run: rollback scripts apply
        FilesDone, // every change of the file steps is made and on disk
        DatabaseBegun, // the database helper was started
        Committed, // past the database step: the upgrade is finished, not undone
        RollbackScriptsRun, // a rollback ran its scripts: a recovery doesn't run them again
        // A rollback's scripts failed (instead of RollbackScriptsRun): a
        // recovery runs them again, until they pass.
        RollbackScriptsFailed
    };

    // The request's versions, program folder and database flags; its main
    // directory is where the journal lies, its time limits are not kept.
    using Header = UpgradeRequest;

    struct Contents
    {
        Header header;
        QList<FileChange> changes;
        QSet<Mark> marks;
        // Cut off before its header was on disk: the upgrade had changed
        // nothing yet (the first change waits for the header).
        bool unstarted = false;
    };

    // Creates the journal (none may exist) with its header, on disk.
    bool begin(const QString &mainPath, const Header &header, QString *error);
    // Appends changes, then puts them on disk.
    bool record(const QList<FileChange> &changes, QString *error);
    bool mark(Mark mark, QString *error);
    bool isOpen() const { return file.isOpen(); }
    // Closes and deletes the journal: the upgrade has ended.
    bool finish();
    // Closes it and leaves it for the next start.
    void close() { file.close(); }

    static bool exists(const QString &mainPath);
    // False with *error when the journal can't be read or isn't one, or when
    // a line of it is none the journal writes (the error names the line). A
    // last line without its line end, cut off by a crash, is left out.
    static bool read(const QString &mainPath, Contents *contents, QString *error);

private:
    bool writeDurably(const QStringList &lines, QString *error);

    QFile file;
    QString path;
};

inline uint qHash(Journal::Mark mark, uint seed = 0)
{
    return ::qHash(int(mark), seed);
}
