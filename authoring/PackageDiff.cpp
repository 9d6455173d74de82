#include "PackageDiff.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSet>
#include <QTemporaryDir>

#include <memory>

namespace PackageDiff {

namespace {

// What the author must fill in: the builder refuses the placeholders, so an
// unedited template cannot become a package by mistake.
const char templateDescriptor[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- Laid out by make_upgrade_package from two trees. Fill in the product ID, the lowest
     installed version the package applies to (software_version_from) and the
     version it installs (software_version_to), both a.b.c of one series a.b;
     set if_upgrade_db to 1 when the database must be upgraded and exe_path to
     the program folder below platform/ and product/. Add a readme.txt (UTF-8)
     and scripts under shell/ or db/ if needed, review delete/, update/ and
     add/, then build with make_upgrade_package. -->
<root>
    <module>
        <item key="software_product_id" value="PRODUCT_ID"/>
        <item key="software_version_from" value="FROM_VERSION"/>
        <item key="software_version_to" value="TO_VERSION"/>
        <item key="upgrade_type" value="0"/>
        <item key="if_upgrade_db" value="0"/>
        <item key="exe_path" value="bin"/>
    </module>
</root>
)";

struct Node
{
    bool folder = false;
    QString path; // absolute
};

// Relative path -> entry, sorted, so a folder comes before what it holds.
using Listing = QMap<QString, Node>;

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

bool listTree(const QString &root, Listing *listing, QString *error)
{
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink())
            return fail(error,
                QStringLiteral("%1 is a symbolic link; compare trees of plain files and folders")
                    .arg(shown(path)));
        if (!info.isDir() && !info.isFile())
            return fail(
                error, QStringLiteral("%1 is neither a file nor a folder").arg(shown(path)));
        listing->insert(path.mid(root.size() + 1), { info.isDir(), path });
    }
    return true;
}

bool isEmptyFolder(const Listing &listing, const QString &path)
{
    const auto next = listing.lowerBound(path + QLatin1Char('/'));
    return next == listing.cend() || !next.key().startsWith(path + QLatin1Char('/'));
}

bool sameContent(const QString &a, const QString &b, bool *same, QString *error)
{
    QFile first(a), second(b);
    for (QFile *file : { &first, &second }) {
        if (!file->open(QIODevice::ReadOnly))
            return fail(error,
                QStringLiteral("cannot read %1: %2")
                    .arg(shown(file->fileName()), file->errorString()));
    }
    *same = first.size() == second.size();
    const qint64 block = qint64(1) << 20;
    while (*same && !first.atEnd()) {
        const QByteArray x = first.read(block), y = second.read(block);
        if (x.isEmpty() && first.error() != QFileDevice::NoError)
            return fail(error, QStringLiteral("cannot read %1").arg(shown(a)));
        *same = x == y;
    }
    return true;
}

// True when path or one of its parent folders is in folders.
bool below(const QSet<QString> &folders, QString path)
{
    for (int slash = path.size(); slash > 0; slash = path.lastIndexOf(QLatin1Char('/'))) {
        path.truncate(slash);
        if (folders.contains(path))
            return true;
    }
    return false;
}

// Writes the step folders below root (OUT/upgrade being made).
class Writer
{
public:
    explicit Writer(const QString &root)
        : m_root(root)
    { }
    bool marker(const QString &relative, QString *error)
    {
        const QString target = place(QStringLiteral("delete/") + relative);
        QFile file(target);
        return (QDir().mkpath(QFileInfo(target).absolutePath()) && file.open(QIODevice::WriteOnly))
            || fail(error,
                QStringLiteral("cannot write %1: %2").arg(shown(target), file.errorString()));
    }
    bool folder(const QString &relative, QString *error)
    {
        const QString target = place(relative);
        return QDir().mkpath(target)
            || fail(error, QStringLiteral("cannot create the folder %1").arg(shown(target)));
    }
    // A copy with the source's permissions, execute bits included.
    bool copy(const QString &source, const QString &relative, QString *error)
    {
        const QString target = place(relative);
        QFile file(source);
        return (QDir().mkpath(QFileInfo(target).absolutePath()) && file.copy(target))
            || fail(error,
                QStringLiteral("cannot copy %1 to %2: %3")
                    .arg(shown(source), shown(target), file.errorString()));
    }

private:
    QString place(const QString &relative) const { return m_root + QLatin1Char('/') + relative; }
    QString m_root;
};

// Entries of the old tree that go: files (and anything where the new tree has
// the other kind) one by one, a folder missing from the new tree whole.
bool planDeletes(
    const Listing &before, const Listing &after, Writer &writer, Summary *summary, QString *error)
{
    QSet<QString> goneFolders;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        const auto other = after.constFind(it.key());
        if (below(goneFolders, it.key()) || (other != after.cend() && other->folder == it->folder))
            continue;
        if (it->folder) {
            goneFolders.insert(it.key());
            if (!writer.folder(QStringLiteral("delete/") + it.key(), error))
                return false;
            summary->deleted.append(it.key() + QLatin1Char('/'));
        } else {
            if (!writer.marker(it.key(), error))
                return false;
            summary->deleted.append(it.key());
        }
    }
    return true;
}

