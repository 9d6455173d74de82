#include "Preflight.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QStorageInfo>

#include "ChangePlan.h"
#include "ChildProcess.h"
#include "FileAccess.h"
#include "PathGuard.h"
#include "SuiteLayout.h"
#include "UpgradeConstants.h"
#include "UpgradeRequest.h"

namespace {

using Problem = PreflightProblem;

// Room beyond the package's bytes: file system overhead, the journal, the
// scripts' output.
constexpr qint64 marginBytes = qint64(64) * 1024 * 1024;
constexpr int helperSeconds = 10;

QString parentOf(const QString &path)
{
    const int cut = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QDir::separator()));
    return cut > 0 ? path.left(cut) : path;
}

// Why the helper can't serve: it is asked for its usage, which the real one
// answers with exit code 0. Empty when it does.
QString helperFailure(const QString &program)
{
    const QDeadlineTimer deadline(helperSeconds * 1000);
    ChildProcess helper;
    helper.setProcessChannelMode(QProcess::MergedChannels);
    helper.setStandardInputFile(QProcess::nullDevice());
    helper.start(program, { QStringLiteral("--help") }, QIODevice::ReadOnly);
    if (!helper.waitForStarted(int(qMax<qint64>(1, deadline.remainingTime()))))
        return helper.errorString();
    if (!helper.waitForFinished(int(qMax<qint64>(1, deadline.remainingTime())))) {
        helper.killTree();
        helper.waitForFinished(5000);
        return QCoreApplication::translate("Preflight", "超过时间限制(%1秒)").arg(helperSeconds);
    }
    if (helper.exitStatus() != QProcess::NormalExit)
        return QCoreApplication::translate("Preflight", "异常结束");
    if (helper.exitCode() != 0)
        return QCoreApplication::translate("Preflight", "退出码为%1").arg(helper.exitCode());
    return QString();
}

class Checker
{
public:
    Checker(const PreflightInput &input, PreflightReport *report)
        : input(input)
        , report(*report)
        , root(QDir::cleanPath(input.packageRoot.startsWith(QLatin1Char(':'))
                  ? input.packageRoot
                  : QFileInfo(input.packageRoot).absoluteFilePath()))
        , guard(input.mainPath)
    { }

    void checkWorkFolders();
    void planSteps();
    void walkPackage();
    void checkDiskSpace();
    void checkHelper();

private:
    void add(Problem::Kind kind, const QString &path, const QString &detail = QString(),
        bool accessDenied = false);
    bool emptiedFolder(PlannedEntry &planned, const QString &stepRoot, int *nextBackup) const;
    void takePlan(ChangePlan::Step step, const QString &stepRoot, int *nextBackup);
    void checkChange(const FileChange &change);
    void checkReceiver(const QString &folder);
    void takeVerdict(const FileAccess::Verdict &verdict);
    void checkLength(const QString &path);
    bool hasSql(const char *folder) const;

    const PreflightInput &input;
    PreflightReport &report;
    const QString root; // the package tree, clean (absolute on disk)
    PathGuard guard;
    QSet<QString> reported; // problems as "kind path detail": each once
    QSet<QString> receivers; // folders checked for new entries
    QStringList tooLong; // paths reported too long: what lies below them is not
    qint64 packageBytes = 0;
};

void Checker::add(Problem::Kind kind, const QString &path, const QString &detail, bool accessDenied)
{
    const QString key = QStringLiteral("%1\t%2\t%3").arg(int(kind)).arg(path, detail);
    if (reported.contains(key))
        return;
    reported.insert(key);
    report.problems.append({ kind, path, detail, accessDenied });
}

// Whether path is one of the upgrade's own files and folders (staging,
// backups, journal, lock) or lies in one: a package that changed them would
// change the transaction under its own feet.
bool isUpgradesOwn(const QString &mainPath, const QString &path)
{
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    const QString target = QDir::cleanPath(QDir::fromNativeSeparators(path));
    for (const QString &own :
        { SuiteLayout::stagingRoot(mainPath), SuiteLayout::backupRoot(mainPath),
            SuiteLayout::journalFile(mainPath), SuiteLayout::lockFile(mainPath) }) {
        const QString cleaned = QDir::cleanPath(QDir::fromNativeSeparators(own));
        if (target.compare(cleaned, cs) == 0 || target.startsWith(cleaned + QLatin1Char('/'), cs))
            return true;
    }
    return false;
}

