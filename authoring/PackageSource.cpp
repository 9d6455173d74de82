#include "PackageSource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include "DescriptorCheck.h"
#include "EntryName.h"
#include "PackageManifest.h"

#ifdef Q_OS_UNIX
#include <dirent.h>
#endif

namespace PackageSource {

namespace {

bool isInside(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

// QDir quietly leaves out names that are not valid in the file name encoding
// (on Linux: bytes that are not UTF-8), so such a file would silently be
// missing from the package. Count the entries the system itself reports.
#ifdef Q_OS_UNIX
int rawEntryCount(const QString &dirPath, int fallback)
{
    DIR *dir = ::opendir(QFile::encodeName(dirPath).constData());
    if (!dir)
        return fallback;
    int count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0)
            ++count;
    }
    ::closedir(dir);
    return count;
}

QString undecodableName(const QString &dirPath)
{
    QString shown;
    DIR *dir = ::opendir(QFile::encodeName(dirPath).constData());
    if (!dir)
        return shown;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (QFile::encodeName(QFile::decodeName(raw)) == raw)
            continue;
        for (const char c : raw) {
            const uchar u = uchar(c);
            if (u >= 0x20 && u < 0x7f)
                shown += QLatin1Char(c);
            else
                shown += QStringLiteral("\\x")
                    + QString::number(u, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        }
        break;
    }
    ::closedir(dir);
    return QLatin1Char('"') + shown + QLatin1Char('"');
}
#else
int rawEntryCount(const QString &, int fallback)
{
    return fallback;
}

QString undecodableName(const QString &)
{
    return QString();
}
#endif

// Index of the first byte that does not start a well-formed UTF-8 sequence
// (no overlong forms, no surrogates, nothing above U+10FFFF), or -1.
int firstInvalidUtf8(const QByteArray &text)
{
    const auto *p = reinterpret_cast<const uchar *>(text.constData());
    const int size = text.size();
    for (int i = 0; i < size;) {
        const uchar c = p[i];
        int more = 0;
        uchar low = 0x80, high = 0xbf; // range of the second byte
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xc2 && c <= 0xdf) {
            more = 1;
        } else if (c >= 0xe0 && c <= 0xef) {
            more = 2;
            low = c == 0xe0 ? 0xa0 : 0x80;
            high = c == 0xed ? 0x9f : 0xbf;
        } else if (c >= 0xf0 && c <= 0xf4) {
            more = 3;
            low = c == 0xf0 ? 0x90 : 0x80;
            high = c == 0xf4 ? 0x8f : 0xbf;
        } else {
            return i;
        }
        if (i + more >= size || p[i + 1] < low || p[i + 1] > high)
            return i;
        for (int k = 2; k <= more; ++k) {
            if (p[i + k] < 0x80 || p[i + k] > 0xbf)
                return i;
        }
        i += more + 1;
    }
    return -1;
}

// Why the package cannot be written to outputFile (absolute, clean), or an
// empty string.
QString outputProblem(const QString &outputFile, const QString &treeRoot)
{
    if (outputFile.isEmpty())
        return QStringLiteral("no output file given");
    const QFileInfo output(outputFile);
    if (output.isDir())
        return QStringLiteral("the output path %1 is a folder, not a file")
            .arg(QDir::toNativeSeparators(outputFile));
    // Writing the package into its own tree would pack it into the next build.
    // The output folder may not exist yet: resolve its nearest existing parent.
    QString existing = output.absolutePath();
    QString rest;
    while (!QFileInfo(existing).exists()) {
        const QString parent = QFileInfo(existing).absolutePath();
        if (parent == existing)
            break;
        rest.prepend(QLatin1Char('/') + QFileInfo(existing).fileName());
        existing = parent;
    }
    const QString outputDir = QFileInfo(existing).canonicalFilePath() + rest;
    const QString outputTarget = output.isSymLink() ? output.canonicalFilePath() : QString();
    if (isInside(outputDir, treeRoot)
        || (!outputTarget.isEmpty() && isInside(outputTarget, treeRoot)))
        return QStringLiteral("the output file %1 lies inside the package tree")
            .arg(QDir::toNativeSeparators(outputFile));
    return QString();
}

