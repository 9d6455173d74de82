#include "LoadedPackage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QResource>

#include "PackageFile.h"
#include "PackageImage.h"
#include "PackageManifest.h"
#include "PackagePass.h"
#include "PackageSignature.h"
#include "RegularFile.h"
#include "UpgradeConstants.h"

namespace {

// A legacy minisign signature signs the file's bytes themselves, which are
// then checked with the whole file in memory: done for packages up to this
// size, the others are refused (minisign signs prehashed by default).
const qint64 legacySignatureLimit = qint64(64) << 20;

// The manifest's problems for a person: the first few, then how many more.
QString manifestDetail(const PackageManifest::Result &result)
{
    if (result.verdict != PackageManifest::Verdict::Failed)
        return result.detail();
    const int shown = 5;
    QStringList lines;
    for (int i = 0; i < result.problems.size() && i < shown; ++i)
        lines << result.problems.at(i).text();
    if (result.problems.size() > shown)
        lines << QStringLiteral("and %1 more").arg(result.problems.size() - shown);
    return lines.join(QStringLiteral("; "));
}

// A trusted comment as one line of text (minisign's default holds tabs).
QString commentText(const QString &comment)
{
    QString text = comment;
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return text.simplified();
}

// The signature's verdict on the package's bytes: Registered when the
// package may be used, with the operator's summary, or the refusal with its
// reason in English.
struct SignatureVerdict
{
    LoadedPackage::Result result = LoadedPackage::Result::Registered;
    QString summary;
    QString detail;
};

SignatureVerdict judgeSignature(const PackageSignature::Message &package, const QString &path,
    const PackageSignature::SignatureFile &signatureFile, const PackageSignature::KeyStore &store)
{
    using Result = LoadedPackage::Result;
    // Key files that are there but unusable still mean that the installation
    // wants signed packages: it accepts none until a key can be read.
    const bool trustWanted = !store.keys.isEmpty() || !store.problems.isEmpty();
    const QString keyProblems = store.keys.isEmpty() && !store.problems.isEmpty()
        ? QStringLiteral("; no usable trusted key: ") + store.problems.join(QStringLiteral("; "))
        : QString();
    const PackageSignature::Result checked
        = PackageSignature::verify(package, signatureFile, store.keys);
    const QString comment = commentText(checked.trustedComment);

    SignatureVerdict verdict;
    if (!trustWanted) {
        // Without a trusted key a signature can vouch for nothing; it is
        // shown for what it says, and a broken one is no worse than none.
        if (!signatureFile.present) {
            verdict.summary = QCoreApplication::translate("MainWindow", "升级包未签名");
        } else if (checked.verdict == PackageSignature::Verdict::Invalid) {
            verdict.summary
                = QCoreApplication::translate("MainWindow", "升级包签名文件有误,未核验");
            verdict.detail = checked.detail;
        } else {
            verdict.summary = QCoreApplication::translate(
                "MainWindow", "签名:%1(密钥%2,本机没有受信任的密钥,未核验)")
                                  .arg(comment, checked.keyId);
        }
        return verdict;
    }

    switch (checked.verdict) {
    case PackageSignature::Verdict::Valid:
        verdict.summary = QCoreApplication::translate("MainWindow", "签名:%1(密钥%2)")
                              .arg(comment, checked.keyId);
        break;
    case PackageSignature::Verdict::Unsigned:
        verdict.result = Result::Unsigned;
        verdict.detail = QStringLiteral("no signature file %1")
                             .arg(QDir::toNativeSeparators(PackageSignature::signaturePath(path)))
            + keyProblems;
        break;
    case PackageSignature::Verdict::Invalid:
        verdict.result = Result::BadSignature;
        verdict.detail = checked.detail;
        break;
    case PackageSignature::Verdict::Untrusted:
        verdict.result = Result::UntrustedSigner;
        verdict.detail = checked.detail + keyProblems;
        break;
    }
    return verdict;
}

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

QString nativeAbsolute(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

// A file of the package that differs from its manifest, for the operator.
QString manifestProblem(const PackageManifest::Problem &problem)
{
    switch (problem.kind) {
    case PackageManifest::ProblemKind::Mismatch:
        return tr("文件 %1 与升级包清单不符").arg(problem.path);
    case PackageManifest::ProblemKind::Missing:
        return tr("文件 %1 列在升级包清单中,但升级包中没有").arg(problem.path);
    case PackageManifest::ProblemKind::Extra:
        return tr("文件 %1 不在升级包清单中").arg(problem.path);
    case PackageManifest::ProblemKind::Unreadable:
        break;
    }
    return tr("文件 %1 无法读取").arg(problem.path);
}

QStringList manifestProblems(const PackageManifest::Result &manifest)
{
    if (manifest.verdict == PackageManifest::Verdict::Malformed)
        return { tr("升级包清单 %1 无法读取或格式有误").arg(PackageManifest::fileName()) };
    const int shown = 5;
    QStringList lines;
    for (int i = 0; i < manifest.problems.size() && i < shown; ++i)
        lines << manifestProblem(manifest.problems.at(i));
    if (manifest.problems.size() > shown)
        lines << tr("……另有%1个文件与升级包清单不符").arg(manifest.problems.size() - shown);
    return lines;
}

} // namespace

LoadedPackage::~LoadedPackage()
{
    if (isRegistered())
        QResource::unregisterResource(current->data(), mapRoot);
}

void LoadedPackage::setMapRoot(const QString &root)
{
    release();
    mapRoot = root;
}

QString LoadedPackage::treeRoot() const
{
    return QLatin1Char(':') + mapRoot + QLatin1Char('/') + UpgradeConstants::packageFolderName();
}

qint64 LoadedPackage::size() const
{
    return current ? current->size() : 0;
}

LoadedPackage::Result LoadedPackage::load(const QString &path)
{
    const Result opened = open(path);
    return opened == Result::Registered ? verify() : opened;
}

LoadedPackage::Result LoadedPackage::open(const QString &path)
{
    release();
    damage.clear();
    signature.clear();
    checkedManifest = PackageManifest::Result();
    QFile file;
    if (RegularFile::openForReading(path, &file, &damage) != RegularFile::Refusal::None)
        return Result::Unreadable;
    const qint64 size = file.size();
    file.close();
    // Told by its size before any of it is read (a sparse file, say).
    std::shared_ptr<PackageImage> image;
    if (size <= PackageFile::maxFileSize) {
        image = PackageImage::open(path, &damage);
        if (!image)
            return Result::Unreadable;
    }
    if (!image || image->size() > PackageFile::maxFileSize) {
        damage = QStringLiteral("the file holds %1 bytes; a package can hold at most %2")
                     .arg(image ? image->size() : size)
                     .arg(PackageFile::maxFileSizeText());
        return Result::TooLarge;
    }
    // Read right after the package is opened, once; checked with it.
    signatureFile = PackageSignature::readSignatureFile(path);
    openedPath = path;
    const PackageFile::Verdict structure = PackageFile::validate(image->data(), image->size(),
        &damage, [&image](qint64 offset, qint64 length) { image->pin(offset, length); });
    image->seal();
    switch (structure) {
    case PackageFile::Verdict::Damaged:
        return Result::Damaged;
    case PackageFile::Verdict::OutOfReach: // Qt 5 would read outside the file
        return Result::TooLarge;
    case PackageFile::Verdict::NotResourceFile:
        return Result::NotResourceFile;
    case PackageFile::Verdict::Valid:
        break;
    }
    current = image;
    QResource::registerResource(current->data(), mapRoot);
    current->setMapRoot(mapRoot.isNull() ? QStringLiteral("") : mapRoot);
    return Result::Registered;
}

// What the signature is checked over: the prehash from the pass when there
// was one, else one pass of its own when asked for; a legacy signature's
// whole file from the file.
PackageSignature::Message LoadedPackage::message(bool prehash, QString *error) const
{
    PackageSignature::Message checked;
    PackagePass::Digests digests;
    if (prehash && PackagePass::run(*current, {}, true, &digests, error))
        checked.prehash = digests.prehash;
    const std::shared_ptr<PackageImage> image = current;
    checked.whole = [image](QString *why) {
        if (image->size() > legacySignatureLimit) {
            *why = QStringLiteral("the package is signed in minisign's legacy form, which signs "
                                  "the whole file and is checked with all of it in memory; that "
                                  "is done for packages up to %1 MiB, this one has %2 MiB: sign "
                                  "it in minisign's default (prehashed) form")
                       .arg(legacySignatureLimit >> 20)
                       .arg(image->size() >> 20);
            return QByteArray();
        }
        QByteArray bytes(int(image->size()), Qt::Uninitialized);
        if (!image->read(0, bytes.data(), image->size(), why))
            return QByteArray();
        return bytes;
    };
    return checked;
}

LoadedPackage::Result LoadedPackage::verify()
{
    if (!isRegistered()) {
        damage = QStringLiteral("no package is open");
        return Result::Unreadable;
    }
    const PackageSignature::KeyStore store = trustFolder.isEmpty()
        ? PackageSignature::KeyStore()
        : PackageSignature::loadKeys(trustFolder);
    // The manifest's files and the signature's hash in one pass over the
    // file; a package without a manifest is read for the signature alone.
    const bool prehash = PackageSignature::wantsPrehash(signatureFile, store.keys);
    QByteArray prehashed;
    const auto hashSpans = [&](const QVector<PackageManifest::Span> &spans,
                               QVector<QByteArray> *digests, QString *error) {
        PackagePass::Digests taken;
        if (!PackagePass::run(*current, spans, prehash, &taken, error))
            return false;
        *digests = taken.spans;
        prehashed = taken.prehash;
        return true;
    };
    checkedManifest
        = PackageManifest::verifyTree(treeRoot(), current->data(), current->size(), hashSpans);
    if (checkedManifest.verdict == PackageManifest::Verdict::Malformed
        || checkedManifest.verdict == PackageManifest::Verdict::Failed) {
        damage = manifestDetail(checkedManifest);
        release();
        return Result::Corrupted;
    }
    QString unread;
    PackageSignature::Message checked = message(prehash && prehashed.isEmpty(), &unread);
    if (!prehashed.isEmpty())
        checked.prehash = prehashed;
    const SignatureVerdict trust = judgeSignature(checked, openedPath, signatureFile, store);
    damage = trust.detail;
    if (trust.result != Result::Registered) {
        if (!unread.isEmpty() && trust.result == Result::BadSignature)
            damage = unread;
        release();
        return trust.result;
    }
    signature = trust.summary;
    return Result::Registered;
}

PackageSignature::Result LoadedPackage::checkSignature(
    const QVector<Minisign::PublicKey> &keys) const
{
    if (!current)
        return PackageSignature::Result();
    QString unread;
    PackageSignature::Message checked
        = message(PackageSignature::wantsPrehash(signatureFile, keys), &unread);
    PackageSignature::Result result = PackageSignature::verify(checked, signatureFile, keys);
    if (result.verdict == PackageSignature::Verdict::Invalid && !unread.isEmpty())
        result.detail = unread;
    return result;
}

void LoadedPackage::release()
{
    if (!isRegistered())
        return;
    current->setMapRoot(QString());
    if (!QResource::unregisterResource(current->data(), mapRoot))
        retired.append(current);
    current.reset();
}
QString LoadedPackage::message(Result result)
{
    switch (result) {
    case Result::Unreadable:
        return QCoreApplication::translate("MainWindow", "无法读取升级包文件");
    case Result::TooLarge:
        return QCoreApplication::translate("MainWindow", "升级包过大");
    case Result::Damaged:
    case Result::Corrupted:
        return QCoreApplication::translate("MainWindow", "升级包文件已损坏");
    case Result::Unsigned:
        return QCoreApplication::translate("MainWindow", "升级包未签名");
    case Result::BadSignature:
        return QCoreApplication::translate("MainWindow", "升级包签名无效");
    case Result::UntrustedSigner:
        return QCoreApplication::translate("MainWindow", "升级包签名者不受信任");
    case Result::Registered:
    case Result::NotResourceFile:
        break;
    }
    return QString();
}

QStringList LoadedPackage::problems(
    Result result, const QString &path, const PackageManifest::Result &manifest)
{
    const QString file = nativeAbsolute(path);
    const QString signatureFile = nativeAbsolute(PackageSignature::signaturePath(path));
    switch (result) {
    case Result::Unreadable:
        return { tr("无法读取升级包文件 %1").arg(file) };
    case Result::TooLarge:
        return { tr("升级包文件 %1 过大:升级包最大为 %2 GiB")
                     .arg(file)
                     .arg((PackageFile::maxDataReach + 1) >> 30) };
    case Result::Damaged:
        return { tr("升级包文件 %1 已损坏:文件结构有误").arg(file) };
    case Result::Corrupted:
        return manifestProblems(manifest);
    case Result::Unsigned:
        return { tr("缺少升级包的签名文件 %1").arg(signatureFile) };
    case Result::BadSignature:
        return { tr("签名文件 %1 有误或与升级包不符").arg(signatureFile) };
    case Result::UntrustedSigner:
        return { tr("签名文件 %1 的签名密钥不受本机信任").arg(signatureFile) };
    case Result::Registered:
    case Result::NotResourceFile:
        break;
    }
    return {};
}

QString LoadedPackage::baseName(const QString &path)
{
    return QFileInfo(path).fileName().split(QLatin1Char('.'), Qt::KeepEmptyParts).first();
}
