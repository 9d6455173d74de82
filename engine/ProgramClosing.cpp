#include "ProgramClosing.h"

#include <algorithm>

#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

#include "ProcessList.h"
#include "ProgramCloser.h"
#include "SuiteLayout.h"

namespace {

QString nameAndPid(const RunningProgram &program)
{
    return QStringLiteral("%1 (PID %2)").arg(program.name, QString::number(program.pid));
}

// Whether the program still runs: its process ID still runs its executable
// (a reused ID runs another). A process that is ending has given its
// executable back before it is gone from the process list, where the
// admission would still find it by name: it runs until the list drops it.
bool stillRuns(const RunningProgram &program)
{
    QString path;
    if (ProcessList::imagePath(program.pid, &path))
        return path == program.path;
    QList<ProcessEntry> processes;
    if (!ProcessList::snapshot(&processes))
        return false;
    return std::any_of(processes.cbegin(), processes.cend(), [&program](const ProcessEntry &entry) {
        return entry.pid == program.pid && entry.name == program.name;
    });
}

} // namespace

ProgramClosing::ProgramClosing(const QString &mainPath, const QString &exePath)
    : platformDir(SuiteGuard::programFolder(mainPath, SuiteLayout::platformFolderName(), exePath))
    , productDir(SuiteGuard::programFolder(mainPath, SuiteLayout::productFolderName(), exePath))
{ }

UpgradeAdmission::Verdict ProgramClosing::closeAndCheck(const UpgradeAdmission &admission,
    const UpgradeAdmission::Verdict &verdict, int waitSeconds, const Say &say) const
{
    if (verdict.refusal != UpgradeAdmission::Refusal::SuiteRunning)
        return verdict;
    const QList<RunningProgram> asked = ask(verdict.running, say);
    if (asked.isEmpty())
        return verdict;
    const QList<RunningProgram> closed = waitForEnd(asked, waitSeconds, say);
    UpgradeAdmission::Verdict again = admission.check();
    again.running += closed;
    return again;
}

QString ProgramClosing::describe(const RunningProgram &program)
{
    // One arg() call: a "%" in a name or path stays as it is.
    return tr("%1 (PID %2, %3, 用户 %4)")
        .arg(program.name, QString::number(program.pid),
            program.path.isEmpty() ? tr("路径未知") : QDir::toNativeSeparators(program.path),
            program.user.isEmpty() ? tr("用户未知") : program.user);
}

QList<RunningProgram> ProgramClosing::ask(
    const QList<RunningProgram> &running, const Say &say) const
{
    QList<RunningProgram> asked;
    for (const RunningProgram &program : running) {
        ProgramCloser::Outcome outcome;
        if (program.path.isEmpty())
            outcome = { ProgramCloser::Result::Failed, tr("程序路径未知") };
        else if (!SuiteGuard::isFolderProgram(program.path, program.name, platformDir, productDir))
            outcome = { ProgramCloser::Result::Failed, tr("程序不在套件的程序目录中") };
        else
            outcome = ProgramCloser::askToEnd(program.pid, program.path);
        if (outcome.result == ProgramCloser::Result::Asked) {
            say(tr("正在请套件程序退出:%1").arg(nameAndPid(program)));
            asked.append(program);
        } else if (outcome.result != ProgramCloser::Result::Gone) {
            say(tr("无法请套件程序退出:%1:%2").arg(nameAndPid(program), outcome.reason));
        }
    }
    return asked;
}

QList<RunningProgram> ProgramClosing::waitForEnd(
    QList<RunningProgram> asked, int waitSeconds, const Say &say)
{
    QList<RunningProgram> closed;
    const QDeadlineTimer deadline(qint64(qMax(0, waitSeconds)) * 1000);
    for (;;) {
        QList<RunningProgram> running;
        for (RunningProgram program : qAsConst(asked)) {
            if (stillRuns(program)) {
                running.append(program);
                continue;
            }
            program.closed = true;
            say(tr("套件程序已退出:%1").arg(nameAndPid(program)));
            closed.append(program);
        }
        asked = running;
        if (asked.isEmpty())
            return closed;
        if (deadline.hasExpired()) {
            say(tr("等待%1秒后仍有套件程序在运行").arg(waitSeconds));
            return closed;
        }
        QThread::msleep(
            ulong(qMin<qint64>(pollMilliseconds, qMax<qint64>(1, deadline.remainingTime()))));
    }
}