// The upgrade's own folders and files: the staging folder, the backups, the
// journal and the lock go into the main directory, which must take them; none
// of them may be a link leading outside, as the upgrade writes through them.
void Checker::checkWorkFolders()
{
    const QString main = input.mainPath;
    for (const QString &path : { SuiteLayout::stagingRoot(main), SuiteLayout::backupRoot(main),
             SuiteLayout::journalFile(main), SuiteLayout::lockFile(main), main }) {
        PathGuard::Escape escape;
        if (!guard.check(path, &escape))
            add(Problem::LinkOutside, escape.link, escape.target);
    }
    receivers.insert(main);
    takeVerdict(FileAccess::checkReceiving(main));
}

void Checker::planSteps()
{
    int nextBackup = 0;
    takePlan(ChangePlan::Step::Delete, root + QStringLiteral("/delete"), &nextBackup);
    takePlan(ChangePlan::Step::Update, root + QStringLiteral("/update"), &nextBackup);
    takePlan(ChangePlan::Step::Add, root + QStringLiteral("/add"), &nextBackup);
    report.deletes.removeDuplicates();
    report.updates.removeDuplicates();
    report.adds.removeDuplicates(); // a folder both update/ and add/ create
}

// The package keeps an empty folder through a placeholder file, which the
// staging copy removes: a leaf of delete/ that is a placeholder alone in its
// folder stands for that folder, which goes whole. False when the folder holds
// more (the placeholder is then no leaf at all) or is the step folder itself.
bool Checker::emptiedFolder(PlannedEntry &planned, const QString &stepRoot, int *nextBackup) const
{
    const QString folder = planned.entry.path();
    if (folder == stepRoot
        || QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot).size() != 1)
        return false;
    planned.target = parentOf(planned.target);
    planned.changes.clear();
    planned.refusals.clear();
    const QFileInfo installed(planned.target);
    if (installed.isDir() || installed.isSymLink()) {
        const QString backup = SuiteLayout::backupRoot(input.mainPath) + QLatin1Char('/')
            + QString::number((*nextBackup)++);
        planned.changes.append({ FileChange::MoveAway, planned.target, QString(), backup });
    }
    return true;
}

void Checker::takePlan(ChangePlan::Step step, const QString &stepRoot, int *nextBackup)
{
    const QString placeholder = UpgradeConstants::placeholderFileName();
    // The update and add steps find what the delete step left.
    QList<PlannedEntry> entries = ChangePlan::plan(step, stepRoot, input.mainPath,
        SuiteLayout::backupRoot(input.mainPath), nextBackup, report.deletes);
    for (PlannedEntry &planned : entries) {
        if (step == ChangePlan::Step::Delete && planned.entry.fileName() == placeholder
            && !emptiedFolder(planned, stepRoot, nextBackup))
            continue;
        // Whether there now or made by the upgrade itself later (the lock, the
        // journal, the staging and backup folders).
        if (isUpgradesOwn(input.mainPath, planned.target)) {
            add(Problem::InstallerOwn, planned.target);
            continue;
        }
        for (const FileTree::Failure &refusal : qAsConst(planned.refusals)) {
            if (QFileInfo(refusal.path).fileName() != placeholder)
                add(Problem::NotWritable, refusal.path, refusal.reason);
        }
        for (const FileChange &change : qAsConst(planned.changes)) {
            if (QFileInfo(change.source).fileName() != placeholder)
                checkChange(change);
        }
    }
}

