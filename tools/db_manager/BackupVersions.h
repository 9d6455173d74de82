#pragma once

#include <QString>

#include <optional>

// What a backup was taken of: the suite version of the installation (the
// installation record's software_version) and the schema version of its
// database, kept in backup.json in the backup folder. A restore compares the
// suite version with the installed one, so that the data and the installation
// record can't end up at different versions.
namespace BackupVersions {

struct Versions
{
    QString suite; // empty: unknown
    std::optional<int> schema; // none: no database, or it can't be read
};

// The file in a backup folder that holds the versions.
QString fileName();

// The installed suite version for the main directory: the record in the
// installation directory when it names this main directory, else the copy of
// the record below the main directory. Empty when neither is found.
QString installedVersion(const QString &mainPath);

// The schema version of a database as the database helper keeps it (suite_info,
// key schema_version; 0 when the table or the row is missing), read without
// writing. None when the file doesn't exist or isn't a readable database.
std::optional<int> schemaVersion(const QString &databaseFile);

// Writes folder/backup.json as a new file renamed into place; false, with the
// reason in English, when it can't.
bool write(const QString &folder, const Versions &versions, QString *reason);

// Reads folder/backup.json; false when there is none or it can't be read.
bool read(const QString &folder, Versions *versions);

} // namespace BackupVersions
