#include "PackageFile.h"

#include <QFile>
#include <QHash>
#include <QResource>
#include <QSet>

#include <cstring>
#include <limits>
#include <vector>

#include "EntryName.h"
#include "VisibleText.h"

// Layout of a binary resource file as rcc writes it (all numbers big-endian):
//
//   header   "qres", version (4), tree offset (4), data offset (4),
//            names offset (4), and from version 3 on a flags word (4) that
//            names the compression algorithms used (0x01 zlib, 0x04 zstd).
//   data     per file: size (4) and the bytes; a zlib entry starts with the
//            uncompressed size (4) followed by the zlib stream, a zstd entry
//            is one zstd frame.
//   names    per name: length in UTF-16 units (2), hash (4), UTF-16BE text.
//   tree     nodes of 14 bytes (version 1) or 22 bytes (versions 2 and 3,
//            which append a modification time of 8 bytes):
//              name offset (4), flags (2: 0x01 zlib, 0x02 directory, 0x04 zstd),
//              directory: child count (4), index of the first child (4);
//              file:      country (2), language (2), data offset (4).
//            Node 0 is the root directory. rcc writes the tree breadth-first,
//            so children always sit after their parent, and the children of a
//            directory are sorted by name hash, which Qt's lookup relies on
//            (binary search).
//
// Qt reads all of this without any bounds check. The walk below checks every
// offset and length against the buffer, reaches every node at most once and
// makes sure that every listed entry can also be found by its path, so that an
// extraction cannot silently miss a file. Nothing is decompressed; declared
// uncompressed sizes are only bounded, because Qt allocates them up front.
namespace PackageFile {

quint32 resourceNameHash(const QString &name)
{
    quint32 h = 0;
    for (const QChar c : name) {
        h = (h << 4) + c.unicode();
        h ^= (h & 0xf0000000) >> 23;
        h &= 0x0fffffff;
    }
    return h;
}

namespace {

enum NodeFlag : quint16 { Zlib = 0x01, Directory = 0x02, Zstd = 0x04 };

// Largest expansion of deflate is about 1032:1; anything above cannot be an
// honest size. A single compressed entry is also limited to 1 GiB because Qt
// inflates it into one buffer.
const qint64 maxZlibRatio = 1032;
const qint64 maxZstdRatio = 32768; // an RLE block: 4 bytes give 128 KiB
const qint64 maxInflatedSize = qint64(1) << 30;

bool qtDecodesZstd();

class Walker
{
public:
    Walker(const uchar *data, qint64 size, const Reach &reach)
        : m_data(data)
        , m_size(size)
        , m_reach(reach)
    { }

    Verdict run();
    QString detail() const { return m_detail; }
    bool outOfReach() const { return m_outOfReach; }

private:
    Verdict damaged(const QString &what)
    {
        m_detail = what;
        return Verdict::Damaged;
    }
    bool has(qint64 offset, qint64 length) const
    {
        return offset >= 0 && length >= 0 && offset <= m_size && length <= m_size - offset;
    }
    quint16 u16(qint64 offset) const { return quint16(m_data[offset] << 8 | m_data[offset + 1]); }
    quint32 u32(qint64 offset) const
    {
        return quint32(m_data[offset]) << 24 | quint32(m_data[offset + 1]) << 16
            | quint32(m_data[offset + 2]) << 8 | quint32(m_data[offset + 3]);
    }
    qint64 nodeOffset(qint64 index) const { return m_treeOffset + index * m_nodeSize; }
    bool readName(qint64 node, QString *name, quint32 *hash, QString *problem) const;
    bool checkFile(qint64 node, const QString &name, QString *problem) const;
    bool checkCompression(
        quint16 flags, qint64 offset, qint64 length, const QString &where, QString *problem) const;
    bool checkZstdFrame(qint64 offset, qint64 length, QString *problem) const;
    bool readHeader(QString *problem);
    bool locateTree(QString *problem);
    bool checkDirectory(
        qint64 node, std::vector<qint64> *pending, std::vector<bool> *seen, QString *problem) const;
    bool checkChildName(qint64 node, qint64 child, quint32 *previousHash, QSet<QString> *sameHash,
        QString *name, QString *problem) const;

    // Tells the reach of a range about to be read (once it lies in the file).
    void reach(qint64 offset, qint64 length) const
    {
        if (m_reach && has(offset, length))
            m_reach(offset, length);
    }

