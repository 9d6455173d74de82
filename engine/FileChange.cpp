#include "FileChange.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "FileMoves.h"
#include "JournalCodec.h"
#include "PathGuard.h"

namespace {

const QString newSuffix = QStringLiteral(".upgrade_new");
const QString partSuffix = QStringLiteral(".upgrade_part");

void note(FileTree::Failures *failures, const QString &path, const QString &reason)
{
    if (failures)
        failures->append({ path, reason });
}

bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Removes a file, a link or a folder with everything in it.
bool removeEntry(const QString &path, FileTree::Failures *failures = nullptr)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return FileTree::removeFolder(path, failures);
    return FileTree::deleteFile(path, failures);
}

// A copy of a file, link or folder tree with every mode kept, made under a
// temporary name beside `to` and renamed into place, so that `to` appears
// only complete. For moves across file systems.
bool copyExactly(const QString &from, const QString &to, FileTree::Failures *failures)
{
    const QString part = to + partSuffix;
    removeEntry(part);
    const QFileInfo source(from);
    bool ok = true;
    if (source.isSymLink()) {
        ok = QFile::link(source.symLinkTarget(), part);
    } else if (source.isDir()) {
        ok = QDir().mkdir(part);
        const QStringList names = QDir(from).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &name : names)
            ok = ok
                && copyExactly(
                    from + QLatin1Char('/') + name, part + QLatin1Char('/') + name, failures);
        QFile::setPermissions(part, source.permissions());
    } else {
        QFile file(from);
        ok = file.copy(part) && QFile::setPermissions(part, source.permissions());
        if (!ok)
            note(failures, to, file.errorString());
        ok = ok && FileMoves::syncEntry(part);
    }
    if (ok && FileMoves::moveNew(part, to) == FileMoves::Result::Done)
        return true;
    if (ok)
        note(failures, to, QCoreApplication::translate("CUpgradeWorker", "复制的文件无法放到位"));
    removeEntry(part);
    return false;
}

// Moves from to `to`: a rename, or where the two lie on different file
// systems a copy put in place in one step and the original removed.
bool relocate(const QString &from, const QString &to, bool replacing, FileTree::Failures *failures,
    bool *renamed = nullptr)
{
    QString reason;
    const FileMoves::Result moved = replacing ? FileMoves::moveReplacing(from, to, &reason)
                                              : FileMoves::moveNew(from, to, &reason);
    if (renamed)
        *renamed = moved == FileMoves::Result::Done;
    if (moved == FileMoves::Result::Done)
        return true;
    if (moved != FileMoves::Result::CrossDevice) {
        note(failures, to, reason);
        return false;
    }
    const QString staged = replacing ? to + newSuffix : to;
    if (replacing)
        removeEntry(staged);
    if (!copyExactly(from, staged, failures))
        return false;
    if (replacing && FileMoves::moveReplacing(staged, to, &reason) != FileMoves::Result::Done) {
        note(failures, to, reason);
        removeEntry(staged);
        return false;
    }
    removeEntry(from);
    return true;
}

bool applyReplace(const FileChange &change, FileTree::Failures *failures)
{
    const QFileInfo installed(change.target);
    if (installed.isDir() && !installed.isSymLink()) {
        note(failures, change.target,
            QCoreApplication::translate("CUpgradeWorker", "此处是文件夹,应为文件"));
        return false;
    }
#ifndef Q_OS_WIN
    // A replaced program stays startable: its execute bits carry over.
    const auto executeBits = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    if (installed.isFile())
        QFile::setPermissions(change.source,
            QFileInfo(change.source).permissions() | (installed.permissions() & executeBits));
#endif
    QString reason;
    const FileMoves::Result result
        = FileMoves::replaceKeeping(change.target, change.source, change.backup, &reason);
    change.renamed = result == FileMoves::Result::Done;
    if (result == FileMoves::Result::Done)
        return true;
    if (result != FileMoves::Result::CrossDevice) {
        note(failures, change.target, reason);
        return false;
    }
    // The target lies on another file system: a copy of it is the backup.
    if (!present(change.backup) && !copyExactly(change.target, change.backup, failures))
        return false;
    return relocate(change.source, change.target, true, failures);
}

} // namespace

bool FileChange::staysInside(PathGuard &guard, FileTree::Failures *failures) const
{
    for (const QString *path : { &target, &source, &backup }) {
        PathGuard::Escape escape;
        if (!path->isEmpty() && !guard.checkParent(*path, &escape)) {
            note(failures, target, PathGuard::refusal(escape));
            return false;
        }
    }
    return true;
}

bool FileChange::apply(FileTree::Failures *failures, PathGuard &guard) const
{
    if (!staysInside(guard, failures))
        return false;
    switch (kind) {
    case MoveAway:
        return relocate(target, backup, false, failures, &renamed);
    case Replace:
        return applyReplace(*this, failures);
    case MoveIn:
        return relocate(source, target, false, failures, &renamed);
    case MakeFolder:
        if (QDir().mkdir(target) || QFileInfo(target).isDir())
            return true;
        note(failures, target, QCoreApplication::translate("CUpgradeWorker", "无法创建文件夹"));
        return false;
    }
    return false;
}

bool FileChange::undo(bool applied, FileTree::Failures *failures, PathGuard &guard) const
{
    if (!applied)
        return true;
    // Putting back goes through the same folders as the change did; a link
    // planted there since (an after script) is not followed out either.
    if (!staysInside(guard, failures))
        return false;
    // A copy across file systems may have left its temporary file behind.
    if (!renamed)
        removeEntry(target + newSuffix);
    // Moved in just now: it goes back where it came from, in one rename that
    // frees nothing (its staging folder is cleared later, all at once).
    if (renamed && (kind == MoveIn || (kind == Replace && present(backup)))
        && FileMoves::moveNew(target, source) == FileMoves::Result::Done) {
        return kind == MoveIn || relocate(backup, target, false, failures);
    }
    switch (kind) {
    case MoveAway:
    case Replace:
        // The backup is the original; without it the target was never touched.
        if (!present(backup))
            return true;
        if (kind == MoveAway && present(target) && !removeEntry(target, failures))
            return false;
        return relocate(backup, target, kind == Replace, failures);
    case MoveIn:
        // The target didn't exist when the change was planned: what is there
        // now came with the package.
        return !present(target) || removeEntry(target, failures);
    case MakeFolder:
        if (!QFileInfo(target).isDir() || QDir().rmdir(target))
            return true;
        note(failures, target, QCoreApplication::translate("CUpgradeWorker", "文件夹不为空"));
        return false;
    }
    return false;
}

namespace {

const char *const kindNames[] = { "move-away", "replace", "move-in", "make-folder" };

} // namespace

QString FileChange::toLine() const
{
    return QLatin1String(kindNames[kind]) + QLatin1Char('\t') + JournalCodec::encode(target)
        + QLatin1Char('\t') + JournalCodec::encode(source) + QLatin1Char('\t')
        + JournalCodec::encode(backup);
}

bool FileChange::fromLine(const QString &line, FileChange *change)
{
    const QStringList fields = line.split(QLatin1Char('\t'));
    if (fields.size() != 4)
        return false;
    int kind = 0;
    while (kind < 4 && fields.at(0) != QLatin1String(kindNames[kind]))
        ++kind;
    if (kind == 4)
        return false;
    change->kind = Kind(kind);
    change->renamed = false; // not known: an undo cleans up as after a copy
    return JournalCodec::decode(fields.at(1), &change->target)
        && JournalCodec::decode(fields.at(2), &change->source)
        && JournalCodec::decode(fields.at(3), &change->backup) && !change->target.isEmpty();
}
