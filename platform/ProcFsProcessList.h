#pragma once

#include <QList>
#include <QString>

#include "ProcessList.h"

// The /proc reader behind ProcessList on Linux, with the /proc root as a
// parameter so that tests can point it at a prepared tree.
namespace ProcFsProcessList {

// Processes below procRoot in ascending process ID order. Zombies (ended, not
// yet reaped) and kernel threads are left out: they hold no program file.
bool snapshot(const QString &procRoot, QList<ProcessEntry> *processes);

// The target of procRoot/<pid>/exe, without the " (deleted)" mark the kernel
// adds when the program file has been removed or replaced since it started.
bool imagePath(const QString &procRoot, qint64 pid, QString *path);

// The name of the user owning procRoot/<pid>, or its number when the system
// knows no name for it.
bool processUser(const QString &procRoot, qint64 pid, QString *user);

} // namespace ProcFsProcessList
