#pragma once

#include <QFile>
#include <QList>
#include <QObject>
#include <QString>

class CUpgradeWorker;

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

    // Opens a new log below mainPath (and the copy, when given); false with
    // the reason when the log can't be written.
    bool open(const QString &mainPath, const QString &copyPath, QString *error);
    QString path() const { return file.fileName(); }

    // Writes every line and script report of the worker, and how it ended.
    void follow(CUpgradeWorker *worker);

public slots:
    void write(const QString &line);
    void writeScriptReport(const QString &script, int exitCode, const QString &lastLines);
    void writeOutcome(int outcome);

private:
    void removeOldLogs(const QString &folder);

    QFile file;
    QFile copy;
};
