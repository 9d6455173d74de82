#pragma once

#include <QString>

// Fixed names shared by the window and the engine. The installation directory
// is not configurable: on Windows it is absolute, elsewhere it resolves against
// the working directory (tests and the demo run inside a prepared folder).
namespace UpgradeConstants {

inline QString installDir()
{
    return QStringLiteral("C:/Program Files/Tessaron");
}

inline QString recordFileName()
{
    return QStringLiteral("setup_config.xml");
}

// Keeps empty folders in a package; removed from the staging tree after extraction.
inline QString placeholderFileName()
{
    return QStringLiteral("mrk_upgrade_abcdefghigklmnopqrstuvwxyz.txt");
}

inline QString stagingFolderName()
{
    return QStringLiteral("upgrade_temp");
}

inline QString helperProgramName()
{
    return QStringLiteral("upgrade_install_helper.exe");
}

inline QString projectToolName()
{
    return QStringLiteral("db_manager.exe");
}

// The package's descriptor inside the registered resource tree.
inline QString packageDescriptorPath()
{
    return QStringLiteral(":/upgrade/upgrade_config.xml");
}

inline QString packageReadmePath()
{
    return QStringLiteral(":/upgrade/readme.txt");
}

} // namespace UpgradeConstants
