#include "FileChange.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include "FileMoves.h"

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
        note(failures, to, QStringLiteral("the copy could not be put in place"));
    removeEntry(part);
    return false;
}

// Moves from to `to`: a rename, or where the two lie on different file
// systems a copy put in place in one step and the original removed.
bool relocate(const QString &from, const QString &to, bool replacing, FileTree::Failures *failures)
{
    QString reason;
    const FileMoves::Result moved = replacing ? FileMoves::moveReplacing(from, to, &reason)
                                              : FileMoves::moveNew(from, to, &reason);
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
        note(failures, change.target, QStringLiteral("a folder stands where a file is expected"));
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

bool FileChange::apply(FileTree::Failures *failures) const
{
    switch (kind) {
    case MoveAway:
        return relocate(target, backup, false, failures);
    case Replace:
        return applyReplace(*this, failures);
    case MoveIn:
        return relocate(source, target, false, failures);
    case MakeFolder:
        if (QDir().mkdir(target) || QFileInfo(target).isDir())
            return true;
        note(failures, target, QStringLiteral("the folder could not be created"));
        return false;
    }
    return false;
}

bool FileChange::undo(bool applied, FileTree::Failures *failures) const
{
    if (!applied)
        return true;
    removeEntry(target + newSuffix);
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
        note(failures, target, QStringLiteral("the folder is not empty"));
        return false;
    }
    return false;
}

QString FileChange::toLine() const
{
    static const char *const names[] = { "move-away", "replace", "move-in", "make-folder" };
    const auto field = [](const QString &path) {
        return QString::fromLatin1(QUrl::toPercentEncoding(path, "/\\:"));
    };
    return QStringLiteral("%1\t%2\t%3\t%4")
        .arg(QLatin1String(names[kind]), field(target), field(source), field(backup));
}

bool FileChange::fromLine(const QString &line, FileChange *change)
{
    const QStringList fields = line.split(QLatin1Char('\t'));
    static const QStringList names { QStringLiteral("move-away"), QStringLiteral("replace"),
        QStringLiteral("move-in"), QStringLiteral("make-folder") };
    if (fields.size() != 4 || !names.contains(fields.at(0)))
        return false;
    const auto path
        = [](const QString &field) { return QUrl::fromPercentEncoding(field.toLatin1()); };
    change->kind = Kind(names.indexOf(fields.at(0)));
    change->target = path(fields.at(1));
    change->source = path(fields.at(2));
    change->backup = path(fields.at(3));
    return !change->target.isEmpty();
}
