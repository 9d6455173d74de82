#include "UpgradeLogFile.h"

#include <QCoreApplication>
#include <QDir>

#include "InstallationRecord.h"
#include "PackageDescriptor.h"
#include "Preflight.h"
#include "UpgradeLog.h"

namespace UpgradeLogFile {

std::unique_ptr<UpgradeLog> open(const InstallationRecord &record,
    const PackageDescriptor &package, const QString &packagePath, const PreflightReport &report,
    CUpgradeWorker *worker, QString *error)
{
    auto log = std::make_unique<UpgradeLog>();
    if (!log->open(record.mainPath, QString(), error))
        return nullptr;
    log->writeHeader(packagePath, package.versionFrom, package.versionTo, record.version);
    log->writePreflight(report);
    log->follow(worker);
    return log;
}

QString resultLine(const UpgradeLog *log)
{
    return log ? QCoreApplication::translate("MainWindow", "升级日志:%1")
                     .arg(QDir::toNativeSeparators(log->path()))
               : QString();
}

} // namespace UpgradeLogFile
