#pragma once

#include <QFile>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include "UpgradeOutcome.h"

class CUpgradeWorker;
struct PreflightReport;

// The log of one upgrade that stays when the window has closed: a UTF-8 file
// in the main directory, logs/upgrade-<yyyyMMdd-hhmmss>.log, every line with
// its time; optionally a copy where the administrator wants it (--log). Older
// logs are kept up to a bounded number.
class UpgradeLog : public QObject
{
    Q_OBJECT
public:
    explicit UpgradeLog(QObject *parent = nullptr);
    ~UpgradeLog() override;

    static constexpr int keptLogs = 30;

    // Opens a new log below mainPath (none when it is empty) and the copy,
    // when given; false with the reason when a log can't be written. The
    // copy is a new file that replaces what is at copyPath by a rename:
    // nothing there is opened, truncated or followed.
    bool open(const QString &mainPath, const QString &copyPath, QString *error);
    QString path() const { return file.fileName(); }
    // Why the copy could not be opened or written to the end (its path and
    // the reason); empty while it is written.
    QString copyProblem() const { return copyFailure; }
    // A "结果:…(退出码N)" line that also says, before the code, when the
    // copy could not be written.
    QString withCopyProblem(const QString &resultLine) const;

    // Writes every line and script report of the worker, and how it ended.
    void follow(CUpgradeWorker *worker);

    // What is upgraded with what: the installer's name and version, the
    // package file, the range it covers, the version it installs and the
    // version installed now.
    void writeHeader(const QString &packageFile, const QString &versionFrom,
        const QString &versionTo, const QString &installedVersion);
    static QStringList headerLines(const QString &packageFile, const QString &versionFrom,
        const QString &versionTo, const QString &installedVersion);
    // "结果:…" for an UpgradeOutcome.
    static QString outcomeText(int outcome);
    // The pre-flight's verdict: each problem, or what the upgrade will change.
    void writePreflight(const PreflightReport &report);

public slots:
    void write(const QString &line);
    void writeScriptReport(const QString &script, int exitCode, const QString &lastLines);
    void writeOutcome(UpgradeOutcome outcome);

private:
    bool openInMainDirectory(const QString &mainPath, QString *error);
    bool openCopy(const QString &copyPath);
    void copyFailed(const QString &reason);
    void removeOldLogs(const QString &folder);
    QString stamp();

    QFile file;
    QFile copy;
    QString copyTarget;
    QString copyFailure;
    qint64 stampSecond = 0; // of stampPrefix, in seconds since the epoch
    QString stampPrefix;
};
