#include "ProjectBackup.h"

#include <algorithm>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include "ProcessList.h"
#include "SuiteGuard.h"
#include "SuiteLayout.h"

namespace {

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Files, folders and links; pipes, sockets and devices aren't project data
// (and reading a pipe could wait forever), so they aren't listed.
bool copyTree(const QString &source, const QString &target, QString *reason)
{
    if (!QDir().mkpath(target)) {
        *reason = QStringLiteral("cannot create %1").arg(native(target));
        return false;
    }
    // An unreadable folder would list as empty and pass for copied.
    if (!QFileInfo(source).isReadable()) {
        *reason = QStringLiteral("cannot read the folder %1").arg(native(source));
        return false;
    }
    const QFileInfoList entries = QDir(source).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString to = target + QLatin1Char('/') + entry.fileName();
        if (entry.isSymLink() && !entry.isFile()) {
            // A link to a folder (or to nothing) is copied as the link: following
            // it could leave the data folder or run in circles.
            if (!QFile::link(entry.symLinkTarget(), to)) {
                *reason = QStringLiteral("cannot copy the link %1").arg(native(entry.filePath()));
                return false;
            }
        } else if (entry.isDir()) {
            if (!copyTree(entry.filePath(), to, reason))
                return false;
        } else {
            QFile file(entry.filePath());
            if (!file.copy(to)) {
                *reason = QStringLiteral("cannot copy %1: %2")
                              .arg(native(entry.filePath()), file.errorString());
                return false;
            }
        }
    }
    return true;
}

// Claims a fresh folder base, base-2, base-3, ...: mkdir fails when the name is taken.
bool claimFolder(const QString &base, QString *claimed, QString *reason)
{
    QString target = base;
    QDir parent(QFileInfo(base).absolutePath());
    for (int n = 2; !parent.mkdir(QFileInfo(target).fileName()); ++n) {
        if (n > 1000 || !QFileInfo::exists(target)) {
            *reason = QStringLiteral("cannot create %1").arg(native(target));
            return false;
        }
        target = base + QLatin1Char('-') + QString::number(n);
    }
    *claimed = target;
    return true;
}

// A name beside base that is not taken, for a rename (which must not replace anything).
QString freeName(const QString &base)
{
    QString name = base;
    for (int n = 2; QFileInfo::exists(name) || QFileInfo(name).isSymLink(); ++n)
        name = base + QLatin1Char('-') + QString::number(n);
    return name;
}

// The system's text for the last failed call (rename), for the reason.
QString lastError()
{
    return qt_error_string();
}

qint64 treeBytes(const QString &root)
{
    qint64 bytes = 0;
    QDirIterator it(
        root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.fileInfo().isSymLink())
            bytes += it.fileInfo().size();
    }
    return bytes;
}

// With the installed suite version known, notes it and the schema version of
// the database copied into folder in folder's backup.json.
bool noteVersions(const QString &mainPath, const QString &folder, QString *reason)
{
    BackupVersions::Versions versions;
    versions.suite = BackupVersions::installedVersion(mainPath);
    if (versions.suite.isEmpty())
        return true;
    versions.schema = BackupVersions::schemaVersion(
        folder + QLatin1Char('/') + QFileInfo(SuiteLayout::databaseFile(mainPath)).fileName());
    return BackupVersions::write(folder, versions, reason);
}

bool isPlainName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':')
            || c.unicode() < 0x20)
            return false;
    }
    return true;
}

} // namespace

namespace ProjectBackup {

QString folderName(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyyMMdd-hhmmss"));
}

Outcome run(const QString &mainPath, const QDateTime &now, qint64 ownPid)
{
    Outcome outcome;
    outcome.dataPath = SuiteLayout::dataFolder(mainPath);
    if (!QFileInfo(outcome.dataPath).isDir()) {
        outcome.result = Result::NoDataFolder;
        return outcome;
    }
    // A running program may write the database while it is copied.
    bool listed = false;
    outcome.program = runningSuiteProgram(mainPath, ownPid, &listed);
    if (!listed) {
        outcome.reason = QStringLiteral("the running programs cannot be listed");
        return outcome;
    }
    if (!outcome.program.isEmpty()) {
        outcome.result = Result::ProgramRunning;
        return outcome;
    }

    const QString backupRoot = SuiteLayout::backupFolder(mainPath);
    if (!QDir().mkpath(backupRoot)) {
        outcome.reason = QStringLiteral("cannot create %1").arg(native(backupRoot));
        return outcome;
    }
    QString target;
    if (!claimFolder(backupRoot + QLatin1Char('/') + folderName(now), &target, &outcome.reason))
        return outcome;

    if (!copyTree(outcome.dataPath, target, &outcome.reason)
        || !noteVersions(mainPath, target, &outcome.reason)) {
        QDir(target).removeRecursively(); // a half copy must not pass for a backup
        return outcome;
    }
    outcome.result = Result::Done;
    outcome.backupPath = target;
    return outcome;
}

QList<Entry> list(const QString &mainPath)
{
    QList<Entry> entries;
    const QFileInfoList folders
        = QDir(SuiteLayout::backupFolder(mainPath))
              .entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::Hidden);
    for (const QFileInfo &folder : folders) {
        Entry entry;
        entry.name = folder.fileName();
        entry.time = QDateTime::fromString(entry.name.left(15), QStringLiteral("yyyyMMdd-hhmmss"));
        if (!entry.time.isValid())
            entry.time = folder.lastModified();
        entry.bytes = treeBytes(folder.filePath());
        entry.versionsKnown = BackupVersions::read(folder.filePath(), &entry.versions);
        entries.append(entry);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.time != b.time ? a.time < b.time : a.name < b.name;
    });
    return entries;
}