    const uchar *m_data;
    qint64 m_size;
    Reach m_reach;
    quint32 m_version = 0;
    quint32 m_fileFlags = 0;
    qint64 m_treeOffset = 0;
    qint64 m_dataOffset = 0;
    qint64 m_namesOffset = 0;
    qint64 m_nodeSize = 0;
    qint64 m_headerSize = 20;
    qint64 m_nodeCount = 0;
    QString m_detail;
    mutable bool m_outOfReach
        = false; // the damage is a place past Qt 5's reach (set while checking)
};

bool Walker::readName(qint64 node, QString *name, quint32 *hash, QString *problem) const
{
    const qint64 offset = m_namesOffset + qint64(u32(nodeOffset(node)));
    reach(offset, 6);
    if (!has(offset, 6)) {
        *problem = QStringLiteral("the name of node %1 lies past the end of the file").arg(node);
        return false;
    }
    const quint16 length = u16(offset);
    if (length == 0 || length >= 0x8000) {
        *problem = QStringLiteral("node %1 has a name of length %2").arg(node).arg(length);
        return false;
    }
    reach(offset + 6, qint64(length) * 2);
    if (!has(offset + 6, qint64(length) * 2)) {
        *problem = QStringLiteral("the name of node %1 (%2 characters) runs past the end of the "
                                  "file")
                       .arg(node)
                       .arg(length);
        return false;
    }
    *hash = u32(offset + 2);
    name->resize(length);
    QChar *out = name->data();
    for (int i = 0; i < length; ++i)
        out[i] = QChar(u16(offset + 6 + 2 * i));
    return true;
}

bool Walker::checkZstdFrame(qint64 offset, qint64 length, QString *problem) const
{
    // Frame header: magic (4, little-endian), descriptor (1), window
    // descriptor (1, unless single segment), dictionary id (0-4), content size (0-8).
    if (length < 6 || u32(offset) != 0x28b52ffd) {
        *problem = QStringLiteral("is not a zstd frame");
        return false;
    }
    const uchar descriptor = m_data[offset + 4];
    const int sizeFlag = descriptor >> 6;
    const bool singleSegment = descriptor & 0x20;
    if (descriptor & 0x08) {
        *problem = QStringLiteral("has a zstd frame with a reserved bit set");
        return false;
    }
    static const int dictionaryBytes[] = { 0, 1, 2, 4 };
    static const int sizeBytes[] = { 0, 2, 4, 8 };
    const int fcsBytes = sizeFlag == 0 ? (singleSegment ? 1 : 0) : sizeBytes[sizeFlag];
    if (fcsBytes == 0) {
        // Qt cannot size the buffer and returns nothing: the file would be empty.
        *problem = QStringLiteral("has a zstd frame that does not state its content size");
        return false;
    }
    const qint64 fcsOffset
        = offset + 5 + (singleSegment ? 0 : 1) + dictionaryBytes[descriptor & 0x03];
    if (fcsOffset + fcsBytes > offset + length) {
        *problem = QStringLiteral("has a truncated zstd frame header");
        return false;
    }
    quint64 content = 0;
    for (int i = fcsBytes - 1; i >= 0; --i)
        content = content << 8 | m_data[fcsOffset + i];
    if (fcsBytes == 2)
        content += 256;
    if (content > quint64(maxInflatedSize) || qint64(content) > length * maxZstdRatio) {
        *problem = QStringLiteral("claims %1 uncompressed bytes from %2 zstd bytes")
                       .arg(content)
                       .arg(length);
        return false;
    }
    return true;
}

bool Walker::checkFile(qint64 node, const QString &name, QString *problem) const
{
    const qint64 at = nodeOffset(node);
    const quint16 flags = u16(at + 4);
    const QString where = QStringLiteral("file \"%1\" (node %2)").arg(name).arg(node);
    if (flags & ~quint16(Zlib | Zstd)) {
        *problem = QStringLiteral("%1 has unknown flags 0x%2").arg(where).arg(flags, 0, 16);
        return false;
    }
    if ((flags & Zlib) && (flags & Zstd)) {
        *problem = QStringLiteral("%1 claims two compression methods").arg(where);
        return false;
    }
    // Qt finds a file by path only in the default locale (any country,
    // language C) or in the one the process runs in; rcc writes the default
    // unless asked for translations, which a package does not use.
    const quint16 country = u16(at + 6);
    const quint16 language = u16(at + 8);
    if (country != 0 || language != 1) {
        *problem = QStringLiteral("%1 is bound to a language or country (%2/%3) and could not be "
                                  "read on every system")
                       .arg(where)
                       .arg(language)
                       .arg(country);
        return false;
    }
    // Qt 5 takes this offset for a signed number too: data past 2 GiB from
    // the data section's start is out of its reach.
    if (u32(at + 10) > quint32(std::numeric_limits<qint32>::max())) {
        m_outOfReach = true;
        *problem = QStringLiteral("the data of %1 lies more than 2 GiB into the file, where Qt "
                                  "cannot read it")
                       .arg(where);
        return false;
    }
    const qint64 offset = m_dataOffset + qint64(u32(at + 10));
    reach(offset, 4);
    if (!has(offset, 4)) {
        *problem = QStringLiteral("the data of %1 lies past the end of the file").arg(where);
        return false;
    }
    const qint64 length = u32(offset);
    if (!has(offset + 4, length)) {
        *problem = QStringLiteral("the data of %1 (%2 bytes) runs past the end of the file")
                       .arg(where)
                       .arg(length);
        return false;
    }
    if ((flags & (Zlib | Zstd)) || length <= smallFileSize)
        reach(offset + 4, length);
    return checkCompression(flags, offset, length, where, problem);
}

// The compressed forms: declared in the header, and sizes Qt can be trusted to
// allocate.
bool Walker::checkCompression(
    quint16 flags, qint64 offset, qint64 length, const QString &where, QString *problem) const
{
    if (flags & Zlib) {
        if (m_version >= 3 && !(m_fileFlags & Zlib)) {
            *problem
                = QStringLiteral("%1 is zlib-compressed but the header does not say so").arg(where);
            return false;
        }
        if (length < 4) {
            *problem = QStringLiteral("%1 is zlib-compressed but has only %2 bytes")
                           .arg(where)
                           .arg(length);
            return false;
        }
        const qint64 inflated = u32(offset + 4);
        if (inflated > maxInflatedSize || inflated > (length - 4) * maxZlibRatio + 64) {
            *problem = QStringLiteral("%1 claims %2 uncompressed bytes from %3 zlib bytes")
                           .arg(where)
                           .arg(inflated)
                           .arg(length - 4);
            return false;
        }
    } else if (flags & Zstd) {
        if (m_version >= 3 && !(m_fileFlags & Zstd)) {
            *problem
                = QStringLiteral("%1 is zstd-compressed but the header does not say so").arg(where);
            return false;
        }
        if (!qtDecodesZstd()) {
            *problem = QStringLiteral("%1 is zstd-compressed, which this program cannot decode")
                           .arg(where);
            return false;
        }
        QString frameProblem;
        if (!checkZstdFrame(offset + 4, length, &frameProblem)) {
            *problem = where + QLatin1Char(' ') + frameProblem;
            return false;
        }
    }
    return true;
}

Verdict Walker::run()
{
    reach(0, qMin<qint64>(m_size, 24));
    if (m_size < 4 || std::memcmp(m_data, "qres", 4) != 0) {
        m_detail = QStringLiteral("not a Qt resource file (no \"qres\" header)");
        return Verdict::NotResourceFile;
    }
    QString problem;
    if (!readHeader(&problem) || !locateTree(&problem))
        return damaged(problem);

    std::vector<bool> seen(size_t(m_nodeCount), false);
    seen[0] = true;
    std::vector<qint64> pending { 0 };
    while (!pending.empty()) {
        const qint64 node = pending.back();
        pending.pop_back();
        if (!checkDirectory(node, &pending, &seen, &problem))
            return damaged(problem);
    }
    return Verdict::Valid;
}

bool Walker::readHeader(QString *problem)
{
    const auto fail = [problem](const QString &what) {
        *problem = what;
        return false;
    };
    if (!has(0, 20))
        return fail(QStringLiteral("the header is truncated (%1 bytes)").arg(m_size));
    m_version = u32(4);
    if (m_version < 1 || m_version > 3)
        return fail(QStringLiteral("unknown format version %1").arg(m_version));
    m_treeOffset = u32(8);
    m_dataOffset = u32(12);
    m_namesOffset = u32(16);
    m_headerSize = 20;
    if (m_version >= 3) {
        if (!has(0, 24))
            return fail(QStringLiteral("the header is truncated (%1 bytes)").arg(m_size));
        m_fileFlags = u32(20);
        m_headerSize = 24;
        if (m_fileFlags & ~quint32(Zlib | Zstd))
            return fail(
                QStringLiteral("the header names unknown features (0x%1)").arg(m_fileFlags, 0, 16));
    }
    m_nodeSize = m_version == 1 ? 14 : 22;
    return true;
}

bool Walker::locateTree(QString *problem)
{
    const auto fail = [problem](const QString &what) {
        *problem = what;
        return false;
    };
    for (const qint64 offset : { m_dataOffset, m_namesOffset }) {
        if (offset < m_headerSize || offset > m_size)
            return fail(QStringLiteral("a section offset (%1) lies outside the file").arg(offset));
    }
    if (m_treeOffset < m_headerSize || !has(m_treeOffset, m_nodeSize))
        return fail(QStringLiteral("the tree offset (%1) lies outside the file").arg(m_treeOffset));

    // Qt 5 reads the three section offsets as signed 32-bit numbers: a
    // section past 2 GiB would send it outside the file.
    const qint64 signedLimit = std::numeric_limits<qint32>::max();
    m_outOfReach
        = m_treeOffset > signedLimit || m_dataOffset > signedLimit || m_namesOffset > signedLimit;
    if (m_outOfReach)
        return fail(QStringLiteral("a section starts past 2 GiB (tree %1, data %2, names %3), "
                                   "where Qt cannot read it")
                        .arg(m_treeOffset)
                        .arg(m_dataOffset)
                        .arg(m_namesOffset));

    // The tree runs up to the next section or the end of the file.
    qint64 treeEnd = m_size;
    for (const qint64 offset : { m_dataOffset, m_namesOffset }) {
        if (offset > m_treeOffset && offset < treeEnd)
            treeEnd = offset;
    }
    m_nodeCount = (treeEnd - m_treeOffset) / m_nodeSize;
    reach(m_treeOffset, m_nodeCount * m_nodeSize);
    if (m_nodeCount < 1)
        return fail(QStringLiteral("the tree holds no root node"));
    if (!(u16(nodeOffset(0) + 4) & Directory))
        return fail(QStringLiteral("the root node is not a directory"));
    return true;
}

// The children of one directory node: each reached once, named, hashed and
// ordered as Qt's lookup needs; sub-directories go on the pending list.
bool Walker::checkDirectory(
    qint64 node, std::vector<qint64> *pending, std::vector<bool> *seen, QString *problem) const
{
    const qint64 at = nodeOffset(node);
    const quint32 count = u32(at + 6);
    const quint32 first = u32(at + 10);
    if (count == 0)
        return true;
    if (qint64(first) <= node) {
        *problem = QStringLiteral("directory node %1 names child %2, which does not come after "
                                  "it (a cycle)")
                       .arg(node)
                       .arg(first);
        return false;
    }
    if (qint64(first) + qint64(count) > m_nodeCount) {
        *problem = QStringLiteral("the children %1..%2 of node %3 lie outside the tree (%4 nodes)")
                       .arg(first)
                       .arg(qint64(first) + count - 1)
                       .arg(node)
                       .arg(m_nodeCount);
        return false;
    }
    quint32 previousHash = 0;
    QSet<QString> sameHash; // names sharing the current hash
    QHash<QString, QString> foldedNames; // Windows does not tell "A" from "a"
    for (qint64 child = first; child < qint64(first) + count; ++child) {
        if ((*seen)[size_t(child)]) {
            *problem = QStringLiteral("node %1 is reached twice").arg(child);
            return false;
        }
        (*seen)[size_t(child)] = true;
        QString name;
        if (!checkChildName(node, child, &previousHash, &sameHash, &name, problem))
            return false;
        const QString folded = EntryName::folded(name);
        if (foldedNames.contains(folded)) {
            *problem = QStringLiteral("node %1 holds \"%2\" and \"%3\", which differ only in "
                                      "letter case")
                           .arg(node)
                           .arg(foldedNames.value(folded), name);
            return false;
        }
        foldedNames.insert(folded, name);
        const quint16 flags = u16(nodeOffset(child) + 4);
        if (flags & Directory) {
            if (flags != Directory) {
                *problem = QStringLiteral("directory \"%1\" (node %2) has unknown flags 0x%3")
                               .arg(name)
                               .arg(child)
                               .arg(flags, 0, 16);
                return false;
            }
            pending->push_back(child);
        } else if (!checkFile(child, name, problem)) {
            return false;
        }
    }
    return true;
}

bool Walker::checkChildName(qint64 node, qint64 child, quint32 *previousHash,
    QSet<QString> *sameHash, QString *name, QString *problem) const
{
    quint32 hash = 0;
    if (!readName(child, name, &hash, problem))
        return false;
    // Whatever the builder refuses to write is refused here as well: the
    // name is made a file on disk and shown in the log.
    QString reason;
    if (EntryName::check(*name, &reason) != EntryName::Problem::None) {
        *problem = QStringLiteral("node %1 has %2: \"%3\", which is no file name")
                       .arg(child)
                       .arg(reason, VisibleText::escaped(*name));
        return false;
    }
    if (hash != resourceNameHash(*name)) {
        *problem = QStringLiteral("the name \"%1\" of node %2 carries a wrong hash")
                       .arg(*name)
                       .arg(child);
        return false;
    }
    const quint32 first = u32(nodeOffset(node) + 10);
    if (child > qint64(first) && hash < *previousHash) {
        *problem = QStringLiteral("the children of node %1 are out of order at \"%2\"")
                       .arg(node)
                       .arg(*name);
        return false;
    }
    if (child == qint64(first) || hash != *previousHash)
        sameHash->clear();
    if (sameHash->contains(*name)) {
        *problem = QStringLiteral("node %1 holds the name \"%2\" twice").arg(node).arg(*name);
        return false;
    }
    sameHash->insert(*name);
    *previousHash = hash;
    return true;
}

// Builds a one-file resource in memory whose entry is zstd-compressed and
// asks Qt to read it back: a Qt built without zstd returns nothing.
bool probeZstd()
{
    static const uchar frame[] = { 0x28, 0xb5, 0x2f, 0xfd, 0x24, 0x40, 0x3d, 0x00, 0x00, 0x08, 0x7a,
        0x01, 0x00, 0x94, 0x80, 0x10, 0xc7, 0xac, 0x98, 0x94 };
    const QByteArray expected(64, 'z'); // what the frame holds
    QByteArray blob;
    auto put32 = [&blob](quint32 v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            blob.append(char((v >> shift) & 0xff));
    };
    auto put16 = [&blob](quint16 v) {
        blob.append(char(v >> 8));
        blob.append(char(v & 0xff));
    };
    const quint32 dataOffset = 20;
    const quint32 namesOffset = dataOffset + 4 + sizeof(frame);
    const quint32 treeOffset = namesOffset + 2 + 4 + 2;
    blob.append("qres", 4);
    put32(2);
    put32(treeOffset);
    put32(dataOffset);
    put32(namesOffset);
    put32(sizeof(frame));
    blob.append(reinterpret_cast<const char *>(frame), sizeof(frame));
    put16(1);
    put32(resourceNameHash(QStringLiteral("z")));
    put16('z');
    // root: name 0, directory, one child at 1, time 0
    put32(0);
    put16(Directory);
    put32(1);
    put32(1);
    put32(0);
    put32(0);
    // file "z": name 0, zstd, any country, language C, data 0, time 0
    put32(0);
    put16(Zstd);
    put16(0);
    put16(1);
    put32(0);
    put32(0);
    put32(0);

    const QString mapRoot = QStringLiteral("/package-file-zstd-probe");
    const auto *data = reinterpret_cast<const uchar *>(blob.constData());
    if (!QResource::registerResource(data, mapRoot))
        return false;
    QFile file(QLatin1Char(':') + mapRoot + QStringLiteral("/z"));
    const bool decodes = file.open(QIODevice::ReadOnly) && file.readAll() == expected;
    file.close();
    QResource::unregisterResource(data, mapRoot);
    return decodes;
}

bool qtDecodesZstd()
{
    static const bool decodes = probeZstd();
    return decodes;
}

} // namespace

QString maxFileSizeText()
{
    return QStringLiteral("%1 GiB").arg(maxFileSize >> 30);
}

Verdict validate(const QByteArray &data, QString *detail)
{
    return validate(reinterpret_cast<const uchar *>(data.constData()), data.size(), detail);
}

Verdict validate(const uchar *data, qint64 size, QString *detail, const Reach &reach)
{
    Walker walker(data, size, reach);
    Verdict verdict = walker.run();
    if (verdict == Verdict::Damaged && walker.outOfReach())
        verdict = Verdict::OutOfReach;
    if (detail)
        *detail = verdict == Verdict::Valid ? QString() : walker.detail();
    return verdict;
}

} // namespace PackageFile
