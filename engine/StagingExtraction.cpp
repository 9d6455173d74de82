#include "StagingExtraction.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QMutex>

#include "ContainedTree.h"
#include "FileTree.h"
#include "PackageImage.h"
#include "PackageManifest.h"
#include "SuiteLayout.h"
#include "UpgradeConstants.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("CUpgradeWorker", text);
}

// The registered package's manifest, read before the staging copy. A file
// written from the package's bytes in memory has been read back by the copy
// and found equal to them; those bytes are the ones checked against this
// manifest when the package was loaded. A file written otherwise (from the
// loaded package's file by ranges, or a compressed one) is hashed as it lies
// in the staging folder: a package file changed on disk since its check
// fails here. Once the copy
// ends, a file that differs, one missing or one too many fails the
// extraction before anything in the installation changes.
class StagingCheck
{
public:
    StagingCheck()
        : sourcePrefix(SuiteLayout::join(QStringLiteral(":"), UpgradeConstants::packageFolderName())
            + QDir::separator())
    {
        const QString path = QStringLiteral(":/%1/%2").arg(
            UpgradeConstants::packageFolderName(), PackageManifest::fileName());
        if (!QFileInfo::exists(path))
            return; // a package from before manifests
        present = true;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            problem = path + QStringLiteral(" (") + file.errorString() + QLatin1Char(')');
        else if (!PackageManifest::parse(file.readAll(), &entries, &problem))
            problem = path + QStringLiteral(" (") + problem + QLatin1Char(')');
        for (const PackageManifest::Entry &entry : qAsConst(entries))
            listed.insert(entry.path, entry.sha256);
    }

    // The manifest's fault, if it can't be read or is not in the form.
    QString manifestProblem() const { return problem; }

    // Takes the digest of every file the copy writes; none without a manifest.
    FileTree::CopiedFile observer()
    {
        if (!present)
            return nullptr;
        return [this](const QString &source, const QString &target, const char *data, qint64 size,
                   const QByteArray &written) {
            Q_UNUSED(size)
            const QString relative = QDir::fromNativeSeparators(source.mid(sourcePrefix.size()));
            // Hashed as written; else written from the checked bytes in
            // memory: as listed (a path not listed is extra whatever its
            // digest); else hashed as it lies in the staging folder.
            const QByteArray digest = !written.isEmpty() ? written
                : data                                   ? listed.value(relative)
                                                         : PackageManifest::hashFile(target);
            const QMutexLocker locker(&mutex);
            digests.insert(relative, digest);
        };
    }

    // The staged files that don't match, each as a path for the log.
    QStringList failures(const QString &stagedRoot) const
    {
        QStringList paths;
        const PackageManifest::Result result = PackageManifest::compareDigests(entries, digests);
        for (const PackageManifest::Problem &found : result.problems)
            paths << QDir::toNativeSeparators(stagedRoot + QLatin1Char('/') + found.path);
        return paths;
    }

private:
    const QString sourcePrefix;
    bool present = false;
    QString problem;
    QVector<PackageManifest::Entry> entries;
    QHash<QString, QByteArray> listed; // path -> digest, from the manifest
    QMutex mutex;
    QHash<QString, QByteArray> digests;
};

// Names what is left of a staging folder that could not be emptied.
void reportLeftovers(const QString &stagingRoot, const StagingExtraction::Say &say)
{
    const int shown = 10;
    QStringList left;
    int count = 0;
    QDirIterator it(stagingRoot,
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileInfo().isDir() && !it.fileInfo().isSymLink())
            continue;
        if (++count <= shown)
            left << QDir::toNativeSeparators(it.filePath());
    }
    if (left.isEmpty())
        left << QDir::toNativeSeparators(stagingRoot);
    for (const QString &path : qAsConst(left))
        say(tr("无法清除上次升级的临时文件:%1").arg(path));
    if (count > shown)
        say(tr("另有%1项上次升级的临时文件无法清除").arg(count - shown));
}

