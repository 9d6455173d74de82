#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Signs packages the way minisign does: a prehashed ("ED") Ed25519 signature
// over the BLAKE2b-512 of the package, with a trusted comment, written as
// PACKAGE.rcc.minisig, from a minisign secret key file. Keys made by
// "minisign -G" are protected with a password (scrypt); keys made with
// "minisign -G -W" are not.
namespace PackageSigner {

// Supplies the password of an encrypted key: true with *password, or false
// with *error saying why there is none.
using PasswordSource = std::function<bool(QByteArray *password, QString *error)>;

// The environment variable MINISIGN_PASSWORD, else a prompt on the terminal
// without echo; none when neither is there.
PasswordSource environmentOrTerminal();

struct SecretKey
{
    QByteArray keyId; // 8 bytes
    QByteArray secretKey; // 64 bytes: seed and public key
    ~SecretKey(); // wipes both
};

// Reads a minisign secret key file, asking password for the password only
// when the key is encrypted. False with *error (English): not a key, wrong
// password, no password to be had, damaged key.
bool loadSecretKey(
    const QByteArray &fileText, const PasswordSource &password, SecretKey *key, QString *error);

// minisign's trusted comment for a prehashed signature:
// "timestamp:<unix time>\tfile:<name>\thashed".
QString defaultTrustedComment(const QString &fileName);

// The signature file for data. False with *error when the comment cannot be
// carried (a line break, longer than minisign reads).
bool sign(const QByteArray &data, const SecretKey &key, const QString &trustedComment,
    QByteArray *signatureFile, QString *error);

// Signs the package file and writes packagePath + ".minisig" (replacing an
// earlier one only once the new one is complete); the signature is checked
// with the key's public half before it is written.
bool signFile(const QString &packagePath, const QString &secretKeyPath,
    const QString &trustedComment, const PasswordSource &password, QString *error);

} // namespace PackageSigner
