#include "PackageTool.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QVector>

#include <algorithm>

#include "LoadedPackage.h"
#include "Minisign.h"
#include "PackageBuilder.h"
#include "PackageDiff.h"
#include "PackageExtraction.h"
#include "PackageManifest.h"
#include "PackageSignature.h"
#include "PackageSigner.h"
#include "RecordLayout.h"

namespace PackageTool {

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// A package file read once and, once its structure is checked, registered
// under a map root of its own, as the installer reads it (LoadedPackage).
class OpenPackage
{
public:
    // Reads the file and checks its structure; an exit code other than
    // Success with the reason on err.
    int load(const QString &path, QTextStream &err);
    const LoadedPackage &package() const { return m_package; }
    // ":/<map root>/", where the package's tree "upgrade" lies.
    QString base() const { return QLatin1Char(':') + mapRoot() + QLatin1Char('/'); }
    QString root() const { return m_package.treeRoot(); }

private:
    static QString mapRoot() { return QStringLiteral("/make-upgrade-package"); }

    LoadedPackage m_package;
};

int OpenPackage::load(const QString &path, QTextStream &err)
{
    m_package.setMapRoot(mapRoot());
    const bool folder = QFileInfo(path).isDir();
    const LoadedPackage::Result opened
        = folder ? LoadedPackage::Result::Unreadable : m_package.open(path);
    switch (opened) {
    case LoadedPackage::Result::Registered:
        break;
    case LoadedPackage::Result::TooLarge:
        err << shown(path) << ": " << m_package.detail() << '\n';
        return StructureFailed;
    case LoadedPackage::Result::Damaged:
    case LoadedPackage::Result::NotResourceFile:
        err << "structure: " << shown(path) << ": " << m_package.detail() << '\n';
        return StructureFailed;
    default:
        err << "cannot read " << shown(path) << ": "
            << (folder ? QStringLiteral("it is a folder") : m_package.detail()) << '\n';
        return Failure;
    }
    if (!QFileInfo(root()).isDir()) {
        err << "structure: " << shown(path) << " holds no folder \"upgrade\"\n";
        return StructureFailed;
    }
    return Success;
}

// Public keys from files and from folders of *.pub files (a trusted_keys
// folder). False when a file given by name cannot be used.
bool loadKeys(const QStringList &paths, QVector<Minisign::PublicKey> *keys, QTextStream &err)
{
    for (const QString &path : paths) {
        if (QFileInfo(path).isDir()) {
            const PackageSignature::KeyStore store = PackageSignature::loadKeys(path);
            for (const QString &problem : store.problems)
                err << "warning: key skipped: " << problem << '\n';
            if (store.keys.isEmpty())
                err << "warning: " << shown(path) << " holds no usable key (*.pub)\n";
            *keys += store.keys;
            continue;
        }
        Minisign::PublicKey key;
        QString error;
        if (!PackageSignature::loadKey(path, &key, &error)) {
            err << "cannot use the key " << error << '\n';
            return false;
        }
        keys->append(key);
    }
    return true;
}

QString signatureText(const PackageSignature::Result &result, bool keysGiven)
{
    using PackageSignature::Verdict;
    const QString signer = QStringLiteral("key ID %1, trusted comment \"%2\"")
                               .arg(result.keyId, result.trustedComment);
    switch (result.verdict) {
    case Verdict::Unsigned:
        return keysGiven ? QStringLiteral("FAILED: the package is not signed")
                         : QStringLiteral("unsigned");
    case Verdict::Invalid:
        return QStringLiteral("FAILED: %1").arg(result.detail);
    case Verdict::Untrusted:
        return keysGiven ? QStringLiteral("FAILED: %1, none of the given keys").arg(signer)
                         : QStringLiteral("%1, not checked (give --key)").arg(signer);
    case Verdict::Valid:
        return QStringLiteral("valid, %1").arg(signer);
    }
    return QString();
}

bool signatureFails(const PackageSignature::Result &result, bool keysGiven)
{
    using PackageSignature::Verdict;
    return result.verdict == Verdict::Invalid || (keysGiven && result.verdict != Verdict::Valid);
}

QString manifestText(const PackageManifest::Result &result)
{
    using PackageManifest::Verdict;
    switch (result.verdict) {
    case Verdict::NoManifest:
        return QStringLiteral("absent (a package from before manifests)");
    case Verdict::Malformed:
        return QStringLiteral("FAILED: %1").arg(result.detail());
    case Verdict::Failed:
        return QStringLiteral("FAILED: %1 files listed, %2 problems")
            .arg(result.fileCount)
            .arg(result.problems.size());
    case Verdict::Verified:
        return QStringLiteral("present, %1 files, all match").arg(result.fileCount);
    }
    return QString();
}

bool manifestFails(const PackageManifest::Result &result)
{
    return result.verdict == PackageManifest::Verdict::Malformed
        || result.verdict == PackageManifest::Verdict::Failed;
}

void printProblems(const PackageManifest::Result &result, QTextStream &out)
{
    for (const PackageManifest::Problem &problem : result.problems)
        out << "  " << problem.text() << '\n';
}

PackageSignature::Result checkSignature(
    const QString &package, const OpenPackage &open, const QVector<Minisign::PublicKey> &keys)
{
    Q_UNUSED(package) // its signature file was read when it was opened
    return open.package().checkSignature(keys);
}

} // namespace

