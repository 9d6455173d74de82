#include "PackageSignature.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "RegularFile.h"

namespace PackageSignature {

namespace {

// Larger than any key or signature file minisign writes, small enough to read whole.
const qint64 maxSmallFile = 64 * 1024;

bool readSmallFile(const QString &path, QByteArray *bytes, QString *error)
{
    QFile file;
    if (RegularFile::openForReading(path, &file, error) != RegularFile::Refusal::None)
        return false;
    *bytes = file.read(maxSmallFile + 1);
    if (bytes->size() > maxSmallFile) {
        *error = QStringLiteral("it is larger than %1 KiB").arg(maxSmallFile / 1024);
        return false;
    }
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return false;
    }
    return true;
}

Result invalid(const QString &detail)
{
    Result result;
    result.verdict = Verdict::Invalid;
    result.detail = detail;
    return result;
}

} // namespace

QString trustedKeysFolder(const QString &mainPath)
{
    return QDir(mainPath).filePath(QStringLiteral("product/common/sysconfig/trusted_keys"));
}

QString signaturePath(const QString &packagePath)
{
    return packagePath + QStringLiteral(".minisig");
}

bool loadKey(const QString &path, Minisign::PublicKey *key, QString *error)
{
    QByteArray bytes;
    QString reason;
    if (!readSmallFile(path, &bytes, &reason) || !Minisign::parsePublicKey(bytes, key, &reason)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), reason);
        return false;
    }
    key->source = path;
    return true;
}

KeyStore loadKeys(const QString &folder)
{
    KeyStore store;
    const QDir dir(folder);
    if (!QFileInfo(folder).exists())
        return store;
    if (!QFileInfo(folder).isDir() || !dir.isReadable()) {
        store.problems.append(QStringLiteral("%1: the key folder cannot be read")
                                  .arg(QDir::toNativeSeparators(folder)));
        return store;
    }
    const QFileInfoList files = dir.entryInfoList(QStringList(QStringLiteral("*.pub")),
        QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &file : files) {
        Minisign::PublicKey key;
        QString error;
        if (loadKey(file.filePath(), &key, &error))
            store.keys.append(key);
        else
            store.problems.append(error);
    }
    return store;
}

SignatureFile readSignatureFile(const QString &packagePath)
{
    SignatureFile signature;
    const QString path = signaturePath(packagePath);
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return signature;
    signature.present = true;
    QString reason;
    if (!readSmallFile(path, &signature.bytes, &reason))
        signature.error = QStringLiteral("the signature file %1 cannot be read: %2")
                              .arg(QDir::toNativeSeparators(path), reason);
    return signature;
}

Result verify(const QByteArray &package, const SignatureFile &signatureFile,
    const QVector<Minisign::PublicKey> &keys)
{
    Message message;
    if (wantsPrehash(signatureFile, keys))
        message.prehash = Minisign::prehash(package.constData(), package.size());
    message.whole = [&package](QString *) { return package; };
    return verify(message, signatureFile, keys);
}

bool wantsPrehash(const SignatureFile &signatureFile, const QVector<Minisign::PublicKey> &keys)
{
    Minisign::Signature signature;
    if (!signatureFile.present || !signatureFile.error.isEmpty()
        || !Minisign::parseSignature(signatureFile.bytes, &signature, nullptr)
        || !signature.prehashed)
        return false;
    for (const Minisign::PublicKey &key : keys) {
        if (key.keyId == signature.keyId)
            return true;
    }
    return false;
}

Result verify(const Message &package, const SignatureFile &signatureFile,
    const QVector<Minisign::PublicKey> &keys)
{
    if (!signatureFile.present)
        return Result();
    if (!signatureFile.error.isEmpty())
        return invalid(signatureFile.error);
    Minisign::Signature signature;
    QString reason;
    if (!Minisign::parseSignature(signatureFile.bytes, &signature, &reason))
        return invalid(QStringLiteral("the signature file is malformed: %1").arg(reason));

    Result result;
    result.keyId = Minisign::keyIdText(signature.keyId);
    result.trustedComment = QString::fromUtf8(signature.trustedComment);
    result.verdict = Verdict::Untrusted;
    result.detail
        = QStringLiteral("signed with key %1, which is none of the trusted keys").arg(result.keyId);
    QByteArray whole;
    for (const Minisign::PublicKey &key : keys) {
        if (key.keyId != signature.keyId)
            continue;
        if (!signature.prehashed && whole.isEmpty() && package.whole) {
            whole = package.whole(&reason);
            if (whole.isEmpty())
                return invalid(reason);
        }
        if (Minisign::verify(signature, key, whole, &reason, package.prehash)) {
            result.verdict = Verdict::Valid;
            result.detail.clear();
            return result;
        }
        result.verdict = Verdict::Invalid;
        result.detail = reason;
    }
    return result;
}

} // namespace PackageSignature
