#pragma once

#include <QCoreApplication>
#include <QList>
#include <QString>

#include <functional>

#include "SuiteGuard.h"
#include "UpgradeAdmission.h"

// Closing the suite's running programs before an upgrade (the command line's
// --close-programs): each blocking program is asked to end, they are waited
// for, and the admission decides again. Only a program whose executable is
// directly in the suite's platform or product program folder is ever asked;
// any other (its path can't be read) still blocks and is left alone.
class ProgramClosing
{
    Q_DECLARE_TR_FUNCTIONS(ProgramClosing)

public:
    using Say = std::function<void(const QString &line)>;

    // The suite of the installation at mainPath, its programs below
    // platform/<exePath> and product/<exePath>.
    ProgramClosing(const QString &mainPath, const QString &exePath);

    // How often the ending programs are looked for.
    static constexpr int pollMilliseconds = 200;

    // verdict as it is unless it refuses for running programs of which some
    // could be asked to end. Else those are asked, waited for up to
    // waitSeconds, and admission decides again; its running list then ends
    // with the programs that were asked and ended (closed set). Each step is
    // said.
    UpgradeAdmission::Verdict closeAndCheck(const UpgradeAdmission &admission,
        const UpgradeAdmission::Verdict &verdict, int waitSeconds, const Say &say) const;

    // "<name> (PID <pid>, <path>, 用户 <user>)", with "路径未知" and "用户未知"
    // for what can't be read.
    static QString describe(const RunningProgram &program);

private:
    // Asks every program in the suite's folders to end; those asked.
    QList<RunningProgram> ask(const QList<RunningProgram> &running, const Say &say) const;
    // Waits until every asked program has ended or waitSeconds have passed;
    // those that ended, closed set.
    static QList<RunningProgram> waitForEnd(
        QList<RunningProgram> asked, int waitSeconds, const Say &say);

    QString platformDir;
    QString productDir;
};
