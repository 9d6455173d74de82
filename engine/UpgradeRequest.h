#pragma once

#include <QString>

struct InstallationRecord;
struct PackageDescriptor;

// What one upgrade is asked to do, as the window and the command line hand it
// to the engine and as the journal's header keeps it for a later recovery.
struct UpgradeRequest
{
    QString version; // installed before the upgrade
    QString versionTo; // what the package brings
    QString exePath; // the package's program folder below platform/ and product/
    bool databaseInstalled = false; // the installation has a database part
    bool upgradeDatabase = false; // the package asks for a database upgrade
    QString mainPath {}; // the suite's main directory (the record's MainPath)
    // Time limits of a script and of the database helper, in seconds; 0: none.
    int scriptTimeoutSeconds = 30 * 60;
    int dbTimeoutSeconds = 0;

    // The request for installing package on the installation record describes.
    static UpgradeRequest of(const InstallationRecord &record, const PackageDescriptor &package);
};
