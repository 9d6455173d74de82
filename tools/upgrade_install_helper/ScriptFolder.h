#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

// Why a script can't run.
enum class ScriptProblem { None, Unreadable, NotUtf8, TransactionStatement, ChangedSinceApplied };

struct Script
{
    QString phase;
    QString fileName;
    QString path;
    QString checksum;
    bool applied = false; // applied before with this content: skipped
    ScriptProblem problem = ScriptProblem::None;
    QString problemText; // names the script
    QStringList statements; // of a script that will run

    QString name() const { return phase + QLatin1Char('/') + fileName; }
};

// A folder of a package's SQL scripts: db_before or db_after.
struct ScriptFolder
{
    QString phase;
    QString path;
    QVector<Script> scripts; // in file-name order

    // The *.sql files of path; throws Failure when it is no folder.
    static ScriptFolder list(const QString &phase, const QString &path);
    // Reads each script and sorts it into applied (applied: "phase/script"
    // -> checksum) and to run, and checks the ones to run.
    void check(const QHash<QString, QString> &applied);
};
