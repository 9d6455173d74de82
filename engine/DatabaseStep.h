#pragma once

#include <QObject>
#include <QProcess>
#include <QStringList>

#include <functional>

#include "OutputTail.h"

class ChildProcess;

// The database step: the suite's helper program run on the package's SQL
// folders, its output passed on line by line, its end judged.
class DatabaseStep : public QObject
{
    Q_OBJECT
public:
    enum class End {
        Succeeded, // ended by itself with exit code 0
        Failed, // ended otherwise; what is known is said already
        NotStarted // could not be started
    };
    Q_ENUM(End)

    explicit DatabaseStep(QObject *parent = nullptr);

    // The helper's arguments for the SQL folders found (empty: none); the
    // folders as the helper can reach them.
    static QStringList arguments(
        bool upgradeDatabase, const QString &beforeDir, const QString &afterDir);
    // Whether the helper, asked with --applied, says it got through these
    // scripts (before the installer died, or before it was stopped). Unknown
    // counts as no; a step with nothing to run counts as nothingToRun.
    static bool applied(const QString &program, QStringList arguments, bool nothingToRun);

    void start(const QString &program, const QStringList &arguments, int timeLimitSeconds);
    void setCancelled(std::function<bool()> cancelled) { this->cancelled = std::move(cancelled); }
    bool isRunning() const;
    void stop();
    // The helper's complete output lines, each passed on (also reached by
    // the worker's specified output slot).
    void readLines();
    // The helper ended (also reached by the worker's specified end slot).
    void processFinished(int exitCode, QProcess::ExitStatus exitStatus);

signals:
    void line(const QString &line);
    // Before ended() when the step failed or didn't start: why, as said.
    void failure(const QString &reason);
    void ended(DatabaseStep::End end);

private:
    void failed(int exitCode, QProcess::ExitStatus exitStatus);
    void startFailed(QProcess::ProcessError error);

    ChildProcess *process = nullptr;
    std::function<bool()> cancelled;
    OutputTail errors;
    // From the helper's start until its end has been judged, so that a start
    // failure and a crash each end the step exactly once.
    bool pending = false;
};
