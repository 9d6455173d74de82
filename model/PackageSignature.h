#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

#include "Minisign.h"

// Signed packages: a detached minisign signature PACKAGE.rcc.minisig beside the
// package, checked against the vendor's public keys that the installation
// holds in product/common/sysconfig/trusted_keys/*.pub below its main directory.
// The verdict is the check alone; what the installer accepts is its own rule.
namespace PackageSignature {

// mainPath/product/common/sysconfig/trusted_keys
QString trustedKeysFolder(const QString &mainPath);

// packagePath + ".minisig"
QString signaturePath(const QString &packagePath);

struct KeyStore
{
    QVector<Minisign::PublicKey> keys;
    QStringList problems; // one English line per file skipped
};

// The keys of every *.pub file in folder, in name order. A file that cannot be
// read or is no minisign public key is skipped and named in problems; a
// folder that does not exist holds no keys and is no problem.
KeyStore loadKeys(const QString &folder);

// Reads one public key file (also for a single --key of the authors' tool).
bool loadKey(const QString &path, Minisign::PublicKey *key, QString *error);

struct SignatureFile
{
    bool present = false;
    QByteArray bytes;
    QString error; // present but unreadable: why
};

// The signature file beside a package, if there is one.
SignatureFile readSignatureFile(const QString &packagePath);

enum class Verdict {
    Unsigned, // no signature file
    Invalid, // malformed signature file, or a signature that does not verify
    Untrusted, // well-formed, but by a key that is none of the trusted ones
    Valid
};

struct Result
{
    Verdict verdict = Verdict::Unsigned;
    QString keyId; // 16 hex digits, whenever the signature file could be read
    QString trustedComment; // as the file says it; vouched for only when Valid
    QString detail; // for Invalid and Untrusted: why, in English
};

// Checks the package's bytes against its signature file and the trusted keys.
Result verify(const QByteArray &package, const SignatureFile &signature,
    const QVector<Minisign::PublicKey> &keys);

// Whether checking signature against keys needs the package's BLAKE2b-512:
// a well-formed prehashed signature by one of the keys.
bool wantsPrehash(const SignatureFile &signature, const QVector<Minisign::PublicKey> &keys);

// What a signature is checked over when the package is not in memory: its
// BLAKE2b-512 (taken in one pass over the file, when wantsPrehash), and for
// the legacy form, which signs the bytes themselves, the whole package, read
// only then (empty with *error, in English, when it can't or won't be).
struct Message
{
    QByteArray prehash;
    std::function<QByteArray(QString *error)> whole;
};

Result verify(const Message &package, const SignatureFile &signature,
    const QVector<Minisign::PublicKey> &keys);

} // namespace PackageSignature
