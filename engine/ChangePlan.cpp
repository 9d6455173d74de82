#include "ChangePlan.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>

#include "SuiteLayout.h"

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace ChangePlan {

namespace {

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

// What is installed at a path, as the step will find it: nothing where an
// earlier step has moved the path (or a folder above it) away.
struct Installed
{
    bool exists = false, isDir = false, isSymLink = false;
};

// One look-up for the common case (no link): the plan looks at every target
// of a step, tens of thousands in a large package.
Installed installedAt(const QString &target)
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(target);
    struct stat entry;
    if (::lstat(path.constData(), &entry) != 0)
        return Installed();
    if (!S_ISLNK(entry.st_mode))
        return { true, S_ISDIR(entry.st_mode), false };
    struct stat followed;
    const bool resolves = ::stat(path.constData(), &followed) == 0;
    return { resolves, resolves && S_ISDIR(followed.st_mode), true };
#else
    const QFileInfo info(target);
    return { info.exists(), info.isDir(), info.isSymLink() };
#endif
}

struct Planner
{
    QString backupRoot;
    int *nextBackup;
    const QStringList &gone;

    Installed lookAt(const QString &target) const
    {
        // Windows names "Product\Bin" and "product/bin" the same folder.
        const QString wanted = QDir::fromNativeSeparators(target);
        for (const QString &path : gone) {
            const QString away = QDir::fromNativeSeparators(path);
            if (wanted.compare(away, pathCase) == 0
                || wanted.startsWith(away + QLatin1Char('/'), pathCase))
                return Installed();
        }
        return installedAt(target);
    }

    QString backup() { return backupRoot + QLatin1Char('/') + QString::number((*nextBackup)++); }

    void refuse(PlannedEntry &planned, const QString &path, const QString &why)
    {
        planned.refusals.append({ path, why });
    }

    // A file of the package put at target: replacing what is there (update)
    // or only where nothing is (add).
    void planFile(
        PlannedEntry &planned, const QFileInfo &source, const QString &target, bool overwrite)
    {
        if (source.isSymLink()) {
            refuse(planned, source.filePath(),
                QCoreApplication::translate("CUpgradeWorker", "升级包中的该项是链接"));
            return;
        }
        const Installed installed = lookAt(target);
        const bool present = installed.exists || installed.isSymLink;
        if (!overwrite) {
            if (installed.exists)
                return; // installed: stays as it is, counts as added
            planned.changes.append({ FileChange::MoveIn, target, source.filePath(), QString() });
            return;
        }
        if (installed.isDir && !installed.isSymLink)
            refuse(planned, target,
                QCoreApplication::translate("CUpgradeWorker", "此处是文件夹,应为文件"));
        else if (present)
            planned.changes.append({ FileChange::Replace, target, source.filePath(), backup() });
        else
            planned.changes.append({ FileChange::MoveIn, target, source.filePath(), QString() });
    }

    // A folder of the package merged into target: sub-folders first, then
    // files, in the listing's order.
    // Files of a staged folder that can move into place as a whole: every
    // entry a plain file or folder, none hidden, every name safe; -1 when
    // one is not.
    static int movableFiles(const QString &source)
    {
        int files = 0;
        QDirIterator it(source,
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QFileInfo info = it.fileInfo();
            if (info.isHidden() || info.isSymLink() || !FileTree::isSafeEntryName(info.fileName())
                || !(info.isFile() || info.isDir()))
                return -1;
            files += info.isFile() ? 1 : 0;
        }
        return files;
    }

    void planFolder(
        PlannedEntry &planned, const QString &source, const QString &target, bool overwrite)
    {
        // A package holds no links; one in the staged tree was put there
        // since, and its contents are no part of the package.
        const QFileInfo staged(source);
        if (staged.isSymLink() || staged.isJunction()) {
            refuse(planned, source,
                QCoreApplication::translate("CUpgradeWorker", "升级包中的该项是链接"));
            return;
        }
        const Installed installed = lookAt(target);
        if (!installed.exists) {
            if (installed.isSymLink) {
                refuse(planned, target,
                    QCoreApplication::translate("CUpgradeWorker", "此处是失效的链接,应为文件夹"));
                return;
            }
            // A folder the installation lacks arrives in one move when
            // nothing in it is to be passed over.
            const int files = movableFiles(source);
            if (files >= 0) {
                planned.changes.append({ FileChange::MoveIn, target, source, QString(), files });
                return;
            }
            planned.changes.append({ FileChange::MakeFolder, target, QString(), QString() });
        } else if (!installed.isDir) {
            refuse(planned, target,
                QCoreApplication::translate("CUpgradeWorker", "此处是文件,应为文件夹"));
            return;
        }
        const QFileInfoList entries
            = QDir(source).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot);
        for (const QFileInfo &entry : entries) {
            if (!FileTree::isSafeEntryName(entry.fileName())) {
                refuse(planned, entry.filePath(),
                    QCoreApplication::translate("CUpgradeWorker", "名称会指向目录之外"));
                return;
            }
        }
        for (const QFileInfo &entry : entries) {
            if (entry.isDir())
                planFolder(planned, entry.filePath(), SuiteLayout::join(target, entry.fileName()),
                    overwrite);
        }
        for (const QFileInfo &entry : entries) {
            if (!entry.isDir())
                planFile(planned, entry, SuiteLayout::join(target, entry.fileName()), overwrite);
        }
    }

    // A leaf of delete/: the file, or the whole folder, goes to the backup.
    void planDeletion(PlannedEntry &planned)
    {
        const QFileInfo installed(planned.target);
        if (!installed.exists() && !installed.isSymLink())
            return; // already absent: counts as deleted
        const bool folderInPlace = installed.isDir() && !installed.isSymLink();
        if (planned.entry.isDir()) {
            // A file where a folder is named counts as removed, as always.
            if (folderInPlace || installed.isSymLink())
                planned.changes.append(
                    { FileChange::MoveAway, planned.target, QString(), backup() });
            return;
        }
        if (folderInPlace)
            refuse(planned, planned.target,
                QCoreApplication::translate("CUpgradeWorker", "此处是文件夹,应为文件"));
        else
            planned.changes.append({ FileChange::MoveAway, planned.target, QString(), backup() });
    }
};

} // namespace

QList<PlannedEntry> plan(Step step, const QString &stepRoot, const QString &installPath,
    const QString &backupRoot, int *nextBackup, const QStringList &gone)
{
    Planner planner { backupRoot, nextBackup, gone };
    // Delete: every leaf at any depth. Update and add: the top level only,
    // without hidden entries and links.
    const QList<QFileInfo> entries = step == Step::Delete
        ? FileTree::listLeafEntries(stepRoot)
        : QDir(stepRoot).entryInfoList(
            QDir::Dirs | QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    QList<PlannedEntry> result;
    for (const QFileInfo &entry : entries) {
        if (!entry.isFile() && !entry.isDir())
            continue;
        PlannedEntry planned;
        planned.entry = entry;
        // Mirror rule: the path below the step folder is the path below the
        // installation folder.
        planned.target
            = SuiteLayout::join(installPath, entry.filePath().mid(stepRoot.length() + 1));
        if (step == Step::Delete)
            planner.planDeletion(planned);
        else if (entry.isDir())
            planner.planFolder(planned, entry.filePath(), planned.target, step == Step::Update);
        else
            planner.planFile(planned, entry, planned.target, step == Step::Update);
        result.append(planned);
    }
    return result;
}

} // namespace ChangePlan
