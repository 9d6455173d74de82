#include "UpgradeAdmission.h"

#include "SuiteGuard.h"
#include "UpgradeRequest.h"

QStringList UpgradeAdmission::Verdict::problemLines() const
{
    QStringList lines;
    for (const PreflightProblem &problem : report.problems)
        lines << problem.text();
    return lines;
}

UpgradeAdmission::UpgradeAdmission(
    const InstallationRecord &record, const PackageDescriptor &package)
    : record(record)
    , package(package)
    , packageRoot(PreflightInput().packageRoot)
    , runningPrograms(SuiteGuard::findRunningSuitePrograms)
{ }

void UpgradeAdmission::setRunningProgram(const RunningProgram &find)
{
    runningPrograms = [find](const QString &mainPath, const QString &exePath) {
        QList<::RunningProgram> found;
        const QString name = find(mainPath, exePath);
        if (!name.isEmpty())
            found.append({ name, 0, QString(), QString(), false });
        return found;
    };
}

UpgradeAdmission::Verdict UpgradeAdmission::check() const
{
    const Verdict fit = checkFit();
    return fit.admitted() ? checkInstallation() : fit;
}

UpgradeAdmission::Verdict UpgradeAdmission::checkFit() const
{
    Verdict verdict;
    verdict.fit = PackageFit::judge(record, package);
    if (verdict.fit != FitVerdict::Fits) {
        verdict.refusal = Refusal::DoesNotFit;
        verdict.detail = PackageFit::message(verdict.fit);
    }
    return verdict;
}

UpgradeAdmission::Verdict UpgradeAdmission::checkInstallation() const
{
    Verdict verdict;
    // A bad exe_path goes straight to the pre-flight, which stops at it.
    if (isPlainExePath(package.exePath)) {
        verdict.running = runningPrograms(record.mainPath, package.exePath);
        if (!verdict.running.isEmpty()) {
            verdict.detail = verdict.running.first().name;
            verdict.refusal = Refusal::SuiteRunning;
            return verdict;
        }
    }
    verdict.report
        = runPreflight(PreflightInput::of(UpgradeRequest::of(record, package), packageRoot));
    if (!verdict.report.ok()) {
        verdict.refusal = Refusal::PreflightFailed;
        verdict.detail = verdict.problemLines().join(QLatin1Char('\n'));
    }
    return verdict;
}
