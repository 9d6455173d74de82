#include "HelperOptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include "ProgramVersion.h"
#include "SuiteLayout.h"

namespace {

QString description()
{
    return QStringLiteral(
        "Runs the SQL scripts of an upgrade package against the suite's database.\n"
        "The database is <main directory>/data/suite.db, found from this program's own\n"
        "location <main directory>/product/<program folder>/; it is created when missing.\n"
        "Installed anywhere else, the program refuses to work without --database.\n"
        "Order: the *.sql files of --before, then the schema upgrade of --up yes, then\n"
        "the *.sql files of --after; each folder in file-name order. All of a run's work\n"
        "is one transaction: after any error nothing is kept, not even in the history\n"
        "table upgrade_history. Scripts already applied with the same content are\n"
        "skipped; an applied script whose content changed is an error, and so is a\n"
        "script holding its own BEGIN, COMMIT, END, ROLLBACK, SAVEPOINT or RELEASE\n"
        "(refused before anything runs). When nothing needs doing, the database is not\n"
        "written at all.\n"
        "Progress goes to standard output, errors to standard error.\n"
        "Exit: 0 success; 64 for a wrong command line, with any options; any other\n"
        "error of a run ends the program abnormally (the installer counts that as a\n"
        "failure). With --status or --dry-run errors end it normally: 1 for anything\n"
        "else (for --dry-run: the run would fail). 1 as well when the output could not\n"
        "be written.\n"
        "--applied (with the arguments of a run) tells, changing nothing, whether that run\n"
        "has nothing left to do: exit 0 when everything is applied, 3 when something is\n"
        "pending. The installer asks it after an interruption during the database step.");
}

// The parser with the helper's options.
struct Parser
{
    Parser();
    // After a parse: what is wrong with the options, empty when nothing.
    QString mistake() const;

    QCommandLineParser parser;
    const QCommandLineOption help;
    const QCommandLineOption version { QStringLiteral("version"),
        QStringLiteral("Print \"upgrade_install_helper <version>\" and exit.") };
    const QCommandLineOption up { QStringLiteral("up"),
        QStringLiteral("Upgrade the database schema (the only value is yes)."),
        QStringLiteral("yes") };
    const QCommandLineOption before { QStringLiteral("before"),
        QStringLiteral("Run the *.sql files of <dir> first."), QStringLiteral("dir") };
    const QCommandLineOption after { QStringLiteral("after"),
        QStringLiteral("Run the *.sql files of <dir> last."), QStringLiteral("dir") };
    const QCommandLineOption database { QStringLiteral("database"),
        QStringLiteral("Use the SQLite database <file> instead of the suite's (for tests and "
                       "package authors; the installer never passes it)."),
        QStringLiteral("file") };
    const QCommandLineOption status { QStringLiteral("status"),
        QStringLiteral("Change nothing; report the applied scripts, the schema version, and for "
                       "the folders given which scripts are pending, applied or changed since.") };
    const QCommandLineOption dryRun { QStringLiteral("dry-run"),
        QStringLiteral("Run everything in the transaction as a run would, report it, and roll "
                       "it back: the database stays as it was.") };
    const QCommandLineOption applied { QStringLiteral("applied"),
        QStringLiteral("Change nothing; exit 0 when everything the other options would run is "
                       "applied already, 3 when something is pending.") };
};

Parser::Parser()
    : help(parser.addHelpOption())
{
    parser.setApplicationDescription(description());
    parser.addOptions({ up, before, after, database, status, dryRun, applied, version });
}

QString Parser::mistake() const
{
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("未知参数 %1")
            .arg(parser.positionalArguments().join(QLatin1Char(' ')));
    for (const QCommandLineOption &option : { up, before, after, database }) {
        if (parser.values(option).size() > 1)
            return QStringLiteral("--%1 只能给一次").arg(option.names().first());
        if (parser.isSet(option) && parser.value(option).isEmpty())
            return QStringLiteral("--%1 的值为空").arg(option.names().first());
    }
    if (parser.isSet(up) && parser.value(up) != QLatin1String("yes"))
        return QStringLiteral("--up 只接受 yes,而不是 \"%1\"").arg(parser.value(up));
    if (parser.isSet(status) && parser.isSet(dryRun))
        return QStringLiteral("--status 和 --dry-run 只能选一个");
    if (parser.isSet(applied) && (parser.isSet(status) || parser.isSet(dryRun)))
        return QStringLiteral("--applied 不能与 --status 或 --dry-run 同用");
    return QString();
}

HelperOptions usage(bool byPerson, const QString &error)
{
    HelperOptions options;
    options.result = HelperOptions::Result::Usage;
    options.byPerson = byPerson;
    options.error = error;
    return options;
}

} // namespace

QString HelperOptions::synopsis()
{
    return QStringLiteral("用法: upgrade_install_helper [--up yes] [--before 目录] [--after 目录] "
                          "[--database 文件] [--status | --dry-run | --applied]");
}

HelperOptions HelperOptions::parse(const QStringList &arguments, const QString &programDir)
{
    // The installer never passes --status, --dry-run or --applied: a command
    // line naming any of them is a person's, whose errors end the program
    // normally. This is read from the raw arguments, before parsing, as it
    // decides also how a command line that does not parse ends.
    const bool byPerson = arguments.contains(QStringLiteral("--status"))
        || arguments.contains(QStringLiteral("--dry-run"))
        || arguments.contains(QStringLiteral("--applied"));

    Parser p;
    if (!p.parser.parse(arguments))
        return usage(byPerson, p.parser.errorText());
    HelperOptions options;
    options.byPerson = byPerson;
    if (p.parser.isSet(p.help)) {
        options.result = Result::Help;
        options.helpText = p.parser.helpText();
        return options;
    }
    if (p.parser.isSet(p.version)) {
        options.result = Result::Help;
        options.helpText
            = ProgramVersion::line(QStringLiteral("upgrade_install_helper")) + QLatin1Char('\n');
        return options;
    }
    const QString mistake = p.mistake();
    if (!mistake.isEmpty())
        return usage(byPerson, mistake);

    options.askApplied = p.parser.isSet(p.applied);
    options.mode = p.parser.isSet(p.status) || options.askApplied
        ? Mode::Status
        : (p.parser.isSet(p.dryRun) ? Mode::DryRun : Mode::Run);
    options.up = p.parser.isSet(p.up);
    options.beforeDir = p.parser.value(p.before);
    options.afterDir = p.parser.value(p.after);
    if (p.parser.isSet(p.database))
        options.databaseFile = QFileInfo(p.parser.value(p.database)).absoluteFilePath();
    else if (SuiteLayout::programSitsInSuite(programDir, SuiteLayout::productFolderName()))
        options.databaseFile
            = SuiteLayout::databaseFile(SuiteLayout::mainPathFromProgramDir(programDir));
    else
        options.error = QStringLiteral("找不到套件:本程序须位于套件主目录的 %1 下(现在位于 %2),"
                                       "或用 --database 指定数据库")
                            .arg(QDir::toNativeSeparators(SuiteLayout::productFolderName()
                                     + QStringLiteral("/<程序目录>/")),
                                QDir::toNativeSeparators(programDir));
    return options;
}
