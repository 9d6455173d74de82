// upgrade_install_helper.exe: the suite's database helper. The upgrade
// installer starts it with the SQL folders of a package; it runs their
// scripts and the schema upgrade against the suite's SQLite database in one
// transaction and reports one line per step on standard output, errors on
// standard error. Any error of a run ends it abnormally, which the installer
// counts as a failed upgrade; so does a wrong command line's exit code 64. --status and
// --dry-run are for people and change nothing.

#include <QCoreApplication>

#include "HelperOptions.h"
#include "HelperOutput.h"
#include "MigrationRun.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("upgrade_install_helper"));

    const HelperOptions options = HelperOptions::parse(
        QCoreApplication::arguments(), QCoreApplication::applicationDirPath());
    switch (options.result) {
    case HelperOptions::Result::Help:
        return HelperOutput::writeText(options.helpText) ? ExitSuccess : ExitFailure;
    case HelperOptions::Result::Usage:
        // Also for an upgrade run: a command line that can't be read ends
        // normally with 64, which the installer takes as a failure like any
        // code but 0, and which a script can tell from a failed run.
        HelperOutput::complain(QStringLiteral("参数错误: %1 %2")
                                   .arg(options.error, QStringLiteral("(参数见 --help)")));
        HelperOutput::complain(HelperOptions::synopsis());
        return ExitUsage;
    case HelperOptions::Result::Ok:
        break;
    }
    if (options.nothingToDo()) {
        HelperOutput::say(QStringLiteral("没有要执行的数据库任务"));
        return HelperOutput::outputLost() ? ExitFailure : ExitSuccess;
    }
    if (options.databaseFile.isEmpty()) { // no suite around the program
        HelperOutput::complain(options.error);
        if (options.mode == HelperOptions::Mode::Run)
            HelperOutput::endAbnormally();
        return ExitFailure;
    }
    return MigrationRun::execute(options);
}
