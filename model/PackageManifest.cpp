#include "PackageManifest.h"

#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QResource>
#include <QSet>
#include <QTextCodec>

#ifdef Q_OS_WIN
#include <QCryptographicHash>
#else
#include <openssl/evp.h>
#endif

#include <algorithm>
#include <cctype>
#include <atomic>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace PackageManifest {

namespace {

const int digestSize = 32;
const int hexSize = 2 * digestSize;
const qint64 readBlock = qint64(1) << 20;

// QResource keeps isDir() to itself.
struct ResourceEntry : QResource
{
    using QResource::isDir;
};

// The bytes of an uncompressed resource file as they lie in the registered
// package, or nullptr when path is none (a disk file, a folder, compressed).
const uchar *resourceBytes(const QString &path, qint64 *size)
{
    if (!path.startsWith(QLatin1Char(':')))
        return nullptr;
    ResourceEntry resource;
    resource.setFileName(path);
    if (!resource.isValid() || resource.isDir()
        || resource.compressionAlgorithm() != QResource::NoCompression)
        return nullptr;
    *size = resource.size();
    return resource.data();
}

QString lineError(int line, const QString &what)
{
    return QStringLiteral("line %1: %2").arg(line).arg(what);
}

// Why path may not stand in a manifest, or an empty string.
QString pathProblem(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("no path");
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("the path holds a control character");
    }
    if (path.contains(QLatin1Char('\\')))
        return QStringLiteral("the path holds a backslash");
    if (path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char(':')))
        return QStringLiteral("the path is absolute or names a drive");
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return QStringLiteral("the path has an empty, \".\" or \"..\" part");
    }
    if (path == fileName())
        return QStringLiteral("the manifest lists itself");
    return QString();
}

bool parseLine(const QByteArray &line, int number, Entry *entry, QString *error)
{
    if (line.size() < hexSize + 3 || line.at(hexSize) != ' '
        || (line.at(hexSize + 1) != ' ' && line.at(hexSize + 1) != '*')) {
        *error = lineError(number, QStringLiteral("not \"<SHA-256 in hex>  <path>\""));
        return false;
    }
    const QByteArray hex = line.left(hexSize);
    for (const char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            *error = lineError(number, QStringLiteral("the hash is not 64 hex digits"));
            return false;
        }
    }
    const QByteArray rawPath = line.mid(hexSize + 2);
    // Looked up once: the look-up takes a lock, and a manifest has a line
    // per file.
    static QTextCodec *const utf8 = QTextCodec::codecForName("UTF-8");
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QString path = utf8->toUnicode(rawPath.constData(), rawPath.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0) {
        *error = lineError(number, QStringLiteral("the path is not UTF-8 text"));
        return false;
    }
    const QString problem = pathProblem(path);
    if (!problem.isEmpty()) {
        *error = lineError(number, problem);
        return false;
    }
    entry->sha256 = QByteArray::fromHex(hex);
    entry->path = path;
    return true;
}

// Every entry below root: relative path -> full path for those that are not
// folders, the folders apart.
struct Listing
{
    QHash<QString, QString> files;
    QSet<QString> folders;
};

Listing listTree(const QString &root)
{
    Listing listing;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString full = it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink())
            listing.folders.insert(full.mid(root.size() + 1));
        else
            listing.files.insert(full.mid(root.size() + 1), full);
    }
    listing.files.remove(fileName());
    return listing;
}

struct Job
{
    QString path; // relative
    QString fullPath;
    QByteArray expected;
    qint64 size = 0; // for the order of work
    QByteArray digest;
    QString error;
};

// Hashes every job on up to two threads (this one included), largest files
// first, so both finish at about the same time.
void runJobs(std::vector<Job> &jobs)
{
    std::vector<size_t> order(jobs.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
        [&jobs](size_t a, size_t b) { return jobs[a].size > jobs[b].size; });
    std::atomic<size_t> next { 0 };
    auto work = [&jobs, &order, &next] {
        for (size_t i = next++; i < order.size(); i = next++) {
            Job &job = jobs[order[i]];
            job.digest = hashFile(job.fullPath, &job.error);
        }
    };
    std::vector<std::thread> helpers;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t wanted = std::min<size_t>({ 2, cores, jobs.size() });
    try {
        while (helpers.size() + 1 < wanted)
            helpers.emplace_back(work);
    } catch (const std::system_error &) {
        // No thread to be had: this one does all the work.
    }
    work();
    for (std::thread &helper : helpers)
        helper.join();
}

qint64 sizeOf(const QString &path)
{
    qint64 size = 0;
    if (resourceBytes(path, &size))
        return size;
    return QFileInfo(path).size();
}

// The package file a registered tree lies in, and how its spans are hashed.
struct InPlace
{
    const uchar *base = nullptr;
    qint64 size = 0;
    SpanHasher hashSpans;
};

