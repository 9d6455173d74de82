#pragma once

#include <QDateTime>
#include <QString>

// A copy of the suite's project data (the data folder below the main
// directory) into backup/<yyyyMMdd-hhmmss> below the same main directory.
namespace ProjectBackup {

enum class Result { Done, NoDataFolder, Failed };

struct Outcome
{
    Result result = Result::Failed;
    QString backupPath; // the new copy (Done)
    QString dataPath; // what was to be copied
    QString reason; // why it failed (Failed), in English for the log
};

// Copies the data folder of mainPath. The folder is named by the time given;
// when that name is taken (two backups in one second) "-2", "-3", ... follow.
// A copy that fails half-way is removed again; the data is only read.
Outcome run(const QString &mainPath, const QDateTime &now);

// The backup folder's name for a time, without the collision suffix.
QString folderName(const QDateTime &time);

} // namespace ProjectBackup
