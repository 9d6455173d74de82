#pragma once

#include <QObject>
#include <QProcess>
#include <QStringList>

#include <functional>

#include "OutputTail.h"

class ChildProcess;

// Runs the scripts of one step with sh, one after another, each in a child
// process that ends with what it started, under a time limit, with the last
// lines of its output kept for the log. Stops at the first script that fails.
class ScriptRunner : public QObject
{
    Q_OBJECT
public:
    explicit ScriptRunner(QObject *parent = nullptr);

    // scripts as the log names them; each is started through run(path), the
    // path the child can reach it by (the held staging folder).
    void start(const QStringList &scripts, const QString &workingDirectory, int timeLimitSeconds,
        const std::function<QString(const QString &)> &run);
    // Whether a failure counts as a cancel ("升级已取消") when no time limit
    // ended the script.
    void setCancelled(std::function<bool()> cancelled) { this->cancelled = std::move(cancelled); }
    bool isRunning() const;
    // Ends the running script with everything it started.
    void stop();
    // The running script's process ended (also reached by the worker's
    // specified end-of-script slots).
    void processFinished(int exitCode);

signals:
    void scriptStarting(const QString &fileName);
    // Each script's end with its exit code (-1 when it didn't end by itself)
    // and the last lines it wrote.
    void scriptReport(const QString &script, int exitCode, const QString &lastLines);
    void line(const QString &line);
    // A script that failed, and why (the text of its "失败原因" line).
    void failed(const QString &script, const QString &reason);
    // After the last script (true) or the first that failed (false).
    void finished(bool succeeded);

private:
    void runNext();
    void scriptEnded(bool succeeded, bool failedToStart);
    QString failureReason(bool failedToStart);

    ChildProcess *process = nullptr;
    QStringList scripts;
    int index = 0;
    QString workingDirectory;
    int timeLimitSeconds = 0;
    std::function<QString(const QString &)> runPath;
    std::function<bool()> cancelled;
    // From a script's start until its end has been handled, so that each
    // script's end is taken exactly once whatever the process reports.
    bool pending = false;
    OutputTail errors;
    OutputTail output { 20, 500 };
};