int build(const QString &sourceDir, const QString &output, const QString &secretKey,
    const QString &trustedComment, bool commentGiven, Streams io)
{
    QString error;
    if (!PackageBuilder::build(sourceDir, output, &error)) {
        io.err << "make_upgrade_package: " << error << '\n';
        return Failure;
    }
    io.out << "wrote " << shown(output) << '\n';
    // A signature beside the output signed the package that was just replaced.
    const QString signature = PackageSignature::signaturePath(output);
    if (QFileInfo::exists(signature) || QFileInfo(signature).isSymLink()) {
        if (!QFile::remove(signature)) {
            io.err << "make_upgrade_package: " << shown(signature)
                   << " signs the earlier package and could not be removed; remove it, then "
                      "sign the new package\n";
            return Failure;
        }
        io.out << "removed " << shown(signature) << ", which signed the earlier package\n";
    }
    if (!secretKey.isEmpty())
        return sign(output, secretKey, trustedComment, commentGiven, io);
    return Success;
}

int list(const QString &package, Streams io)
{
    OpenPackage open;
    const int loaded = open.load(package, io.err);
    if (loaded != Success)
        return loaded;
    QStringList lines;
    qint64 files = 0, bytes = 0;
    const QString base = open.base();
    QDirIterator it(open.root(),
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next().mid(base.size());
        if (it.fileInfo().isDir()) {
            lines.append(path + QLatin1Char('/'));
            continue;
        }
        ++files;
        bytes += it.fileInfo().size();
        lines.append(path + QLatin1Char('\t') + QString::number(it.fileInfo().size()));
    }
    std::sort(lines.begin(), lines.end());
    io.out << QString(12, QLatin1Char(' ')) << "upgrade/\n";
    for (const QString &line : qAsConst(lines)) {
        const QString size = line.section(QLatin1Char('\t'), 1);
        io.out << size.rightJustified(10) << "  " << line.section(QLatin1Char('\t'), 0, 0) << '\n';
    }
    io.out << files << " files, " << bytes << " bytes\n";
    return Success;
}

// Reads the trusted keys, then the package: Success, or the exit code with
// the reason on err.
int openWithKeys(const QString &package, const QStringList &keyPaths, QTextStream &err,
    QVector<Minisign::PublicKey> *keys, OpenPackage *open)
{
    if (!loadKeys(keyPaths, keys, err))
        return Failure;
    return open->load(package, err);
}

int info(const QString &package, const QStringList &keyPaths, Streams io)
{
    QVector<Minisign::PublicKey> keys;
    OpenPackage open;
    const int opened = openWithKeys(package, keyPaths, io.err, &keys, &open);
    if (opened != Success)
        return opened;
    io.out << "package:    " << shown(package) << " (" << open.package().size() << " bytes)\n";
    RecordLayout::Entries entries;
    const bool readable
        = RecordLayout::readFile(open.root() + QStringLiteral("/upgrade_config.xml"), &entries)
        == RecordLayout::ReadResult::Ok;
    io.out << "descriptor:" << (readable ? QString() : QStringLiteral(" unreadable")) << '\n';
    QStringList keysOfDescriptor = entries.keys();
    keysOfDescriptor.sort();
    for (const QString &key : qAsConst(keysOfDescriptor))
        io.out << "  " << key << " = " << entries.value(key) << '\n';
    const QFileInfo readme(open.root() + QStringLiteral("/readme.txt"));
    io.out << "readme:     "
           << (readme.isFile() ? QStringLiteral("%1 bytes").arg(readme.size())
                               : QStringLiteral("none"))
           << '\n';
    const PackageManifest::Result manifest = PackageManifest::verifyTree(open.root());
    io.out << "manifest:   " << manifestText(manifest) << '\n';
    printProblems(manifest, io.out);
    io.out << "signature:  "
           << signatureText(checkSignature(package, open, keys), !keyPaths.isEmpty()) << '\n';
    return Success;
}

