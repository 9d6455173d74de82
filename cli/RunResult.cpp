#include "RunResult.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSysInfo>

#include "ExitCode.h"
#include "FileMoves.h"
#include "ProgramVersion.h"
#include "RegularFile.h"

namespace {

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

QString RunResult::outcome() const
{
    switch (exitCode) {
    case ExitUpgraded:
        if (mode == QLatin1String("recover"))
            return QStringLiteral("consistent");
        if (upToDate)
            return QStringLiteral("up-to-date");
        return mode == QLatin1String("dry-run") ? QStringLiteral("dry-run-passed")
                                                : QStringLiteral("upgraded");
    case ExitRestored:
        return QStringLiteral("restored");
    case ExitNotRestored:
        return QStringLiteral("not-restored");
    case ExitPackageRefused:
        return QStringLiteral("package-refused");
    case ExitSuiteRunning:
        return QStringLiteral("suite-running");
    case ExitBusy:
        return QStringLiteral("busy");
    case ExitPreflightRefused:
        return QStringLiteral("preflight-refused");
    case ExitNoRecord:
        return QStringLiteral("no-record");
    case ExitManualAction:
        return QStringLiteral("manual-action");
    }
    return QStringLiteral("usage");
}

QString RunResult::problemKind(PreflightProblem::Kind kind)
{
    switch (kind) {
    case PreflightProblem::InUse:
        return QStringLiteral("in-use");
    case PreflightProblem::NotWritable:
        return QStringLiteral("not-writable");
    case PreflightProblem::DiskSpace:
        return QStringLiteral("disk-space");
    case PreflightProblem::PathTooLong:
    case PreflightProblem::NameTooLong:
        return QStringLiteral("path-length");
    case PreflightProblem::HelperMissing:
    case PreflightProblem::HelperNotStartable:
        return QStringLiteral("helper");
    case PreflightProblem::BadExePath:
        return QStringLiteral("exe-path");
    case PreflightProblem::LinkOutside:
        return QStringLiteral("link");
    case PreflightProblem::InstallerOwn:
        break;
    }
    return QStringLiteral("own-files");
}

QJsonObject RunResult::toJson() const
{
    QJsonArray problems, running, failed;
    for (const PreflightProblem &problem : preflightProblems)
        problems.append(QJsonObject { { "kind", problemKind(problem.kind) },
            { "path", QDir::toNativeSeparators(problem.path) }, { "detail", problem.detail } });
    for (const RunningProgram &program : runningPrograms)
        running.append(QJsonObject { { "name", program.name }, { "pid", program.pid },
            { "path", QDir::toNativeSeparators(program.path) }, { "user", program.user },
            { "closed", program.closed } });
    for (const Failure &failure : failures)
        failed.append(QJsonObject {
            { "kind", failure.kind }, { "target", failure.target }, { "reason", failure.reason } });
    const QJsonValue package = packageFile.isEmpty()
        ? QJsonValue(QJsonValue::Null)
        : QJsonObject { { "file",
                            QDir::toNativeSeparators(QFileInfo(packageFile).absoluteFilePath()) },
              { "sha256", orNull(packageSha256) } };
    const QDateTime end = ended.isValid() ? ended : started;
    return QJsonObject { { "schema", 1 }, { "program", "upgrade_install" },
        { "programVersion", ProgramVersion::number() }, { "host", QSysInfo::machineHostName() },
        { "mode", mode }, { "mainDirectory", orNull(QDir::toNativeSeparators(mainDirectory)) },
        { "package", package },
        { "versions",
            QJsonObject { { "from", orNull(versionFrom) }, { "to", orNull(versionTo) },
                { "installedBefore", orNull(installedBefore) },
                { "installedAfter", orNull(installedAfter) } } },
        { "outcome", outcome() }, { "exitCode", exitCode }, { "changed", changed },
        { "started", utc(started) }, { "ended", utc(end) },
        { "durationMs", qMax<qint64>(0, started.msecsTo(end)) }, { "preflightProblems", problems },
        { "runningPrograms", running }, { "failures", failed },
        { "manualActions", QJsonArray::fromStringList(manualActions) },
        { "logFile", orNull(QDir::toNativeSeparators(logFile)) } };
}

bool RunResult::write(const QString &path, QString *error) const
{
    const QByteArray bytes = QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
    const QFileInfo target(path);
    QString reason;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name
            = QStringLiteral("%1/.%2.%3.tmp")
                  .arg(target.absolutePath(), target.fileName())
                  .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        QFile file;
        const RegularFile::Creation created
            = RegularFile::createForWriting(name, QIODevice::NotOpen, &file, &reason);
        if (created == RegularFile::Creation::Exists)
            continue;
        if (created == RegularFile::Creation::Failed)
            break;
        const bool written = file.write(bytes) == bytes.size() && file.flush();
        if (!written)
            reason = file.errorString();
        file.close();
        if (written && FileMoves::moveReplacing(name, path, &reason) == FileMoves::Result::Done)
            return true;
        QFile::remove(name);
        break;
    }
    *error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), reason);
    return false;
}

QString RunResult::sha256Of(const QString &path)
{
    QFile file;
    QString reason;
    if (RegularFile::openForReading(path, &file, &reason) != RegularFile::Refusal::None)
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}