// Takes the jobs whose bytes lie uncompressed in the package file out of
// jobs and gives them their digests from one pass over the file.
void hashInPlace(std::vector<Job> &jobs, const InPlace &inPlace)
{
    std::vector<Job> spanJobs;
    QVector<Span> spans;
    for (auto it = jobs.begin(); it != jobs.end();) {
        qint64 size = 0;
        const uchar *bytes = resourceBytes(it->fullPath, &size);
        if (bytes && bytes >= inPlace.base && bytes - inPlace.base <= inPlace.size - size) {
            spans.append({ bytes - inPlace.base, size });
            spanJobs.push_back(*it);
            it = jobs.erase(it);
        } else {
            ++it;
        }
    }
    QVector<QByteArray> digests;
    QString error;
    const bool read = inPlace.hashSpans(spans, &digests, &error);
    for (size_t i = 0; i < spanJobs.size(); ++i) {
        if (read && int(i) < digests.size())
            spanJobs[i].digest = digests.at(int(i));
        else
            spanJobs[i].error = error;
    }
    runJobs(jobs);
    jobs.insert(jobs.end(), spanJobs.begin(), spanJobs.end());
}

// Compares the tree with the listed entries into result.
void compare(
    const QString &root, const QVector<Entry> &entries, Result *result, const InPlace *inPlace)
{
    Listing listing = listTree(root);
    QHash<QString, QString> &tree = listing.files;
    std::vector<Job> jobs;
    for (const Entry &entry : entries) {
        const auto found = tree.constFind(entry.path);
        if (found == tree.constEnd()) {
            if (listing.folders.contains(entry.path))
                result->problems.append(
                    { ProblemKind::Unreadable, entry.path, QStringLiteral("it is a folder") });
            else
                result->problems.append({ ProblemKind::Missing, entry.path, QString() });
            continue;
        }
        jobs.push_back({ entry.path, found.value(), entry.sha256, sizeOf(found.value()), {}, {} });
        tree.erase(found);
    }
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        result->problems.append({ ProblemKind::Extra, it.key(), QString() });
    if (inPlace)
        hashInPlace(jobs, *inPlace);
    else
        runJobs(jobs);
    for (const Job &job : jobs) {
        if (job.digest.isEmpty())
            result->problems.append({ ProblemKind::Unreadable, job.path, job.error });
        else if (job.digest != job.expected)
            result->problems.append({ ProblemKind::Mismatch, job.path, QString() });
    }
    std::sort(result->problems.begin(), result->problems.end(),
        [](const Problem &a, const Problem &b) { return a.path < b.path; });
}

} // namespace

#ifdef Q_OS_WIN
struct Sha256::State
{
    QCryptographicHash hash { QCryptographicHash::Sha256 };
};

Sha256::Sha256()
    : m_state(new State)
{ }

Sha256::~Sha256() = default;

void Sha256::add(const void *data, qint64 size)
{
    // addData takes an int: larger blocks go in parts.
    const char *bytes = static_cast<const char *>(data);
    for (qint64 done = 0; done < size;) {
        const int part = int(qMin<qint64>(size - done, 1 << 30));
        m_state->hash.addData(bytes + done, part);
        done += part;
    }
}

QByteArray Sha256::result()
{
    return m_state->hash.result();
}
#else
struct Sha256::State
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool ok = context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256()
    : m_state(new State)
{ }

Sha256::~Sha256() = default;

void Sha256::add(const void *data, qint64 size)
{
    if (m_state->ok && size > 0)
        m_state->ok = EVP_DigestUpdate(m_state->context, data, size_t(size)) == 1;
}

QByteArray Sha256::result()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!m_state->ok || EVP_DigestFinal_ex(m_state->context, digest, &length) != 1
        || length != digestSize)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), digestSize);
}
#endif

QString fileName()
{
    return QStringLiteral("manifest.sha256");
}

bool parse(const QByteArray &text, QVector<Entry> *entries, QString *error)
{
    QString reason;
    QVector<Entry> parsed;
    QHash<QString, int> seen; // path -> line
    QList<QByteArray> lines = text.split('\n');
    if (text.endsWith('\n') || text.isEmpty())
        lines.removeLast(); // nothing follows the last line end
    for (int i = 0; i < lines.size() && reason.isEmpty(); ++i) {
        Entry entry;
        if (!parseLine(lines.at(i), i + 1, &entry, &reason))
            break;
        if (seen.contains(entry.path)) {
            reason = lineError(i + 1,
                QStringLiteral("%1 is listed twice (first on line %2)")
                    .arg(entry.path)
                    .arg(seen.value(entry.path)));
            break;
        }
        seen.insert(entry.path, i + 1);
        parsed.append(entry);
    }
    if (error)
        *error = reason;
    if (!reason.isEmpty())
        return false;
    *entries = parsed;
    return true;
}

