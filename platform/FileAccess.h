#pragma once

#include <QString>
#include <QStringList>

// Whether the installation's files and folders can be changed now, asked
// before an upgrade starts, without changing anything: the system's own
// verdict where it gives one without a try (access rights, immutable or
// append-only flags on Linux; exclusive opens and the read-only attribute on
// Windows), and the lengths of paths the system handles.
namespace FileAccess {

struct Verdict
{
    enum Kind {
        Ok,
        InUse, // another program holds it open (Windows)
        Refused // the system would refuse the change
    };
    Kind kind = Ok;
    QString path; // the entry at fault: the one asked about, or one inside a folder
    QString reason; // the system's words, for Refused
    QStringList holders; // the programs holding it, for InUse, as far as known
    // Refused because the system denies this process access (EACCES or EPERM;
    // ERROR_ACCESS_DENIED), which another account may have.
    bool denied = false;
    bool ok() const { return kind == Ok; }
};

// Whether the entry at path (a file, a link itself, or a folder with all it
// holds) can be renamed away now. replacing: a file whose content is replaced
// by another file (on Windows a read-only file can't be).
Verdict checkRemovable(const QString &path, bool replacing);

// Whether new entries can be created in folder, and removed again (the
// upgrade's rollback and clean-up remove what it added).
Verdict checkReceiving(const QString &folder);

// 0 when the system handles path; else the length that is too long, in the
// unit the system counts (characters on Windows, bytes elsewhere): of the whole
// path, or, with *name set to it, of the first name in it that is too long.
int lengthOverLimit(const QString &path, QString *name);

} // namespace FileAccess
