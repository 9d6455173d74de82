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

// The package's top folder: ":/upgrade" once registered, "upgrade" staged.
inline QString packageFolderName()
{
    return QStringLiteral("upgrade");
}

// The package's descriptor and readme inside the registered resource tree.
inline QString packageDescriptorPath()
{
    return QStringLiteral(":/%1/upgrade_config.xml").arg(packageFolderName());
}

inline QString packageReadmePath()
{
    return QStringLiteral(":/%1/readme.txt").arg(packageFolderName());
}

} // namespace UpgradeConstants
