#include "UpToDate.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include "FileTree.h"
#include "RegularFile.h"
#include "SuiteLayout.h"
#include "UpgradeConstants.h"
#include "VersionText.h"

namespace UpToDate {

namespace {

constexpr qint64 chunkBytes = 256 * 1024;

bool sameVersion(const QString &installed, const QString &to)
{
    const VersionText a = VersionText::parse(installed);
    const VersionText b = VersionText::parse(to);
    return a.valid && b.valid && a.sameSeries(b) && a.third == b.third;
}

// The installed file at target against the package's file at source.
Gap compareFile(const QString &source, const QString &target)
{
    const QFileInfo installed(target);
    if (!installed.exists() && !installed.isSymLink())
        return Gap::Missing;
    QFile mine;
    QFile theirs(source);
    QString reason;
    if (installed.isSymLink()
        || RegularFile::openForReading(target, &mine, &reason) != RegularFile::Refusal::None
        || !theirs.open(QIODevice::ReadOnly) || mine.size() != theirs.size())
        return Gap::Different;
    while (!theirs.atEnd()) {
        const QByteArray part = theirs.read(chunkBytes);
        if (part.isEmpty() || mine.read(part.size()) != part)
            return Gap::Different;
    }
    return Gap::None;
}

// An installed regular file at target, whatever it holds.
Gap presentFile(const QString &target)
{
    const QFileInfo installed(target);
    if (!installed.exists() && !installed.isSymLink())
        return Gap::Missing;
    return installed.isFile() && !installed.isSymLink() ? Gap::None : Gap::Different;
}

class Walker
{
public:
    Walker(const QString &mainPath, const QString &packageRoot)
        : mainPath(mainPath)
        , root(QDir::cleanPath(packageRoot.startsWith(QLatin1Char(':'))
                  ? packageRoot
                  : QFileInfo(packageRoot).absoluteFilePath()))
    { }

    // sameBytes: the step replaces what is there (update/), else it only
    // adds what is missing (add/), and what is there stays as it is.
    Verdict walkKept(const QString &step, bool sameBytes);
    Verdict walkDeleted();

private:
    QString target(const QString &stepRoot, const QString &entry) const
    {
        return SuiteLayout::join(
            mainPath, QDir::toNativeSeparators(entry.mid(stepRoot.size() + 1)));
    }
    // Windows names "Bin\a.dll" and "bin/A.dll" the same file.
    static QString key(const QString &path)
    {
#ifdef Q_OS_WIN
        return QDir::fromNativeSeparators(path).toLower();
#else
        return QDir::fromNativeSeparators(path);
#endif
    }
    // The path and the folders above it, up to the main directory.
    void keep(const QString &path)
    {
        const int top = key(mainPath).size();
        for (QString above = key(path); above.size() > top && !kept.contains(above);
             above.truncate(above.lastIndexOf(QLatin1Char('/'))))
            kept.insert(above);
    }
    bool stillThere(const QFileInfo &leaf, const QString &stepRoot, QString *path) const;

    const QString mainPath;
    const QString root;
    QSet<QString> kept; // what update/ and add/ put in place, and the folders above it
};

// Every file and folder below update/ or add/ (hidden entries are passed
// over, as the steps do; a placeholder stands for its folder, listed too).
Verdict Walker::walkKept(const QString &step, bool sameBytes)
{
    const QString stepRoot = root + QLatin1Char('/') + step;
    QDirIterator it(
        stepRoot, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        if (entry.fileName() == UpgradeConstants::placeholderFileName())
            continue;
        const QString path = target(stepRoot, entry.filePath());
        keep(path);
        if (!entry.isDir() || entry.isSymLink()) {
            const Gap gap = entry.isSymLink() ? Gap::Different
                : sameBytes                   ? compareFile(entry.filePath(), path)
                                              : presentFile(path);
            if (gap != Gap::None)
                return { gap, path };
            continue;
        }
        const QFileInfo installed(path);
        if (!installed.isDir() || installed.isSymLink())
            return { installed.exists() ? Gap::Different : Gap::Missing, path };
    }
    return Verdict();
}

// A leaf of delete/ that the upgrade would find installed. A placeholder
// alone in its folder names that folder; any other placeholder nothing.
bool Walker::stillThere(const QFileInfo &leaf, const QString &stepRoot, QString *path) const
{
    bool folder = leaf.isDir();
    *path = target(stepRoot, leaf.filePath());
    if (leaf.fileName() == UpgradeConstants::placeholderFileName()) {
        if (leaf.path() == stepRoot
            || QDir(leaf.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot).size()
                != 1)
            return false;
        *path = target(stepRoot, leaf.path());
        folder = true;
    }
    // What update/ or add/ put back after the deletion belongs there.
    if (kept.contains(key(*path)))
        return false;
    const QFileInfo installed(*path);
    // A file where a folder is named counts as removed, as in the delete step.
    return installed.isSymLink() || (folder ? installed.isDir() : installed.exists());
}

Verdict Walker::walkDeleted()
{
    const QString stepRoot = root + QStringLiteral("/delete");
    for (const QFileInfo &leaf : FileTree::listLeafEntries(stepRoot)) {
        QString path;
        if (stillThere(leaf, stepRoot, &path))
            return { Gap::StillThere, path };
    }
    return Verdict();
}

} // namespace

QString Verdict::reason() const
{
    switch (gap) {
    case Gap::None:
        break;
    case Gap::OtherVersion:
        return QStringLiteral("the installed version is not the package's target version");
    case Gap::Missing:
        return QStringLiteral("not installed: ") + path;
    case Gap::Different:
        return QStringLiteral("installed, but not the package's file: ") + path;
    case Gap::StillThere:
        return QStringLiteral("to be deleted, still installed: ") + path;
    }
    return QStringLiteral("up to date");
}

Verdict judge(const QString &installedVersion, const QString &versionTo, const QString &mainPath,
    const QString &packageRoot)
{
    if (!sameVersion(installedVersion, versionTo))
        return { Gap::OtherVersion, QString() };
    Walker walker(mainPath, packageRoot);
    for (const bool update : { true, false }) {
        const Verdict kept
            = walker.walkKept(update ? QStringLiteral("update") : QStringLiteral("add"), update);
        if (!kept.upToDate())
            return kept;
    }
    return walker.walkDeleted();
}

} // namespace UpToDate
