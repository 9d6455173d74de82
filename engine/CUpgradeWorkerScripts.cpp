#include "CUpgradeWorker.h"

#include <QDir>
#include <QFileInfo>

#include "ChildProcess.h"
#include "FaultInjection.h"
#include "SuiteLayout.h"

// The before and after script steps: one runner, run with the step's members.

namespace {

const int scriptStartTimeoutMs = 30000;

} // namespace

void CUpgradeWorker::slotExeShellBefore()
{
    enterScriptStep(shellBefore);
}

void CUpgradeWorker::runShellBefore(int index)
{
    runScript(shellBefore, index);
}

void CUpgradeWorker::slotFinishShellBefore(int exitCode)
{
    scriptFinished(shellBefore, exitCode);
}

void CUpgradeWorker::slotExeShellAfter()
{
    enterScriptStep(shellAfter);
}

void CUpgradeWorker::runShellAfter(int index)
{
    runScript(shellAfter, index);
}

void CUpgradeWorker::slotFinishShellAfter(int exitCode)
{
    scriptFinished(shellAfter, exitCode);
}

void CUpgradeWorker::slotFinishShellRollback(int exitCode)
{
    scriptFinished(shellRollback, exitCode);
}

void CUpgradeWorker::enterScriptStep(ScriptStep &step)
{
    // The rollback scripts run on whatever is left after a failure.
    if (&step != &shellRollback && !stepCanRun())
        return;
    const QStringList scripts = findScripts(step.folder);
    if (scripts.isEmpty()) {
        emit(this->*step.next)();
        return;
    }
    step.index = 0;
    step.list.clear();
    if (!step.process)
        step.process = createScriptProcess(step);
    step.list = scripts;
    runScript(step, 0);
}

void CUpgradeWorker::runScript(ScriptStep &step, int index)
{
    step.index = index;
    if (step.index >= step.list.size()) {
        emit(this->*step.next)();
        return;
    }
    step.running = true;
    scriptErrors.clear();
    scriptOutput.clear();
    progressed(tr("正在执行脚本 %1").arg(QFileInfo(step.list.at(step.index)).fileName()), 0);
    static_cast<ChildProcess *>(step.process)->setTimeLimit(scriptTimeoutSeconds);
    step.process->setWorkingDirectory(installPath);
    // The path is one argument, so that blanks in it reach sh intact.
    step.process->start(QStringLiteral("sh"), QStringList(throughHeld(step.list.at(step.index))),
        QIODevice::ReadWrite);
    // A script waiting for input gets end of file instead of waiting forever.
    if (step.process->waitForStarted(scriptStartTimeoutMs))
        step.process->closeWriteChannel();
}

void CUpgradeWorker::scriptFinished(ScriptStep &step, int exitCode)
{
    scriptEnded(step, exitCode == 0 && step.process->exitStatus() == QProcess::NormalExit);
}

QStringList CUpgradeWorker::findScripts(const QString &folderName) const
{
    // Listed through the held staging folder; named as the log knows them.
    const QString path = SuiteLayout::stagedScriptFolder(installPath, folderName);
    const QDir dir(throughHeld(path));
    if (!dir.exists())
        return {};
    // Name filters match without regard to case, so "c.BAT" is a script too.
    const QStringList names = dir.entryList(QStringList(QStringLiteral("*.bat")),
        QDir::Files | QDir::NoSymLinks, QDir::Name | QDir::IgnoreCase);
    const QString folder = QDir::fromNativeSeparators(QDir(path).absolutePath());
    QStringList scripts;
    for (const QString &name : names)
        scripts.append(folder + QLatin1Char('/') + name);
    return scripts;
}

QProcess *CUpgradeWorker::createScriptProcess(ScriptStep &step)
{
    auto *process = new ChildProcess(this);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
        step.finished);
    // A process that cannot be started never reports finished; its error is
    // the script's end. A crash reports finished as well and is judged there.
    connect(process, &QProcess::errorOccurred, this, [this, &step](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            scriptEnded(step, false, true);
    });
    // Both channels are read as they come, so a script that writes without
    // end can't grow the installer's memory: the error output's last lines
    // are kept for the log, the rest is dropped.
    connect(process, &QProcess::readyReadStandardError, this, [this, process] {
        const QByteArray bytes = process->readAllStandardError();
        scriptErrors.append(bytes);
        scriptOutput.append(bytes);
    });
    connect(process, &QProcess::readyReadStandardOutput, this,
        [this, process] { scriptOutput.append(process->readAllStandardOutput()); });
    return process;
}

void CUpgradeWorker::scriptEnded(ScriptStep &step, bool succeeded, bool failedToStart)
{
    if (!step.running)
        return;
    step.running = false;
    FaultInjection::changeMade();

    // Named as the system names paths (on Windows with '\').
    const QString script = QDir::toNativeSeparators(step.list.value(step.index));
    const bool ended = !failedToStart && step.process->exitStatus() == QProcess::NormalExit;
    scriptOutput.append(step.process->readAllStandardOutput());
    emit sigScriptReport(script, ended ? step.process->exitCode() : -1,
        scriptOutput.lines().join(QLatin1Char('\n')));
    progressed(QString());
    if (succeeded) {
        emit status(tr("%1 执行成功!").arg(script));
        runScript(step, step.index + 1);
        return;
    }
    emit status(tr("%1 执行失败!").arg(script));
    emit status(tr("失败原因:%1").arg(scriptFailureReason(step, failedToStart)));
    reportErrorOutput(scriptErrors);
    if (&step == &shellRollback) {
        // The upgrade has failed already; what the rest would have put right
        // stays undone.
        restoreFailed = true;
        emit status(tr("回滚脚本执行失败,安装可能未完全恢复"));
        rollbackScriptsEnded();
        return;
    }
    slotFaildClear();
}

// A script that ran and ended with a code of its own says more through that
// code and its error output than the process object's error text.
QString CUpgradeWorker::scriptFailureReason(ScriptStep &step, bool failedToStart)
{
    auto *process = static_cast<ChildProcess *>(step.process);
    if (!failedToStart && process->timedOut())
        return tr("超过时间限制(%1秒),已终止").arg(process->timeLimit());
    if (!failedToStart && cancelRequested && &step != &shellRollback)
        return tr("升级已取消");
    if (!failedToStart && process->exitStatus() == QProcess::NormalExit) {
        scriptErrors.append(process->readAllStandardError());
        return tr("退出码为%1").arg(process->exitCode());
    }
    return process->errorString();
}
