#include "CUpgradeWorker.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>

#include "FileTree.h"
#include "UpgradeConstants.h"

CUpgradeWorker::CUpgradeWorker(QObject *parent)
    : QObject(parent)
{
    connect(this, &CUpgradeWorker::sigExeShellBefore, this, &CUpgradeWorker::slotExeShellBefore);
    connect(this, &CUpgradeWorker::sigExeDeleteFile, this, &CUpgradeWorker::slotExeDeleteFile);
    connect(this, &CUpgradeWorker::sigExeUpdateFile, this, &CUpgradeWorker::slotExeUpdateFile);
    connect(this, &CUpgradeWorker::sigExeAddFile, this, &CUpgradeWorker::slotExeAddFile);
    connect(this, &CUpgradeWorker::sigExeShellAfter, this, &CUpgradeWorker::slotExeShellAfter);
    connect(this, &CUpgradeWorker::sigExeDb, this, &CUpgradeWorker::slotExeDb);
}

CUpgradeWorker::~CUpgradeWorker()
{
    delete shellBeforeProcess;
    shellBeforeProcess = nullptr;
    delete shellAfterProcess;
    shellAfterProcess = nullptr;
    delete installHelperProcess;
    installHelperProcess = nullptr;
}

void CUpgradeWorker::setDbFlags(int isDb, int ifUpgradeDb)
{
    this->isDb = isDb;
    this->ifUpgradeDb = ifUpgradeDb;
}

void CUpgradeWorker::setExePath(QString exePath)
{
    this->exePath = exePath;
}

void CUpgradeWorker::setVersions(QString version, QString versionTo)
{
    this->version = version;
    this->versionTo = versionTo;
}

void CUpgradeWorker::doStartUpgrade()
{
    emit sigExeShellBefore();
}

namespace {

const int scriptStartTimeoutMs = 30000;

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

QString packageFolderName()
{
    return QStringLiteral("upgrade");
}

} // namespace

// ---- Extraction -------------------------------------------------------------

void CUpgradeWorker::doStartCopyAll(QString sysConfigXmlPath, QString installPath)
{
    Q_UNUSED(sysConfigXmlPath)
    resetUpgradeState();
    this->installPath = installPath;
    emit status(tr("开始拷贝升级包信息"));
    if (copyAllToStaging()) {
        emit status(tr("升级包信息拷贝成功"));
        emit sigCopyAllEnd(true);
    } else {
        emit status(tr("升级包信息拷贝失败"));
        emit sigCopyAllEnd(false);
        emit sigSuccess(false);
    }
}

void CUpgradeWorker::resetUpgradeState()
{
    shellBeforeList.clear();
    shellAfterList.clear();
    shellBeforeIndex = 0;
    shellAfterIndex = 0;
    shellBeforeRunning = false;
    shellAfterRunning = false;
    installHelperPending = false;
    fileStepFailures = 0;
    scriptErrors.clear();
    helperErrors.clear();
}

bool CUpgradeWorker::copyAllToStaging()
{
    if (!installFolderPresent())
        return false;
    const QString stagingRoot = FileTree::join(installPath, UpgradeConstants::stagingFolderName());
    // A staging folder left by an earlier run goes first, so that none of its
    // files survive into this one. What can't be removed would be taken for
    // part of the new package (a stale script run, a stale entry deleted), so
    // the extraction stops there, before anything in the installation changed.
    if (QFileInfo(stagingRoot).isDir() && !removeFolder(stagingRoot)) {
        reportStagingLeftovers(stagingRoot);
        return false;
    }
    QDir(installPath).mkdir(UpgradeConstants::stagingFolderName());

    // Only the package's top folder: the program's own resources share the tree.
    if (!copyFolderList(QStringLiteral(":"), QStringList(packageFolderName()), stagingRoot, true))
        return false;

    const QList<QFileInfo> placeholders = findPlaceholderFiles(stagingRoot);
    for (const QFileInfo &placeholder : placeholders)
        QFile::remove(placeholder.absoluteFilePath());
    return true;
}

void CUpgradeWorker::reportStagingLeftovers(const QString &stagingRoot)
{
    const int shown = 10;
    QStringList left;
    int count = 0;
    QDirIterator it(stagingRoot,
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileInfo().isDir() && !it.fileInfo().isSymLink())
            continue;
        if (++count <= shown)
            left << QDir::toNativeSeparators(it.filePath());
    }
    if (left.isEmpty())
        left << QDir::toNativeSeparators(stagingRoot);
    for (const QString &path : qAsConst(left))
        emit status(tr("无法清除上次升级的临时文件:%1").arg(path));
    if (count > shown)
        emit status(tr("另有%1项上次升级的临时文件无法清除").arg(count - shown));
}

bool CUpgradeWorker::copyFolderList(
    const QString &sourceRoot, const QStringList &names, const QString &targetRoot, bool overwrite)
{
    return FileTree::copyFolderList(sourceRoot, names, targetRoot, overwrite);
}

bool CUpgradeWorker::copyFolder(const QString &source, const QString &target, bool overwrite)
{
    return FileTree::copyFolder(source, target, overwrite);
}

