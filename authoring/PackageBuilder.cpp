#include "PackageBuilder.h"

#include <QAtomicInt>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QResource>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QVector>
#include <QXmlStreamReader>

#include "EntryName.h"
#include "PackageDescriptor.h"
#include "PackageFile.h"
#include "PackageManifest.h"
#include "RecordLayout.h"
#include "ResourceWriter.h"
#include "UpgradeConstants.h"
#include "VersionText.h"

#ifdef Q_OS_UNIX
#include <dirent.h>
#endif

// The builder never touches the author's tree: it lists the files, checks
// them, and writes the package (ResourceWriter) into a private temporary
// folder, every file under its path relative to the source folder. Empty
// folders get one placeholder file from that temporary folder.
//
// Nothing is compressed. Stored data is read straight out of the
// registered file, so the extraction is a plain copy; a compressed entry is
// inflated whole into memory on every open, which is slow and costly for the
// large files a package carries. It also keeps packages readable by a Qt
// built without zstd, and lets the structural check bound every entry
// without decompressing anything. Packages get larger; they are copied, not
// downloaded, so speed wins.
namespace PackageBuilder {

namespace {

struct PackageEntry
{
    QString alias; // "upgrade/..." relative to the source folder
    QString sourcePath; // absolute path of the file that supplies the bytes
    qint64 size = 0;
};

// Why a single file or folder name cannot go into a package, or an empty
// string when it can (the rules the installer checks as well).
QString nameProblem(const QString &name)
{
    QString reason;
    EntryName::check(name, &reason);
    return reason;
}

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

// Why the descriptor at path does not parse, as " (line L, column C: reason)";
// empty when the stream reader finds no fault (the nesting limit, say).
QString xmlErrorAt(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray bytes = file.readAll();
    QString reason;
    if (!RecordLayout::withinNestingLimit(bytes, &reason))
        return QStringLiteral(" (%1)").arg(reason);
    QXmlStreamReader xml(bytes);
    while (!xml.atEnd())
        xml.readNext();
    if (!xml.hasError())
        return QString();
    return QStringLiteral(" (line %1, column %2: %3)")
        .arg(xml.lineNumber())
        .arg(xml.columnNumber())
        .arg(xml.errorString());
}

bool isNumber(const QString &part)
{
    if (part.isEmpty() || part.size() > 18)
        return false;
    for (const QChar c : part) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

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

class Builder
{
public:
    Builder(const QString &sourceDir, const QString &outputFile)
        : m_sourceDir(QDir::cleanPath(QDir(sourceDir).absolutePath()))
        , m_outputFile(
              outputFile.isEmpty() ? QString() : QDir::cleanPath(QDir(outputFile).absolutePath()))
    { }

    bool run();
    QString error() const { return m_error; }

private:
    bool fail(const QString &message)
    {
        m_error = message;
        return false;
    }
    bool checkOutputPath();
    bool checkDescriptor();
    bool checkVersions(const QString &rel, const RecordLayout::Entries &entries);
    bool checkReadme();
    bool writeManifest(const QString &manifestPath);
    bool walk(const QString &realDir, const QString &alias, QStringList &openDirs);
    bool checkPlace(const QString &alias, bool isDir);
    bool writePackage(
        const QString &packagePath, const QString &placeholderPath, const QString &manifestPath);
    bool checkResult(const QString &packagePath);

    QString m_sourceDir;
    QString m_outputFile;
    QString m_treeRoot; // canonical path of <source>/upgrade
    QString m_error;
    QVector<PackageEntry> m_files;
    QStringList m_emptyDirs; // aliases of folders that get the placeholder
    qint64 m_manifestSize = 0;
};

bool Builder::checkOutputPath()
{
    if (m_outputFile.isEmpty())
        return fail(QStringLiteral("no output file given"));
    const QFileInfo output(m_outputFile);
    if (output.isDir())
        return fail(QStringLiteral("the output path %1 is a folder, not a file")
                        .arg(QDir::toNativeSeparators(m_outputFile)));
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
    if (isInside(outputDir, m_treeRoot)
        || (!outputTarget.isEmpty() && isInside(outputTarget, m_treeRoot)))
        return fail(QStringLiteral("the output file %1 lies inside the package tree")
                        .arg(QDir::toNativeSeparators(m_outputFile)));
    return true;
}

bool Builder::checkDescriptor()
{
    const QString rel = QStringLiteral("upgrade/upgrade_config.xml");
    const QFileInfo info(m_sourceDir + QLatin1Char('/') + rel);
    if (!info.exists() && !info.isSymLink())
        return fail(QStringLiteral("the package tree has no %1").arg(rel));
    if (!info.isFile())
        return fail(QStringLiteral("%1 is not a file").arg(rel));

    RecordLayout::Entries entries;
    switch (RecordLayout::readFile(info.filePath(), &entries)) {
    case RecordLayout::ReadResult::Ok:
        break;
    case RecordLayout::ReadResult::CannotOpen:
        return fail(QStringLiteral("%1 cannot be read").arg(rel));
    case RecordLayout::ReadResult::ParseError:
        return fail(
            QStringLiteral("%1 is not well-formed XML%2").arg(rel, xmlErrorAt(info.filePath())));
    case RecordLayout::ReadResult::WrongRoot:
        return fail(QStringLiteral("%1 does not have the document element \"root\"").arg(rel));
    }

    const QStringList needed { QStringLiteral("software_product_id"),
        QStringLiteral("software_version_from"), QStringLiteral("software_version_to"),
        QStringLiteral("upgrade_type") };
    for (const QString &key : needed) {
        if (!entries.contains(key))
            return fail(QStringLiteral("%1 lacks the key \"%2\" (entries are read from the "
                                       "first child element \"module\" of \"root\")")
                            .arg(rel, key));
    }
    for (const QString &key : { QStringLiteral("software_product_id"),
             QStringLiteral("upgrade_type"), QStringLiteral("if_upgrade_db") }) {
        if (!entries.contains(key))
            continue;
        bool ok = false;
        entries.value(key).toInt(&ok, 10);
        if (!ok)
            return fail(QStringLiteral("%1: the value \"%2\" of \"%3\" is not a base-10 integer")
                            .arg(rel, entries.value(key), key));
    }
    PackageDescriptor descriptor;
    descriptor.apply(entries);
    if (descriptor.upgradeType != 0 && descriptor.upgradeType != 1)
        return fail(QStringLiteral("%1: \"upgrade_type\" is %2; the installer accepts only 0 and 1")
                        .arg(rel)
                        .arg(descriptor.upgradeType));
    const QStringList versionKeys { QStringLiteral("software_version_from"),
        QStringLiteral("software_version_to") };
    for (const QString &key : versionKeys) {
        const QString value = entries.value(key);
        if (!VersionText::parse(value).valid)
            return fail(QStringLiteral("%1: the version \"%2\" of \"%3\" does not have three "
                                       "dot-separated parts")
                            .arg(rel, value, key));
    }
    return checkVersions(rel, entries);
}

// A range the installer's fit check can accept: numbers in the first three
// parts, both ends in one series, the lower end not above the upper.
bool Builder::checkVersions(const QString &rel, const RecordLayout::Entries &entries)
{
    const QString fromKey = QStringLiteral("software_version_from");
    const QString toKey = QStringLiteral("software_version_to");
    for (const QString &key : { fromKey, toKey }) {
        const QString value = entries.value(key);
        const QStringList parts = value.section(QLatin1Char('-'), 0, 0).split(QLatin1Char('.'));
        for (int i = 0; i < 3; ++i) {
            if (!isNumber(parts.at(i)))
                return fail(QStringLiteral("%1: the version \"%2\" of \"%3\" has the part \"%4\", "
                                           "which is not a number; the first three parts must be "
                                           "numbers of at most 18 digits")
                                .arg(rel, value, key, parts.at(i)));
        }
    }
    const QString from = entries.value(fromKey), to = entries.value(toKey);
    const VersionText lower = VersionText::parse(from), upper = VersionText::parse(to);
    if (!lower.sameSeries(upper))
        return fail(QStringLiteral("%1: the versions \"%2\" and \"%3\" belong to different series "
                                   "(their first two parts differ); no installed version could "
                                   "ever fit the package")
                        .arg(rel, from, to));
    if (lower.third > upper.third)
        return fail(QStringLiteral("%1: \"%2\" (%3) is above \"%4\" (%5); no installed version "
                                   "could ever fit the package")
                        .arg(rel, fromKey, from, toKey, to));
    return true;
}

// The readme is shown as UTF-8; any other encoding would reach the operator
// as replacement characters.
bool Builder::checkReadme()
{
    const QString alias = QStringLiteral("upgrade/readme.txt");
    for (const PackageEntry &entry : qAsConst(m_files)) {
        if (entry.alias != alias)
            continue;
        QFile file(entry.sourcePath);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("%1 cannot be read: %2").arg(alias, file.errorString()));
        const QByteArray text = file.readAll();
        const int bad = firstInvalidUtf8(text);
        if (bad >= 0)
            return fail(QStringLiteral("%1 is not valid UTF-8 text (line %2, byte %3); save it as "
                                       "UTF-8")
                            .arg(alias)
                            .arg(text.left(bad).count('\n') + 1)
                            .arg(bad + 1));
    }
    return true;
}

// upgrade/manifest.sha256: every file of the package with its SHA-256, the
// placeholder files included.
bool Builder::writeManifest(const QString &manifestPath)
{
    QVector<PackageManifest::Entry> entries;
    const QString prefix = QStringLiteral("upgrade/");
    for (const PackageEntry &entry : qAsConst(m_files)) {
        QString error;
        const QByteArray digest = PackageManifest::hashFile(entry.sourcePath, &error);
        if (digest.isEmpty())
            return fail(QStringLiteral("%1 cannot be read: %2").arg(entry.alias, error));
        entries.append({ digest, entry.alias.mid(prefix.size()) });
    }
    const QByteArray empty = PackageManifest::hashBytes(nullptr, 0);
    for (const QString &dir : qAsConst(m_emptyDirs))
        entries.append({ empty,
            dir.mid(prefix.size()) + QLatin1Char('/') + UpgradeConstants::placeholderFileName() });
    const QByteArray text = PackageManifest::format(entries);
    QFile file(manifestPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush())
        return fail(QStringLiteral("cannot write the manifest %1: %2")
                        .arg(QDir::toNativeSeparators(manifestPath), file.errorString()));
    m_manifestSize = text.size();
    return true;
}

// The known places below "upgrade": two files at the top, the three file
// folders with anything below them, and the script and SQL folders, whose
// parents hold nothing but them.
bool Builder::checkPlace(const QString &alias, bool isDir)
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
            return fail(
                QStringLiteral("%1 is written by the builder; remove it from the tree").arg(alias));
        if (top == QLatin1String("upgrade_config.xml") || top == QLatin1String("readme.txt")) {
            if (isDir)
                return fail(QStringLiteral("%1 must be a file, not a folder").arg(alias));
            return true;
        }
        static const QStringList folders { QStringLiteral("delete"), QStringLiteral("update"),
            QStringLiteral("add"), QStringLiteral("shell"), QStringLiteral("db") };
        if (folders.contains(top)) {
            if (!isDir)
                return fail(QStringLiteral("%1 must be a folder, not a file").arg(alias));
            return true;
        }
        return fail(
            QStringLiteral("unknown entry in the package tree: %1 (%2)").arg(alias, allowed));
    }
    if (parts.size() == 3 && (top == QLatin1String("shell") || top == QLatin1String("db"))) {
        const QString sub = parts.at(2);
        const bool known = top == QLatin1String("shell")
            ? (sub == QLatin1String("shell_before") || sub == QLatin1String("shell_after")
                || sub == QLatin1String("shell_rollback"))
            : (sub == QLatin1String("db_before") || sub == QLatin1String("db_after"));
        if (!known)
            return fail(
                QStringLiteral("unknown entry in the package tree: %1 (%2)").arg(alias, allowed));
        if (!isDir)
            return fail(QStringLiteral("%1 must be a folder, not a file").arg(alias));
    }
    return true;
}

