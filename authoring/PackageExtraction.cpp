#include "PackageExtraction.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QResource>
#include <QVector>

#include <functional>
#include <memory>

#include "EntryName.h"
#include "PackageImage.h"
#include "PackageManifest.h"
#include "RegularFile.h"
#include "UpgradeConstants.h"

namespace PackageExtraction {

namespace {

using Block = std::function<void(const char *data, qint64 size)>;

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Whether every part of a path below the tree is a name a package may hold:
// none is empty, "." or "..", none holds a separator.
bool staysInside(const QString &relative, QString *reason)
{
    for (const QString &part : relative.split(QLatin1Char('/'))) {
        if (EntryName::check(part, reason) != EntryName::Problem::None)
            return false;
    }
    return true;
}

// A file of the package that is not read from the package file by ranges (a
// compressed one): read whole through Qt's resource engine, written new.
bool writeBytes(const QString &from, const QString &to, const Block &onBlock, QString *reason)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        *reason = in.errorString();
        return false;
    }
    const QByteArray bytes = in.readAll();
    QFile out;
    if (RegularFile::createForWriting(to, QIODevice::WriteOnly, &out, reason)
        != RegularFile::Creation::Created)
        return false;
    const bool written = out.write(bytes) == bytes.size() && out.flush();
    if (!written)
        *reason = out.errorString();
    out.close();
    if (!written) {
        QFile::remove(to);
        return false;
    }
    onBlock(bytes.constData(), bytes.size());
    return true;
}

// Writes the tree below source into target (made new), each file hashed as
// it is written and checked against the manifest at once.
class TreeWriter
{
public:
    TreeWriter(const QString &treeRoot, const QString &targetRoot)
        : source(treeRoot)
        , target(targetRoot)
    { }

    bool readManifest();
    bool writeAll();
    // The manifest's files all written; the package file unchanged.
    bool complete();
    void dropPlaceholders();
    // Whether target was made here (and so is to be removed on a failure).
    bool madeTarget() const { return made; }

    Result result;

private:
    bool writeFile(const QString &relative);
    bool check(const QString &relative, const QByteArray &digest);
    bool fail(Failure failure, const QString &detail)
    {
        result.failure = failure;
        result.detail = detail;
        return false;
    }

    const QString source;
    const QString target;
    bool made = false;
    bool manifestPresent = false;
    QVector<PackageManifest::Entry> entries;
    QHash<QString, QByteArray> listed; // path -> digest, from the manifest
    QHash<QString, QByteArray> digests; // of the files written
    QStringList placeholders;
    std::shared_ptr<PackageImage> image;
};

bool TreeWriter::readManifest()
{
    const QString path = source + QLatin1Char('/') + PackageManifest::fileName();
    if (!QFileInfo::exists(path))
        return true; // a package from before manifests
    manifestPresent = true;
    QFile file(path);
    QString problem;
    if (!file.open(QIODevice::ReadOnly))
        return fail(Failure::CannotWrite,
            PackageManifest::fileName() + QStringLiteral(": ") + file.errorString());
    if (!PackageManifest::parse(file.readAll(), &entries, &problem))
        return fail(
            Failure::Mismatch, PackageManifest::fileName() + QStringLiteral(": ") + problem);
    for (const PackageManifest::Entry &entry : qAsConst(entries))
        listed.insert(entry.path, entry.sha256);
    return true;
}

bool TreeWriter::writeAll()
{
    // By path: a folder comes before what it holds.
    QMap<QString, bool> paths; // relative path -> whether a folder
    QDirIterator it(source, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        paths.insert(path.mid(source.size() + 1), it.fileInfo().isDir());
    }
    if (!QDir().mkdir(target))
        return fail(
            Failure::CannotWrite, shown(target) + QStringLiteral(": cannot create the folder"));
    made = true;
    for (auto entry = paths.cbegin(); entry != paths.cend(); ++entry) {
        const QString &relative = entry.key();
        QString reason;
        if (!staysInside(relative, &reason))
            return fail(Failure::CannotWrite, relative + QStringLiteral(": ") + reason);
        if (entry.value()) {
            if (!QDir(target).mkdir(relative))
                return fail(Failure::CannotWrite,
                    shown(target + QLatin1Char('/') + relative)
                        + QStringLiteral(": cannot create the folder"));
            continue;
        }
        if (!writeFile(relative))
            return false;
        if (relative.section(QLatin1Char('/'), -1) == UpgradeConstants::placeholderFileName())
            placeholders << target + QLatin1Char('/') + relative;
        else
            ++result.files;
    }
    return true;
}

