#pragma once

#include <QString>

#include <memory>

class CUpgradeWorker;
struct InstallationRecord;
struct PackageDescriptor;
struct PreflightReport;
class UpgradeLog;

// The window's upgrade log: the file below the record's main directory and
// the line that names it on the result page.
namespace UpgradeLogFile {

// Opens the log file, writes what is upgraded with what and the pre-flight's
// verdict, and lets it follow the worker. Null, with the reason in *error,
// when it can't be written.
std::unique_ptr<UpgradeLog> open(const InstallationRecord &record,
    const PackageDescriptor &package, const QString &packagePath, const PreflightReport &report,
    CUpgradeWorker *worker, QString *error);

// "升级日志:<path>" for the result page; empty without a log.
QString resultLine(const UpgradeLog *log);

} // namespace UpgradeLogFile
