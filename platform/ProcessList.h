#pragma once

#include <QList>
#include <QString>

// One running process as the platform's process list reports it.
struct ProcessEntry
{
    qint64 pid = 0;
    QString name; // executable file name, no directory
};

// The platform's list of running processes: Toolhelp snapshots on Windows,
// /proc elsewhere. Implemented in ProcessList_win.cpp and ProcessList_linux.cpp.
namespace ProcessList {

// All running processes in the platform's order; false when they can't be listed.
bool snapshot(QList<ProcessEntry> *processes);

// Full path of the process's executable; false (and an empty path) when it
// can't be read, for example for another user's process.
bool imagePath(qint64 pid, QString *path);

// The account the process runs as: "DOMAIN\user" on Windows, the user name
// of its owner (or the number when it has none) elsewhere. False (and an
// empty name) when it can't be read.
bool processUser(qint64 pid, QString *user);

// The same path in a buffer of imagePathCapacity UTF-16 units, the platform's
// path limit, null-terminated; false (and an empty buffer) when it can't be
// read or doesn't fit.
constexpr int imagePathCapacity = 260;
bool imagePath(qint64 pid, char16_t *buffer);

} // namespace ProcessList