void Checker::checkChange(const FileChange &change)
{
    if (change.kind == FileChange::MoveAway)
        report.deletes << change.target;
    else if (change.kind == FileChange::Replace)
        report.updates << change.target;
    else
        report.adds << change.target;
    checkLength(change.target);
    // A folder that moves in whole brings everything in it.
    if (change.kind == FileChange::MoveIn && QFileInfo(change.source).isDir()) {
        QDirIterator it(
            change.source, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            if (it.fileName() == UpgradeConstants::placeholderFileName())
                continue;
            const QString target = SuiteLayout::join(change.target,
                QDir::toNativeSeparators(it.filePath().mid(change.source.size() + 1)));
            report.adds << target;
            checkLength(target);
        }
    }
    if (!change.backup.isEmpty())
        checkLength(change.backup);
    if (change.kind == FileChange::MoveIn || change.kind == FileChange::MakeFolder) {
        checkReceiver(parentOf(change.target));
        return;
    }
    // Removing or replacing acts on the target itself, even a link: only the
    // folders leading to it must stay inside.
    PathGuard::Escape escape;
    if (!guard.checkParent(change.target, &escape)) {
        add(Problem::LinkOutside, escape.link, escape.target);
        return;
    }
    takeVerdict(FileAccess::checkRemovable(change.target, change.kind == FileChange::Replace));
}

void Checker::checkReceiver(const QString &folder)
{
    if (receivers.contains(folder))
        return;
    receivers.insert(folder);
    PathGuard::Escape escape;
    if (!guard.check(folder, &escape)) {
        add(Problem::LinkOutside, escape.link, escape.target);
        return;
    }
    // A folder that isn't there yet is made by the upgrade itself.
    if (QFileInfo(folder).isDir())
        takeVerdict(FileAccess::checkReceiving(folder));
}

void Checker::takeVerdict(const FileAccess::Verdict &verdict)
{
    if (verdict.kind == FileAccess::Verdict::InUse)
        add(Problem::InUse, verdict.path, verdict.holders.join(QStringLiteral(", ")));
    else if (verdict.kind == FileAccess::Verdict::Refused)
        add(Problem::NotWritable, verdict.path, verdict.reason, verdict.denied);
}

void Checker::checkLength(const QString &path)
{
    for (const QString &shown : qAsConst(tooLong)) {
        if (path.startsWith(shown)
            && (path.size() == shown.size() || path.at(shown.size()) == QLatin1Char('/')
                || path.at(shown.size()) == QDir::separator()))
            return;
    }
    QString name;
    const int length = FileAccess::lengthOverLimit(path, &name);
    if (length == 0)
        return;
    if (name.isEmpty()) {
        tooLong << path;
        add(Problem::PathTooLong, path, QString::number(length));
        return;
    }
    // The first name too long is the first place it occurs: every part
    // before it is shorter.
    const QString upToName = path.left(path.indexOf(name) + name.size());
    tooLong << upToName;
    add(Problem::NameTooLong, upToName, QString::number(length));
}

// Everything of the package is staged below upgrade_temp/upgrade first (hidden
// entries are passed over as the staging copy does).
void Checker::walkPackage()
{
    const QString staged = SuiteLayout::stagedPackageRoot(input.mainPath);
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo entry = it.fileInfo();
        if (entry.isFile())
            packageBytes += entry.size();
        checkLength(SuiteLayout::join(
            staged, QDir::toNativeSeparators(entry.filePath().mid(root.size() + 1))));
    }
}

void Checker::checkDiskSpace()
{
    // The package is staged once; its files are then moved, not copied.
    report.bytesNeeded = packageBytes + packageBytes / 10 + marginBytes;
    const QStorageInfo volume(input.mainPath);
    if (!volume.isValid() || !volume.isReady())
        return; // a missing main directory is reported as such
    report.bytesAvailable = volume.bytesAvailable();
    if (report.bytesAvailable >= report.bytesNeeded)
        return;
    const QLocale c = QLocale::c();
    add(Problem::DiskSpace, input.mainPath,
        QCoreApplication::translate("Preflight", "需要%1,可用%2")
            .arg(c.formattedDataSize(report.bytesNeeded),
                c.formattedDataSize(report.bytesAvailable)));
}