bool TreeWriter::writeFile(const QString &relative)
{
    const QString from = source + QLatin1Char('/') + relative;
    const QString to = target + QLatin1Char('/') + relative;
    PackageManifest::Sha256 hash;
    const Block add = [&hash](const char *data, qint64 size) { hash.add(data, size); };
    QString reason;
    const QResource resource(from);
    qint64 offset = 0;
    // An uncompressed file is copied from the package file by ranges, as the
    // installer's staging copy does; what is hashed is what was written.
    const auto held = resource.compressionAlgorithm() == QResource::NoCompression
        ? PackageImage::holding(resource.data(), &offset)
        : nullptr;
    bool written = false;
    if (held) {
        image = held;
        written
            = held->copyTo(offset, resource.size(), to, add, &reason) == PackageImage::Copy::Copied;
    } else {
        written = writeBytes(from, to, add, &reason);
    }
    if (!written)
        return fail(Failure::CannotWrite, shown(to) + QStringLiteral(": ") + reason);
    return check(relative, hash.result());
}

bool TreeWriter::check(const QString &relative, const QByteArray &digest)
{
    digests.insert(relative, digest);
    if (!manifestPresent || relative == PackageManifest::fileName())
        return true;
    const auto found = listed.constFind(relative);
    if (found != listed.cend() && *found == digest)
        return true;
    PackageManifest::Problem problem;
    problem.kind = found == listed.cend() ? PackageManifest::ProblemKind::Extra
                                          : PackageManifest::ProblemKind::Mismatch;
    problem.path = relative;
    return fail(Failure::Mismatch, problem.text());
}

bool TreeWriter::complete()
{
    if (manifestPresent) {
        const PackageManifest::Result compared = PackageManifest::compareDigests(entries, digests);
        if (!compared.problems.isEmpty())
            return fail(Failure::Mismatch, compared.problems.first().text());
    }
    if (image && image->changed())
        return fail(Failure::PackageChanged,
            shown(image->path())
                + QStringLiteral(": the package file changed since it was loaded"));
    return true;
}

void TreeWriter::dropPlaceholders()
{
    for (const QString &path : qAsConst(placeholders))
        QFile::remove(path);
}

// The folder to write into: an empty one, or a new one in a folder that
// exists. *made tells whether it was made here.
Result prepareFolder(const QString &folder, bool *made)
{
    Result result;
    const QFileInfo info(folder);
    *made = false;
    if (info.exists() || info.isSymLink()) {
        if (info.isSymLink() || !info.isDir()
            || !QDir(folder).isEmpty(
                QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
            result.failure = Failure::NotEmpty;
            result.detail = shown(folder)
                + QStringLiteral(" exists and is not an empty folder; give a new or empty folder");
        }
    } else if (!QFileInfo(info.absolutePath()).isDir()) {
        result.failure = Failure::NoParent;
        result.detail = QStringLiteral("cannot create %1: the folder %2 does not exist")
                            .arg(shown(folder), shown(info.absolutePath()));
    } else if (!QDir().mkdir(folder)) {
        result.failure = Failure::CannotWrite;
        result.detail = QStringLiteral("cannot create the folder %1").arg(shown(folder));
    } else {
        *made = true;
    }
    return result;
}

} // namespace

Result extract(const QString &treeRoot, const QString &folder)
{
    bool madeFolder = false;
    const Result prepared = prepareFolder(folder, &madeFolder);
    if (prepared.failure != Failure::None)
        return prepared;
    TreeWriter writer(treeRoot, folder + QLatin1Char('/') + UpgradeConstants::packageFolderName());
    if (writer.readManifest() && writer.writeAll() && writer.complete()) {
        writer.dropPlaceholders();
        return writer.result;
    }
    // The folder as it was: removed when it was made here, emptied otherwise.
    if (madeFolder)
        QDir(folder).removeRecursively();
    else if (writer.madeTarget())
        QDir(folder + QLatin1Char('/') + UpgradeConstants::packageFolderName()).removeRecursively();
    writer.result.files = 0;
    return writer.result;
}

} // namespace PackageExtraction