bool Builder::walk(const QString &realDir, const QString &alias, QStringList &openDirs)
{
    QDir dir(realDir);
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    if (entries.size() != rawEntryCount(realDir, entries.size()))
        return fail(QStringLiteral("%1 holds an entry whose name is not valid text (UTF-8): %2")
                        .arg(alias + QLatin1Char('/'), undecodableName(realDir)));
    QHash<QString, QString> foldedNames; // Windows does not tell "A" from "a"
    int carried = 0;
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        const QString childAlias = alias + QLatin1Char('/') + name;

        const QString problem = nameProblem(name);
        if (!problem.isEmpty())
            return fail(QStringLiteral("%1 has %2").arg(childAlias, problem));
        if (!entry.exists() && !entry.isSymLink())
            return fail(QStringLiteral("%1 has a name that is not valid text in this system's "
                                       "file name encoding")
                            .arg(childAlias));
        const QString folded = EntryName::folded(name);
        if (foldedNames.contains(folded))
            return fail(QStringLiteral("%1 and %2 differ only in letter case, which Windows "
                                       "cannot keep apart")
                            .arg(alias + QLatin1Char('/') + foldedNames.value(folded), childAlias));
        foldedNames.insert(folded, name);

        QString target = entry.absoluteFilePath();
        if (entry.isSymLink()) {
            target = entry.canonicalFilePath();
            if (target.isEmpty())
                return fail(QStringLiteral("%1 is a symbolic link whose target does not exist")
                                .arg(childAlias));
            if (!isInside(target, m_treeRoot))
                return fail(QStringLiteral("%1 is a symbolic link that points outside the "
                                           "package tree (to %2)")
                                .arg(childAlias, QDir::toNativeSeparators(target)));
        }
        const QFileInfo resolved(target);
        if (resolved.isDir()) {
            if (!checkPlace(childAlias, true))
                return false;
            const QString canonical = resolved.canonicalFilePath();
            if (openDirs.contains(canonical))
                return fail(QStringLiteral("%1 is a symbolic link that leads back into its own "
                                           "folder (a loop)")
                                .arg(childAlias));
            openDirs.append(canonical);
            const bool ok = walk(target, childAlias, openDirs);
            openDirs.removeLast();
            if (!ok)
                return false;
        } else if (resolved.isFile()) {
            if (!checkPlace(childAlias, false))
                return false;
            QFile probe(target);
            if (!probe.open(QIODevice::ReadOnly))
                return fail(
                    QStringLiteral("%1 cannot be read: %2").arg(childAlias, probe.errorString()));
            m_files.append({ childAlias, target, resolved.size() });
        } else {
            return fail(QStringLiteral("%1 is neither a regular file nor a folder (a device, pipe "
                                       "or socket cannot go into a package)")
                            .arg(childAlias));
        }
        ++carried;
    }
    if (carried == 0 && alias != QLatin1String("upgrade"))
        m_emptyDirs.append(alias);
    return true;
}