QByteArray format(QVector<Entry> entries)
{
    std::sort(entries.begin(), entries.end(),
        [](const Entry &a, const Entry &b) { return a.path.toUtf8() < b.path.toUtf8(); });
    QByteArray text;
    for (const Entry &entry : qAsConst(entries))
        text += entry.sha256.toHex() + "  " + entry.path.toUtf8() + '\n';
    return text;
}

QByteArray hashBytes(const char *data, qint64 size)
{
    Sha256 hash;
    hash.add(data, size);
    return hash.result();
}

QByteArray hashFile(const QString &path, QString *error)
{
    qint64 size = 0;
    if (const uchar *bytes = resourceBytes(path, &size))
        return hashBytes(reinterpret_cast<const char *>(bytes), size);
    // Opening a pipe would wait for a writer; a device could read forever.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        if (error)
            *error = info.isDir() ? QStringLiteral("it is a folder")
                                  : QStringLiteral("it is not a regular file");
        return QByteArray();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = file.errorString();
        return QByteArray();
    }
    Sha256 hash;
    const std::unique_ptr<char[]> buffer(new char[size_t(readBlock)]);
    for (;;) {
        const qint64 got = file.read(buffer.get(), readBlock);
        if (got < 0) {
            if (error)
                *error = file.errorString();
            return QByteArray();
        }
        if (got == 0)
            break;
        hash.add(buffer.get(), got);
    }
    const QByteArray digest = hash.result();
    if (digest.isEmpty() && error)
        *error = QStringLiteral("SHA-256 could not be computed");
    return digest;
}

QString Problem::text() const
{
    switch (kind) {
    case ProblemKind::Mismatch:
        return QStringLiteral("%1: content does not match the manifest").arg(path);
    case ProblemKind::Missing:
        return QStringLiteral("%1: listed in the manifest but missing").arg(path);
    case ProblemKind::Extra:
        return QStringLiteral("%1: not listed in the manifest").arg(path);
    case ProblemKind::Unreadable:
        return QStringLiteral("%1: cannot be read (%2)").arg(path, reason);
    }
    return path;
}

QString Result::detail() const
{
    if (verdict == Verdict::Malformed)
        return QStringLiteral("%1 is malformed: %2").arg(fileName(), malformedReason);
    if (verdict == Verdict::Failed && !problems.isEmpty())
        return problems.first().text();
    return QString();
}

Result verifyTree(const QString &root)
{
    return verifyTree(root, nullptr, 0, nullptr);
}

Result verifyTree(const QString &root, const uchar *base, qint64 size, const SpanHasher &hashSpans)
{
    Result result;
    QString folder = root;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const QString manifestPath = folder + QLatin1Char('/') + fileName();
    const QFileInfo info(manifestPath);
    if (!info.exists() && !info.isSymLink())
        return result; // NoManifest
    result.verdict = Verdict::Malformed;
    QFile file(manifestPath);
    if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
        result.malformedReason = info.isDir()
            ? QStringLiteral("it is a folder")
            : QStringLiteral("it cannot be read (%1)").arg(file.errorString());
        return result;
    }
    const QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.malformedReason = QStringLiteral("it cannot be read (%1)").arg(file.errorString());
        return result;
    }
    QVector<Entry> entries;
    if (!parse(text, &entries, &result.malformedReason))
        return result;
    result.fileCount = entries.size();
    const InPlace inPlace { base, size, hashSpans };
    compare(folder, entries, &result, hashSpans ? &inPlace : nullptr);
    result.verdict = result.problems.isEmpty() ? Verdict::Verified : Verdict::Failed;
    return result;
}

Result compareDigests(const QVector<Entry> &entries, const QHash<QString, QByteArray> &digests)
{
    Result result;
    result.fileCount = entries.size();
    QSet<QString> listed;
    for (const Entry &entry : entries) {
        listed.insert(entry.path);
        const auto found = digests.constFind(entry.path);
        if (found == digests.constEnd())
            result.problems.append({ ProblemKind::Missing, entry.path, QString() });
        else if (found->isEmpty())
            result.problems.append(
                { ProblemKind::Unreadable, entry.path, QStringLiteral("no SHA-256 for it") });
        else if (*found != entry.sha256)
            result.problems.append({ ProblemKind::Mismatch, entry.path, QString() });
    }
    for (auto it = digests.cbegin(); it != digests.cend(); ++it) {
        if (!listed.contains(it.key()) && it.key() != fileName())
            result.problems.append({ ProblemKind::Extra, it.key(), QString() });
    }
    std::sort(result.problems.begin(), result.problems.end(),
        [](const Problem &a, const Problem &b) { return a.path < b.path; });
    result.verdict = result.problems.isEmpty() ? Verdict::Verified : Verdict::Failed;
    return result;
}

} // namespace PackageManifest
