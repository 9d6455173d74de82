#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct UpgradeRequest;

// The check before an upgrade: what can be seen wrong before anything changes
// (a file in use or locked, a full disk, a path the system can't handle, a
// missing database helper, a link leading outside the installation), and what
// the upgrade would delete, replace and add. It reads only: nothing on disk
// changes, and the helper is merely asked for its usage.

struct PreflightInput
{
    QString mainPath; // the suite's main directory (the record's MainPath)
    QString exePath; // the descriptor's exe_path
    bool databaseInstalled = false; // the installation has a database part
    bool upgradeDatabase = false; // the package asks for a database upgrade
    QString packageRoot = QStringLiteral(":/upgrade"); // the package tree

    // The check before the upgrade request asks for, of the package tree at packageRoot.
    static PreflightInput of(const UpgradeRequest &request, const QString &packageRoot);
};

struct PreflightProblem
{
    enum Kind {
        InUse, // detail: the programs holding it (may be empty)
        NotWritable, // detail: the system's reason, or why the plan refuses it
        DiskSpace, // path: the main directory; detail: needed and available
        PathTooLong, // detail: the path's length
        NameTooLong, // path: up to the name; detail: the name's length
        HelperMissing,
        HelperNotStartable, // detail: why
        BadExePath, // path: the exe_path as given
        LinkOutside, // path: the link; detail: where it leads
        InstallerOwn // path: a target that is one of the upgrade's own files or folders
    };
    Kind kind = NotWritable;
    QString path;
    QString detail;
    // NotWritable because the system denies this process access: running
    // the upgrade as another account may help.
    bool accessDenied = false;

    // The operator's line.
    QString text() const;
    // The line said once after problems any of which is accessDenied: which
    // account to run the upgrade as.
    static QString accessDeniedHint();
};

struct PreflightReport
{
    QList<PreflightProblem> problems;
    // What the upgrade would delete, replace and add (files and folders; a
    // folder deleted or added goes with what it holds).
    QStringList deletes, updates, adds;
    qint64 bytesNeeded = 0, bytesAvailable = 0;
    bool ok() const { return problems.isEmpty(); }
};

// Runs every check; an invalid exe_path stops it at once (the other checks
// would look in the wrong place).
PreflightReport runPreflight(const PreflightInput &input);

// Whether exe_path is a plain folder name below platform/ and product/ (or
// empty: those folders themselves).
bool isPlainExePath(const QString &exePath);
