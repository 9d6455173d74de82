#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include "HelperOptions.h"
#include "SchemaHistory.h"
#include "ScriptFolder.h"

// One run of the helper on the database: the scripts of db_before, the
// schema upgrade and the scripts of db_after in one transaction (or, for a
// dry run, rolled back), or the report of --status. Reports one line per
// step on standard output.
class MigrationRun
{
public:
    using Mode = HelperOptions::Mode;

    // Does what the options ask for and returns the exit code; a failed run
    // (not a dry run, not --status) ends the program abnormally.
    static int execute(const HelperOptions &options);

    MigrationRun(Mode mode, const QString &databaseFile, bool up);
    ~MigrationRun();
    MigrationRun(const MigrationRun &) = delete;
    MigrationRun &operator=(const MigrationRun &) = delete;

    // Throws Failure when path is no folder.
    void addFolder(const QString &phase, const QString &path);
    // A run or a dry run; throws Failure.
    void run();
    // The report of --status; throws Failure.
    void status();
    // After status(): whether a run would change anything.
    bool pending() const { return hasWork(); }
    // After a Failure: nothing of the run stays in the database.
    void abandon();

private:
    static QString connectionName() { return QStringLiteral("upgrade_install_helper"); }
    void tell(const QString &line) const;
    bool databaseExists() const;
    void open(const QString &name, bool readOnly);
    void checkScripts();
    void refuseProblems(bool exists);
    void openForWork(bool exists, bool work);
    void finish(bool work);
    bool hasWork() const;
    void runFolder(const QString &phase, bool work);
    void runScript(const Script &script);
    void upgradeSchema(bool work);
    void reportHistory();
    void reportScripts();

    Mode m_mode;
    QString m_file;
    bool m_up;
    QVector<ScriptFolder> m_folders; // db_before, then db_after
    QSqlDatabase m_db;
    bool m_created = false; // the file was made by this run
    QString m_createdFolder; // the folder too
    bool m_inTransaction = false;
    SchemaHistory m_history;
};
