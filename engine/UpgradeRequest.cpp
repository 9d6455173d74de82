#include "UpgradeRequest.h"

#include "InstallationRecord.h"
#include "PackageDescriptor.h"

UpgradeRequest UpgradeRequest::of(
    const InstallationRecord &record, const PackageDescriptor &package)
{
    UpgradeRequest request;
    request.mainPath = record.mainPath;
    request.exePath = package.exePath;
    request.version = record.version;
    request.versionTo = package.versionTo;
    // Any value but 0 counts, as it always did for the database step.
    request.databaseInstalled = record.isDb != 0;
    request.upgradeDatabase = package.ifUpgradeDb != 0;
    request.scriptTimeoutSeconds = qMax(0, package.scriptTimeoutSeconds);
    request.dbTimeoutSeconds = qMax(0, package.dbTimeoutSeconds);
    return request;
}
