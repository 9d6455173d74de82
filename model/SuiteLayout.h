#pragma once

#include <QDir>
#include <QString>

// Where the suite keeps things below its main directory. The suite's own
// programs (the database helper under product/<exe>, the project management
// tool under platform/<exe>) find the main directory from their own location.
namespace SuiteLayout {

// Main directory of a program that sits in mainPath/<platform|product>/<exe>.
inline QString mainPathFromProgramDir(const QString &programDir)
{
    return QDir::cleanPath(programDir + QStringLiteral("/../.."));
}

inline QString dataFolder(const QString &mainPath)
{
    return QDir::cleanPath(mainPath + QStringLiteral("/data"));
}

inline QString databaseFile(const QString &mainPath)
{
    return dataFolder(mainPath) + QStringLiteral("/suite.db");
}

inline QString backupFolder(const QString &mainPath)
{
    return QDir::cleanPath(mainPath + QStringLiteral("/backup"));
}

} // namespace SuiteLayout
