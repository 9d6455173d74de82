#include "UpgradeRun.h"

#include <QDebug>
#include <QDir>

#include "EngineLog.h"
#include "PathGuard.h"
#include "ScriptRunner.h"
#include "SuiteLayout.h"
#include "VersionRecords.h"

// The steps of the chain: scripts, the delete, update and add steps (one
// procedure, three tables of texts), the database step and the commit.

namespace {

// Folder below the staged package root and the progress lines of one file step.
struct FileStepTexts
{
    const char *folder;
    const char *beforeFile;
    const char *fileFailed;
    const char *fileDone;
    const char *beforeFolder;
    const char *folderFailed;
    const char *folderDone;
};

const FileStepTexts fileSteps[] = {
    { "delete", QT_TRANSLATE_NOOP("CUpgradeWorker", "正在删除文件:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "删除文件:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "删除文件:%1成功"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "正在删除目录:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "删除目录:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "删除目录:%1成功") },
    { "update", QT_TRANSLATE_NOOP("CUpgradeWorker", "正在更新文件:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "更新文件:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "更新文件:%1成功"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "正在更新目录:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "更新目录:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "更新目录:%1成功") },
    { "add", QT_TRANSLATE_NOOP("CUpgradeWorker", "正在添加文件:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "添加文件:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "添加文件:%1成功"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "正在添加目录:%1"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "添加目录:%1失败"),
        QT_TRANSLATE_NOOP("CUpgradeWorker", "添加目录:%1成功") },
};

} // namespace

// ---- Scripts ------------------------------------------------------------------

void UpgradeRun::runScripts(const QString &folder)
{
    // The rollback scripts run on whatever is left after a failure.
    if (current != Stage::RollbackScripts && !stepCanRun())
        return;
    const QStringList scripts = findScripts(folder);
    if (scripts.isEmpty()) {
        scriptsEnded(true);
        return;
    }
    scriptRunner->start(scripts, request.mainPath, request.scriptTimeoutSeconds,
        [this](const QString &path) { return throughHeld(path); });
}

QStringList UpgradeRun::findScripts(const QString &folderName) const
{
    // Listed through the held staging folder; named as the log knows them.
    const QString path = SuiteLayout::stagedScriptFolder(request.mainPath, folderName);
    const QDir dir(throughHeld(path));
    if (!dir.exists())
        return {};
    // Name filters match without regard to case, so "c.BAT" is a script too.
    const QStringList names = dir.entryList(QStringList(QStringLiteral("*.bat")),
        QDir::Files | QDir::NoSymLinks, QDir::Name | QDir::IgnoreCase);
    const QString folder = QDir::fromNativeSeparators(QDir(path).absolutePath());
    QStringList scripts;
    for (const QString &name : names)
        scripts.append(folder + QLatin1Char('/') + name);
    return scripts;
}

void UpgradeRun::scriptsEnded(bool succeeded)
{
    if (current == Stage::RollbackScripts)
        rollbackScriptsEnded(succeeded);
    else if (succeeded)
        advance();
    else
        fail();
}

// ---- Files ----------------------------------------------------------------------

void UpgradeRun::runFileStep(ChangePlan::Step step)
{
    if (!stepCanRun())
        return;
    const FileStepTexts &texts = fileSteps[int(step)];
    const QDir dir(SuiteLayout::stagedStepFolder(request.mainPath, QLatin1String(texts.folder)));
    if (dir.exists()) {
        const QString stepRoot = dir.absolutePath();
        qCDebug(lcEngine).noquote() << "file step" << stepRoot;
        QString backups;
        if (!prepareFileStep(&backups))
            return;
        const QList<PlannedEntry> entries = ChangePlan::plan(
            step, stepRoot, request.mainPath, backups, transaction.backupCounter());
        // The step's changes are on disk in the journal before the first is made.
        QList<FileChange> changes;
        for (const PlannedEntry &planned : entries)
            changes += planned.changes;
        QString error;
        if (!transaction.record(changes, &error)) {
            say(tr("无法写入升级日志文件%1:%2").arg(transaction.journalFile(), error));
            fail();
            return;
        }
        // Translated once per step, not twice per entry.
        const QStringList lines { tr(texts.beforeFile), tr(texts.fileDone), tr(texts.fileFailed),
            tr(texts.beforeFolder), tr(texts.folderDone), tr(texts.folderFailed) };
        for (const PlannedEntry &planned : entries) {
            if (cancelled()) {
                say(tr("升级已取消"));
                fail();
                return;
            }
            if (!runFileEntry(lines, planned))
                ++fileStepFailures;
        }
    }
    if (step == ChangePlan::Step::Add)
        endFileSteps();
    else
        advance();
}

// Every change reaches its folders from the main directory's handle, and the
// staging and backup folders are held from their first use on: no link on the
// way, planted before or during the step, leads a change outside the
// installation. False, after failing with the reason, when they can't be.
bool UpgradeRun::prepareFileStep(QString *backups)
{
    const QString backupRoot = SuiteLayout::backupRoot(request.mainPath);
    PathGuard::Escape escape;
    if (!PathGuard(request.mainPath).check(backupRoot, &escape)) {
        say(PathGuard::refusal(escape));
        fail();
        return false;
    }
    QDir().mkpath(backupRoot);
    QString reason;
    if (!transaction.holdFolders(&reason)) {
        say(reason);
        fail();
        return false;
    }
    *backups = QFileInfo(backupRoot).absoluteFilePath();
    return true;
}