// The package itself: every file under its alias, the placeholder in every
// empty folder, the manifest last.
bool Builder::writePackage(
    const QString &packagePath, const QString &placeholderPath, const QString &manifestPath)
{
    ResourceWriter writer;
    bool ok = true;
    for (const PackageEntry &entry : qAsConst(m_files))
        ok = ok && writer.addFile(entry.alias, entry.sourcePath);
    for (const QString &dir : qAsConst(m_emptyDirs))
        ok = ok
            && writer.addFile(
                dir + QLatin1Char('/') + UpgradeConstants::placeholderFileName(), placeholderPath);
    ok = ok
        && writer.addFile(QStringLiteral("upgrade/") + PackageManifest::fileName(), manifestPath);
    if (!ok || !writer.write(packagePath))
        return fail(QStringLiteral("cannot write the package: %1").arg(writer.errorString()));
    return true;
}

// Reads the package back as the installer will: structural check, then the
// registered tree must hold exactly the files that went in, with their sizes.
bool Builder::checkResult(const QString &packagePath)
{
    QFile file(packagePath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(
            QStringLiteral("the written package cannot be read: %1").arg(file.errorString()));
    const qint64 size = file.size();
    if (size <= 0 || size > std::numeric_limits<int>::max())
        return fail(QStringLiteral("the package would be %1 bytes; a package must be between 1 "
                                   "byte and 2 GiB")
                        .arg(size));
    uchar *mapped = file.map(0, size);
    QByteArray bytes;
    if (mapped)
        bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), int(size));
    else
        bytes = file.readAll();
    const uchar *data = mapped ? mapped : reinterpret_cast<const uchar *>(bytes.constData());

    QString detail;
    if (PackageFile::validate(bytes, &detail) != PackageFile::Verdict::Valid)
        return fail(
            QStringLiteral("the written package fails the structural check: %1").arg(detail));

    static QAtomicInt counter;
    const QString mapRoot
        = QStringLiteral("/package-builder-check-%1").arg(counter.fetchAndAddRelaxed(1));
    if (!QResource::registerResource(data, mapRoot))
        return fail(QStringLiteral("the written package cannot be registered"));
    const QString base = QLatin1Char(':') + mapRoot + QLatin1Char('/');

    QString problem;
    if (!QFileInfo(base + QStringLiteral("upgrade/upgrade_config.xml")).isFile())
        problem = QStringLiteral("the package does not show upgrade/upgrade_config.xml");
    QHash<QString, qint64> expected;
    for (const PackageEntry &entry : qAsConst(m_files))
        expected.insert(entry.alias, entry.size);
    for (const QString &dir : qAsConst(m_emptyDirs))
        expected.insert(dir + QLatin1Char('/') + UpgradeConstants::placeholderFileName(), 0);
    expected.insert(QStringLiteral("upgrade/") + PackageManifest::fileName(), m_manifestSize);
    if (problem.isEmpty()) {
        QDirIterator it(base + QStringLiteral("upgrade"), QDir::Files | QDir::Hidden,
            QDirIterator::Subdirectories);
        int found = 0;
        while (it.hasNext() && problem.isEmpty()) {
            it.next();
            const QString alias = it.filePath().mid(base.size());
            if (!expected.contains(alias))
                problem = QStringLiteral("the package holds %1, which is not in the tree (a "
                                         "name changed)")
                              .arg(alias);
            else if (it.fileInfo().size() != expected.value(alias))
                problem = QStringLiteral("%1 has %2 bytes in the package but %3 in the tree")
                              .arg(alias)
                              .arg(it.fileInfo().size())
                              .arg(expected.value(alias));
            ++found;
        }
        if (problem.isEmpty() && found != expected.size()) {
            for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
                if (!QFileInfo(base + it.key()).isFile()) {
                    problem = QStringLiteral("%1 is missing from the package (dropped "
                                             "or renamed)")
                                  .arg(it.key());
                    break;
                }
            }
            if (problem.isEmpty())
                problem = QStringLiteral("the package holds %1 files instead of %2")
                              .arg(found)
                              .arg(expected.size());
        }
    }
    if (problem.isEmpty()) {
        const PackageManifest::Result manifest
            = PackageManifest::verifyTree(base + QStringLiteral("upgrade"));
        if (manifest.verdict != PackageManifest::Verdict::Verified)
            problem = QStringLiteral("the package does not match its manifest (did a file change "
                                     "while the package was built?): %1")
                          .arg(manifest.detail());
    }
    QResource::unregisterResource(data, mapRoot);
    if (!problem.isEmpty())
        return fail(problem);
    return true;
}

