#pragma once

#include <functional>

#include <QList>
#include <QString>
#include <QStringList>

#include "ProcessList.h"

// A running program of the suite, as an administrator needs it named.
struct RunningProgram
{
    QString name; // executable file name
    qint64 pid = 0;
    QString path; // its executable's full path; empty when it can't be read
    QString user; // the account it runs as; empty when it can't be read
    bool closed = false; // it was asked to close and has ended
};

// Finds running programs of the suite that must not run during an upgrade.
namespace SuiteGuard {

// mainPath/<top>/<exePath>, each step taken only when the folder exists
// (an empty exePath adds no step). Returned as an absolute path.
QString programFolder(const QString &mainPath, const QString &top, const QString &exePath);

// Executable names directly in dir (no sub-folders, no hidden files), sorted by
// name ignoring case. A name counts when it is at least five characters long and
// ends in "exe" (any letter case on Windows, where file names ignore case).
QStringList listExecutables(const QString &dir);

// Executables of the platform folder followed by those of the product folder.
QStringList listSuiteExecutables(const QString &mainPath, const QString &exePath);

using ImagePathFunction = std::function<bool(qint64 pid, QString *path)>;
// The account a process runs as; empty when it can't be read.
using UserFunction = std::function<QString(qint64 pid)>;

// Whether path, a process's executable as the process list reports it, is the
// program name directly in platformDir or productDir (links resolved on Linux).
bool isFolderProgram(const QString &path, const QString &name, const QString &platformDir,
    const QString &productDir);

// Name of the first process in list order that blocks the upgrade: its name is
// on the blocking list, and its path is unknown or is one of the two folders'
// programs. Names holding "upgrade_install" (the installer and its helper) never
// block. Empty when nothing blocks.
QString findBlockingProcess(const QList<ProcessEntry> &processes, const QStringList &names,
    const QString &platformDir, const QString &productDir, const ImagePathFunction &imagePath);

// Every process that blocks the upgrade (findBlockingProcess's rules), in list
// order, with its path (empty when unknown) and user.
QList<RunningProgram> findBlockingPrograms(const QList<ProcessEntry> &processes,
    const QStringList &names, const QString &platformDir, const QString &productDir,
    const ImagePathFunction &imagePath, const UserFunction &user);

// Every running program that blocks an upgrade of the installation at mainPath
// (findBlockingPrograms over the process list); empty when none does, or when
// the processes can't be listed.
QList<RunningProgram> findRunningSuitePrograms(const QString &mainPath, const QString &exePath);

// Name of the first running program that blocks an upgrade of the installation
// at mainPath whose programs sit below platform/<exePath> and product/<exePath>
// (findBlockingProcess over the process list); empty when none does, or when
// the processes can't be listed.
QString findRunningSuiteProcess(const QString &mainPath, const QString &exePath);

} // namespace SuiteGuard
