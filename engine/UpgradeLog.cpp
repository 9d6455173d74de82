#include "UpgradeLog.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPair>
#include <QRandomGenerator>

#include <algorithm>

#include "CUpgradeWorker.h"
#include "FileMoves.h"
#include "PathGuard.h"
#include "Preflight.h"
#include "ProgramVersion.h"
#include "RegularFile.h"
#include "UpgradeOutcome.h"
#include "VisibleText.h"

UpgradeLog::UpgradeLog(QObject *parent)
    : QObject(parent)
{ }

UpgradeLog::~UpgradeLog() = default;

bool UpgradeLog::open(const QString &mainPath, const QString &copyPath, QString *error)
{
    // Each is opened even when the other can't be: what can be written is.
    bool ok = mainPath.isEmpty() || openInMainDirectory(mainPath, error);
    if (!copyPath.isEmpty() && !openCopy(copyPath)) {
        *error = ok ? copyFailure : *error + QStringLiteral("; ") + copyFailure;
        ok = false;
    }
    return ok;
}

// A copy of this run's log: what an earlier run left there goes, by a rename
// of a new file over it (a link is replaced, not followed; another name of
// the same file keeps its contents).
bool UpgradeLog::openCopy(const QString &copyPath)
{
    copyTarget = copyPath;
    const QFileInfo target(copyPath);
    QString reason;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name
            = QStringLiteral("%1/.%2.%3.tmp")
                  .arg(target.absolutePath(), target.fileName())
                  .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        const RegularFile::Creation created
            = RegularFile::createForWriting(name, QIODevice::Text, &copy, &reason);
        if (created == RegularFile::Creation::Exists)
            continue;
        if (created == RegularFile::Creation::Created) {
            if (FileMoves::moveReplacing(name, copyPath, &reason) == FileMoves::Result::Done)
                return true;
            copy.close();
            QFile::remove(name);
        }
        break;
    }
    copyFailed(reason);
    return false;
}

void UpgradeLog::copyFailed(const QString &reason)
{
    copyFailure = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(copyTarget), reason);
    copy.close();
}

QString UpgradeLog::withCopyProblem(const QString &resultLine) const
{
    if (copyFailure.isEmpty())
        return resultLine;
    const QString note = tr(",日志副本未能写入");
    const int code = resultLine.lastIndexOf(QStringLiteral("(退出码"));
    return code < 0 ? resultLine + note : resultLine.left(code) + note + resultLine.mid(code);
}

bool UpgradeLog::openInMainDirectory(const QString &mainPath, QString *error)
{
    const QString folder = QDir(mainPath).filePath(QStringLiteral("logs"));
    // The log and the removal of old ones stay inside the installation.
    PathGuard::Escape escape;
    if (!PathGuard(mainPath).check(folder, &escape)) {
        *error = PathGuard::describe(escape);
        return false;
    }
    if (!QDir().mkpath(folder)) {
        *error = tr("无法创建文件夹%1").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    // A new file of its own: another run in the same second takes the next
    // number, and nothing that is there already (a link included) is opened.
    for (int n = 1;; ++n) {
        const QString name = n == 1
            ? QStringLiteral("%1/upgrade-%2.log").arg(folder, stamp)
            : QStringLiteral("%1/upgrade-%2-%3.log").arg(folder, stamp).arg(n);
        file.setFileName(name);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Text))
            break;
        if (n >= 1000 || (!QFileInfo(name).isSymLink() && !QFileInfo::exists(name))) {
            *error
                = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(name), file.errorString());
            return false;
        }
    }
    removeOldLogs(folder);
    return true;
}

void UpgradeLog::follow(CUpgradeWorker *worker)
{
    connect(worker, &CUpgradeWorker::status, this, &UpgradeLog::write);
    connect(worker, &CUpgradeWorker::sigScriptReport, this, &UpgradeLog::writeScriptReport);
    connect(worker, &CUpgradeWorker::sigOutcome, this, &UpgradeLog::writeOutcome);
}

void UpgradeLog::writeHeader(const QString &packageFile, const QString &versionFrom,
    const QString &versionTo, const QString &installedVersion)
{
    for (const QString &line : headerLines(packageFile, versionFrom, versionTo, installedVersion))
        write(line);
}

QStringList UpgradeLog::headerLines(const QString &packageFile, const QString &versionFrom,
    const QString &versionTo, const QString &installedVersion)
{
    return { ProgramVersion::line(QStringLiteral("upgrade_install")),
        tr("升级包:%1").arg(QDir::toNativeSeparators(QFileInfo(packageFile).absoluteFilePath())),
        tr("升级包适用版本:%1 至 %2,升级后版本:%2").arg(versionFrom, versionTo),
        tr("当前安装版本:%1").arg(installedVersion) };
}