int verify(const QString &package, const QStringList &keyPaths, Streams io)
{
    QVector<Minisign::PublicKey> keys;
    OpenPackage open;
    const int opened = openWithKeys(package, keyPaths, io.err, &keys, &open);
    if (opened != Success)
        return opened;
    io.out << "structure: ok\n";
    const PackageManifest::Result manifest = PackageManifest::verifyTree(open.root());
    io.out << "hashes:    " << manifestText(manifest) << '\n';
    printProblems(manifest, io.out);
    const PackageSignature::Result signature = checkSignature(package, open, keys);
    io.out << "signature: " << signatureText(signature, !keyPaths.isEmpty()) << '\n';
    if (manifestFails(manifest))
        return HashesFailed;
    return signatureFails(signature, !keyPaths.isEmpty()) ? SignatureFailed : Success;
}

namespace {

// The checks of verify on an open package, silent when it passes: Success, or
// the exit code with what failed on err.
int checkForUse(const OpenPackage &open, const QVector<Minisign::PublicKey> &keys, bool keysGiven,
    QTextStream &err)
{
    const PackageManifest::Result manifest = PackageManifest::verifyTree(open.root());
    if (manifestFails(manifest)) {
        err << "hashes: " << manifestText(manifest) << '\n';
        printProblems(manifest, err);
        return HashesFailed;
    }
    const PackageSignature::Result signature = open.package().checkSignature(keys);
    if (signatureFails(signature, keysGiven)) {
        err << "signature: " << signatureText(signature, keysGiven) << '\n';
        return SignatureFailed;
    }
    return Success;
}

int extractionCode(PackageExtraction::Failure failure)
{
    using PackageExtraction::Failure;
    switch (failure) {
    case Failure::None:
        return Success;
    case Failure::Mismatch:
    case Failure::PackageChanged:
        return HashesFailed;
    case Failure::NotEmpty:
    case Failure::NoParent:
    case Failure::CannotWrite:
        break;
    }
    return PackageTool::Failure;
}

} // namespace

int extract(const QString &package, const QString &folder, const QStringList &keyPaths, Streams io)
{
    QVector<Minisign::PublicKey> keys;
    OpenPackage open;
    int code = openWithKeys(package, keyPaths, io.err, &keys, &open);
    if (code == Success)
        code = checkForUse(open, keys, !keyPaths.isEmpty(), io.err);
    if (code != Success)
        return code;
    const PackageExtraction::Result result = PackageExtraction::extract(open.root(), folder);
    code = extractionCode(result.failure);
    using PackageExtraction::Failure;
    if (result.failure == Failure::NotEmpty || result.failure == Failure::NoParent)
        io.err << "make_upgrade_package: " << result.detail << '\n';
    else if (code != Success)
        io.err << "make_upgrade_package: extraction failed: " << result.detail
               << "; nothing written was left in " << shown(folder) << '\n';
    else
        io.out << "extracted " << result.files << " files into " << shown(folder) << '\n';
    return code;
}

int sign(const QString &package, const QString &secretKey, const QString &trustedComment,
    bool commentGiven, Streams io)
{
    {
        // Only a sound package gets a signature.
        OpenPackage open;
        const int loaded = open.load(package, io.err);
        if (loaded != Success)
            return loaded;
        const PackageManifest::Result manifest = PackageManifest::verifyTree(open.root());
        if (manifestFails(manifest)) {
            io.err << "hashes: " << manifestText(manifest) << '\n';
            printProblems(manifest, io.err);
            return HashesFailed;
        }
    }
    const QString comment = commentGiven
        ? trustedComment
        : PackageSigner::defaultTrustedComment(QFileInfo(package).fileName());
    QString error;
    if (!PackageSigner::signFile(
            package, secretKey, comment, PackageSigner::environmentOrTerminal(), &error)) {
        io.err << "make_upgrade_package: " << error << '\n';
        return Failure;
    }
    io.out << "wrote " << shown(PackageSignature::signaturePath(package)) << '\n';
    return Success;
}

int diff(const QString &oldDir, const QString &newDir, const QString &outDir, Streams io)
{
    PackageDiff::Summary summary;
    QString error;
    if (!PackageDiff::layout(oldDir, newDir, outDir, &summary, &error)) {
        io.err << "make_upgrade_package: " << error << '\n';
        return Failure;
    }
    for (const QString &path : qAsConst(summary.deleted))
        io.out << "delete  " << path << '\n';
    for (const QString &path : qAsConst(summary.updated))
        io.out << "update  " << path << '\n';
    for (const QString &path : qAsConst(summary.added))
        io.out << "add     " << path << '\n';
    for (const QString &note : qAsConst(summary.notes))
        io.err << "note: " << note << '\n';
    io.out << "wrote " << shown(outDir) << ": " << summary.deleted.size() << " to delete, "
           << summary.updated.size() << " to update, " << summary.added.size()
           << " to add. Fill in " << shown(outDir + QStringLiteral("/upgrade/upgrade_config.xml"))
           << ", review the tree, then build it.\n";
    return Success;
}

} // namespace PackageTool
