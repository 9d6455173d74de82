#include "ResourceWriter.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <limits>

// The file, all numbers big-endian, in the order rcc writes it:
//
//   header  "qres", format version, tree offset, data offset, names offset
//           (4 bytes each) and from format 3 on the compression flags used
//           (4: 0x01 zlib).
//   data    per file its size (4) and its bytes; a zlib entry holds what
//           qCompress makes: the uncompressed size (4) and the zlib stream.
//   names   per distinct name its length in UTF-16 units (2), its qt_hash (4)
//           and the UTF-16 text.
//   tree    one node per entry, the root first, the children of a folder
//           next to each other, sorted by the hash of their names: Qt finds
//           a name by binary search over the hashes. A node is name offset
//           (4), flags (2: 0x01 zlib, 0x02 folder), then for a folder child
//           count (4) and index of its first child (4), for a file country
//           (2, 0 = any), language (2, 1 = C) and data offset (4); from format
//           2 on, the modification time in ms since the epoch (8, 0 for a
//           folder).
//
// Offsets in the header are from the start of the file, the others from the
// start of their section. Qt reads every number byte by byte, so nothing is
// padded for alignment (rcc pads nothing in binary mode either).
namespace {

const quint16 zlibFlag = 0x01;
const quint16 folderFlag = 0x02;
const qint64 chunkSize = 1024 * 1024;
const quint32 maxOffset = std::numeric_limits<quint32>::max();

QByteArray number(quint64 value, int bytes)
{
    QByteArray out(bytes, '\0');
    for (int i = bytes - 1; i >= 0; --i, value >>= 8)
        out[i] = char(value & 0xff);
    return out;
}

} // namespace

// The output with a running position; the first write error sticks.
class ResourceWriter::Output
{
public:
    explicit Output(const QString &path)
        : file(path)
    { }
    bool put(const QByteArray &bytes)
    {
        if (ok && file.write(bytes) != bytes.size())
            ok = false;
        position += bytes.size();
        return ok;
    }
    bool put(quint64 value, int bytes) { return put(number(value, bytes)); }

    QSaveFile file;
    qint64 position = 0;
    bool ok = true;
};

ResourceWriter::ResourceWriter()
    : ResourceWriter(Options())
{ }

ResourceWriter::ResourceWriter(const Options &options)
    : m_options(options)
{
    Node root;
    root.folder = true;
    m_nodes.append(root);
}

bool ResourceWriter::fail(Failure failure, const QString &text)
{
    m_failure = failure;
    m_error = text;
    return false;
}

bool ResourceWriter::addFile(const QString &resourcePath, const QString &sourcePath)
{
    const QStringList parts = resourcePath.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")
            || part.size() > 0xffff)
            return fail(Failure::BadPath,
                QStringLiteral("the resource path \"%1\" has an empty, \".\", \"..\" or "
                               "over-long part")
                    .arg(resourcePath));
    }
    int parent = 0;
    for (int i = 0; i < parts.size(); ++i) {
        const bool last = i == parts.size() - 1;
        const int existing = m_nodes[parent].children.value(parts.at(i), -1);
        if (existing >= 0) {
            if (last)
                return fail(Failure::DuplicatePath,
                    QStringLiteral("the resource path \"%1\" is given twice").arg(resourcePath));
            if (!m_nodes[existing].folder)
                return fail(Failure::BadPath,
                    QStringLiteral("the resource path \"%1\" leads through the file \"%2\"")
                        .arg(resourcePath, parts.mid(0, i + 1).join(QLatin1Char('/'))));
            parent = existing;
            continue;
        }
        Node node;
        node.name = parts.at(i);
        node.folder = !last;
        if (last)
            node.source = sourcePath;
        m_nodes.append(node);
        m_nodes[parent].children.insert(node.name, m_nodes.size() - 1);
        parent = m_nodes.size() - 1;
    }
    return true;
}

