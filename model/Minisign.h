#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// The file formats of minisign and the checks of its signatures, done with
// libsodium exactly as minisign does them.
//
// Public key file:  "untrusted comment: ..." line, then base64 of
//                   "Ed" + key id (8) + Ed25519 public key (32).
// Signature file:   "untrusted comment: ..." line, base64 of the algorithm
//                   (2: "ED" signs the BLAKE2b-512 of the file, "Ed" the file
//                   itself) + key id (8) + signature (64), then
//                   "trusted comment: <text>" and base64 of the global
//                   signature (64) over signature + text.
namespace Minisign {

const int keyIdSize = 8;
const int publicKeySize = 32;
const int signatureSize = 64;
const int prehashSize = 64;

// Key id as minisign prints it: the 8 bytes read as a little-endian number,
// upper-case hex digits without leading zeros.
QString keyIdText(const QByteArray &keyId);

struct PublicKey
{
    QByteArray keyId; // 8 bytes as stored
    QByteArray key; // 32 bytes
    QString source; // the file it came from, for messages

    QString keyIdText() const { return Minisign::keyIdText(keyId); }
};

// Reads a public key file; false with *error (English) when it is not one.
bool parsePublicKey(const QByteArray &fileText, PublicKey *key, QString *error);

struct Signature
{
    bool prehashed = true; // "ED"; false: "Ed", the legacy form
    QByteArray keyId; // 8
    QByteArray signature; // 64
    QByteArray untrustedComment; // text after "untrusted comment: "
    QByteArray trustedComment; // text after "trusted comment: ", as signed
    QByteArray globalSignature; // 64
};

// Reads a signature file; false with *error (English) when it is not one.
bool parseSignature(const QByteArray &fileText, Signature *signature, QString *error);

// A signature file as minisign writes it.
QByteArray formatSignature(const Signature &signature);

// False when libsodium cannot start (then nothing here can be checked).
bool cryptoReady();

// BLAKE2b-512 of data, what an "ED" signature signs.
QByteArray prehash(const char *data, qint64 size);

// The same, fed in parts.
class Prehasher
{
public:
    Prehasher();
    ~Prehasher();
    Prehasher(const Prehasher &) = delete;
    Prehasher &operator=(const Prehasher &) = delete;
    void add(const char *data, qint64 size);
    QByteArray result();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Both signatures checked with key over message (the package bytes); a
// prehashed signature needs digest, the BLAKE2b-512 of message, when the
// caller has it already (empty: computed here). False with *error in English.
bool verify(const Signature &signature, const PublicKey &key, const QByteArray &message,
    QString *error, const QByteArray &digest = QByteArray());

} // namespace Minisign
