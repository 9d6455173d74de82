#include "ScriptRunner.h"

#include <QDir>
#include <QFileInfo>

#include "ChildProcess.h"
#include "FaultInjection.h"

namespace {

const int scriptStartTimeoutMs = 30000;

} // namespace

ScriptRunner::ScriptRunner(QObject *parent)
    : QObject(parent)
    , process(new ChildProcess(this))
{
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
        [this](int exitCode) { processFinished(exitCode); });
    // A process that cannot be started never reports finished; its error is
    // the script's end. A crash reports finished as well and is judged there.
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            scriptEnded(false, true);
    });
    // Both channels are read as they come, so a script that writes without
    // end can't grow the installer's memory: the error output's last lines
    // are kept for the log, the rest is dropped.
    connect(process, &QProcess::readyReadStandardError, this, [this] {
        const QByteArray bytes = process->readAllStandardError();
        errors.append(bytes);
        output.append(bytes);
    });
    connect(process, &QProcess::readyReadStandardOutput, this,
        [this] { output.append(process->readAllStandardOutput()); });
}

void ScriptRunner::start(const QStringList &scripts, const QString &workingDirectory,
    int timeLimitSeconds, const std::function<QString(const QString &)> &run)
{
    this->scripts = scripts;
    this->workingDirectory = workingDirectory;
    this->timeLimitSeconds = timeLimitSeconds;
    runPath = run;
    index = -1;
    runNext();
}

bool ScriptRunner::isRunning() const
{
    return process->state() != QProcess::NotRunning;
}

void ScriptRunner::stop()
{
    if (isRunning())
        process->killTree();
}

void ScriptRunner::runNext()
{
    if (++index >= scripts.size()) {
        emit finished(true);
        return;
    }
    pending = true;
    errors.clear();
    output.clear();
    emit scriptStarting(QFileInfo(scripts.at(index)).fileName());
    process->setTimeLimit(timeLimitSeconds);
    process->setWorkingDirectory(workingDirectory);
    // The path is one argument, so that blanks in it reach sh intact.
    process->start(
        QStringLiteral("sh"), QStringList(runPath(scripts.at(index))), QIODevice::ReadWrite);
    // A script waiting for input gets end of file instead of waiting forever.
    if (process->waitForStarted(scriptStartTimeoutMs))
        process->closeWriteChannel();
}

void ScriptRunner::processFinished(int exitCode)
{
    scriptEnded(exitCode == 0 && process->exitStatus() == QProcess::NormalExit, false);
}

void ScriptRunner::scriptEnded(bool succeeded, bool failedToStart)
{
    if (!pending)
        return;
    pending = false;
    FaultInjection::changeMade();

    // Named as the system names paths (on Windows with '\').
    const QString script = QDir::toNativeSeparators(scripts.value(index));
    const bool ended = !failedToStart && process->exitStatus() == QProcess::NormalExit;
    output.append(process->readAllStandardOutput());
    emit scriptReport(
        script, ended ? process->exitCode() : -1, output.lines().join(QLatin1Char('\n')));
    if (succeeded) {
        emit line(tr("%1 执行成功!").arg(script));
        runNext();
        return;
    }
    // The failure is told before its lines, so they can be shown as its lines.
    const QString reason = failureReason(failedToStart);
    emit failed(script, reason);
    emit line(tr("%1 执行失败!").arg(script));
    emit line(tr("失败原因:%1").arg(reason));
    for (const QString &text : errors.lines())
        emit line(tr("错误输出:%1").arg(text));
    emit finished(false);
}

// A script that ran and ended with a code of its own says more through that
// code and its error output than the process object's error text.
QString ScriptRunner::failureReason(bool failedToStart)
{
    if (!failedToStart && process->timedOut())
        return tr("超过时间限制(%1秒),已终止").arg(process->timeLimit());
    if (!failedToStart && cancelled && cancelled())
        return tr("升级已取消");
    if (!failedToStart && process->exitStatus() == QProcess::NormalExit) {
        errors.append(process->readAllStandardError());
        return tr("退出码为%1").arg(process->exitCode());
    }
    return process->errorString();
}