bool Builder::run()
{
    const QFileInfo source(m_sourceDir);
    if (!source.isDir())
        return fail(QStringLiteral("the source folder %1 does not exist")
                        .arg(QDir::toNativeSeparators(m_sourceDir)));
    const QFileInfo tree(m_sourceDir + QStringLiteral("/upgrade"));
    if (!tree.isDir())
        return fail(QStringLiteral("the source folder %1 holds no folder \"upgrade\"")
                        .arg(QDir::toNativeSeparators(m_sourceDir)));
    m_treeRoot = tree.canonicalFilePath();
    if (!checkOutputPath() || !checkDescriptor())
        return false;

    QStringList openDirs { m_treeRoot };
    if (!walk(tree.absoluteFilePath(), QStringLiteral("upgrade"), openDirs) || !checkReadme())
        return false;

    QTemporaryDir work;
    if (!work.isValid())
        return fail(QStringLiteral("cannot create a temporary folder: %1").arg(work.errorString()));
    const QString placeholderPath = work.filePath(UpgradeConstants::placeholderFileName());
    {
        QFile placeholder(placeholderPath);
        if (!placeholder.open(QIODevice::WriteOnly))
            return fail(QStringLiteral("cannot write the placeholder file: %1")
                            .arg(placeholder.errorString()));
    }
    const QString packagePath = work.filePath(QStringLiteral("package.rcc"));
    const QString manifestPath = work.filePath(PackageManifest::fileName());
    if (!writeManifest(manifestPath) || !writePackage(packagePath, placeholderPath, manifestPath)
        || !checkResult(packagePath))
        return false;

    // Replace the output only once the new package is known to be good.
    const QFileInfo output(m_outputFile);
    if (!QDir().mkpath(output.absolutePath()))
        return fail(QStringLiteral("cannot create the folder %1")
                        .arg(QDir::toNativeSeparators(output.absolutePath())));
    QFile built(packagePath);
    QSaveFile target(m_outputFile);
    if (!built.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2")
                        .arg(QDir::toNativeSeparators(m_outputFile), target.errorString()));
    QByteArray chunk;
    while (!(chunk = built.read(4 * 1024 * 1024)).isEmpty()) {
        if (target.write(chunk) != chunk.size())
            break;
    }
    if (!target.commit())
        return fail(QStringLiteral("cannot write %1: %2")
                        .arg(QDir::toNativeSeparators(m_outputFile), target.errorString()));
    return true;
}

} // namespace

bool build(const QString &sourceDir, const QString &outputFile, QString *error)
{
    Builder builder(sourceDir, outputFile);
    const bool ok = builder.run();
    if (error)
        *error = ok ? QString() : builder.error();
    return ok;
}

} // namespace PackageBuilder
