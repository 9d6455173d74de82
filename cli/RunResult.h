#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include "Preflight.h"
#include "SuiteGuard.h"

// What one run of the command line did, for the administrator's tools: filled
// while the run goes on, written at its end as a JSON document (--result,
// docs/upgrade-result.schema.json).
struct RunResult
{
    struct Failure
    {
        QString kind; // "file", "script", "database", "record", "package", "backup", "other"
        QString target;
        QString reason;
    };

    QString mode; // "upgrade", "dry-run", "recover"
    QDateTime started = QDateTime::currentDateTimeUtc();
    QDateTime ended;
    QString mainDirectory; // empty: the record wasn't read
    QString packageFile; // as given; empty for --recover
    QString packageSha256; // hex; empty when the file can't be read
    QString versionFrom, versionTo, installedBefore, installedAfter;
    int exitCode = 0;
    bool changed = false; // the installation differs from before the run
    bool upToDate = false; // it had the package's version and files already
    QList<PreflightProblem> preflightProblems;
    QList<RunningProgram> runningPrograms;
    QList<Failure> failures;
    QStringList manualActions;
    QString logFile; // empty: no log was written

    // The outcome's word for exitCode in this mode ("upgraded", "consistent", ...).
    QString outcome() const;
    QJsonObject toJson() const;
    // Writes the document as a new file beside path, renamed over path: a
    // link there is replaced, never followed. False with the reason.
    bool write(const QString &path, QString *error) const;

    // The SHA-256 of the file's contents in hex, read in pieces; empty when
    // it can't be read.
    static QString sha256Of(const QString &path);
    // The schema's word for a pre-flight problem's kind.
    static QString problemKind(PreflightProblem::Kind kind);
};
