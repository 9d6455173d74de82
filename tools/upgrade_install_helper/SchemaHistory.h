#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

// What earlier runs left in the suite's database: the table upgrade_history,
// one row per applied script and schema step, and the schema version kept in
// suite_info under "schema_version". Errors throw Failure (HelperFailure.h).
class SchemaHistory
{
public:
    struct Row
    {
        QString phase, script, checksum, appliedAt;
        bool success;
    };
    struct Upgrade
    {
        int reached; // the schema version
        QString at; // the time noted as last_upgrade_at
    };

    // The version that "--up yes" brings the database to.
    static int latestVersion();
    // The checksum noted for a script's content.
    static QString checksum(const QByteArray &bytes);

    // Reads the history and the schema version; changes nothing. fileName
    // names the database in errors.
    void read(const QSqlDatabase &db, const QString &fileName);
    // Reads the schema version again: the scripts before may have touched
    // suite_info.
    void rereadSchemaVersion(const QSqlDatabase &db);

    const QVector<Row> &rows() const { return m_rows; }
    // "phase/script" -> the checksum of its last successful run.
    const QHash<QString, QString> &applied() const { return m_applied; }
    int schemaVersion() const { return m_schemaVersion; }

    // Inside the run's transaction: creates the table when missing.
    static void createTable(const QSqlDatabase &db);
    // Notes a script as applied now; false with the database's message in
    // *error when that fails.
    static bool note(const QSqlDatabase &db, const QString &phase, const QString &script,
        const QString &sum, QString *error);
    // Runs the schema steps past the version read, notes each, and stores
    // the version reached and the time.
    Upgrade upgradeSchema(const QSqlDatabase &db) const;

private:
    int readSchemaVersion(const QSqlDatabase &db) const;

    QVector<Row> m_rows;
    QHash<QString, QString> m_applied;
    bool m_hasSuiteInfo = false;
    int m_schemaVersion = 0;
};
