#include "UnattendedUpgrade.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>

#include "CUpgradeWorker.h"
#include "ChildProcess.h"
#include "ConsoleText.h"
#include "ExitCode.h"
#include "InstallationLock.h"
#include "InterruptedUpgrade.h"
#include "OutputPaths.h"
#include "ProgramClosing.h"
#include "SuiteLayout.h"
#include "TerminationRequests.h"
#include "UpgradeAdmission.h"
#include "UpgradeConstants.h"
#include "VisibleText.h"
#include "WorkerDriver.h"

namespace {

// One line, whatever file names or script output it holds (as in the log).
void print(FILE *stream, const QString &line)
{
    const QByteArray bytes = VisibleText::escaped(line).toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

UnattendedUpgrade::UnattendedUpgrade(const CommandLine &commandLine, QObject *parent)
    : QObject(parent)
    , options(commandLine)
{ }

int UnattendedUpgrade::run()
{
    runResult.mode = options.mode == CommandLine::Mode::Recover
        ? QStringLiteral("recover")
        : (options.dryRun ? QStringLiteral("dry-run") : QStringLiteral("upgrade"));
    if (!options.package.isEmpty()) {
        runResult.packageFile = options.package;
        runResult.packageSha256 = RunResult::sha256Of(options.package);
    }
    const int code = runMode();
    sayCopyProblem();
    if (upgradeRan && !log.path().isEmpty())
        out(tr("升级日志:%1").arg(QDir::toNativeSeparators(log.path())));
    // Every run that got past its command line ends with how it ended, in
    // its log too, a refusal as well; it is the last line, and --quiet keeps it.
    const QString line = log.withCopyProblem(resultLine(code));
    if (code == ExitUpgraded || code == ExitManualAction) {
        print(stdout, line);
        log.write(line);
    } else {
        refuse(line);
    }
    writeResult(code);
    return code;
}

QString UnattendedUpgrade::resultLine(int code) const
{
    const bool recovering = options.mode == CommandLine::Mode::Recover;
    if (code == ExitManualAction)
        return tr("结果:升级成功,但需要手动处理(退出码8)");
    if (code == ExitUpgraded && recovering)
        return tr("结果:安装处于一致状态(退出码0)");
    if (code == ExitUpgraded && runResult.upToDate)
        return tr("结果:已是最新版本,无需升级(退出码0)");
    if (code == ExitUpgraded && options.dryRun)
        return tr("结果:试运行检查通过,未作任何改动(退出码0)");
    switch (code) {
    case ExitNotRestored:
        if (recovering)
            return tr("结果:上次中断的升级未能完全恢复(退出码2)");
        break;
    case ExitPackageRefused:
        return tr("结果:升级包被拒绝,未作任何改动(退出码3)");
    case ExitSuiteRunning:
        return tr("结果:套件程序正在运行,未作任何改动(退出码4)");
    case ExitPreflightRefused:
        return tr("结果:升级前检查未通过,未作任何改动(退出码6)");
    case ExitNoRecord:
        return tr("结果:无法读取安装信息,未作任何改动(退出码7)");
    case ExitUsage:
        return tr("结果:命令行有误,未作任何改动(退出码64)");
    }
    return UpgradeLog::outcomeText(code); // the outcomes an upgrade itself can have
}

int UnattendedUpgrade::runMode()
{
    const QString recordPath = SuiteLayout::installationRecord(UpgradeConstants::installDir());
    const bool recordRead
        = record.read(recordPath) == RecordLayout::ReadResult::Ok && !record.mainPath.isEmpty();
    // Before anything is opened: the copy must not take the place of what
    // the upgrade or a recovery needs.
    const QString refusal = outputRefusal(recordRead ? record.mainPath : QString());
    if (!refusal.isEmpty()) {
        print(stderr, refusal);
        return ExitUsage;
    }
    if (!recordRead) {
        openLog(QString());
        refuse(InstallationRecord::unreadableMessage(recordPath));
        return ExitNoRecord;
    }
    runResult.mainDirectory = record.mainPath;
    runResult.installedBefore = record.version;
    // A dry run changes nothing in the installation, its log included; a
    // recovery with nothing to recover leaves no log to push out the others.
    const bool nothingToRecover = options.mode == CommandLine::Mode::Recover
        && !InterruptedUpgrade(record.mainPath).isPending();
    openLog(options.dryRun || nothingToRecover ? QString() : record.mainPath);
    return options.mode == CommandLine::Mode::Recover ? recoverOnly() : upgrade();
}

int UnattendedUpgrade::recoverOnly()
{
    if (!InterruptedUpgrade(record.mainPath).isPending()) {
        say(tr("没有中断的升级,安装处于一致状态"));
        return ExitUpgraded;
    }
    return finishInterrupted().value_or(
        runResult.manualActions.isEmpty() ? ExitUpgraded : ExitManualAction);
}

std::optional<ExitCode> UnattendedUpgrade::finishInterrupted()
{
    InterruptedUpgrade interrupted(record.mainPath);
    if (!interrupted.isPending())
        return std::nullopt;
    // The journal may be that of an upgrade still running, not of one that
    // was interrupted.
    if (InstallationLock::isHeldElsewhere(SuiteLayout::lockFile(record.mainPath))) {
        refuse(options.mode == CommandLine::Mode::Recover
                ? tr("另一个升级程序正在运行,无法恢复")
                : tr("另一个升级程序正在运行,本次升级未作任何改动"));
        return ExitBusy;
    }
    if (options.dryRun) {
        // Finishing it would change the installation; planning on top of it
        // would describe a state that is about to change.
        refuse(tr("发现上次中断的升级;试运行不作任何改动,请先运行 upgrade_install --recover"));
        return ExitPreflightRefused;
    }
    say(tr("发现上次中断的升级,正在恢复"));
    // Its lines go into this run's log as they come.
    connect(&interrupted, &InterruptedUpgrade::line, this, [this](const QString &line) {
        log.write(line);
        workerLine(line);
    });
    connect(&interrupted, &InterruptedUpgrade::manualAction, this,
        &UnattendedUpgrade::noteManualAction);
    connect(&interrupted, &InterruptedUpgrade::failure, this, &UnattendedUpgrade::noteFailure);
    const RecoveryResult ending = interrupted.finish().result;
    runResult.changed = ending != RecoveryResult::NothingToDo && ending != RecoveryResult::Busy;
    const std::optional<ExitCode> refused = recoveryEnded(ending);
    // The record now says what is installed.
    if (!refused)
        record.read(SuiteLayout::installationRecord(UpgradeConstants::installDir()));
    return refused;
}

std::optional<ExitCode> UnattendedUpgrade::recoveryEnded(RecoveryResult result)
{
    switch (result) {
    case RecoveryResult::Busy:
        refuse(tr("另一个升级程序正在运行,本次升级未作任何改动"));
        return ExitBusy;
    case RecoveryResult::Incomplete:
        refuse(tr("上次中断的升级未能完全恢复"));
        return ExitNotRestored;
    case RecoveryResult::NothingToDo: // it ended meanwhile, by its own installer
        say(tr("上次的升级已结束,无需恢复"));
        break;
    case RecoveryResult::RolledForward:
        say(tr("上次中断的升级已完成"));
        break;
    case RecoveryResult::RolledBack:
        say(tr("上次中断的升级已撤销"));
        break;
    }
    return std::nullopt;
}

int UnattendedUpgrade::upgrade()
{
    if (const std::optional<ExitCode> refused = finishInterrupted())
        return *refused;
    if (const std::optional<ExitCode> refused = loadPackage())
        return *refused;
    PreflightReport report;
    if (const std::optional<ExitCode> refused = checkBeforeUpgrade(&report))
        return *refused;
    if (options.backupFirst) {
        if (const std::optional<ExitCode> refused = backUp())
            return *refused;
    }
    if (options.dryRun) {
        printPlan(report);
        return ExitUpgraded;
    }
    WorkerDriver driver;
    follow(driver);
    // A request to end the program while the upgrade runs (SIGTERM, Ctrl+C)
    // cancels it as an operator would: it is rolled back, exit code 1. More
    // requests change nothing; the handling ends with the upgrade.
    TerminationRequests termination;
    CUpgradeWorker *worker = driver.worker();
    connect(&termination, &TerminationRequests::received, this, [this, worker] {
        if (terminating)
            return;
        terminating = true;
        say(tr("收到终止信号,正在取消升级"));
        worker->requestCancel();
    });
    upgradeRan = true;
    const UpgradeOutcome outcome = driver.upgrade(UpgradeRequest::of(record, package));
    // A request that came when the upgrade could no longer be undone (past
    // the database step, or while it was being finished) cancelled nothing.
    if (terminating && outcome == UpgradeOutcome::Upgraded)
        say(tr("终止请求到达时升级已无法撤销,升级已完成"));
    if (outcome == UpgradeOutcome::Upgraded || outcome == UpgradeOutcome::NotRestored)
        runResult.changed = true;
    if (outcome == UpgradeOutcome::Upgraded && !runResult.manualActions.isEmpty())
        return ExitManualAction;
    return int(outcome);
}

void UnattendedUpgrade::follow(WorkerDriver &driver)
{
    // The log follows the worker itself (lines, script reports); the result
    // line is this run's.
    CUpgradeWorker *worker = driver.worker();
    connect(&driver, &WorkerDriver::line, this, &UnattendedUpgrade::workerLine);
    connect(worker, &CUpgradeWorker::status, &log, &UpgradeLog::write);
    connect(worker, &CUpgradeWorker::sigScriptReport, &log, &UpgradeLog::writeScriptReport);
    connect(&driver, &WorkerDriver::manualAction, this, &UnattendedUpgrade::noteManualAction);
    connect(&driver, &WorkerDriver::failure, this, &UnattendedUpgrade::noteFailure);
    connect(worker, &CUpgradeWorker::sigProgress, this,
        [this](int done, int total, const QString &action) {
            const QString line = progress.take(done, total, action);
            if (!line.isEmpty())
                out(line);
        });
}

void UnattendedUpgrade::noteManualAction(const QString &line)
{
    runResult.manualActions << line;
    // Said on standard output with the other lines; --quiet keeps it as a problem.
    if (options.quiet)
        print(stderr, line);
}

void UnattendedUpgrade::noteFailure(
    const QString &kind, const QString &target, const QString &reason)
{
    runResult.failures.append({ kind, target, reason });
    failing = true;
}

void UnattendedUpgrade::workerLine(const QString &line)
{
    // From the first failure on, the lines tell of it and of the rollback:
    // they are problems, for standard error (--quiet keeps them).
    if (failing)
        print(stderr, line);
    else
        out(line);
}

std::optional<ExitCode> UnattendedUpgrade::loadPackage()
{
    loaded.setTrustedKeysFolder(SuiteLayout::trustedKeysFolder(record.mainPath));
    const LoadedPackage::Result result = loaded.load(options.package);
    if (result != LoadedPackage::Result::Registered) {
        QString reason = LoadedPackage::message(result);
        if (reason.isEmpty()) // not a package at all
            reason = tr("不是升级包文件");
        refuse(tr("%1:%2").arg(reason, QDir::toNativeSeparators(options.package)));
        runResult.failures.append(
            { QStringLiteral("package"), QDir::toNativeSeparators(options.package), reason });
        if (!loaded.detail().isEmpty())
            refuse(loaded.detail());
        return ExitPackageRefused;
    }
    package.read(UpgradeConstants::packageDescriptorPath());
    runResult.versionFrom = package.versionFrom;
    runResult.versionTo = package.versionTo;
    for (const QString &line : UpgradeLog::headerLines(
             options.package, package.versionFrom, package.versionTo, record.version))
        say(line);
    if (!loaded.signatureSummary().isEmpty())
        say(loaded.signatureSummary());
    return std::nullopt;
}

std::optional<ExitCode> UnattendedUpgrade::checkBeforeUpgrade(PreflightReport *report)
{
    const UpgradeAdmission admission(record, package);
    UpgradeAdmission::Verdict verdict = admission.check();
    if (options.closePrograms && !options.dryRun) // a dry run changes nothing, here either
        verdict = ProgramClosing(record.mainPath, package.exePath)
                      .closeAndCheck(admission, verdict, options.waitProgramsSeconds,
                          [this](const QString &line) { say(line); });
    runResult.preflightProblems = verdict.report.problems;
    runResult.runningPrograms = verdict.running;
    switch (verdict.refusal) {
    case UpgradeAdmission::Refusal::DoesNotFit:
        refuse(verdict.detail);
        return ExitPackageRefused;
    case UpgradeAdmission::Refusal::SuiteRunning:
        refuse(tr("进程%1正在运行，无法开始升级!").arg(verdict.detail));
        for (const RunningProgram &program : verdict.running) {
            if (!program.closed)
                refuse(QStringLiteral("    ") + ProgramClosing::describe(program));
        }
        return ExitSuiteRunning;
    case UpgradeAdmission::Refusal::UpToDate:
        runResult.upToDate = true;
        return ExitUpgraded;
    case UpgradeAdmission::Refusal::None:
    case UpgradeAdmission::Refusal::PreflightFailed:
        break;
    }
    *report = verdict.report;
    log.writePreflight(*report);
    if (verdict.admitted())
        return std::nullopt;
    // The log has the problems already.
    print(stderr, tr("升级前检查未通过:"));
    for (const QString &problem : verdict.problemLines())
        print(stderr, QStringLiteral("    ") + problem);
    return ExitPreflightRefused;
}

void UnattendedUpgrade::printPlan(const PreflightReport &report)
{
    const auto list = [this](const QString &heading, const QStringList &paths) {
        say(heading.arg(paths.size()));
        for (const QString &path : paths)
            say(QStringLiteral("    ") + QDir::toNativeSeparators(path));
    };
    list(tr("将删除%1项:"), report.deletes);
    list(tr("将更新%1项:"), report.updates);
    list(tr("将添加%1项:"), report.adds);
    say(tr("检查通过,未作任何改动(--dry-run)"));
}

std::optional<ExitCode> UnattendedUpgrade::backUp()
{
    const QString tool = SuiteLayout::projectTool(record.mainPath, package.exePath);
    // Each refusal is also the result's failure of the backup.
    const auto refused = [&](const QString &line) {
        refuse(line);
        runResult.failures.append(
            { QStringLiteral("backup"), QDir::toNativeSeparators(tool), line });
        return ExitPreflightRefused;
    };
    if (!QFileInfo::exists(tool)) {
        return refused(tr("工程管理工具不存在,无法备份:%1").arg(QDir::toNativeSeparators(tool)));
    }
    if (options.dryRun) {
        say(tr("升级前将用工程管理工具备份工程数据:%1").arg(QDir::toNativeSeparators(tool)));
        return std::nullopt;
    }
    say(tr("正在备份工程数据"));
    // A child process that ends with the installer: ended (SIGTERM, Ctrl+C)
    // or dead, it leaves no backup running on.
    ChildProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool,
        { QStringLiteral("--no-gui"), QStringLiteral("--main-dir"),
            QDir::toNativeSeparators(record.mainPath) });
    const bool started = process.waitForStarted();
    const bool ended = started && process.waitForFinished(options.backupTimeoutSeconds * 1000);
    if (started && !ended) {
        process.killTree();
        process.waitForFinished();
    }
    for (const QString &line : ConsoleText::fromPipe(process.readAll()).split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            say(line.trimmed());
    }
    if (started && !ended) {
        return refused(
            tr("工程数据备份未在%1秒内完成,未开始升级").arg(options.backupTimeoutSeconds));
    }
    if (!ended) {
        return refused(tr("工程数据备份未完成:%1").arg(process.errorString()));
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return refused(tr("工程数据备份失败,退出码为%1,未开始升级").arg(process.exitCode()));
    }
    return std::nullopt;
}

void UnattendedUpgrade::out(const QString &line)
{
    if (!options.quiet)
        print(stdout, line);
}

void UnattendedUpgrade::say(const QString &line)
{
    out(line);
    log.write(line);
}

void UnattendedUpgrade::refuse(const QString &line)
{
    print(stderr, line);
    log.write(line);
}

void UnattendedUpgrade::openLog(const QString &mainPath)
{
    if (mainPath.isEmpty() && options.logFile.isEmpty())
        return;
    // A log that can't be written is said, and the upgrade goes on: what
    // could be opened is written, and standard output has every line.
    QString error;
    logOpened = true;
    if (!log.open(mainPath, options.logFile, &error))
        print(stderr, tr("无法写入升级日志:%1").arg(error));
    copyProblemSaid = !log.copyProblem().isEmpty();
}

void UnattendedUpgrade::sayCopyProblem()
{
    if (copyProblemSaid || log.copyProblem().isEmpty())
        return;
    copyProblemSaid = true;
    print(stderr, tr("无法写入升级日志:%1").arg(log.copyProblem()));
}

QString UnattendedUpgrade::outputRefusal(const QString &mainPath)
{
    QString refusal = OutputPaths::refusal(
        QStringLiteral("--result"), options.resultFile, options.package, mainPath);
    if (refusal.isEmpty() && !options.resultFile.isEmpty() && !options.logFile.isEmpty()
        && OutputPaths::samePlace(options.resultFile, options.logFile))
        refusal = tr("选项--result不能与--log指向同一文件:%1")
                      .arg(QDir::toNativeSeparators(options.resultFile));
    // A result file that may not be written is not written at all.
    resultRefused = !refusal.isEmpty();
    if (refusal.isEmpty())
        refusal = OutputPaths::refusal(
            QStringLiteral("--log"), options.logFile, options.package, mainPath);
    return refusal;
}

void UnattendedUpgrade::writeResult(int code)
{
    if (options.resultFile.isEmpty() || resultRefused)
        return;
    runResult.exitCode = code;
    InstallationRecord after;
    if (after.read(SuiteLayout::installationRecord(UpgradeConstants::installDir()))
        == RecordLayout::ReadResult::Ok)
        runResult.installedAfter = after.version;
    if (!log.path().isEmpty())
        runResult.logFile = log.path();
    else if (logOpened && log.copyProblem().isEmpty())
        runResult.logFile = QFileInfo(options.logFile).absoluteFilePath();
    runResult.ended = QDateTime::currentDateTimeUtc();
    QString error;
    // The exit code stays that of the run.
    if (!runResult.write(options.resultFile, &error))
        print(stderr, tr("无法写入结果文件:%1").arg(error));
}
