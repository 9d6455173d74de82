#pragma once

#include <QString>
#include <QStringList>

#include <functional>

#include "InstallationRecord.h"
#include "PackageDescriptor.h"
#include "PackageFit.h"
#include "Preflight.h"
#include "SuiteGuard.h"

// Whether an upgrade may start, decided alike for the window and the command
// line, in one order: the package fits the installation, its exe_path is a
// plain folder name, the installation isn't up to date already, no program of
// the suite is running, the pre-flight finds nothing wrong. The first step
// that fails decides and the later ones don't run: a bad exe_path would send
// the search for running programs outside the suite, so it is refused first,
// as the pre-flight words it.
class UpgradeAdmission
{
public:
    enum class Refusal {
        None,
        DoesNotFit, // fit: the verdict
        UpToDate, // nothing to do: no refusal, an end (detail: the operator's text)
        SuiteRunning, // detail: the running program's name
        PreflightFailed // report: the problems, a bad exe_path among them
    };

    struct Verdict
    {
        Refusal refusal = Refusal::None;
        FitVerdict fit = FitVerdict::Fits;
        // The operator's text: the misfit's message, the running program's
        // name, or the pre-flight's problems, one a line.
        QString detail;
        // The suite's programs found running (SuiteRunning: at least one).
        QList<RunningProgram> running;
        // The pre-flight's report when it ran (what the upgrade would change).
        PreflightReport report;

        bool admitted() const { return refusal == Refusal::None; }
        // The pre-flight's problems as the operator reads them, and which
        // account to run as when the system denied access.
        QStringList problemLines() const;
    };

    // The name of the first running program that blocks an upgrade of the
    // installation at mainPath with that exe_path, or empty.
    using FirstRunningProgram
        = std::function<QString(const QString &mainPath, const QString &exePath)>;
    // Every running program that blocks it, the first one first.
    using RunningPrograms
        = std::function<QList<RunningProgram>(const QString &mainPath, const QString &exePath)>;

    UpgradeAdmission(const InstallationRecord &record, const PackageDescriptor &package);

    // The package tree the pre-flight reads (the registered package's
    // ":/upgrade") and the search for running programs (SuiteGuard's); tests
    // put their own.
    void setPackageRoot(const QString &root) { packageRoot = root; }
    void setRunningProgram(const FirstRunningProgram &find);

    // Every step in order.
    Verdict check() const;
    // The fit alone: cheap, for the window's status line.
    Verdict checkFit() const;
    // The steps after the fit. They compare the installation with the
    // package, list processes, read the package tree and start the database
    // helper: slow, so the window runs them on a thread of their own (an
    // admission is a value, copied there).
    Verdict checkInstallation() const;

private:
    InstallationRecord record;
    PackageDescriptor package;
    QString packageRoot;
    RunningPrograms runningPrograms;
};
