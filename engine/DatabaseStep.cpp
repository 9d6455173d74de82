#include "DatabaseStep.h"

#include <QDebug>

#include "ChildProcess.h"
#include "EngineLog.h"
#include "FaultInjection.h"

DatabaseStep::DatabaseStep(QObject *parent)
    : QObject(parent)
    , process(new ChildProcess(this))
{
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
        [this](int exitCode, QProcess::ExitStatus exitStatus) {
            if (!pending)
                return; // this run's end was already judged
            processFinished(exitCode, exitStatus);
        });
    connect(process, &QProcess::readyReadStandardOutput, this, &DatabaseStep::readLines);
    // A helper that cannot be started reports only this, never finished.
    connect(process, &QProcess::errorOccurred, this, &DatabaseStep::startFailed);
    // Its errors come on the error output; the last lines are kept for the
    // log, should it fail.
    connect(process, &QProcess::readyReadStandardError, this,
        [this] { errors.append(process->readAllStandardError()); });
}

QStringList DatabaseStep::arguments(
    bool upgradeDatabase, const QString &beforeDir, const QString &afterDir)
{
    QStringList arguments;
    if (upgradeDatabase)
        arguments << QStringLiteral("--up") << QStringLiteral("yes");
    if (!beforeDir.isEmpty())
        arguments << QStringLiteral("--before") << beforeDir;
    if (!afterDir.isEmpty())
        arguments << QStringLiteral("--after") << afterDir;
    return arguments;
}

bool DatabaseStep::applied(const QString &program, QStringList arguments, bool nothingToRun)
{
    if (arguments.isEmpty())
        return nothingToRun;
    QProcess helper;
    helper.start(program, arguments << QStringLiteral("--applied"));
    const bool answered = helper.waitForFinished(5 * 60 * 1000);
    if (!answered)
        helper.kill();
    return answered && helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0;
}

void DatabaseStep::start(const QString &program, const QStringList &arguments, int timeLimitSeconds)
{
    errors.clear();
    process->setTimeLimit(timeLimitSeconds);
    qCDebug(lcEngine).noquote().nospace() << "program " << program << " arguments:" << arguments;
    pending = true;
    // No working directory is set: the helper inherits the installer's.
    process->start(program, arguments, QIODevice::ReadWrite);
    // The outcome is judged by the process's notifications, not by this wait.
    process->waitForStarted(30000);
}

bool DatabaseStep::isRunning() const
{
    return process->state() != QProcess::NotRunning;
}

void DatabaseStep::stop()
{
    if (isRunning())
        process->killTree();
}

void DatabaseStep::readLines()
{
    // Complete lines only; a last fragment without a line end stays unread.
    while (process->canReadLine())
        emit line(QString::fromUtf8(process->readLine().simplified()));
}

void DatabaseStep::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    pending = false;
    FaultInjection::changeMade();
    if (exitStatus == QProcess::NormalExit && exitCode == 0) {
        emit ended(End::Succeeded);
        return;
    }
    failed(exitCode, exitStatus);
}

// A helper that reports failure through its exit code failed as much as one
// that ended abnormally: the database is not at the new version.
void DatabaseStep::failed(int exitCode, QProcess::ExitStatus exitStatus)
{
    readLines();
    errors.append(process->readAllStandardError());
    QString reason;
    if (process->timedOut())
        reason = tr("数据库升级程序超过时间限制(%1秒),已终止").arg(process->timeLimit());
    else if (cancelled && cancelled())
        reason = tr("升级已取消");
    else if (exitStatus == QProcess::NormalExit)
        reason = tr("数据库升级程序执行失败,退出码为%1").arg(exitCode);
    else
        reason = tr("数据库升级程序异常结束");
    // The failure is told before its lines, so they can be shown as its lines.
    emit failure(reason);
    emit line(reason);
    for (const QString &text : errors.lines())
        emit line(tr("错误输出:%1").arg(text));
    emit ended(End::Failed);
}

void DatabaseStep::startFailed(QProcess::ProcessError error)
{
    // A crash is followed by finished(), which judges it; only a failed start
    // has no other notification.
    if (error != QProcess::FailedToStart || !pending)
        return;
    pending = false;
    const QString reason = tr("数据库升级程序启动失败:%1").arg(process->errorString());
    emit failure(reason);
    emit line(reason);
    emit ended(End::NotStarted);
}
