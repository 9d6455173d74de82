#pragma once

#include <QDir>
#include <QString>
#include <QStringList>

// Where things are in an installation of the suite: the one place that knows
// the folder names below the main directory and how paths are joined.
//
// The installer joins its paths as text with the native separator (a
// backslash on Windows), the way they appear in its log. The suite's own
// programs (the database helper under product/<exe>, the project management
// tool under platform/<exe>) use the cleaned forms with "/" at the end.
namespace SuiteLayout {

// folder + native separator + name, as text, without cleaning.
QString join(const QString &folder, const QString &name);

// The installation record read at start-up: "%1%2%3" of the installation
// directory, the native separator and setup_config.xml.
QString installationRecord(const QString &installDir);
// Both copies the upgrade rewrites: the one in the installation directory,
// then product/common/sysconfig/setup_config.xml below the main directory.
QStringList recordCopies(const QString &installDir, const QString &mainPath);

// The staging folder upgrade_temp and the staged package below it.
QString stagingRoot(const QString &mainPath);
QString stagedPackageRoot(const QString &mainPath);
// Step folders of the staged package: delete, update, add.
QString stagedStepFolder(const QString &mainPath, const QString &step);
// Script folders: shell/shell_before, shell/shell_after.
QString stagedScriptFolder(const QString &mainPath, const QString &folder);
// SQL folders: db/db_before, db/db_after.
QString stagedDbFolder(const QString &mainPath, const QString &folder);

// What a transactional upgrade keeps in the main directory while it runs: the
// lock that admits one upgrade at a time, the journal of the changes, and the
// folder that holds what they replaced or removed.
QString lockFile(const QString &mainPath);
// The installation's trusted package-signing keys (*.pub).
QString trustedKeysFolder(const QString &mainPath);
QString journalFile(const QString &mainPath);
QString backupRoot(const QString &mainPath);
// The package's rollback scripts: shell/shell_rollback.
QString rollbackScriptFolderName();

// The two folders below the main directory that hold the suite's programs.
QString platformFolderName();
QString productFolderName();
// The database helper: product/<exe>/upgrade_install_helper.exe.
QString helperProgram(const QString &mainPath, const QString &exePath);
// The project management tool: platform/<exe>/db_manager.exe.
QString projectTool(const QString &mainPath, const QString &exePath);

// Main directory of a program that sits in mainPath/<platform|product>/<exe>.
QString mainPathFromProgramDir(const QString &programDir);
// Whether programDir is mainPath/<folderName>/<exe>, where the suite puts its
// programs (folderName: platformFolderName() or productFolderName()). A
// program installed anywhere else must not take the folder two levels up for
// a main directory.
bool programSitsInSuite(const QString &programDir, const QString &folderName);
QString dataFolder(const QString &mainPath);
QString databaseFile(const QString &mainPath);
QString backupFolder(const QString &mainPath);

} // namespace SuiteLayout
