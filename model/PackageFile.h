#pragma once

#include <QByteArray>
#include <QString>

// Structural check of a Qt binary resource file (the package container) before
// it is registered: Qt's resource engine trusts the bytes, and a truncated or
// corrupted file can crash it or send it round in circles.
namespace PackageFile {

enum class Verdict {
    Valid,
    NotResourceFile, // does not start with the "qres" magic: not a package at all
    Damaged // claims to be a resource file but its structure is broken
};

// The largest package file that is read: it is held whole in one QByteArray,
// whose size is an int, and a larger one is refused before it is read.
const qint64 maxFileSize = qint64(2047) << 20; // 2047 MiB

// Checks header, tree, names and data entries against the buffer's size.
// On anything but Valid, *detail (when given) says what is wrong, in English.
Verdict validate(const QByteArray &data, QString *detail = nullptr);

// Qt's hash of a resource name (over its UTF-16 units), which orders siblings.
quint32 resourceNameHash(const QString &name);

} // namespace PackageFile