// Entries of the new tree that come: changed files into update/, new files
// and new empty folders into add/.
bool planCopies(
    const Listing &before, const Listing &after, Writer &writer, Summary *summary, QString *error)
{
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const auto old = before.constFind(it.key());
        const bool kept = old != before.cend() && old->folder == it->folder;
        if (it->folder) {
            if (!kept && isEmptyFolder(after, it.key())) {
                if (!writer.folder(QStringLiteral("add/") + it.key(), error))
                    return false;
                summary->added.append(it.key() + QLatin1Char('/'));
            }
            continue;
        }
        bool same = false;
        if (kept && !sameContent(old->path, it->path, &same, error))
            return false;
        if (kept && same)
            continue;
        const QString step = kept ? QStringLiteral("update/") : QStringLiteral("add/");
        if (!writer.copy(it->path, step + it.key(), error))
            return false;
        (kept ? summary->updated : summary->added).append(it.key());
    }
    return true;
}

void addNotes(Summary *summary)
{
    for (const QStringList *list : { &summary->deleted, &summary->updated, &summary->added }) {
        for (const QString &path : *list) {
            if (path.startsWith(QLatin1Char('.')) || path.contains(QLatin1String("/.")))
                summary->notes.append(
                    QStringLiteral("%1: a name starting with \".\" is hidden outside Windows, "
                                   "where the installer passes over it")
                        .arg(path));
        }
    }
}

bool writeTemplate(const QString &root, QString *error)
{
    QFile file(root + QStringLiteral("/upgrade_config.xml"));
    const QByteArray text(templateDescriptor);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush())
        return fail(error,
            QStringLiteral("cannot write %1: %2").arg(shown(file.fileName()), file.errorString()));
    return true;
}

bool isInside(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

bool checkFolders(
    const QString &oldDir, const QString &newDir, const QString &outDir, QString *error)
{
    for (const QString &dir : { oldDir, newDir }) {
        if (!QFileInfo(dir).isDir())
            return fail(error, QStringLiteral("%1 is not a folder").arg(shown(dir)));
    }
    const QFileInfo out(outDir);
    if (out.exists() || out.isSymLink())
        return fail(error,
            QStringLiteral("%1 already exists; give a folder that does not exist yet (nothing "
                           "was changed)")
                .arg(shown(outDir)));
    for (const QString &dir : { oldDir, newDir }) {
        if (isInside(outDir, QFileInfo(dir).canonicalFilePath()) || isInside(outDir, dir))
            return fail(error,
                QStringLiteral("the output folder %1 lies inside %2")
                    .arg(shown(outDir), shown(dir)));
    }
    return true;
}

} // namespace

bool layout(const QString &oldDir, const QString &newDir, const QString &outDir, Summary *summary,
    QString *error)
{
    const QString before = QDir::cleanPath(QDir(oldDir).absolutePath());
    const QString after = QDir::cleanPath(QDir(newDir).absolutePath());
    const QString out = QDir::cleanPath(QDir(outDir).absolutePath());
    Listing oldTree, newTree;
    if (!checkFolders(before, after, out, error) || !listTree(before, &oldTree, error)
        || !listTree(after, &newTree, error))
        return false;

    // Everything is made in a hidden sibling first and renamed at the end, so
    // a failure leaves no half-made folder behind.
    const QFileInfo target(out);
    if (!QDir().mkpath(target.absolutePath()))
        return fail(error, QStringLiteral("cannot create %1").arg(shown(target.absolutePath())));
    QTemporaryDir work(target.absolutePath() + QStringLiteral("/.") + target.fileName()
        + QStringLiteral("-XXXXXX"));
    if (!work.isValid())
        return fail(error,
            QStringLiteral("cannot create a folder beside %1: %2")
                .arg(shown(out), work.errorString()));
    const QString root = work.path() + QStringLiteral("/upgrade");
    Writer writer(root);
    Summary result;
    if (!QDir().mkpath(root) || !planDeletes(oldTree, newTree, writer, &result, error)
        || !planCopies(oldTree, newTree, writer, &result, error) || !writeTemplate(root, error))
        return false;
    addNotes(&result);
    QFile::setPermissions(work.path(),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
            | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
            | QFileDevice::ExeOther);
    if (!QDir().rename(work.path(), out))
        return fail(error, QStringLiteral("cannot create %1").arg(shown(out)));
    work.setAutoRemove(false);
    *summary = result;
    return true;
}

} // namespace PackageDiff
