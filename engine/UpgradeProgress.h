#pragma once

#include <QString>

#include <functional>

// What the progress bar counts: the extraction, every script, every file the
// file steps touch, the database step and the version records. Reports go
// out at most ten times a second, but a new action and the end at once.
class UpgradeProgress
{
public:
    using Report = std::function<void(int done, int total, const QString &action)>;
    explicit UpgradeProgress(Report report);

    // Counts what the package staged in the main directory holds, of which
    // the extraction wrote stagedFiles files.
    void start(const QString &mainPath, int stagedFiles);
    // Counts units done; an empty action keeps the last one.
    void progressed(const QString &action, int units = 1);
    // Everything is done.
    void complete() { progressed(QString(), total); }
    // Whether a report would go out now, for a caller that words it first.
    bool due() const;

    // The units of a staged package: scripts, files of the file steps, and
    // three (extraction, database step, records).
    static int units(const QString &mainPath, int stagedFiles);

private:
    Report report;
    int done = 0;
    int total = 0;
    qint64 lastReportMs = 0;
    QString action;
};
