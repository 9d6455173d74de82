#pragma once

#include <QFile>
#include <QString>

// Opens a file for reading only when it is a regular file, as the opened
// handle says: a named pipe, a device or a folder is refused at once, instead
// of waiting for a writer or reading without end.
namespace RegularFile {

enum class Refusal {
    None, // opened
    CannotOpen, // missing, no permission, ...
    NotRegular // a folder, a named pipe, a device, a link that isn't resolved, ...
};

// Opens path read-only into file (closed on a refusal, with *reason in
// English). The size it then reports is that of the opened file.
Refusal openForReading(const QString &path, QFile *file, QString *reason);

// Whether path names something there that is neither a regular file nor a
// folder: a device, a named pipe, a socket. On Windows a reserved name (NUL,
// CON, COM1, ...) names a device in any folder, which QFileInfo doesn't tell.
bool isSpecial(const QString &path);

enum class Creation {
    Created,
    Exists, // something is there by that name (a link included): nothing was opened
    Failed
};

// Creates path as a new, empty file and opens it for writing (mode: Text or
// not, besides WriteOnly): never through a link, never over anything that is
// there. It may be renamed while it is open, on Windows as well.
Creation createForWriting(
    const QString &path, QIODevice::OpenMode mode, QFile *file, QString *reason);

} // namespace RegularFile