// The known places below "upgrade": two files at the top, the three file
// folders with anything below them, and the script and SQL folders, whose
// parents hold nothing but them.
QString placeProblem(const QString &alias, bool isDir)
{
    const QStringList parts = alias.split(QLatin1Char('/'));
    // parts[0] is "upgrade".
    const QString top = parts.value(1);
    const QString allowed = QStringLiteral(
        "allowed below upgrade/ are the files upgrade_config.xml and readme.txt and the folders "
        "delete, update, add, shell/shell_before, shell/shell_after, shell/shell_rollback, "
        "db/db_before and db/db_after");
    if (parts.size() == 2) {
        if (top == PackageManifest::fileName())
            return QStringLiteral("%1 is written by the builder; remove it from the tree")
                .arg(alias);
        if (top == QLatin1String("upgrade_config.xml") || top == QLatin1String("readme.txt")) {
            if (isDir)
                return QStringLiteral("%1 must be a file, not a folder").arg(alias);
            return QString();
        }
        static const QStringList folders { QStringLiteral("delete"), QStringLiteral("update"),
            QStringLiteral("add"), QStringLiteral("shell"), QStringLiteral("db") };
        if (folders.contains(top)) {
            if (!isDir)
                return QStringLiteral("%1 must be a folder, not a file").arg(alias);
            return QString();
        }
        return QStringLiteral("unknown entry in the package tree: %1 (%2)").arg(alias, allowed);
    }
    if (parts.size() == 3 && (top == QLatin1String("shell") || top == QLatin1String("db"))) {
        const QString sub = parts.at(2);
        const bool known = top == QLatin1String("shell")
            ? (sub == QLatin1String("shell_before") || sub == QLatin1String("shell_after")
                || sub == QLatin1String("shell_rollback"))
            : (sub == QLatin1String("db_before") || sub == QLatin1String("db_after"));
        if (!known)
            return QStringLiteral("unknown entry in the package tree: %1 (%2)").arg(alias, allowed);
        if (!isDir)
            return QStringLiteral("%1 must be a folder, not a file").arg(alias);
    }
    return QString();
}

// Lists the entries below the tree, reporting every one that cannot go into
// a package; a refused folder is not looked into.
class Walker
{
public:
    Walker(const QString &treeRoot, Result *result)
        : m_treeRoot(treeRoot)
        , m_result(result)
        , m_openDirs { treeRoot }
    { }

    void walk(const QString &realDir, const QString &alias);

private:
    bool report(Kind kind, const QString &text)
    {
        m_result->problems.append({ kind, text });
        return false;
    }
    bool nameFits(const QFileInfo &entry, const QString &alias, QHash<QString, QString> &folded);
    // Checks one entry and lists it, or walks into it: false when refused.
    bool visit(const QFileInfo &entry, const QString &childAlias);

    QString m_treeRoot; // canonical path of <source>/upgrade
    Result *m_result;
    QStringList m_openDirs; // the folders being walked, canonical
};

void Walker::walk(const QString &realDir, const QString &alias)
{
    QDir dir(realDir);
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    if (entries.size() != rawEntryCount(realDir, entries.size()))
        report(Kind::Name,
            QStringLiteral("%1 holds an entry whose name is not valid text (UTF-8): %2")
                .arg(alias + QLatin1Char('/'), undecodableName(realDir)));
    QHash<QString, QString> foldedNames; // Windows does not tell "A" from "a"
    int carried = 0;
    for (const QFileInfo &entry : entries) {
        const QString childAlias = alias + QLatin1Char('/') + entry.fileName();
        if (nameFits(entry, alias, foldedNames) && visit(entry, childAlias))
            ++carried;
    }
    if (carried == 0 && alias != QLatin1String("upgrade"))
        m_result->emptyDirs.append(alias);
}

bool Walker::nameFits(
    const QFileInfo &entry, const QString &alias, QHash<QString, QString> &foldedNames)
{
    const QString name = entry.fileName();
    const QString childAlias = alias + QLatin1Char('/') + name;
    QString problem;
    EntryName::check(name, &problem);
    if (!problem.isEmpty())
        return report(Kind::Name, QStringLiteral("%1 has %2").arg(childAlias, problem));
    if (!entry.exists() && !entry.isSymLink())
        return report(Kind::Name,
            QStringLiteral("%1 has a name that is not valid text in this system's "
                           "file name encoding")
                .arg(childAlias));
    const QString folded = EntryName::folded(name);
    if (foldedNames.contains(folded))
        return report(Kind::Name,
            QStringLiteral("%1 and %2 differ only in letter case, which Windows "
                           "cannot keep apart")
                .arg(alias + QLatin1Char('/') + foldedNames.value(folded), childAlias));
    foldedNames.insert(folded, name);
    return true;
}

