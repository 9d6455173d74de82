#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include "BackupVersions.h"

// A copy of the suite's project data (the data folder below the main
// directory) into backup/<yyyyMMdd-hhmmss> below the same main directory,
// the list of those copies, and putting one of them back as the data folder.
// Where the installation record is found, each copy carries the versions it
// was taken at (BackupVersions) and a restore must match the installed suite
// version; without a record no versions are written or compared.
namespace ProjectBackup {

enum class Result {
    Done,
    NoDataFolder,
    ProgramRunning, // a program of the suite runs (Outcome::program): its data may change
    Failed
};

struct Outcome
{
    Result result = Result::Failed;
    QString backupPath; // the new copy (Done)
    QString dataPath; // what was to be copied
    QString program; // the running program (ProgramRunning)
    QString reason; // why it failed (Failed), in English for the log
};

// Copies the data folder of mainPath, unless a program of the suite (other
// than ownPid) runs. The folder is named by the time given; when that name is
// taken (two backups in one second) "-2", "-3", ... follow. With the suite
// version known, backup.json goes into the copy. A copy that fails half-way is
// removed again; the data is only read.
Outcome run(const QString &mainPath, const QDateTime &now, qint64 ownPid);

// The backup folder's name for a time, without the collision suffix.
QString folderName(const QDateTime &time);

struct Entry
{
    QString name; // folder name below backup/
    QDateTime time; // from the name's time stamp, else the folder's modification time
    qint64 bytes = 0; // total size of the files in it (links not followed)
    bool versionsKnown = false; // it has a readable backup.json
    BackupVersions::Versions versions;
};

// The backup folders below mainPath/backup, oldest first (same time: by name).
// Links are not followed: a backup is a real folder and its files.
QList<Entry> list(const QString &mainPath);

// "532 B", "1.4 KB", "2.0 MB", ... (1 KB = 1024 bytes).
QString humanSize(qint64 bytes);

enum class RestoreResult {
    Done,
    BadName, // not a plain folder name
    NoSuchBackup, // no backup folder of that name
    ProgramRunning, // a program of the suite runs (RestoreOutcome::program)
    VersionMismatch, // the backup's suite version isn't the installed one, or unknown
    Failed, // nothing changed; RestoreOutcome::reason says why
    DataDisplaced // the swap failed and couldn't be undone: reason says where the data is
};

struct RestoreOutcome
{
    RestoreResult result = RestoreResult::Failed;
    QString dataPath;
    QString backupPath; // the backup that was (to be) put back
    QString keptPath; // the previous data, kept as a backup entry (Done, when there was data)
    QString program; // the running program (ProgramRunning)
    QString backupVersion; // the backup's suite version, empty when unknown (VersionMismatch)
    QString installedVersion; // the installed suite version, empty when no record is found
    QString reason; // in English for the log (Failed); Done: the replaced data left behind
};

// Name of a running program of the suite: an executable in a folder below
// mainPath/platform or mainPath/product, running from there. The process
// ownPid (this tool) and the installer's programs don't count. Empty when
// none runs; *listed is false when the running programs can't be listed.
QString runningSuiteProgram(const QString &mainPath, qint64 ownPid, bool *listed);

// The checks restore() makes before it changes anything: the name is a
// backup folder's, the backup's suite version is the installed one (unless
// force, or no installation record is found), and no program of the suite
// runs. Done when it may go on.
RestoreOutcome checkRestore(
    const QString &mainPath, const QString &name, qint64 ownPid, bool force);

// Puts backup `name` back as the data folder, after checkRestore(). The current
// data is first copied to the backup entry "<time>-before-restore" (with its
// versions); the backup, without its backup.json, is copied beside the data
// folder and swapped in by renames. On any failure the data folder is as it
// was, and the copies made on the way are removed.
RestoreOutcome restore(
    const QString &mainPath, const QString &name, const QDateTime &now, qint64 ownPid, bool force);

} // namespace ProjectBackup