// Root first, then level by level; the children of a folder in a row, by hash.
QVector<int> ResourceWriter::treeOrder() const
{
    QVector<int> order { 0 };
    for (int i = 0; i < order.size(); ++i) {
        const Node &node = m_nodes.at(order.at(i));
        QVector<int> children = node.children.values().toVector();
        std::sort(children.begin(), children.end(), [this](int a, int b) {
            const uint ha = qt_hash(m_nodes.at(a).name), hb = qt_hash(m_nodes.at(b).name);
            return ha != hb ? ha < hb : m_nodes.at(a).name < m_nodes.at(b).name;
        });
        order += children;
    }
    return order;
}

bool ResourceWriter::readFailed(const QFile &source, const QString &shown)
{
    return fail(Failure::CannotReadSource,
        QStringLiteral("cannot read %1: %2").arg(shown, source.errorString()));
}

bool ResourceWriter::sourceChanged(const QString &shown, qint64 size)
{
    return fail(Failure::SourceChanged,
        QStringLiteral("%1 changed its size while it was read (%2 bytes before)")
            .arg(shown)
            .arg(size));
}

// A file read whole and stored zlib-compressed when that saves enough.
bool ResourceWriter::putCompressed(
    Output &out, Node &node, QFile &source, qint64 size, quint32 *overallFlags)
{
    const QString shown = QDir::toNativeSeparators(node.source);
    const QByteArray bytes = source.readAll();
    if (bytes.size() != size)
        return source.error() != QFileDevice::NoError ? readFailed(source, shown)
                                                      : sourceChanged(shown, size);
    const QByteArray packed = qCompress(bytes, m_options.zlibLevel);
    const int saved = int(100.0 * double(size - packed.size()) / double(size));
    if (saved >= m_options.zlibThreshold) {
        node.flags |= zlibFlag;
        *overallFlags |= zlibFlag;
        out.put(quint64(packed.size()), 4);
        out.put(packed);
    } else {
        out.put(quint64(size), 4);
        out.put(bytes);
    }
    return true;
}

// A file copied in chunks, as it is.
bool ResourceWriter::putStored(Output &out, QFile &source, qint64 size, const QString &shown)
{
    out.put(quint64(size), 4);
    qint64 left = size;
    while (left > 0 && out.ok) {
        const QByteArray chunk = source.read(std::min(left, chunkSize));
        if (chunk.isEmpty())
            return source.error() != QFileDevice::NoError ? readFailed(source, shown)
                                                          : sourceChanged(shown, size);
        out.put(chunk);
        left -= chunk.size();
    }
    if (!source.read(1).isEmpty())
        return sourceChanged(shown, size);
    return true;
}

// One file's entry of the data section.
bool ResourceWriter::putFile(Output &out, Node &node, qint64 dataStart, quint32 *overallFlags)
{
    const QString shown = QDir::toNativeSeparators(node.source);
    if (out.position - dataStart > maxOffset)
        return fail(Failure::TooLarge,
            QStringLiteral("the files take more than 4 GiB; %1 cannot go in").arg(shown));
    node.dataOffset = quint32(out.position - dataStart);
    QFile source(node.source);
    if (!source.open(QIODevice::ReadOnly))
        return readFailed(source, shown);
    const QDateTime modified = source.fileTime(QFileDevice::FileModificationTime);
    node.modified = modified.isValid() ? quint64(modified.toMSecsSinceEpoch()) : 0;
    const qint64 size = source.size();
    if (size > maxOffset)
        return fail(Failure::TooLarge,
            QStringLiteral("%1 has %2 bytes; a resource file holds at most 4 GiB - 1 per file")
                .arg(shown)
                .arg(size));
    if (m_options.zlib && size > 0)
        return putCompressed(out, node, source, size, overallFlags);
    return putStored(out, source, size, shown);
}

