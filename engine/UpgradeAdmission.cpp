#include "UpgradeAdmission.h"

#include <QCoreApplication>

#include "EngineLog.h"
#include "SuiteGuard.h"
#include "UpToDate.h"
#include "UpgradeRequest.h"

QStringList UpgradeAdmission::Verdict::problemLines() const
{
    QStringList lines;
    bool denied = false;
    for (const PreflightProblem &problem : report.problems) {
        lines << problem.text();
        denied = denied || problem.accessDenied;
    }
    if (denied)
        lines << PreflightProblem::accessDeniedHint();
    return lines;
}

UpgradeAdmission::UpgradeAdmission(
    const InstallationRecord &record, const PackageDescriptor &package)
    : record(record)
    , package(package)
    , packageRoot(PreflightInput().packageRoot)
    , runningPrograms(SuiteGuard::findRunningSuitePrograms)
{ }

void UpgradeAdmission::setRunningProgram(const FirstRunningProgram &find)
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
        verdict.detail = PackageFit::message(verdict.fit, record, package);
    }
    return verdict;
}

UpgradeAdmission::Verdict UpgradeAdmission::checkInstallation() const
{
    Verdict verdict;
    // A bad exe_path goes straight to the pre-flight, which stops at it.
    if (isPlainExePath(package.exePath)) {
        // An up-to-date host ends here, a suite program running or not.
        const UpToDate::Verdict upToDate
            = UpToDate::judge(record.version, package.versionTo, record.mainPath, packageRoot);
        qCDebug(lcEngine) << "up to date:" << upToDate.reason();
        if (upToDate.upToDate()) {
            verdict.refusal = Refusal::UpToDate;
            verdict.detail
                = QCoreApplication::translate("UpgradeAdmission", "已是最新版本,无需升级");
            return verdict;
        }
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
