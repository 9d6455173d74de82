#pragma once

#include <QString>

#include "InstallationRecord.h"
#include "PackageDescriptor.h"

// Whether a package fits the installed system: chosen at all, for the same
// product, and covering the installed version with a known upgrade type. The
// checks run in that order; the first that fails decides the verdict.
enum class FitVerdict {
    Fits,
    NotSelected, // either product ID is -1
    ProductMismatch,
    BadInstalledVersion,
    BadFromVersion,
    BadToVersion,
    NotApplicable // outside the range, another series, or an unknown upgrade type
};

namespace PackageFit {

// The single checks, each one's verdict Fits or its own failure.
FitVerdict checkSelected(const InstallationRecord &record, const PackageDescriptor &package);
FitVerdict checkProductId(const InstallationRecord &record, const PackageDescriptor &package);
FitVerdict checkVersion(const InstallationRecord &record, const PackageDescriptor &package);

// All three in order, stopping at the first failure.
FitVerdict judge(const InstallationRecord &record, const PackageDescriptor &package);

// The operator's text for a failed verdict (translation context MainWindow);
// empty for Fits.
QString message(FitVerdict verdict);
// The same, naming both product IDs for a product mismatch, e.g.
// "产品ID不匹配:升级包适用于产品ID 7,本机安装的产品ID为 3".
QString message(
    FitVerdict verdict, const InstallationRecord &record, const PackageDescriptor &package);

} // namespace PackageFit