// One entry of a file step, with its lines (before, done, failed for a file,
// then for a folder); false when it failed. The entry's changes are made in
// order; one that fails leaves its target as it was, and the others are still
// made (they are undone with the rest).
bool UpgradeRun::runFileEntry(const QStringList &lines, const PlannedEntry &planned)
{
    const int first = planned.entry.isDir() ? 3 : 0;
    // The target joins the main directory and the package's relative path:
    // shown with one kind of separator, the system's.
    const QString shown = QDir::toNativeSeparators(planned.target);
    say(lines.at(first).arg(shown));
    if (progressCount.due())
        progressCount.progressed(lines.at(first).arg(shown.mid(request.mainPath.size() + 1)), 0);
    FileTree::Failures failures = planned.refusals;
    bool done = planned.refusals.isEmpty();
    for (const FileChange &change : planned.changes) {
        if (!transaction.apply(change, &failures))
            done = false;
        else if (change.kind != FileChange::MakeFolder)
            progressCount.progressed(QString(), change.files);
    }
    // The failures are told before their lines, so they can be shown as such.
    if (!done) {
        for (const FileTree::Failure &failed : qAsConst(failures))
            emit failure(
                QStringLiteral("file"), QDir::toNativeSeparators(failed.path), failed.reason);
    }
    say(lines.at(first + (done ? 1 : 2)).arg(shown));
    if (!done)
        reportFailures(failures);
    return done;
}

// The line after a failed file or folder: which file, and why.
void UpgradeRun::reportFailures(const FileTree::Failures &failures)
{
    if (failures.isEmpty())
        return;
    const FileTree::Failure &first = failures.first();
    QString reason
        = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(first.path), first.reason);
    if (failures.size() > 1)
        reason += tr("(另有%1项失败)").arg(failures.size() - 1);
    say(tr("失败原因:%1").arg(reason));
}

// After the add step: every change made, or the upgrade fails and is undone.
void UpgradeRun::endFileSteps()
{
    if (fileStepFailures > 0) {
        // With a file operation failed the after scripts, the database and the
        // version record must not run on a half-changed installation.
        say(tr("%1项文件操作失败,升级终止").arg(fileStepFailures));
        fail();
        return;
    }
    if (journalMark(Journal::Mark::FilesDone))
        advance();
}

// ---- Database and commit -----------------------------------------------------

void UpgradeRun::runDatabase()
{
    QStringList arguments;
    if (request.databaseInstalled) {
        if (!stepCanRun())
            return;
        arguments = helperArguments();
    }
    if (arguments.isEmpty()) {
        advance();
        return;
    }
    // Should the installer die while the helper runs, the next start asks the
    // database whether the helper got through: if so the upgrade is finished,
    // and the files it needs must be on disk by then.
    transaction.makeDurable();
    if (!journalMark(Journal::Mark::DatabaseBegun))
        return;
    progressCount.progressed(tr("正在升级数据库"), 0);
    databaseStep->start(SuiteLayout::helperProgram(request.mainPath, request.exePath), arguments,
        request.dbTimeoutSeconds);
}

QString UpgradeRun::findDbScriptDir(const QString &name) const
{
    if (request.mainPath.isEmpty() || !QDir(request.mainPath).exists())
        return QString();
    const QDir dir(SuiteLayout::stagedDbFolder(request.mainPath, name));
    const QDir heldDir(throughHeld(dir.path()));
    if (!heldDir.exists())
        return QString();
    // Plain files only (no links, nothing hidden); the pattern ignores case.
    if (heldDir.entryInfoList({ QStringLiteral("*.sql") }, QDir::Files | QDir::NoSymLinks)
            .isEmpty())
        return QString();
    return dir.absolutePath();
}

// The helper reads the staged SQL through the held staging folder.
QStringList UpgradeRun::helperArguments()
{
    const auto held
        = [this](const QString &folder) { return folder.isEmpty() ? folder : throughHeld(folder); };
    return DatabaseStep::arguments(request.upgradeDatabase,
        held(findDbScriptDir(QStringLiteral("db_before"))),
        held(findDbScriptDir(QStringLiteral("db_after"))));
}

void UpgradeRun::databaseEnded(DatabaseStep::End end)
{
    if (end == DatabaseStep::End::Succeeded) {
        advance();
        return;
    }
    // Stopped or failed after its transaction committed (between its commit
    // and its exit): the database can't be taken back, so the files must not
    // be either. The upgrade is completed instead.
    if (end == DatabaseStep::End::Failed
        && DatabaseStep::applied(SuiteLayout::helperProgram(request.mainPath, request.exePath),
            helperArguments(), false)) {
        say(tr("数据库已升级到新版本,无法撤销,升级继续完成"));
        enter(Stage::Commit);
        return;
    }
    fail();
}

// Past the database step the upgrade is finished, never undone: the journal
// says so first, then the version records are written.
void UpgradeRun::commit()
{
    QString error;
    transaction.makeDurable(); // nothing the committed upgrade needs may be lost after this
    if (!transaction.mark(Journal::Mark::Committed, &error))
        say(tr("无法写入升级日志文件%1:%2").arg(transaction.journalFile(), error));
    progressCount.progressed(tr("正在修改版本信息"));
    updateVersionRecords();
    progressCount.complete();
    advance();
}

void UpgradeRun::updateVersionRecords()
{
    QList<VersionRecords::Failure> failures;
    for (const QString &text : VersionRecords::updateAll(request, &transaction.tree(), &failures))
        say(text);
    for (const VersionRecords::Failure &failed : qAsConst(failures)) {
        emit failure(QStringLiteral("record"), failed.path, failed.reason);
        emit manualAction(failed.manualLine);
    }
}
