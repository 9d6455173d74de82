#pragma once

#include <QObject>
#include <QString>

#include <optional>

#include "CommandLine.h"
#include "ExitCode.h"
#include "InstallationRecord.h"
#include "LoadedPackage.h"
#include "PackageDescriptor.h"
#include "ProgressLines.h"
#include "RunResult.h"
#include "UpgradeLog.h"
#include "UpgradeOutcome.h"

struct PreflightReport;
class WorkerDriver;

// An upgrade without a window and without questions: the window's admission
// (UpgradeAdmission), recovery, upgrade and log, each log line on standard output (UTF-8)
// and each refusal on standard error; the result is the exit code. Needs an
// event loop's thread (a QCoreApplication), no display.
class UnattendedUpgrade : public QObject
{
    Q_OBJECT
public:
    explicit UnattendedUpgrade(const CommandLine &commandLine, QObject *parent = nullptr);

    // The exit code (ExitCode).
    int run();

private:
    int runMode();
    // "结果:…" for how this run ended.
    QString resultLine(int code) const;
    int upgrade();
    int recoverOnly();
    // The steps before an upgrade: nothing when it may go on, else the exit
    // code it ends with. An interrupted upgrade is brought to an end first.
    std::optional<ExitCode> finishInterrupted();
    // Says how the recovery ended.
    std::optional<ExitCode> recoveryEnded(RecoveryResult result);
    std::optional<ExitCode> loadPackage();
    // The admission: fit, exe_path, running programs, pre-flight.
    std::optional<ExitCode> checkBeforeUpgrade(PreflightReport *report);
    std::optional<ExitCode> backUp();
    void printPlan(const PreflightReport &report);

    // The log and the console follow the worker; what it says of manual
    // actions and failures goes into the result.
    void follow(WorkerDriver &driver);
    void noteManualAction(const QString &line);
    void noteFailure(const QString &kind, const QString &target, const QString &reason);
    void workerLine(const QString &line);

    void out(const QString &line); // standard output, unless --quiet
    void say(const QString &line); // standard output and the log
    void refuse(const QString &line); // standard error and the log
    // Opens the log file(s); mainPath empty: only the --log copy.
    void openLog(const QString &mainPath);
    // Why --result or --log may not be written where they point (mainPath
    // empty: not known), or empty.
    QString outputRefusal(const QString &mainPath);
    // The --result file, when asked for and allowed; a failure is said on
    // standard error and changes no exit code.
    void writeResult(int code);
    // Names a --log copy that could not be written on standard error, once.
    void sayCopyProblem();

    CommandLine options;
    InstallationRecord record;
    PackageDescriptor package;
    LoadedPackage loaded;
    UpgradeLog log;
    RunResult runResult;
    ProgressLines progress;
    bool upgradeRan = false; // the worker ran an upgrade: its log is named at the end
    bool logOpened = false;
    bool resultRefused = false;
    bool copyProblemSaid = false;
    bool failing = false; // the worker reported a failure: its lines go to standard error
    bool terminating = false; // a termination request cancels the upgrade
};
