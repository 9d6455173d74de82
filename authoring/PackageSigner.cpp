#include "PackageSigner.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sodium.h>

#include <limits>

#include "Minisign.h"
#include "PackageSignature.h"

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

// Layout of a minisign secret key (after base64), all numbers little-endian:
//   signature algorithm "Ed" (2), key derivation "Sc" for scrypt or two zero
//   bytes for none (2), checksum algorithm "B2" (2), salt (32), scrypt
//   operations (8) and memory (8) limits, then key id (8), secret key (64) and
//   checksum (32), the last three XORed with the scrypt output when encrypted.
//   The checksum is BLAKE2b-256 over algorithm, key id and secret key;
//   minisign leaves it zero in an unencrypted key.
namespace PackageSigner {

namespace {

const int saltSize = 32;
const int checksumSize = 32;
const int secretKeySize = 64;
const int protectedSize = Minisign::keyIdSize + secretKeySize + checksumSize;
const int keyFileSize = 2 + 2 + 2 + saltSize + 8 + 8 + protectedSize;
const int maxCommentBytes = 8000; // minisign reads up to 8 KiB with the prefix
const quint64 maxScryptMemory = quint64(8) << 30;

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

quint64 littleEndian64(const QByteArray &bytes, int at)
{
    quint64 value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | uchar(bytes.at(at + i));
    return value;
}

unsigned char *writable(QByteArray &bytes)
{
    return reinterpret_cast<unsigned char *>(bytes.data());
}

const unsigned char *readable(const QByteArray &bytes)
{
    return reinterpret_cast<const unsigned char *>(bytes.constData());
}

void wipe(QByteArray &bytes)
{
    if (!bytes.isEmpty())
        sodium_memzero(bytes.data(), size_t(bytes.size()));
}

QByteArray checksum(const QByteArray &keyId, const QByteArray &secret)
{
    const QByteArray input = QByteArray("Ed") + keyId + secret;
    QByteArray sum(checksumSize, '\0');
    crypto_generichash(writable(sum), checksumSize, readable(input),
        static_cast<unsigned long long>(input.size()), nullptr, 0);
    return sum;
}

// XORs the protected part of a key with the stream scrypt derives from the
// password.
bool decrypt(const QByteArray &raw, QByteArray *part, const QByteArray &password, QString *error)
{
    const quint64 operations = littleEndian64(raw, 38);
    const quint64 memory = littleEndian64(raw, 46);
    if (memory > maxScryptMemory || memory > std::numeric_limits<size_t>::max())
        return fail(error,
            QStringLiteral("the secret key asks for %1 MiB to derive its password, far more "
                           "than minisign uses; is it damaged?")
                .arg(memory >> 20));
    QByteArray stream(protectedSize, '\0');
    if (crypto_pwhash_scryptsalsa208sha256(writable(stream), size_t(protectedSize),
            password.constData(), static_cast<unsigned long long>(password.size()),
            readable(raw) + 6, static_cast<unsigned long long>(operations), size_t(memory))
        != 0)
        return fail(error,
            QStringLiteral("the key could not be derived from the password (out of memory?)"));
    for (int i = 0; i < protectedSize; ++i)
        (*part)[i] = char((*part)[i] ^ stream[i]);
    wipe(stream);
    return true;
}

#ifdef Q_OS_UNIX
bool askOnTerminal(QByteArray *password, QString *error)
{
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fail(error, QStringLiteral("no terminal to ask for it"));
    termios saved {};
    const bool terminal = ::tcgetattr(fd, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    const char prompt[] = "Password: ";
    bool written = ::write(fd, prompt, sizeof prompt - 1) > 0;
    QByteArray line;
    char c = 0;
    ssize_t got = 0;
    while ((got = ::read(fd, &c, 1)) == 1 && c != '\n') {
        if (line.size() < 4096)
            line.append(c);
    }
    if (terminal)
        ::tcsetattr(fd, TCSAFLUSH, &saved);
    written = ::write(fd, "\n", 1) > 0 && written;
    ::close(fd);
    if (got < 0 || (got == 0 && line.isEmpty()))
        return fail(error, QStringLiteral("the terminal gave no password"));
    if (line.endsWith('\r'))
        line.chop(1);
    *password = line;
    wipe(line);
    return true;
}
#else
bool askOnTerminal(QByteArray *, QString *error)
{
    return fail(error, QStringLiteral("this program cannot ask for it here"));
}
#endif

// The public half stored in the secret key must follow from its seed; a
// damaged key shows here even without a checksum.
bool checkKeyPair(const SecretKey &key, QString *error)
{
    QByteArray publicKey(Minisign::publicKeySize, '\0'), secretKey(secretKeySize, '\0');
    crypto_sign_seed_keypair(writable(publicKey), writable(secretKey), readable(key.secretKey));
    const bool whole = secretKey == key.secretKey;
    wipe(secretKey);
    return whole || fail(error, QStringLiteral("the secret key is damaged"));
}

} // namespace

SecretKey::~SecretKey()
{
    wipe(keyId);
    wipe(secretKey);
}

PasswordSource environmentOrTerminal()
{
    return [](QByteArray *password, QString *error) {
        if (qEnvironmentVariableIsSet("MINISIGN_PASSWORD")) {
            *password = qgetenv("MINISIGN_PASSWORD");
            return true;
        }
        return askOnTerminal(password, error);
    };
}

bool loadSecretKey(
    const QByteArray &fileText, const PasswordSource &password, SecretKey *key, QString *error)
{
    if (!Minisign::cryptoReady())
        return fail(error, QStringLiteral("the signature library (libsodium) cannot start"));
    const QList<QByteArray> lines = fileText.split('\n');
    auto decoded = QByteArray::fromBase64Encoding(
        lines.value(1).trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    QByteArray raw = std::move(decoded.decoded);
    if (!lines.value(0).startsWith("untrusted comment: ") || !decoded || raw.size() != keyFileSize
        || !raw.startsWith("Ed") || raw.mid(4, 2) != "B2") {
        wipe(raw);
        return fail(error, QStringLiteral("not a minisign secret key"));
    }
    QByteArray part = raw.right(protectedSize);
    const QByteArray derivation = raw.mid(2, 2);
    bool ok = true;
    if (derivation == "Sc") {
        QByteArray secret;
        QString why;
        ok = password(&secret, &why)
            || fail(error,
                QStringLiteral("the secret key is protected by a password and none is available "
                               "(%1); set MINISIGN_PASSWORD or run this on a terminal")
                    .arg(why));
        ok = ok && decrypt(raw, &part, secret, error);
        wipe(secret);
    } else if (derivation != QByteArray(2, '\0')) {
        ok = fail(error, QStringLiteral("the secret key uses an unknown key derivation"));
    }
    wipe(raw);
    if (ok) {
        key->keyId = part.left(Minisign::keyIdSize);
        key->secretKey = part.mid(Minisign::keyIdSize, secretKeySize);
        const QByteArray stored = part.right(checksumSize);
        // minisign leaves the checksum of an unencrypted key zero.
        const bool zeroSum = stored == QByteArray(checksumSize, '\0') && derivation != "Sc";
        if (!zeroSum && checksum(key->keyId, key->secretKey) != stored)
            ok = fail(error,
                derivation == "Sc" ? QStringLiteral("wrong password for the secret key")
                                   : QStringLiteral("the secret key is damaged (checksum)"));
    }
    wipe(part);
    return ok && checkKeyPair(*key, error);
}

QString defaultTrustedComment(const QString &fileName)
{
    return QStringLiteral("timestamp:%1\tfile:%2\thashed")
        .arg(QDateTime::currentSecsSinceEpoch())
        .arg(fileName);
}

bool sign(const QByteArray &data, const SecretKey &key, const QString &trustedComment,
    QByteArray *signatureFile, QString *error)
{
    if (!Minisign::cryptoReady())
        return fail(error, QStringLiteral("the signature library (libsodium) cannot start"));
    const QByteArray comment = trustedComment.toUtf8();
    if (comment.contains('\n') || comment.contains('\r'))
        return fail(error, QStringLiteral("the trusted comment must be one line"));
    if (comment.size() > maxCommentBytes)
        return fail(error,
            QStringLiteral("the trusted comment is longer than %1 bytes").arg(maxCommentBytes));
    if (key.keyId.size() != Minisign::keyIdSize || key.secretKey.size() != secretKeySize)
        return fail(error, QStringLiteral("no secret key loaded"));
    Minisign::Signature signature;
    signature.keyId = key.keyId;
    signature.untrustedComment = "signature from minisign secret key";
    signature.trustedComment = comment;
    signature.signature.fill('\0', Minisign::signatureSize);
    signature.globalSignature.fill('\0', Minisign::signatureSize);
    const QByteArray digest = Minisign::prehash(data.constData(), data.size());
    crypto_sign_detached(writable(signature.signature), nullptr, readable(digest),
        static_cast<unsigned long long>(digest.size()), readable(key.secretKey));
    const QByteArray global = signature.signature + comment;
    crypto_sign_detached(writable(signature.globalSignature), nullptr, readable(global),
        static_cast<unsigned long long>(global.size()), readable(key.secretKey));
    *signatureFile = Minisign::formatSignature(signature);
    return true;
}

bool signFile(const QString &packagePath, const QString &secretKeyPath,
    const QString &trustedComment, const PasswordSource &password, QString *error)
{
    QFile keyFile(secretKeyPath);
    if (QFileInfo(secretKeyPath).isDir() || !keyFile.open(QIODevice::ReadOnly))
        return fail(error,
            QStringLiteral("cannot read the secret key %1: %2")
                .arg(QDir::toNativeSeparators(secretKeyPath), keyFile.errorString()));
    QByteArray keyText = keyFile.read(64 * 1024);
    SecretKey key;
    QString why;
    const bool loaded = loadSecretKey(keyText, password, &key, &why);
    wipe(keyText);
    if (!loaded)
        return fail(error, QStringLiteral("%1: %2").arg(secretKeyPath, why));

    QFile package(packagePath);
    if (QFileInfo(packagePath).isDir() || !package.open(QIODevice::ReadOnly))
        return fail(error,
            QStringLiteral("cannot read %1: %2")
                .arg(QDir::toNativeSeparators(packagePath), package.errorString()));
    if (package.size() > std::numeric_limits<int>::max())
        return fail(error, QStringLiteral("%1 is larger than 2 GiB").arg(packagePath));
    const uchar *mapped = package.size() > 0 ? package.map(0, package.size()) : nullptr;
    const QByteArray data = mapped
        ? QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), int(package.size()))
        : package.readAll();
    QByteArray text;
    if (!sign(data, key, trustedComment, &text, error))
        return false;

    Minisign::Signature written;
    Minisign::PublicKey publicKey { key.keyId, key.secretKey.mid(32), QString() };
    if (!Minisign::parseSignature(text, &written, &why)
        || !Minisign::verify(written, publicKey, data, &why))
        return fail(error, QStringLiteral("the new signature does not verify: %1").arg(why));
    const QString target = PackageSignature::signaturePath(packagePath);
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
        return fail(error,
            QStringLiteral("cannot write %1: %2")
                .arg(QDir::toNativeSeparators(target), out.errorString()));
    return true;
}

} // namespace PackageSigner
