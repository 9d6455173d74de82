#include "LoadedPackage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QResource>

#include "PackageFile.h"
#include "PackageManifest.h"
#include "PackageSignature.h"
#include "RegularFile.h"
#include "UpgradeConstants.h"

#include <system_error>
#include <thread>

namespace {

const uchar *bytes(const QByteArray &data)
{
    return reinterpret_cast<const uchar *>(data.constData());
}

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

SignatureVerdict judgeSignature(const QByteArray &package, const QString &path,
    const PackageSignature::SignatureFile &signatureFile, const QString &trustFolder)
{
    using Result = LoadedPackage::Result;
    const PackageSignature::KeyStore store = trustFolder.isEmpty()
        ? PackageSignature::KeyStore()
        : PackageSignature::loadKeys(trustFolder);
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
        QResource::unregisterResource(bytes(current), mapRoot);
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
    // Told by its size before any of it is read (a sparse file, say).
    if (file.size() > PackageFile::maxFileSize) {
        damage = QStringLiteral("the file holds %1 bytes; a package can hold at most %2 MiB")
                     .arg(file.size())
                     .arg(PackageFile::maxFileSize >> 20);
        return Result::TooLarge;
    }
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        damage = file.errorString();
        return Result::Unreadable;
    }
    file.close();
    // Read right after the package, once; only these bytes are judged.
    signatureFile = PackageSignature::readSignatureFile(path);
    openedPath = path;
    switch (PackageFile::validate(data, &damage)) {
    case PackageFile::Verdict::Damaged:
        return Result::Damaged;
    case PackageFile::Verdict::NotResourceFile:
        return Result::NotResourceFile;
    case PackageFile::Verdict::Valid:
        break;
    }
    current = data;
    QResource::registerResource(bytes(current), mapRoot);
    return Result::Registered;
}

LoadedPackage::Result LoadedPackage::verify()
{
    if (!isRegistered()) {
        damage = QStringLiteral("no package is open");
        return Result::Unreadable;
    }
    // The signature (over all the bytes) is checked on a thread of its own
    // while the files are checked where they lie in the registered bytes; a
    // refused package leaves nothing registered.
    SignatureVerdict trust;
    const auto checkSignature
        = [&] { trust = judgeSignature(current, openedPath, signatureFile, trustFolder); };
    std::thread signatureCheck;
    try {
        signatureCheck = std::thread(checkSignature);
    } catch (const std::system_error &) {
        checkSignature(); // no thread to be had: one after the other
    }
    checkedManifest = PackageManifest::verifyTree(treeRoot());
    if (signatureCheck.joinable())
        signatureCheck.join();

    if (checkedManifest.verdict == PackageManifest::Verdict::Malformed
        || checkedManifest.verdict == PackageManifest::Verdict::Failed) {
        damage = manifestDetail(checkedManifest);
        release();
        return Result::Corrupted;
    }
    damage = trust.detail;
    if (trust.result != Result::Registered) {
        release();
        return trust.result;
    }
    signature = trust.summary;
    return Result::Registered;
}

void LoadedPackage::release()
{
    if (!isRegistered())
        return;
    if (!QResource::unregisterResource(bytes(current), mapRoot))
        retired.append(current);
    current.clear();
}

QString LoadedPackage::message(Result result)
{
    switch (result) {
    case Result::Unreadable:
        return QCoreApplication::translate("MainWindow", "无法读取升级包文件");
    case Result::TooLarge:
        return QCoreApplication::translate("MainWindow", "升级包文件过大");
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
        return {
            tr("升级包文件 %1 过大:超过 %2 MiB").arg(file).arg(PackageFile::maxFileSize >> 20)
        };
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
