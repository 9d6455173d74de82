#include "FolderCopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QResource>
#include <QThread>
#include <QVector>

#include <atomic>
#include <vector>

#include "FastCopy.h"
#include "PackageImage.h"
#include "PackageManifest.h"
#include "SuiteLayout.h"

namespace FolderCopy {

using FileTree::CopiedFile;
using FileTree::Failures;
using FileTree::note;
using SuiteLayout::join;

namespace {

// In a folder held open (the files of a merge), the new file is created by
// its name there.
struct Place
{
    const FastCopy::Folder *folder = nullptr;
    QString name;
};

// An uncompressed file of a loaded package, copied by ranges from the
// package file: its bytes never pass through the mapping, so the program's
// memory doesn't grow with the package, and a file cut short since it was
// loaded fails the copy instead of faulting. *digest is the SHA-256 of the
// bytes written. A file of up to a few MB is read whole into a buffer of the
// copying thread and created by its name in its held folder, like the
// files of a package held in memory; a larger one is copied block by block.
// Nothing is left at target on a failure; NotTried when target can't be made
// new.
FastCopy::Outcome copyFromImage(const PackageImage &image, qint64 offset, qint64 size,
    const QString &target, const FastCopy::Access &access, const Place &place, QByteArray *digest,
    QString *reason)
{
    const qint64 wholeLimit = qint64(4) << 20;
    if (place.folder && place.folder->isOpen() && size <= wholeLimit) {
        thread_local std::vector<char> buffer;
        buffer.resize(size_t(qMax<qint64>(size, 1)));
        if (!image.read(offset, buffer.data(), size, reason))
            return FastCopy::Outcome::Failed;
        *digest = PackageManifest::hashBytes(buffer.data(), size);
        return FastCopy::writeNewIn(*place.folder, place.name, buffer.data(), size, access, reason);
    }
    PackageManifest::Sha256 hash;
    switch (image.copyTo(
        offset, size, target,
        [&hash](const char *block, qint64 length) { hash.add(block, length); }, reason)) {
    case PackageImage::Copy::NotCreated:
        return FastCopy::Outcome::NotTried;
    case PackageImage::Copy::Failed:
        return FastCopy::Outcome::Failed;
    case PackageImage::Copy::Copied:
        break;
    }
    *digest = hash.result();
    if (access)
        FastCopy::makeAccessible(target, *access);
    return FastCopy::Outcome::Copied;
}

// The quick road of a copy: creates target (never replacing anything) and
// fills it from a regular file or from an uncompressed resource in one go
// (FastCopy), leaving it as access asks; a failure is noted. NotTried when
// something is unusual before anything was written; the copy then goes
// through QFile::copy, so odd cases keep its behaviour.
FastCopy::Outcome copyQuickly(const QString &source, const QString &target,
    const FastCopy::Access &access, Failures *failures, const CopiedFile *onCopied = nullptr,
    const Place &place = Place())
{
    // QResource keeps isDir() to itself; one look-up answers both questions.
    struct ResourceEntry : QResource
    {
        using QResource::isDir;
    };
    ResourceEntry resource;
    const char *data = nullptr;
    qint64 size = 0;
    QString reason;
    QByteArray digest;
    FastCopy::Outcome outcome;
    if (source.startsWith(QLatin1Char(':'))) {
        resource.setFileName(source);
        if (!resource.isValid() || resource.isDir()
            || resource.compressionAlgorithm() != QResource::NoCompression)
            return FastCopy::Outcome::NotTried;
        data = reinterpret_cast<const char *>(resource.data());
        size = resource.size();
        qint64 offset = 0;
        // Not read back: what the page cache would give back proves nothing
        // about the disk. A file of a loaded package is copied from the
        // package file and hashed as it is written (data: none, the digest
        // given); other bytes written are the package's in memory, which its
        // manifest's digests prove. The upgrade flushes them before it commits.
        if (const auto image = PackageImage::holding(data, &offset)) {
            data = nullptr;
            outcome = copyFromImage(*image, offset, size, target, access, place, &digest, &reason);
        } else if (place.folder && place.folder->isOpen()) {
            outcome = FastCopy::writeNewIn(*place.folder, place.name, data, size, access, &reason);
        } else {
            outcome = FastCopy::writeNew(target, data, size, false, access, &reason);
        }
    } else {
        outcome = FastCopy::copyNew(source, target, access, &size, &reason);
    }
    if (outcome == FastCopy::Outcome::Copied && onCopied && *onCopied)
        (*onCopied)(source, target, data, size, digest);
    if (outcome == FastCopy::Outcome::Differs)
        reason = QCoreApplication::translate("CUpgradeWorker", "写入后读回的内容与升级包不符");
    if (outcome == FastCopy::Outcome::Failed || outcome == FastCopy::Outcome::Differs)
        note(failures, target, reason);
    return outcome;
}

// QFile::copy, with its reason noted when it fails.
bool copyByQFile(const QString &source, const QString &target, Failures *failures)
{
    QFile file(source);
    if (file.copy(target))
        return true;
    note(failures, target, file.errorString());
    return false;
}

// A copy left readable and writable, keeping the execute bits given; the
// quick road sets the mode on the open file instead of looking the path up
// again.
bool copyAccessible(const QString &source, const QString &target,
    QFileDevice::Permissions keepExecutable, Failures *failures)
{
    const FastCopy::Outcome quick = copyQuickly(source, target, keepExecutable, failures);
    if (quick != FastCopy::Outcome::NotTried)
        return quick == FastCopy::Outcome::Copied;
    if (!copyByQFile(source, target, failures))
        return false;
    FastCopy::makeAccessible(target, keepExecutable);
    return true;
}

// Copies one file of a folder being merged; see copyFolder.
bool copyFolderFile(const QString &sourceFile, const QString &targetFile, bool overwrite,
    Failures *failures, const CopiedFile &onCopied, const Place &place)
{
    // Most targets are new: the quick copy creates them without asking
    // first, and refuses anything already there, which then goes the usual
    // way below.
    const FastCopy::Outcome quick = copyQuickly(
        sourceFile, targetFile, QFileDevice::Permissions(), failures, &onCopied, place);
    if (quick != FastCopy::Outcome::NotTried)
        return quick == FastCopy::Outcome::Copied;
    const QFileInfo installed(targetFile);
    QFileDevice::Permissions keep;
    if (installed.exists()) {
        if (!overwrite)
            return true;
        keep = FastCopy::executeBitsOf(installed);
        QFile::remove(targetFile);
    }
    if (!copyAccessible(sourceFile, targetFile, keep, failures))
        return false;
    if (onCopied)
        onCopied(sourceFile, targetFile, nullptr, -1, QByteArray());
    return true;
}

// The files of one folder, on more than one thread when there are several:
// writing them is mostly copying memory, which the processors share.
bool copyFolderFiles(const QString &source, const QString &target, const QStringList &files,
    bool overwrite, Failures *failures, int *copied, const CopiedFile &onCopied)
{
    const int threads = files.size() < 4 ? 1 : qBound(1, QThread::idealThreadCount(), 4);
    std::atomic<int> next { 0 };
    std::atomic<int> done { 0 };
    QVector<Failures> found(threads);
    std::atomic<bool> ok { true };
    const FastCopy::Folder folder(target);
    const auto work = [&](int slot) {
        for (int i = next++; i < files.size(); i = next++) {
            const QString &name = files.at(i);
            if (copyFolderFile(join(source, name), join(target, name), overwrite, &found[slot],
                    onCopied, { &folder, name }))
                ++done;
            else
                ok = false;
        }
    };
    FileTree::onThreads(threads, work);
    for (const Failures &some : qAsConst(found)) {
        if (failures)
            *failures += some;
    }
    if (copied)
        *copied += done;
    return ok;
}

} // namespace

bool copyFile(const QString &source, const QString &target, Failures *failures)
{
    const FastCopy::Outcome quick = copyQuickly(source, target, std::nullopt, failures);
    if (quick != FastCopy::Outcome::NotTried)
        return quick == FastCopy::Outcome::Copied;
    return copyByQFile(source, target, failures);
}

bool copyFolder(const QString &source, const QString &target, bool overwrite, Failures *failures,
    int *copied, const CopiedFile &onCopied)
{
    const QDir sourceDir(source);
    if (!sourceDir.exists()) {
        note(failures, source, QCoreApplication::translate("CUpgradeWorker", "文件夹不存在"));
        return false;
    }
    QDir targetDir(target);
    if (!targetDir.exists())
        QDir().mkpath(target);

    // One listing for both kinds, each in the listing's order. An entry that
    // is listed but not found by its own path has a name Qt reads as a path
    // (on Windows a package name with a backslash in it): it would silently
    // be left out, so it refuses the folder like a name that leads outside.
    QStringList folders;
    QStringList files;
    const QFileInfoList entries
        = sourceDir.entryInfoList(QDir::Dirs | QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() || entry.isFile()) {
            (entry.isDir() ? folders : files).append(entry.fileName());
        } else if (!entry.exists() && !entry.isSymLink()) {
            note(failures, entry.filePath(),
                QCoreApplication::translate("CUpgradeWorker", "名称会指向所在文件夹之外"));
            return false;
        }
    }
    // A name that would lead outside the folder refuses the whole folder
    // before anything of it is written.
    for (const QString &name : folders + files) {
        if (!FileTree::isSafeEntryName(name)) {
            note(failures, join(source, name),
                QCoreApplication::translate("CUpgradeWorker", "名称会指向所在文件夹之外"));
            return false;
        }
    }

    bool ok = true;
    for (const QString &name : folders) {
        const QString targetFolder = join(target, name);
        QDir().mkpath(targetFolder);
        if (!copyFolder(join(source, name), targetFolder, overwrite, failures, copied, onCopied))
            ok = false;
    }
    if (!copyFolderFiles(source, target, files, overwrite, failures, copied, onCopied))
        ok = false;
    targetDir.refresh();
    if (!targetDir.exists()) {
        note(failures, target, QCoreApplication::translate("CUpgradeWorker", "无法创建文件夹"));
        return false;
    }
    return ok;
}

bool copyFolderList(const QString &sourceRoot, const QStringList &names, const QString &targetRoot,
    bool overwrite, Failures *failures, int *copied, const CopiedFile &onCopied)
{
    for (const QString &name : names) {
        if (!copyFolder(join(sourceRoot, name), join(targetRoot, name), overwrite, failures, copied,
                onCopied))
            return false;
    }
    return true;
}

} // namespace FolderCopy
