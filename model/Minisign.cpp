#include "Minisign.h"

#include <QList>

#include <sodium.h>

#ifndef Q_OS_WIN
#include <openssl/evp.h>
#endif

namespace Minisign {

namespace {

const QByteArray untrustedPrefix("untrusted comment: ");
const QByteArray trustedPrefix("trusted comment: ");
const int maxFileSize = 64 * 1024; // minisign's own limit is 8 KiB per comment
const qint64 hashBlock = qint64(16) << 20;

// The lines of a small text file, each without its "\n" or "\r\n".
QList<QByteArray> linesOf(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool decode(const QByteArray &line, int size, QByteArray *out)
{
    const auto decoded
        = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return false;
    *out = decoded.decoded;
    return true;
}

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

} // namespace

QString keyIdText(const QByteArray &keyId)
{
    QByteArray reversed;
    for (int i = keyId.size() - 1; i >= 0; --i)
        reversed.append(keyId.at(i));
    // As minisign writes it: upper-case hex without leading zeros.
    QString text = QString::fromLatin1(reversed.toHex().toUpper());
    while (text.size() > 1 && text.startsWith(QLatin1Char('0')))
        text.remove(0, 1);
    return text;
}

bool parsePublicKey(const QByteArray &fileText, PublicKey *key, QString *error)
{
    if (fileText.size() > maxFileSize)
        return fail(error, QStringLiteral("too large to be a minisign public key"));
    const QList<QByteArray> lines = linesOf(fileText);
    QByteArray raw;
    if (lines.size() < 2 || !lines.at(0).startsWith(untrustedPrefix)
        || !decode(lines.at(1).trimmed(), 2 + keyIdSize + publicKeySize, &raw))
        return fail(error,
            QStringLiteral("not a minisign public key (an \"untrusted comment:\" line, then the "
                           "key in base64)"));
    if (!raw.startsWith("Ed"))
        return fail(error, QStringLiteral("not an Ed25519 minisign public key"));
    key->keyId = raw.mid(2, keyIdSize);
    key->key = raw.mid(2 + keyIdSize);
    return true;
}

bool parseSignature(const QByteArray &fileText, Signature *signature, QString *error)
{
    if (fileText.size() > maxFileSize)
        return fail(error, QStringLiteral("too large to be a minisign signature"));
    const QList<QByteArray> lines = linesOf(fileText);
    if (lines.size() < 4)
        return fail(error, QStringLiteral("not a minisign signature (four lines expected)"));
    if (!lines.at(0).startsWith(untrustedPrefix))
        return fail(error, QStringLiteral("the first line is not an \"untrusted comment:\""));
    QByteArray raw;
    if (!decode(lines.at(1).trimmed(), 2 + keyIdSize + signatureSize, &raw))
        return fail(error, QStringLiteral("the signature line is not a minisign signature"));
    if (!raw.startsWith("ED") && !raw.startsWith("Ed"))
        return fail(error, QStringLiteral("unknown signature algorithm"));
    if (!lines.at(2).startsWith(trustedPrefix))
        return fail(error, QStringLiteral("the third line is not a \"trusted comment:\""));
    Signature parsed;
    if (!decode(lines.at(3).trimmed(), signatureSize, &parsed.globalSignature))
        return fail(error, QStringLiteral("the comment signature line is malformed"));
    parsed.prehashed = raw.startsWith("ED");
    parsed.keyId = raw.mid(2, keyIdSize);
    parsed.signature = raw.mid(2 + keyIdSize);
    parsed.untrustedComment = lines.at(0).mid(untrustedPrefix.size());
    parsed.trustedComment = lines.at(2).mid(trustedPrefix.size());
    *signature = parsed;
    return true;
}

QByteArray formatSignature(const Signature &signature)
{
    const QByteArray raw
        = QByteArray(signature.prehashed ? "ED" : "Ed") + signature.keyId + signature.signature;
    return untrustedPrefix + signature.untrustedComment + '\n' + raw.toBase64() + '\n'
        + trustedPrefix + signature.trustedComment + '\n' + signature.globalSignature.toBase64()
        + '\n';
}

bool cryptoReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// BLAKE2b-512 without a key, as libsodium's generic hash computes it for
// minisign. On Linux OpenSSL's is taken: twice as fast here as libsodium's.
#ifdef Q_OS_WIN
struct Prehasher::State
{
    crypto_generichash_state hash;
};

Prehasher::Prehasher()
    : m_state(new State)
{
    // sodium_init picks the processor's fastest BLAKE2b.
    cryptoReady();
    crypto_generichash_init(&m_state->hash, nullptr, 0, prehashSize);
}

Prehasher::~Prehasher() = default;

void Prehasher::add(const char *data, qint64 size)
{
    for (qint64 done = 0; done < size; done += hashBlock)
        crypto_generichash_update(&m_state->hash,
            reinterpret_cast<const unsigned char *>(data) + done,
            static_cast<unsigned long long>(qMin(hashBlock, size - done)));
}

QByteArray Prehasher::result()
{
    QByteArray digest(prehashSize, '\0');
    crypto_generichash_final(
        &m_state->hash, reinterpret_cast<unsigned char *>(digest.data()), size_t(prehashSize));
    return digest;
}
#else
struct Prehasher::State
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool ok = context && EVP_DigestInit_ex(context, EVP_blake2b512(), nullptr) == 1;
    ~State() { EVP_MD_CTX_free(context); }
};

Prehasher::Prehasher()
    : m_state(new State)
{ }

Prehasher::~Prehasher() = default;

void Prehasher::add(const char *data, qint64 size)
{
    if (m_state->ok && size > 0)
        m_state->ok = EVP_DigestUpdate(m_state->context, data, size_t(size)) == 1;
}

QByteArray Prehasher::result()
{
    QByteArray digest(prehashSize, '\0');
    unsigned int length = 0;
    if (!m_state->ok
        || EVP_DigestFinal_ex(
               m_state->context, reinterpret_cast<unsigned char *>(digest.data()), &length)
            != 1
        || int(length) != prehashSize)
        return QByteArray(); // never matches a signature
    return digest;
}
#endif

QByteArray prehash(const char *data, qint64 size)
{
    Prehasher hash;
    hash.add(data, size);
    return hash.result();
}

bool verify(const Signature &signature, const PublicKey &key, const QByteArray &message,
    QString *error, const QByteArray &digest)
{
    if (!cryptoReady())
        return fail(error, QStringLiteral("the signature library (libsodium) cannot start"));
    if (signature.keyId != key.keyId || signature.signature.size() != signatureSize
        || key.key.size() != publicKeySize)
        return fail(error,
            QStringLiteral("the signature is by key %1, not by key %2")
                .arg(keyIdText(signature.keyId), key.keyIdText()));
    QByteArray signedBytes = message;
    if (signature.prehashed)
        signedBytes
            = digest.size() == prehashSize ? digest : prehash(message.constData(), message.size());
    if (crypto_sign_verify_detached(bytes(signature.signature), bytes(signedBytes),
            static_cast<unsigned long long>(signedBytes.size()), bytes(key.key))
        != 0)
        return fail(error,
            QStringLiteral("the signature does not match the package: it was changed after "
                           "signing"));
    const QByteArray global = signature.signature + signature.trustedComment;
    if (signature.globalSignature.size() != signatureSize
        || crypto_sign_verify_detached(bytes(signature.globalSignature), bytes(global),
               static_cast<unsigned long long>(global.size()), bytes(key.key))
            != 0)
        return fail(error,
            QStringLiteral("the trusted comment does not match its signature: it was changed "
                           "after signing"));
    return true;
}

} // namespace Minisign