bool Checker::hasSql(const char *folder) const
{
    const QDir dir(root + QStringLiteral("/db/") + QLatin1String(folder));
    // The pattern ignores case, as the database step's does.
    return !dir.entryList({ QStringLiteral("*.sql") }, QDir::Files).isEmpty();
}

void Checker::checkHelper()
{
    if (!input.databaseInstalled
        || (!input.upgradeDatabase && !hasSql("db_before") && !hasSql("db_after")))
        return;
    const QString program = SuiteLayout::helperProgram(input.mainPath, input.exePath);
    if (!QFileInfo::exists(program)) {
        add(Problem::HelperMissing, program);
        return;
    }
    const QString failure = helperFailure(program);
    if (!failure.isEmpty())
        add(Problem::HelperNotStartable, program, failure);
}

} // namespace

bool isPlainExePath(const QString &exePath)
{
    if (exePath.isEmpty())
        return true; // platform/ and product/ themselves
    if (exePath.trimmed() != exePath || exePath == QLatin1String(".")
        || exePath == QLatin1String("..") || exePath.endsWith(QLatin1Char('.')))
        return false; // Windows drops trailing dots: "bin." would name "bin"
    for (const QChar c : exePath) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':')
            || c.unicode() < 0x20)
            return false;
    }
    return true;
}

QString PreflightProblem::text() const
{
    const QString shown = QDir::toNativeSeparators(path);
    switch (kind) {
    case InUse:
        return detail.isEmpty()
            ? QCoreApplication::translate("Preflight", "文件%1正被其他程序占用").arg(shown)
            : QCoreApplication::translate("Preflight", "文件%1正被程序%2占用").arg(shown, detail);
    case NotWritable:
        return QCoreApplication::translate("Preflight", "文件%1无法写入或删除:%2")
            .arg(shown, detail);
    case DiskSpace:
        return QCoreApplication::translate("Preflight", "磁盘空间不足:%1").arg(detail);
#ifdef Q_OS_WIN
    case PathTooLong:
        return QCoreApplication::translate("Preflight", "路径过长(%1个字符):%2").arg(detail, shown);
    case NameTooLong:
        return QCoreApplication::translate("Preflight", "名称过长(%1个字符):%2").arg(detail, shown);
#else
    case PathTooLong:
        return QCoreApplication::translate("Preflight", "路径过长(%1个字节):%2").arg(detail, shown);
    case NameTooLong:
        return QCoreApplication::translate("Preflight", "名称过长(%1个字节):%2").arg(detail, shown);
#endif
    case HelperMissing:
        return QCoreApplication::translate("Preflight", "数据库升级程序不存在:%1").arg(shown);
    case HelperNotStartable:
        return QCoreApplication::translate("Preflight", "数据库升级程序无法启动:%1(%2)")
            .arg(shown, detail);
    case BadExePath:
        return QCoreApplication::translate("Preflight", "升级包的程序目录exe_path无效:%1")
            .arg(path);
    case LinkOutside:
        return PathGuard::describe({ path, detail });
    case InstallerOwn:
        return QCoreApplication::translate("Preflight", "升级包不能改动升级程序自己的文件:%1")
            .arg(shown);
    }
    return QString();
}

QString PreflightProblem::accessDeniedHint()
{
#ifdef Q_OS_WIN
    return QCoreApplication::translate("Preflight", "请以管理员身份运行升级程序");
#else
    return QCoreApplication::translate("Preflight", "请以套件文件所有者(或root)身份运行升级程序");
#endif
}

PreflightInput PreflightInput::of(const UpgradeRequest &request, const QString &packageRoot)
{
    return { request.mainPath, request.exePath, request.databaseInstalled, request.upgradeDatabase,
        packageRoot };
}

PreflightReport runPreflight(const PreflightInput &input)
{
    PreflightReport report;
    if (!isPlainExePath(input.exePath)) {
        report.problems.append({ PreflightProblem::BadExePath, input.exePath, QString() });
        return report;
    }
    Checker checker(input, &report);
    checker.checkWorkFolders();
    checker.planSteps();
    checker.walkPackage();
    checker.checkDiskSpace();
    checker.checkHelper();
    return report;
}
