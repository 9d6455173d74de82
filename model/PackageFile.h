#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <limits>

// Structural check of a Qt binary resource file (the package container) before
// it is registered: Qt's resource engine trusts the bytes, and a truncated or
// corrupted file can crash it or send it round in circles.
namespace PackageFile {

enum class Verdict {
    Valid,
    NotResourceFile, // does not start with the "qres" magic: not a package at all
    Damaged, // claims to be a resource file but its structure is broken
    OutOfReach // a section or a file's data lies past 2 GiB, where Qt 5 can't read it: too large
};

// The largest package file: the format's offsets are 32-bit numbers, so
// nothing in a larger file could be reached. A larger one is refused by its
// size before it is read.
const qint64 maxFileSize = qint64(1) << 32; // 4 GiB

// How far into the data section Qt 5 reaches: it reads a file's data offset
// as a signed 32-bit number, so no file's data may start past 2 GiB. The
// builder keeps packages within it; validate() refuses data beyond it.
const qint64 maxDataReach = std::numeric_limits<qint32>::max();

// The same in the words of a person: "4 GiB".
QString maxFileSizeText();

// Checks header, tree, names and data entries against the buffer's size.
// On anything but Valid, *detail (when given) says what is wrong, in English.
Verdict validate(const QByteArray &data, QString *detail = nullptr);
// Told of a range of the file before it is read here, and of the files that
// Qt reads whole (small ones, compressed ones): offset and length.
using Reach = std::function<void(qint64 offset, qint64 length)>;

// The same over size bytes at data (a mapped package file): only the header,
// the tree, the names and each entry's first bytes are read, each range
// told to reach first when given.
Verdict validate(
    const uchar *data, qint64 size, QString *detail = nullptr, const Reach &reach = nullptr);

// Files up to this size are read whole through Qt (the descriptor, the
// readme, the manifest, scripts): validate's reach is told of them.
const qint64 smallFileSize = 64 * 1024;

// Qt's hash of a resource name (over its UTF-16 units), which orders siblings.
quint32 resourceNameHash(const QString &name);

} // namespace PackageFile