// The staged files that differ from the manifest, said; false when any does.
bool verified(
    const StagingCheck &check, const QString &stagingRoot, const StagingExtraction::Say &say)
{
    const QStringList unverified
        = check.failures(stagingRoot + QLatin1Char('/') + UpgradeConstants::packageFolderName());
    const int shown = 10;
    for (int i = 0; i < unverified.size() && i < shown; ++i)
        say(tr("升级包文件写入后校验失败:%1").arg(unverified.at(i)));
    if (unverified.size() > shown)
        say(tr("另有%1项升级包文件写入后校验失败").arg(unverified.size() - shown));
    return unverified.isEmpty();
}

// A staging folder left by an earlier run goes first, so that none of its
// files survive into this one. What can't be removed would be taken for part
// of the new package (a stale script run, a stale entry deleted), so the
// extraction stops there, before anything in the installation changed. From
// then on the staging folder is used by its handle: the package is written
// into the folder just made, and the later steps, scripts and the helper read
// from it, even should it be swapped for a link since. A staging folder that
// could not be made fails the extraction, as the copy into it would; one that
// leads outside is named.
bool makeStagingFolder(
    const QString &mainPath, ContainedTree &tree, const StagingExtraction::Say &say)
{
    const QString stagingRoot = SuiteLayout::stagingRoot(mainPath);
    if (QFileInfo(stagingRoot).isDir() && !FileTree::removeFolder(stagingRoot)) {
        reportLeftovers(stagingRoot, say);
        return false;
    }
    QDir(mainPath).mkdir(UpgradeConstants::stagingFolderName());
    ContainedTree::Parent refusal;
    if (!tree.hold(stagingRoot, &refusal)) {
        if (refusal.state() == ContainedTree::Parent::State::Escapes)
            say(refusal.reason());
        return false;
    }
    return true;
}

// The file of the registered package when it was changed on disk since it
// was loaded (written to, cut short), said; empty when it wasn't.
QString changedPackage(const StagingExtraction::Say &say)
{
    const auto image = PackageImage::registeredAt(QStringLiteral(""));
    if (!image || !image->changed())
        return QString();
    const QString path = QDir::toNativeSeparators(image->path());
    say(tr("升级包文件在载入后被改动:%1").arg(path));
    return path;
}

} // namespace

namespace StagingExtraction {

bool extract(const QString &mainPath, ContainedTree &tree, const Say &say, int *stagedFiles,
    QString *changedPackagePath)
{
    // An empty path would stand for the working directory.
    if (mainPath.isEmpty() || !QDir(mainPath).exists() || !makeStagingFolder(mainPath, tree, say))
        return false;
    const QString stagingRoot = SuiteLayout::stagingRoot(mainPath);
    const QString heldStaging = tree.through(stagingRoot);

    // The staged files are what the later steps install: their bytes are
    // checked against the package's manifest (placeholders included).
    StagingCheck check;
    if (!check.manifestProblem().isEmpty()) {
        say(tr("升级包文件清单有误:%1").arg(check.manifestProblem()));
        return false;
    }
    // Only the package's top folder: the program's own resources share the tree.
    *stagedFiles = 0;
    const bool copied = FileTree::copyFolderList(QStringLiteral(":"),
        QStringList(UpgradeConstants::packageFolderName()), heldStaging, true, nullptr, stagedFiles,
        check.observer());
    const bool intact = copied && verified(check, stagingRoot, say);
    const QString changed = changedPackage(say);
    if (changedPackagePath)
        *changedPackagePath = changed;
    if (!intact || !changed.isEmpty())
        return false;
    for (const QFileInfo &placeholder : placeholderFiles(heldStaging))
        QFile::remove(placeholder.absoluteFilePath());
    return true;
}

QList<QFileInfo> placeholderFiles(const QString &folder)
{
    return FileTree::findFilesNamed(folder, UpgradeConstants::placeholderFileName());
}

} // namespace StagingExtraction
