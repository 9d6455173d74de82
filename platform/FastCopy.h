#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QFileInfo>
#include <QString>

#include <cstdint>
#include <optional>

// The copying of one file's bytes by the quickest road the system offers.
// On Linux a new file is written directly from a descriptor, in large blocks
// or inside the kernel, where QFile::copy goes through an anonymous temporary
// file that it flushes to disk before linking it in. Windows has no such road
// here: every copy there is left to QFile::copy.
namespace FastCopy {

enum class Outcome {
    Copied,
    Failed, // *reason says why; nothing is left at the target
    Differs, // read back, the new file did not hold the bytes written; nothing is left
    NotTried // something was unusual before anything was written: nothing was done
};

// When set, a new file is left as makeAccessible leaves it, keeping these
// execute bits; else it keeps the mode it was created with.
using Access = std::optional<QFileDevice::Permissions>;

// Creates target (never replacing anything) as a copy of the regular file
// source, and sets *size to the size it copied.
Outcome copyNew(const QString &source, const QString &target, const Access &access, qint64 *size,
    QString *reason);

// Creates target (never replacing anything) holding the size bytes at data;
// with readBack it reads the new file back and compares.
Outcome writeNew(const QString &target, const char *data, qint64 size, bool readBack,
    const Access &access, QString *reason);

// A folder held open while many files are created in it: each is then made
// by its name relative to the folder (Linux), where its whole path would be
// looked up again for every file. Elsewhere it holds nothing.
class Folder
{
public:
    explicit Folder(const QString &path);
    ~Folder();
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
    bool isOpen() const { return handle >= 0; }
    std::intptr_t native() const { return handle; }

private:
    std::intptr_t handle = -1;
};

// writeNew for the file name in folder (which must be open); target is the
// same file by its path.
Outcome writeNewIn(const Folder &folder, const QString &name, const char *data, qint64 size,
    const Access &access, QString *reason);

// Whether the file at path holds exactly bytes.
bool holdsExactly(const QString &path, const QByteArray &bytes);

// Leaves a file just copied readable and writable. On Windows the read-only
// attribute is cleared; elsewhere the mode becomes 0644 plus the execute bits
// given in keepExecutable.
void makeAccessible(const QString &path, QFileDevice::Permissions keepExecutable);

// The execute bits of the installed file that a copy replacing it keeps (a
// replaced program stays startable); none on Windows, which has none.
QFileDevice::Permissions executeBitsOf(const QFileInfo &installed);

} // namespace FastCopy
