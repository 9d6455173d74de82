#pragma once

#include <QObject>
#include <QString>

#include <optional>

#include "CommandLine.h"
#include "ExitCode.h"
#include "InstallationRecord.h"
#include "LoadedPackage.h"
#include "PackageDescriptor.h"
#include "UpgradeLog.h"
#include "UpgradeOutcome.h"

struct PreflightReport;

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

    void say(const QString &line); // standard output and the log
    void refuse(const QString &line); // standard error and the log
    // Opens the log file(s); mainPath empty: only the --log copy.
    void openLog(const QString &mainPath);
    // Why --log may not be written where it points (mainPath empty: not
    // known), or empty.
    QString logCopyRefusal(const QString &mainPath) const;
    // Names a --log copy that could not be written on standard error, once.
    void sayCopyProblem();

    CommandLine options;
    InstallationRecord record;
    PackageDescriptor package;
    LoadedPackage loaded;
    UpgradeLog log;
    bool outcomeWritten = false; // by the worker, at the end of an upgrade
    bool copyProblemSaid = false;
    bool terminating = false; // a termination request cancels the upgrade
};
