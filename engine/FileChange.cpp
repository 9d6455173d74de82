#include "FileChange.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "ContainedTree.h"
#include "FileMoves.h"
#include "JournalCodec.h"

namespace {

const QString newSuffix = QStringLiteral(".upgrade_new");
const QString partSuffix = QStringLiteral(".upgrade_part");

using FileTree::note;

bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Whether both are files with the same bytes (a copy across file systems
// that was put in place, its source not yet removed).
bool sameFile(const QString &a, const QString &b)
{
    QFile first(a), second(b);
    if (!QFileInfo(a).isFile() || QFileInfo(a).size() != QFileInfo(b).size()
        || !first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    while (!first.atEnd()) {
        if (first.read(1 << 16) != second.read(1 << 16))
            return false;
    }
    return true;
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
        ok = FileMoves::copyLink(from, part);
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

bool applyReplace(FileChange &change, FileTree::Failures *failures)
{
    const QFileInfo installed(change.target);
    if (installed.isDir() && !installed.isSymLink()) {
        note(failures, change.target,
            QCoreApplication::translate("CUpgradeWorker", "此处是文件夹,应为文件"));
        return false;
    }
    // The replacement takes over the replaced file's whole mode and, where
    // the installer may set them, its owner and group (Windows: ReplaceFile
    // keeps the security descriptor and attributes itself).
    QString reason;
    if (installed.isFile() && !installed.isSymLink()
        && !FileMoves::keepAttributes(change.target, change.source, &reason)) {
        note(failures, change.target, reason);
        return false;
    }
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

// Carries out a change whose paths all reach their entries through held folders.
bool applyHere(FileChange &change, FileTree::Failures *failures)
{
    switch (change.kind) {
    case FileChange::MoveAway:
        return relocate(change.target, change.backup, false, failures, &change.renamed);
    case FileChange::Replace:
        return applyReplace(change, failures);
    case FileChange::MoveIn:
        return relocate(change.source, change.target, false, failures, &change.renamed);
    case FileChange::MakeFolder:
        if (QDir().mkdir(change.target) || QFileInfo(change.target).isDir())
            return true;
        note(failures, change.target,
            QCoreApplication::translate("CUpgradeWorker", "无法创建文件夹"));
        return false;
    }
    return false;
}

bool undoHere(const FileChange &change, FileTree::Failures *failures)
{
    const FileChange::Kind kind = change.kind;
    const QString &target = change.target;
    // A copy across file systems may have left its temporary file behind.
    if (!change.renamed)
        removeEntry(target + newSuffix);
    // Moved in just now: it goes back where it came from, in one rename that
    // frees nothing (its staging folder is cleared later, all at once).
    if (change.renamed && !change.source.isEmpty()
        && (kind == FileChange::MoveIn || (kind == FileChange::Replace && present(change.backup)))
        && FileMoves::moveNew(target, change.source) == FileMoves::Result::Done) {
        return kind == FileChange::MoveIn || relocate(change.backup, target, false, failures);
    }
    switch (kind) {
    case FileChange::MoveAway:
    case FileChange::Replace:
        // The backup is the original; without it the target was never touched.
        if (!present(change.backup))
            return true;
        if (kind == FileChange::MoveAway && present(target) && !removeEntry(target, failures))
            return false;
        return relocate(change.backup, target, kind == FileChange::Replace, failures);
    case FileChange::MoveIn:
        // The target didn't exist when the change was planned: what is there
        // now came with the package, unless the staged source is still there
        // and differs (the change was never made: a recovery reads every
        // change of the journal, also one that failed because the target had
        // appeared meanwhile, and that target is not the package's).
        if (!present(target))
            return true;
        if (!change.renamed && present(change.source) && !sameFile(change.source, target))
            return true;
        return removeEntry(target, failures);
    case FileChange::MakeFolder:
        if (!QFileInfo(target).isDir() || QDir().rmdir(target))
            return true;
        note(failures, target, QCoreApplication::translate("CUpgradeWorker", "文件夹不为空"));
        return false;
    }
    return false;
}

// A change with its target, source and backup each reached through its
// folder, opened from the main directory's handle (or a held folder's) for
// this change alone. The paths of the copy lead through those handles.
struct Anchored
{
    ContainedTree::Parent target, source, backup;
    FileChange change;

    Anchored(const FileChange &original, ContainedTree &tree)
        : change(original)
    {
        target = tree.parentOf(original.target);
        change.target = target.entry();
        if (!original.source.isEmpty()) {
            source = tree.parentOf(original.source);
            change.source = source.entry();
        }
        if (!original.backup.isEmpty()) {
            backup = tree.parentOf(original.backup);
            change.backup = backup.entry();
        }
    }

    // A folder on the way that leads outside refuses the whole change; so
    // does one that can't be opened where the change must act in it
    // (missing ones are the caller's to judge). Noted against the target.
    bool refused(const FileChange &original, bool allowMissing, FileTree::Failures *failures) const
    {
        const std::pair<const ContainedTree::Parent *, const QString *> parts[]
            = { { &target, &original.target }, { &source, &original.source },
                  { &backup, &original.backup } };
        for (const auto &part : parts) {
            if (part.second->isEmpty() || part.first->ready())
                continue;
            if (allowMissing && part.first->state() == ContainedTree::Parent::State::Missing)
                continue;
            const ContainedTree::Parent::State state = part.first->state();
            note(failures, original.target,
                state == ContainedTree::Parent::State::Escapes
                    ? part.first->reason()
                    : QStringLiteral("%1: %2").arg(
                        QDir::toNativeSeparators(*part.second), part.first->reason()));
            return true;
        }
        return false;
    }

    // Failures noted from `from` on name the entries as the log knows them.
    void renameFailures(const FileChange &original, FileTree::Failures *failures, int from) const
    {
        if (!failures)
            return;
        for (int i = from; i < failures->size(); ++i) {
            QString &path = (*failures)[i].path;
            for (const auto &pair : { std::make_pair(&change.target, &original.target),
                     std::make_pair(&change.source, &original.source),
                     std::make_pair(&change.backup, &original.backup) }) {
                if (!pair.first->isEmpty() && path.startsWith(*pair.first)) {
                    path = *pair.second + path.mid(pair.first->size());
                    break;
                }
            }
        }
    }
};

} // namespace

FileChange::Applied FileChange::apply(FileTree::Failures *failures, ContainedTree &tree) const
{
    const Anchored at(*this, tree);
    if (at.refused(*this, false, failures))
        return Applied::Failed;
    if (kind == MoveIn) {
        // One rename between the two held folders, relative to them; across
        // file systems the copy below takes its place.
        QString reason;
        const FileMoves::Result moved = FileMoves::moveNewIn(at.source.folderHandle(),
            at.source.entryName(), at.target.folderHandle(), at.target.entryName(),
            at.change.source, at.change.target, &reason);
        if (moved == FileMoves::Result::Done)
            return Applied::Renamed;
        if (moved != FileMoves::Result::CrossDevice) {
            note(failures, target, reason);
            return Applied::Failed;
        }
    }
    const int noted = failures ? failures->size() : 0;
    FileChange anchored = at.change;
    const bool done = applyHere(anchored, failures);
    at.renameFailures(*this, failures, noted);
    if (!done)
        return Applied::Failed;
    return anchored.renamed ? Applied::Renamed : Applied::Copied;
}

bool FileChange::undo(bool made, FileTree::Failures *failures, ContainedTree &tree) const
{
    // Putting back goes through the same folders as the change did, opened
    // afresh; a link planted there since (an after script) is not followed
    // out either.
    const Anchored at(*this, tree);
    if (at.refused(*this, true, failures))
        return false;
    if (!at.target.ready()) {
        // The target's folder is gone: an original can't be put back. For a
        // change of the journal that may never have been made, nothing of
        // the package can be there either; one known to be made went with a
        // folder somebody else moved: not restored, and said so.
        if (!made && (kind == MoveIn || kind == MakeFolder))
            return true;
        if (kind != MoveIn && kind != MakeFolder && !present(at.change.backup))
            return true;
        note(failures, target,
            QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(target), at.target.reason()));
        return false;
    }
    const int noted = failures ? failures->size() : 0;
    const bool done = undoHere(at.change, failures);
    at.renameFailures(*this, failures, noted);
    return done;
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
