#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

// The content manifest of a package: upgrade/manifest.sha256 lists every
// other file below upgrade/ (placeholder files included) with its SHA-256, in
// the form "sha256sum -c" reads when run in upgrade/:
//
//   <64 hex digits><two blanks><path relative to upgrade/, "/" separated>\n
//
// sorted by path, UTF-8. The builder writes it into every package; packages
// built before it existed have none, and the installer accepts them as before.
// Every SHA-256 here goes through OpenSSL, which uses the processor's SHA
// instructions (ten times Qt's own speed), straight over the bytes of an
// uncompressed resource where it can.
namespace PackageManifest {

// "manifest.sha256", the manifest's name inside upgrade/.
QString fileName();

struct Entry
{
    QByteArray sha256; // 32 bytes
    QString path; // relative to upgrade/, "/" separated
};

// Parses manifest text. False on the first line that is not in the form, a
// path listed twice, an unsafe path (empty, absolute, a drive, "." or "..",
// a backslash, a control character) or bytes that are not UTF-8; *error
// then names the line and the reason in English. An empty text lists nothing.
bool parse(const QByteArray &text, QVector<Entry> *entries, QString *error = nullptr);

// The manifest text of entries: sorted by path (byte order of UTF-8), hex
// digits in lower case, "\n" after every line.
QByteArray format(QVector<Entry> entries);

// SHA-256 fed in parts.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;
    void add(const void *data, qint64 size);
    // The digest (32 bytes), or an empty array when it could not be computed.
    QByteArray result();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// SHA-256 of bytes in memory.
QByteArray hashBytes(const char *data, qint64 size);

// SHA-256 of a file on disk or of a file ":/..." of a registered package (an
// uncompressed entry is hashed in place). An empty result with *error set
// when it cannot be read.
QByteArray hashFile(const QString &path, QString *error = nullptr);

enum class ProblemKind {
    Mismatch, // listed, but its bytes have another hash
    Missing, // listed, but not in the tree
    Extra, // in the tree, but not listed
    Unreadable // listed, but it cannot be read (or is not a file)
};

struct Problem
{
    ProblemKind kind = ProblemKind::Mismatch;
    QString path; // relative to the root, "/" separated
    QString reason; // for Unreadable: what the system said

    // A short English line for a person, e.g.
    // "update/report.dll: content does not match the manifest".
    QString text() const;
};

enum class Verdict {
    Verified, // every file listed with its hash, nothing missing, nothing more
    NoManifest, // the tree holds no manifest (a package from before manifests)
    Malformed, // the manifest cannot be read or is not in the form
    Failed // at least one problem
};

struct Result
{
    Verdict verdict = Verdict::NoManifest;
    QVector<Problem> problems; // sorted by path
    QString malformedReason; // for Malformed
    int fileCount = 0; // files the manifest lists

    // What a person reads first: why the manifest is malformed, or the
    // first problem. Empty when verified or without a manifest.
    QString detail() const;
};

// Checks the files below root, ":/upgrade" of a registered package or a
// folder on disk, against root/manifest.sha256. The files are hashed on up to
// two threads; a package must stay registered until this returns.
Result verifyTree(const QString &root);

// Where a file's bytes lie, uncompressed, in the package file.
struct Span
{
    qint64 offset = 0;
    qint64 size = 0;
};
// Hashes every span (a digest each, in their order) by reading the package
// file; false with *error (English) when it can't be read whole.
using SpanHasher
    = std::function<bool(const QVector<Span> &spans, QVector<QByteArray> *digests, QString *error)>;

// verifyTree over a registered package whose file is mapped at base (size
// bytes): its uncompressed files are hashed by hashSpans from the file, not
// through the mapping; the others (compressed) as verifyTree does.
Result verifyTree(const QString &root, const uchar *base, qint64 size, const SpanHasher &hashSpans);

// Checks SHA-256 digests taken elsewhere, by path relative to upgrade/ (those
// of the files a copy wrote, say), against the manifest's entries: a listed
// path without a digest is Missing, an empty digest Unreadable, a path not
// listed (other than the manifest's own) Extra. Verified or Failed.
Result compareDigests(const QVector<Entry> &entries, const QHash<QString, QByteArray> &digests);

} // namespace PackageManifest