void UpgradeLog::writePreflight(const PreflightReport &report)
{
    if (!report.ok()) {
        write(tr("升级前检查未通过:"));
        for (const PreflightProblem &problem : report.problems)
            write(QStringLiteral("    ") + problem.text());
        return;
    }
    write(tr("升级前检查通过:删除%1项,更新%2项,添加%3项")
              .arg(report.deletes.size())
              .arg(report.updates.size())
              .arg(report.adds.size()));
}

void UpgradeLog::write(const QString &line)
{
    // Lines carry file names and script output: whatever they hold stays on
    // this one line.
    const QByteArray bytes
        = (stamp() + QLatin1Char(' ') + VisibleText::escaped(line) + QLatin1Char('\n')).toUtf8();
    if (file.isOpen()) {
        file.write(bytes);
        file.flush();
    }
    // A copy that can't be written (a full disk) is said in the result line.
    if (copy.isOpen() && (copy.write(bytes) != bytes.size() || !copy.flush()))
        copyFailed(copy.errorString());
}

// The local time as Qt::ISODateWithMs writes it. Converting to local time
// takes most of a line's cost, and an upgrade writes tens of thousands of
// lines, sometimes on the window's thread: the conversion is made once a
// second (an offset change still shows from the next second on).
QString UpgradeLog::stamp()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = now >= 0 ? now / 1000 : (now - 999) / 1000;
    if (second != stampSecond || stampPrefix.isEmpty()) {
        stampSecond = second;
        stampPrefix = QDateTime::fromMSecsSinceEpoch(second * 1000)
                          .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss."));
    }
    return stampPrefix + QStringLiteral("%1").arg(now - second * 1000, 3, 10, QLatin1Char('0'));
}

void UpgradeLog::writeScriptReport(const QString &script, int exitCode, const QString &lastLines)
{
    write(exitCode < 0 ? tr("脚本%1未正常结束").arg(script)
                       : tr("脚本%1退出码为%2").arg(script).arg(exitCode));
    if (!lastLines.isEmpty()) {
        write(tr("脚本%1最后输出:").arg(script));
        for (const QString &line : lastLines.split(QLatin1Char('\n')))
            write(QStringLiteral("    ") + line);
    }
}

void UpgradeLog::writeOutcome(UpgradeOutcome outcome)
{
    write(withCopyProblem(outcomeText(int(outcome))));
}

QString UpgradeLog::outcomeText(int outcome)
{
    switch (UpgradeOutcome(outcome)) {
    case UpgradeOutcome::Upgraded:
        return tr("结果:升级成功(退出码0)");
    case UpgradeOutcome::Restored:
        return tr("结果:升级失败,安装已恢复到升级前的版本(退出码1)");
    case UpgradeOutcome::NotRestored:
        return tr("结果:升级失败,安装未能完全恢复(退出码2)");
    case UpgradeOutcome::Busy:
        return tr("结果:另一个升级程序正在运行,未作任何改动(退出码5)");
    }
    return tr("结果:未知(%1)").arg(outcome);
}

namespace {

// Where a log stands among the others: its time stamp, then the number that
// tells apart the logs of one second ("upgrade-<stamp>-<n>.log"; none is 1).
QPair<QString, int> logOrder(const QString &fileName)
{
    const QString stem = fileName.mid(8, fileName.size() - 8 - 4); // "upgrade-", ".log"
    const QString stamp = stem.left(15);
    bool numbered = false;
    const int n = stem.mid(16).toInt(&numbered);
    return { stamp, numbered ? n : 1 };
}

} // namespace

// The newest logs stay (this run's always); what is older than the kept
// number goes.
void UpgradeLog::removeOldLogs(const QString &folder)
{
    QFileInfoList logs
        = QDir(folder).entryInfoList({ QStringLiteral("upgrade-*.log") }, QDir::Files);
    std::sort(logs.begin(), logs.end(), [](const QFileInfo &a, const QFileInfo &b) {
        return logOrder(a.fileName()) > logOrder(b.fileName());
    });
    const QString current = QFileInfo(file.fileName()).absoluteFilePath();
    int kept = 1; // this run's
    for (const QFileInfo &log : qAsConst(logs)) {
        if (log.absoluteFilePath() == current)
            continue;
        if (kept < keptLogs)
            ++kept;
        else
            QFile::remove(log.absoluteFilePath());
    }
}
