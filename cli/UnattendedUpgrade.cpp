#include "UnattendedUpgrade.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>

#include "CUpgradeWorker.h"
#include "ConsoleText.h"
#include "ExitCode.h"
#include "InstallationLock.h"
#include "InterruptedUpgrade.h"
#include "PackageSignature.h"
#include "RegularFile.h"
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

// The project management tool's backup may take long, but not forever.
constexpr int backupTimeLimitMs = 4 * 60 * 60 * 1000;

} // namespace

UnattendedUpgrade::UnattendedUpgrade(const CommandLine &commandLine, QObject *parent)
    : QObject(parent)
    , options(commandLine)
{ }

int UnattendedUpgrade::run()
{
    const int code = runMode();
    sayCopyProblem();
    // Every run ends its log with how it ended, a refusal as well.
    if (!outcomeWritten) {
        const QString line = log.withCopyProblem(resultLine(code));
        code == ExitUpgraded ? say(line) : refuse(line);
    }
    return code;
}

QString UnattendedUpgrade::resultLine(int code) const
{
    const bool recovering = options.mode == CommandLine::Mode::Recover;
    if (code == ExitUpgraded && recovering)
        return tr("结果:安装处于一致状态(退出码0)");
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
    const QString refusal = logCopyRefusal(recordRead ? record.mainPath : QString());
    if (!refusal.isEmpty()) {
        print(stderr, refusal);
        return ExitUsage;
    }
    if (!recordRead) {
        openLog(QString());
        refuse(tr("获取本地系统安装信息失败:%1").arg(QDir::toNativeSeparators(recordPath)));
        return ExitNoRecord;
    }
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
    return finishInterrupted().value_or(ExitUpgraded);
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
    connect(&interrupted, &InterruptedUpgrade::line, this, &UnattendedUpgrade::say);
    const std::optional<ExitCode> refused = recoveryEnded(interrupted.finish().result);
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
    // The log follows the worker itself (lines, script reports, outcome).
    connect(&driver, &WorkerDriver::line, this, [](const QString &line) { print(stdout, line); });
    log.follow(driver.worker());
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
    const UpgradeOutcome outcome = driver.upgrade(UpgradeRequest::of(record, package));
    // A request that came when the upgrade could no longer be undone (past
    // the database step, or while it was being finished) cancelled nothing.
    if (terminating && outcome == UpgradeOutcome::Upgraded)
        say(tr("终止请求到达时升级已无法撤销,升级已完成"));
    outcomeWritten = true;
    sayCopyProblem();
    print(outcome == UpgradeOutcome::Upgraded ? stdout : stderr,
        log.withCopyProblem(UpgradeLog::outcomeText(int(outcome))));
    if (!log.path().isEmpty())
        print(stdout, tr("升级日志:%1").arg(QDir::toNativeSeparators(log.path())));
    return int(outcome);
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
        if (!loaded.detail().isEmpty())
            refuse(loaded.detail());
        return ExitPackageRefused;
    }
    package.read(UpgradeConstants::packageDescriptorPath());
    for (const QString &line : UpgradeLog::headerLines(
             options.package, package.versionFrom, package.versionTo, record.version))
        say(line);
    if (!loaded.signatureSummary().isEmpty())
        say(loaded.signatureSummary());
    return std::nullopt;
}

std::optional<ExitCode> UnattendedUpgrade::checkBeforeUpgrade(PreflightReport *report)
{
    const UpgradeAdmission::Verdict verdict = UpgradeAdmission(record, package).check();
    switch (verdict.refusal) {
    case UpgradeAdmission::Refusal::DoesNotFit:
        refuse(verdict.detail);
        return ExitPackageRefused;
    case UpgradeAdmission::Refusal::SuiteRunning:
        refuse(tr("进程%1正在运行，无法开始升级!").arg(verdict.detail));
        return ExitSuiteRunning;
    case UpgradeAdmission::Refusal::UpToDate:
        say(verdict.detail);
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
    if (!QFileInfo::exists(tool)) {
        refuse(tr("工程管理工具不存在,无法备份:%1").arg(QDir::toNativeSeparators(tool)));
        return ExitPreflightRefused;
    }
    if (options.dryRun) {
        say(tr("升级前将用工程管理工具备份工程数据:%1").arg(QDir::toNativeSeparators(tool)));
        return std::nullopt;
    }
    say(tr("正在备份工程数据"));
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool,
        { QStringLiteral("--no-gui"), QStringLiteral("--main-dir"),
            QDir::toNativeSeparators(record.mainPath) });
    const bool ended = process.waitForStarted() && process.waitForFinished(backupTimeLimitMs);
    for (const QString &line : ConsoleText::fromPipe(process.readAll()).split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            say(line.trimmed());
    }
    if (!ended) {
        process.kill();
        process.waitForFinished();
        refuse(tr("工程数据备份未完成:%1").arg(process.errorString()));
        return ExitPreflightRefused;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        refuse(tr("工程数据备份失败,退出码为%1,未开始升级").arg(process.exitCode()));
        return ExitPreflightRefused;
    }
    return std::nullopt;
}

void UnattendedUpgrade::say(const QString &line)
{
    print(stdout, line);
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

namespace {

// The absolute path with the part of it that exists resolved (links, ".."),
// the rest as it is: two names of one place compare equal.
QString resolved(const QString &path)
{
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QStringList rest;
    for (;;) {
        const QString canonical = QFileInfo(existing).canonicalFilePath();
        if (!canonical.isEmpty())
            return QDir::cleanPath(QDir(canonical).filePath(rest.join(QLatin1Char('/'))));
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        rest.prepend(QFileInfo(existing).fileName());
        existing = parent;
    }
}

#ifdef Q_OS_WIN
const Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
const Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

} // namespace

QString UnattendedUpgrade::logCopyRefusal(const QString &mainPath) const
{
    if (options.logFile.isEmpty())
        return QString();
    const QString named = QDir::toNativeSeparators(options.logFile);
    const QFileInfo info(options.logFile);
    // The copy replaces a file by a rename; anything else there stays.
    if (info.isSymLink())
        return tr("选项--log不能指向符号链接:%1").arg(named);
    if ((info.exists() && !info.isFile()) || RegularFile::isSpecial(options.logFile))
        return tr("选项--log指向的不是普通文件:%1").arg(named);
    const QString target = resolved(options.logFile);
    const auto is = [&](const QString &path) {
        return QString::compare(target, resolved(path), pathCase) == 0;
    };
    const auto inside = [&](const QString &folder) {
        const QString resolvedFolder = resolved(folder);
        return target.startsWith(resolvedFolder + QLatin1Char('/'), pathCase)
            || (resolvedFolder == QStringLiteral("/") && target.startsWith(resolvedFolder));
    };
    if (is(options.package) || is(PackageSignature::signaturePath(options.package)))
        return tr("选项--log不能指向升级包或其签名文件:%1").arg(named);
    const QString installDir = UpgradeConstants::installDir();
    const QStringList records = mainPath.isEmpty()
        ? QStringList { SuiteLayout::installationRecord(installDir) }
        : SuiteLayout::recordCopies(installDir, mainPath);
    for (const QString &record : records) {
        if (is(record))
            return tr("选项--log不能指向安装信息文件:%1").arg(named);
    }
    // The main directory holds the journal, the backup and the lock that
    // an interrupted upgrade needs; only its logs folder is for logs.
    if (!mainPath.isEmpty() && (is(mainPath) || inside(mainPath))
        && !inside(QDir(mainPath).filePath(QStringLiteral("logs"))))
        return tr("选项--log在主目录中只能指向logs文件夹:%1").arg(named);
    return QString();
}