// The names section: every distinct name once.
void ResourceWriter::putNames(Output &out, const QVector<int> &order)
{
    const qint64 namesStart = out.position;
    QHash<QString, quint32> nameOffsets;
    for (const int index : order) {
        Node &node = m_nodes[index];
        if (index == 0)
            continue; // the root has no name of its own; rcc points it at offset 0
        const auto known = nameOffsets.constFind(node.name);
        if (known != nameOffsets.cend()) {
            node.nameOffset = *known;
            continue;
        }
        node.nameOffset = quint32(out.position - namesStart);
        nameOffsets.insert(node.name, node.nameOffset);
        QByteArray entry = number(quint64(node.name.size()), 2) + number(qt_hash(node.name), 4);
        for (const QChar c : qAsConst(node.name))
            entry += number(c.unicode(), 2);
        out.put(entry);
    }
}

// The tree section: one node per entry, in order.
void ResourceWriter::putTree(Output &out, const QVector<int> &order) const
{
    QHash<int, quint32> position; // node index -> its place in the tree
    for (int i = 0; i < order.size(); ++i)
        position.insert(order.at(i), quint32(i));
    for (const int index : order) {
        const Node &node = m_nodes.at(index);
        QByteArray entry = number(node.nameOffset, 4) + number(node.flags, 2);
        if (node.folder) {
            quint32 first = 0;
            for (const int child : node.children)
                first = first == 0 ? position.value(child) : std::min(first, position.value(child));
            entry += number(quint64(node.children.size()), 4) + number(first, 4);
        } else {
            entry += number(0, 2) + number(1, 2) + number(node.dataOffset, 4);
        }
        if (m_options.formatVersion >= 2)
            entry += number(node.folder ? 0 : node.modified, 8);
        out.put(entry);
    }
}

bool ResourceWriter::write(const QString &outputFile)
{
    if (m_failure != Failure::None)
        return false; // an entry was refused: the file would lack it
    const int version = m_options.formatVersion;
    if (version < 1 || version > 3)
        return fail(Failure::CannotWrite,
            QStringLiteral("format version %1 is not 1, 2 or 3").arg(version));
    const QString shownOutput = QDir::toNativeSeparators(outputFile);
    Output out(outputFile);
    if (!out.file.open(QIODevice::WriteOnly))
        return fail(Failure::CannotWrite,
            QStringLiteral("cannot write %1: %2").arg(shownOutput, out.file.errorString()));
    const auto writeFailed = [&]() {
        return fail(Failure::CannotWrite,
            QStringLiteral("cannot write %1: %2").arg(shownOutput, out.file.errorString()));
    };
    const int headerSize = version >= 3 ? 24 : 20;
    out.put(QByteArray(headerSize, '\0'));

    const QVector<int> order = treeOrder();
    quint32 overallFlags = 0;
    const qint64 dataStart = out.position;
    for (const int index : order) {
        Node &node = m_nodes[index];
        node.flags = node.folder ? folderFlag : 0;
        if (node.folder)
            continue;
        if (!putFile(out, node, dataStart, &overallFlags))
            return false;
        if (!out.ok)
            return writeFailed();
    }

    const qint64 namesStart = out.position;
    putNames(out, order);
    const qint64 treeStart = out.position;
    if (treeStart > maxOffset)
        return fail(Failure::TooLarge,
            QStringLiteral("the resource file would be larger than 4 GiB (%1 bytes before its "
                           "tree)")
                .arg(treeStart));
    putTree(out, order);
    if (!out.ok)
        return writeFailed();

    QByteArray header = QByteArrayLiteral("qres") + number(quint64(version), 4)
        + number(quint64(treeStart), 4) + number(quint64(dataStart), 4)
        + number(quint64(namesStart), 4);
    if (version >= 3)
        header += number(overallFlags, 4);
    if (!out.file.seek(0) || out.file.write(header) != header.size() || !out.file.commit())
        return writeFailed();
    return true;
}