QString humanSize(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    static const char *const units[] = { "KB", "MB", "GB", "TB" };
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString runningSuiteProgram(const QString &mainPath, qint64 ownPid, bool *listed)
{
    QList<ProcessEntry> processes;
    *listed = ProcessList::snapshot(&processes);
    if (!*listed)
        return QString();
    processes.erase(std::remove_if(processes.begin(), processes.end(),
                        [ownPid](const ProcessEntry &p) { return p.pid == ownPid; }),
        processes.end());

    // Every folder below platform and product may hold programs of the suite.
    for (const QString &top : { QStringLiteral("platform"), QStringLiteral("product") }) {
        const QString root = QDir(mainPath).absoluteFilePath(top);
        if (!QFileInfo(root).isDir())
            continue;
        QStringList folders { QDir::cleanPath(root) };
        QDirIterator it(
            root, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            folders.append(QDir::cleanPath(it.next()));
        for (const QString &folder : qAsConst(folders)) {
            const QStringList names = SuiteGuard::listExecutables(folder);
            if (names.isEmpty())
                continue;
            const QString running
                = SuiteGuard::findBlockingProcess(processes, names, folder, folder,
                    [](qint64 pid, QString *path) { return ProcessList::imagePath(pid, path); });
            if (!running.isEmpty())
                return running;
        }
    }
    return QString();
}

RestoreOutcome checkRestore(const QString &mainPath, const QString &name, qint64 ownPid, bool force)
{
    RestoreOutcome outcome;
    outcome.dataPath = SuiteLayout::dataFolder(mainPath);
    outcome.backupPath = SuiteLayout::backupFolder(mainPath) + QLatin1Char('/') + name;
    if (!isPlainName(name)) {
        outcome.result = RestoreResult::BadName;
        return outcome;
    }
    const QFileInfo backup(outcome.backupPath);
    if (!backup.isDir() || backup.isSymLink()) {
        outcome.result = RestoreResult::NoSuchBackup;
        return outcome;
    }
    // Data of another suite version would not fit the installation record.
    outcome.installedVersion = BackupVersions::installedVersion(mainPath);
    BackupVersions::Versions versions;
    if (BackupVersions::read(outcome.backupPath, &versions))
        outcome.backupVersion = versions.suite;
    if (!force && !outcome.installedVersion.isEmpty()
        && outcome.backupVersion != outcome.installedVersion) {
        outcome.result = RestoreResult::VersionMismatch;
        return outcome;
    }
    bool listed = false;
    outcome.program = runningSuiteProgram(mainPath, ownPid, &listed);
    if (!listed) {
        outcome.reason = QStringLiteral("the running programs cannot be listed");
        return outcome;
    }
    outcome.result
        = outcome.program.isEmpty() ? RestoreResult::Done : RestoreResult::ProgramRunning;
    return outcome;
}

namespace {

void dropFolder(const QString &path)
{
    if (!path.isEmpty())
        QDir(path).removeRecursively();
}

// The folder to restore into: a data folder that is a link is restored where
// the link leads; the link stays. False, with the reason, when that is no
// folder.
bool restoreTarget(const QString &dataPath, QString *data, bool *hadData, QString *reason)
{
    *data = dataPath;
    const QFileInfo dataInfo(*data);
    if (dataInfo.isSymLink()) {
        *data = dataInfo.canonicalFilePath();
        if (data->isEmpty() || !QFileInfo(*data).isDir()) {
            *reason = QStringLiteral("%1 is a link to no folder").arg(native(dataPath));
            return false;
        }
    }
    *hadData = QFileInfo::exists(*data);
    if (*hadData && !QFileInfo(*data).isDir()) {
        *reason = QStringLiteral("%1 is not a folder").arg(native(*data));
        return false;
    }
    return true;
}

// Keeps the current data as a backup entry of its own before anything changes.
bool keepCurrentData(const QString &mainPath, const QString &data, const QString &stamp,
    QString *kept, QString *reason)
{
    const QString backupRoot = SuiteLayout::backupFolder(mainPath);
    if (!claimFolder(
            backupRoot + QLatin1Char('/') + stamp + QStringLiteral("-before-restore"), kept, reason)
        || !copyTree(data, *kept, reason) || !noteVersions(mainPath, *kept, reason)) {
        dropFolder(*kept);
        *reason = QStringLiteral("the current data could not be kept: %1").arg(*reason);
        return false;
    }
    return true;
}

// Prepares the restored folder beside the data folder, so the swap is a rename.
// The backup's versions are no project data.
bool prepareRestored(const QString &backupPath, const QString &data, const QString &stamp,
    QString *prepared, QString *reason)
{
    const auto dropVersions = [&] {
        QFile versions(*prepared + QLatin1Char('/') + BackupVersions::fileName());
        if (!versions.exists() || versions.remove())
            return true;
        *reason = QStringLiteral("cannot remove %1: %2")
                      .arg(native(versions.fileName()), versions.errorString());
        return false;
    };
    if (!claimFolder(data + QStringLiteral(".restore-") + stamp, prepared, reason)
        || !copyTree(backupPath, *prepared, reason) || !dropVersions()) {
        dropFolder(*prepared);
        *reason = QStringLiteral("the backup could not be copied: %1").arg(*reason);
        return false;
    }
    return true;
}

// Puts the prepared folder in the data folder's place, the current data (if
// any) moved aside to replaced first. False, with outcome's result and
// reason, when it can't; the kept copy is dropped unless it is needed.
bool swapIn(const QString &prepared, const QString &data, bool hadData, const QString &kept,
    const QString &stamp, QString *replaced, RestoreOutcome *outcome)
{
    if (hadData) {
        *replaced = freeName(data + QStringLiteral(".replaced-") + stamp);
        if (!QDir().rename(data, *replaced)) {
            outcome->reason
                = QStringLiteral("cannot move %1 aside: %2").arg(native(data), lastError());
            QDir(prepared).removeRecursively();
            dropFolder(kept);
            return false;
        }
    }
    if (!QDir().rename(prepared, data)) {
        const QString error = lastError();
        if (hadData && !QDir().rename(*replaced, data)) {
            // The data is whole, only under another name, and kept as a backup too.
            outcome->result = RestoreResult::DataDisplaced;
            outcome->keptPath = kept;
            outcome->reason
                = QStringLiteral("cannot rename %1 to %2 (%3), nor move the previous "
                                 "data back from %4; it is also kept in %5")
                      .arg(native(prepared), native(data), error, native(*replaced), native(kept));
            return false;
        }
        outcome->reason = QStringLiteral("cannot rename %1 to %2: %3")
                              .arg(native(prepared), native(data), error);
        QDir(prepared).removeRecursively();
        dropFolder(kept);
        return false;
    }
    return true;
}

} // namespace

RestoreOutcome restore(
    const QString &mainPath, const QString &name, const QDateTime &now, qint64 ownPid, bool force)
{
    RestoreOutcome outcome = checkRestore(mainPath, name, ownPid, force);
    if (outcome.result != RestoreResult::Done)
        return outcome;
    outcome.result = RestoreResult::Failed;

    QString data;
    bool hadData = false;
    if (!restoreTarget(outcome.dataPath, &data, &hadData, &outcome.reason))
        return outcome;
    const QString stamp = folderName(now);

    QString kept;
    if (hadData && !keepCurrentData(mainPath, data, stamp, &kept, &outcome.reason))
        return outcome;
    QString prepared;
    if (!prepareRestored(outcome.backupPath, data, stamp, &prepared, &outcome.reason)) {
        dropFolder(kept);
        return outcome;
    }
    QString replaced;
    if (!swapIn(prepared, data, hadData, kept, stamp, &replaced, &outcome))
        return outcome;

    outcome.result = RestoreResult::Done;
    outcome.keptPath = kept;
    // The previous data is kept in the backup entry; what can't be removed stays.
    if (hadData && !QDir(replaced).removeRecursively())
        outcome.reason = native(replaced);
    return outcome;
}

} // namespace ProjectBackup
