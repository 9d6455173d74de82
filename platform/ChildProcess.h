#pragma once

#include <QProcess>

class QTimer;

// A child process (a script, the database helper) that never outlives the
// installer and can be stopped together with everything it started. On Linux
// the forked child is a reaper (child subreaper) that runs the program and, at
// its end, on killTree or when the installer dies, kills every descendant,
// also those that left the process group or session; a watcher process asks
// it too should the installer die. On Windows it runs in a job object without
// break-away that Windows ends with the installer. Whatever it leaves running
// is ended when it ends.
class ChildProcess : public QProcess
{
    Q_OBJECT
public:
    explicit ChildProcess(QObject *parent = nullptr);
    ~ChildProcess() override;

    // Stops the child (and its children) when it runs longer than this;
    // 0 for no limit. Counted from each start.
    void setTimeLimit(int seconds);
    int timeLimit() const { return limitSeconds; }
    // True when the last run was stopped by the time limit.
    bool timedOut() const { return overTime; }
    // Ends the child and every process it started, at once.
    void killTree();

protected:
    void setupChildProcess() override;

private:
    void childStarted();
    void childEnded();

    QTimer *limit;
    int limitSeconds = 0;
    bool overTime = false;
    qint64 group = 0; // the child's process group (Unix)
    void *job = nullptr; // the child's job (Windows)
    qint64 parentPid = 0;
};
