#include "CUpgradeWorker.h"

#include <QDebug>
#include <QDir>

#include "SuiteLayout.h"

// The delete, update and add steps: one procedure, three tables of texts.

namespace {

enum FileStep { DeleteStep, UpdateStep, AddStep };

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

bool CUpgradeWorker::deleteFile(const QString &target)
{
    lastFailures.clear();
    return FileTree::deleteFile(target, &lastFailures);
}

bool CUpgradeWorker::updateFile(const QString &source, const QString &target)
{
    lastFailures.clear();
    return FileTree::updateFile(source, target, &lastFailures);
}

bool CUpgradeWorker::addFile(const QString &source, const QString &target)
{
    lastFailures.clear();
    return FileTree::addFile(source, target, &lastFailures);
}

bool CUpgradeWorker::updateFolder(const QString &source, const QString &target)
{
    return copyFolder(source, target, true);
}

bool CUpgradeWorker::addFolder(const QString &source, const QString &target)
{
    return copyFolder(source, target, false);
}

void CUpgradeWorker::slotExeDeleteFile()
{
    runFileStep(DeleteStep, Q_FUNC_INFO);
}

void CUpgradeWorker::slotExeUpdateFile()
{
    runFileStep(UpdateStep, Q_FUNC_INFO);
}

void CUpgradeWorker::slotExeAddFile()
{
    runFileStep(AddStep, Q_FUNC_INFO);
}

void CUpgradeWorker::runFileStep(int step, const char *function)
{
    if (!stepCanRun())
        return;
    const QDir dir(
        SuiteLayout::stagedStepFolder(installPath, QLatin1String(fileSteps[step].folder)));
    if (dir.exists()) {
        const QString stepRoot = dir.absolutePath();
        QMessageLogger(__FILE__, __LINE__, function).debug().noquote() << function << stepRoot;
        // Delete: every leaf at any depth. Update and add: the top level only,
        // without hidden entries and links.
        const QList<QFileInfo> entries = step == DeleteStep
            ? listLeafEntries(stepRoot)
            : QDir(stepRoot).entryInfoList(
                QDir::Dirs | QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot);
        for (const QFileInfo &entry : entries) {
            // Mirror rule: the path below the step folder is the path below
            // the installation folder.
            const QString relative = entry.filePath().mid(stepRoot.length() + 1);
            if (!runFileEntry(step, entry, SuiteLayout::join(installPath, relative)))
                ++fileStepFailures;
        }
    }

    if (step == DeleteStep) {
        emit sigExeUpdateFile();
    } else if (step == UpdateStep) {
        emit sigExeAddFile();
    } else if (fileStepFailures > 0) {
        // Best effort is over: with a file operation failed the after scripts,
        // the database and the version record must not run on a half-changed
        // installation as if all went well.
        emit status(tr("%1项文件操作失败,升级终止").arg(fileStepFailures));
        slotFaildClear();
    } else {
        emit sigExeShellAfter();
    }
}

// One entry of a file step, with its lines; false when it failed.
bool CUpgradeWorker::runFileEntry(int step, const QFileInfo &entry, const QString &target)
{
    const FileStepTexts &texts = fileSteps[step];
    bool done = false;
    if (entry.isFile()) {
        emit status(tr(texts.beforeFile).arg(target));
        if (step == DeleteStep)
            done = deleteFile(target);
        else if (step == UpdateStep)
            done = updateFile(entry.filePath(), target);
        else
            done = addFile(entry.filePath(), target);
        emit status(tr(done ? texts.fileDone : texts.fileFailed).arg(target));
    } else if (entry.isDir()) {
        emit status(tr(texts.beforeFolder).arg(target));
        if (step == DeleteStep)
            done = removeFolder(target);
        else if (step == UpdateStep)
            done = updateFolder(entry.filePath(), target);
        else
            done = addFolder(entry.filePath(), target);
        emit status(tr(done ? texts.folderDone : texts.folderFailed).arg(target));
    } else {
        return true; // neither file nor folder: nothing to do
    }
    if (!done)
        reportFailures();
    return done;
}

// The line after a failed file or folder: which file, and why.
void CUpgradeWorker::reportFailures()
{
    if (lastFailures.isEmpty())
        return;
    const FileTree::Failure &first = lastFailures.first();
    QString reason
        = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(first.path), first.reason);
    if (lastFailures.size() > 1)
        reason += tr("(另有%1项失败)").arg(lastFailures.size() - 1);
    emit status(tr("失败原因:%1").arg(reason));
}
