#include "PackageFit.h"

#include <QCoreApplication>

#include "VersionText.h"

namespace PackageFit {

FitVerdict checkSelected(const InstallationRecord &record, const PackageDescriptor &package)
{
    return package.productId != -1 && record.productId != -1 ? FitVerdict::Fits
                                                             : FitVerdict::NotSelected;
}

FitVerdict checkProductId(const InstallationRecord &record, const PackageDescriptor &package)
{
    return record.productId == package.productId ? FitVerdict::Fits : FitVerdict::ProductMismatch;
}

FitVerdict checkVersion(const InstallationRecord &record, const PackageDescriptor &package)
{
    switch (
        judgeVersion(record.version, package.versionFrom, package.versionTo, package.upgradeType)) {
    case VersionVerdict::Fits:
        return FitVerdict::Fits;
    case VersionVerdict::BadInstalledVersion:
        return FitVerdict::BadInstalledVersion;
    case VersionVerdict::BadFromVersion:
        return FitVerdict::BadFromVersion;
    case VersionVerdict::BadToVersion:
        return FitVerdict::BadToVersion;
    case VersionVerdict::BelowRange:
    case VersionVerdict::AboveRange:
    case VersionVerdict::UnknownUpgradeType:
        break;
    }
    return FitVerdict::NotApplicable;
}

FitVerdict judge(const InstallationRecord &record, const PackageDescriptor &package)
{
    for (auto check : { checkSelected, checkProductId, checkVersion }) {
        const FitVerdict verdict = check(record, package);
        if (verdict != FitVerdict::Fits)
            return verdict;
    }
    return FitVerdict::Fits;
}

QString message(FitVerdict verdict)
{
    const char *context = "MainWindow";
    switch (verdict) {
    case FitVerdict::Fits:
        break;
    case FitVerdict::NotSelected:
        return QCoreApplication::translate(context, "未选择升级包");
    case FitVerdict::ProductMismatch:
        return QCoreApplication::translate(context, "产品ID不匹配");
    case FitVerdict::BadInstalledVersion:
        return QCoreApplication::translate(context, "系统版本格式有误");
    case FitVerdict::BadFromVersion:
        return QCoreApplication::translate(context, "升级包开始版本格式有误");
    case FitVerdict::BadToVersion:
        return QCoreApplication::translate(context, "升级包结束版本格式有误");
    case FitVerdict::NotApplicable:
        return QCoreApplication::translate(context, "此升级包不适用于本系统升级");
    }
    return QString();
}

QString message(
    FitVerdict verdict, const InstallationRecord &record, const PackageDescriptor &package)
{
    if (verdict != FitVerdict::ProductMismatch)
        return message(verdict);
    // The short text stays the sentence's start, for whatever looks for it.
    return message(verdict)
        + QCoreApplication::translate("MainWindow", ":升级包适用于产品ID %1,本机安装的产品ID为 %2")
              .arg(package.productId)
              .arg(record.productId);
}

} // namespace PackageFit