QList<QFileInfo> CUpgradeWorker::findPlaceholderFiles(const QString &folder)
{
    return FileTree::findFilesNamed(folder, UpgradeConstants::placeholderFileName());
}

QList<QFileInfo> CUpgradeWorker::listLeafEntries(const QString &folder)
{
    return FileTree::listLeafEntries(folder);
}

bool CUpgradeWorker::removeFolder(const QString &folder)
{
    return FileTree::removeFolder(folder);
}

// ---- File operations ---------------------------------------------------------

bool CUpgradeWorker::deleteFile(const QString &target)
{
    return FileTree::deleteFile(target);
}

bool CUpgradeWorker::updateFile(const QString &source, const QString &target)
{
    return FileTree::updateFile(source, target);
}

bool CUpgradeWorker::addFile(const QString &source, const QString &target)
{
    return FileTree::addFile(source, target);
}

bool CUpgradeWorker::updateFolder(const QString &source, const QString &target)
{
    return copyFolder(source, target, true);
}

bool CUpgradeWorker::addFolder(const QString &source, const QString &target)
{
    return copyFolder(source, target, false);
}

// ---- Script steps ------------------------------------------------------------

void CUpgradeWorker::slotExeShellBefore()
{
    if (!stepCanRun())
        return;
    const QStringList scripts = findScripts(QStringLiteral("shell_before"));
    if (scripts.isEmpty()) {
        emit sigExeDeleteFile();
        return;
    }
    shellBeforeIndex = 0;
    shellBeforeList.clear();
    if (!shellBeforeProcess)
        shellBeforeProcess = createScriptProcess(false);
    shellBeforeList = scripts;
    runShellBefore(0);
}

void CUpgradeWorker::runShellBefore(int index)
{
    shellBeforeIndex = index;
    if (shellBeforeIndex >= shellBeforeList.size()) {
        emit sigExeDeleteFile();
        return;
    }
    startScript(shellBeforeProcess, shellBeforeList.at(shellBeforeIndex), shellBeforeRunning);
}

void CUpgradeWorker::slotFinishShellBefore(int exitCode)
{
    scriptEnded(false,
        exitCode == 0 && shellBeforeProcess
            && shellBeforeProcess->exitStatus() == QProcess::NormalExit);
}

void CUpgradeWorker::slotExeShellAfter()
{
    if (!stepCanRun())
        return;
    const QStringList scripts = findScripts(QStringLiteral("shell_after"));
    if (scripts.isEmpty()) {
        emit sigExeDb();
        return;
    }
    shellAfterIndex = 0;
    shellAfterList.clear();
    if (!shellAfterProcess)
        shellAfterProcess = createScriptProcess(true);
    shellAfterList = scripts;
    runShellAfter(0);
}

void CUpgradeWorker::runShellAfter(int index)
{
    shellAfterIndex = index;
    if (shellAfterIndex >= shellAfterList.size()) {
        emit sigExeDb();
        return;
    }
    startScript(shellAfterProcess, shellAfterList.at(shellAfterIndex), shellAfterRunning);
}

void CUpgradeWorker::slotFinishShellAfter(int exitCode)
{
    scriptEnded(true,
        exitCode == 0 && shellAfterProcess
            && shellAfterProcess->exitStatus() == QProcess::NormalExit);
}

QStringList CUpgradeWorker::findScripts(const QString &folderName) const
{
    QDir dir(installPath);
    if (!dir.cd(UpgradeConstants::stagingFolderName()) || !dir.cd(packageFolderName())
        || !dir.cd(QStringLiteral("shell")) || !dir.cd(folderName))
        return {};
    // Name filters match without regard to case, so "c.BAT" is a script too.
    const QStringList names = dir.entryList(QStringList(QStringLiteral("*.bat")),
        QDir::Files | QDir::NoSymLinks, QDir::Name | QDir::IgnoreCase);
    const QString folder = QDir::fromNativeSeparators(dir.absolutePath());
    QStringList scripts;
    for (const QString &name : names)
        scripts.append(folder + QLatin1Char('/') + name);
    return scripts;
}

QProcess *CUpgradeWorker::createScriptProcess(bool after)
{
    auto *process = new QProcess;
    if (after)
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &CUpgradeWorker::slotFinishShellAfter);
    else
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &CUpgradeWorker::slotFinishShellBefore);
    // A process that cannot be started never reports finished; its error is
    // the script's end. A crash reports finished as well and is judged there.
    connect(process, &QProcess::errorOccurred, this, [this, after](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            scriptEnded(after, false, true);
    });
    // Both channels are read as they come, so a script that writes without
    // end can't grow the installer's memory: the error output's last lines
    // are kept for the log, the rest is dropped.
    connect(process, &QProcess::readyReadStandardError, this,
        [this, process] { scriptErrors.append(process->readAllStandardError()); });
    connect(process, &QProcess::readyReadStandardOutput, process,
        [process] { process->readAllStandardOutput(); });
    return process;
}