bool Walker::visit(const QFileInfo &entry, const QString &childAlias)
{
    QString target = entry.absoluteFilePath();
    if (entry.isSymLink()) {
        target = entry.canonicalFilePath();
        if (target.isEmpty())
            return report(Kind::Link,
                QStringLiteral("%1 is a symbolic link whose target does not exist")
                    .arg(childAlias));
        if (!isInside(target, m_treeRoot))
            return report(Kind::Link,
                QStringLiteral("%1 is a symbolic link that points outside the "
                               "package tree (to %2)")
                    .arg(childAlias, QDir::toNativeSeparators(target)));
    }
    const QFileInfo resolved(target);
    if (!resolved.isDir() && !resolved.isFile())
        return report(Kind::Special,
            QStringLiteral("%1 is neither a regular file nor a folder (a device, pipe "
                           "or socket cannot go into a package)")
                .arg(childAlias));
    const QString place = placeProblem(childAlias, resolved.isDir());
    if (!place.isEmpty())
        return report(Kind::Place, place);
    if (resolved.isDir()) {
        const QString canonical = resolved.canonicalFilePath();
        if (m_openDirs.contains(canonical))
            return report(Kind::Link,
                QStringLiteral("%1 is a symbolic link that leads back into its own "
                               "folder (a loop)")
                    .arg(childAlias));
        m_openDirs.append(canonical);
        walk(target, childAlias);
        m_openDirs.removeLast();
        return true;
    }
    QFile probe(target);
    if (!probe.open(QIODevice::ReadOnly))
        return report(Kind::Unreadable,
            QStringLiteral("%1 cannot be read: %2").arg(childAlias, probe.errorString()));
    m_result->files.append({ childAlias, target, resolved.size() });
    return true;
}

// The readme is shown as UTF-8; any other encoding would reach the operator
// as replacement characters.
void checkReadme(Result *result)
{
    const QString alias = QStringLiteral("upgrade/readme.txt");
    for (const File &entry : qAsConst(result->files)) {
        if (entry.alias != alias)
            continue;
        QFile file(entry.sourcePath);
        if (!file.open(QIODevice::ReadOnly)) {
            result->problems.append({ Kind::Unreadable,
                QStringLiteral("%1 cannot be read: %2").arg(alias, file.errorString()) });
            return;
        }
        const QByteArray text = file.readAll();
        const int bad = firstInvalidUtf8(text);
        if (bad >= 0)
            result->problems.append({ Kind::Readme,
                QStringLiteral("%1 is not valid UTF-8 text (line %2, byte %3); save it as "
                               "UTF-8")
                    .arg(alias)
                    .arg(text.left(bad).count('\n') + 1)
                    .arg(bad + 1) });
    }
}

} // namespace

Result check(const QString &sourceDir, const QString &outputFile)
{
    Result result;
    const QString source = QDir::cleanPath(QDir(sourceDir).absolutePath());
    const QString output
        = outputFile.isEmpty() ? QString() : QDir::cleanPath(QDir(outputFile).absolutePath());
    const QFileInfo tree(source + QStringLiteral("/upgrade"));
    if (!QFileInfo(source).isDir() || !tree.isDir()) {
        const QString text = QFileInfo(source).isDir()
            ? QStringLiteral("the source folder %1 holds no folder \"upgrade\"")
            : QStringLiteral("the source folder %1 does not exist");
        result.problems.append({ Kind::NoTree, text.arg(QDir::toNativeSeparators(source)) });
        return result;
    }
    const QString treeRoot = tree.canonicalFilePath();
    const QString outputText = outputProblem(output, treeRoot);
    if (!outputText.isEmpty())
        result.problems.append({ Kind::Output, outputText });
    const QString descriptorText = DescriptorCheck::problem(source);
    if (!descriptorText.isEmpty())
        result.problems.append({ Kind::Descriptor, descriptorText });
    Walker(treeRoot, &result).walk(tree.absoluteFilePath(), QStringLiteral("upgrade"));
    checkReadme(&result);
    return result;
}

} // namespace PackageSource