void CUpgradeWorker::startScript(QProcess *process, const QString &script, bool &running)
{
    running = true;
    scriptErrors.clear();
    process->setWorkingDirectory(installPath);
    // The path is one argument, so that blanks in it reach sh intact.
    process->start(QStringLiteral("sh"), QStringList(script), QIODevice::ReadWrite);
    // A script waiting for input gets end of file instead of waiting forever.
    if (process->waitForStarted(scriptStartTimeoutMs))
        process->closeWriteChannel();
}

void CUpgradeWorker::scriptEnded(bool after, bool succeeded, bool failedToStart)
{
    bool &running = after ? shellAfterRunning : shellBeforeRunning;
    if (!running)
        return;
    running = false;

    QProcess *process = after ? shellAfterProcess : shellBeforeProcess;
    const QStringList &scripts = after ? shellAfterList : shellBeforeList;
    const int index = after ? shellAfterIndex : shellBeforeIndex;
    const QString script = scripts.value(index);
    if (succeeded) {
        emit status(tr("%1 执行成功!").arg(script));
        if (after)
            runShellAfter(index + 1);
        else
            runShellBefore(index + 1);
        return;
    }
    emit status(tr("%1 执行失败!").arg(script));
    // A script that ran and ended with a code of its own says more through
    // that code and its error output than the process object's error text.
    QString reason = process ? process->errorString() : QString();
    if (process && !failedToStart && process->exitStatus() == QProcess::NormalExit) {
        reason = tr("退出码为%1").arg(process->exitCode());
        scriptErrors.append(process->readAllStandardError());
    }
    emit status(tr("失败原因:%1").arg(reason));
    reportErrorOutput(scriptErrors);
    slotFaildClear();
}

// ---- Delete, update and add --------------------------------------------------

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
    const FileStepTexts &texts = fileSteps[step];
    QDir dir(installPath);
    if (dir.cd(UpgradeConstants::stagingFolderName()) && dir.cd(packageFolderName())
        && dir.cd(QLatin1String(texts.folder))) {
        const QString stepRoot = dir.absolutePath();
        QMessageLogger(__FILE__, __LINE__, function).debug().noquote() << function << stepRoot;
        // Translated once per step, not twice per entry.
        const QString beforeFile = tr(texts.beforeFile);
        const QString fileDone = tr(texts.fileDone);
        const QString fileFailed = tr(texts.fileFailed);
        const QString beforeFolder = tr(texts.beforeFolder);
        const QString folderDone = tr(texts.folderDone);
        const QString folderFailed = tr(texts.folderFailed);

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
            const QString target = installPath + QDir::separator() + relative;
            bool done = false;
            if (entry.isFile()) {
                emit status(beforeFile.arg(target));
                if (step == DeleteStep)
                    done = deleteFile(target);
                else if (step == UpdateStep)
                    done = updateFile(entry.filePath(), target);
                else
                    done = addFile(entry.filePath(), target);
                emit status((done ? fileDone : fileFailed).arg(target));
            } else if (entry.isDir()) {
                emit status(beforeFolder.arg(target));
                if (step == DeleteStep)
                    done = removeFolder(target);
                else if (step == UpdateStep)
                    done = updateFolder(entry.filePath(), target);
                else
                    done = addFolder(entry.filePath(), target);
                emit status((done ? folderDone : folderFailed).arg(target));
            } else {
                continue;
            }
            if (!done)
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

// ---- Clean-up ----------------------------------------------------------------

void CUpgradeWorker::reportErrorOutput(const OutputTail &errors)
{
    for (const QString &line : errors.lines())
        emit status(tr("错误输出:%1").arg(line));
}

void CUpgradeWorker::slotFaildClear()
{
    removeStagingFolder();
    emit sigFaildClearEnd();
}

void CUpgradeWorker::slotSuccessClear()
{
    removeStagingFolder();
    emit sigSuccessClearEnd();
}

bool CUpgradeWorker::stepCanRun()
{
    if (!installFolderPresent()) {
        abandonWithoutInstallFolder();
        return false;
    }
    // The extraction made the staged package; without it every step would
    // find nothing to do and the upgrade would end as a success that changed
    // nothing. A missing step folder inside it still means an empty step.
    const QString packageRoot = FileTree::join(
        FileTree::join(installPath, UpgradeConstants::stagingFolderName()), packageFolderName());
    if (!QFileInfo(packageRoot).isDir()) {
        emit status(tr("升级临时目录%1不存在,升级终止").arg(packageRoot));
        slotFaildClear();
        return false;
    }
    return true;
}

void CUpgradeWorker::abandonWithoutInstallFolder()
{
    // Removed while the upgrade ran (by a script, say): no step can go on, and
    // the log says why the upgrade ends.
    emit status(tr("安装目录%1不存在,升级终止").arg(installPath));
    slotFaildClear();
}

bool CUpgradeWorker::installFolderPresent() const
{
    // An empty path would stand for the working directory.
    return !installPath.isEmpty() && QDir(installPath).exists();
}

void CUpgradeWorker::removeStagingFolder()
{
    if (!installFolderPresent())
        return;
    QDir dir(installPath);
    if (!dir.cd(UpgradeConstants::stagingFolderName()))
        return;
    removeFolder(dir.absolutePath());
}
