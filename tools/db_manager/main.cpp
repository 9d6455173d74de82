// The suite's project management tool. Started with no arguments (as the
// installer does from its backup question) it backs up the project data and
// shows where the copy went. --list lists the backups, --restore puts one back
// (only a backup of the installed suite version, unless --force).
// --no-gui prints the messages (and asks on the terminal) instead of showing them.

#include <algorithm>

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QMessageBox>
#include <QScopedPointer>
#include <QStringList>
#include <QTextStream>

#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

#include "ConsoleText.h"
#include "ProgramVersion.h"
#include "ProjectBackup.h"
#include "SuiteLayout.h"

namespace {

// Exit codes; 3 was the old code for a bad command line and is not reused.
enum ExitCode {
    Done = 0,
    NoDataFolder = 1,
    Failed = 2,
    NoSuchBackup = 4,
    ProgramRunning = 5,
    NotConfirmed = 6,
    VersionMismatch = 7,
    BadArguments = 64
};

// In a form the reader gets the text in (on Windows not the ANSI code page,
// which turned most of it into '?').
void printLine(FILE *stream, const QString &text)
{
    ConsoleText::write(stream, text + QLatin1Char('\n'));
}

QString usage()
{
    return QCoreApplication::translate("db_manager",
        "用法: db_manager.exe [--no-gui] [--main-dir 目录] [--list | --restore 备份名 [--yes] "
        "[--force]]\n"
        "  (无参数)            将工程数据目录 data 备份到 backup\\<日期-时间>,并在其中的\n"
        "                      backup.json 记下套件版本和数据库结构版本;套件程序运行时不备份\n"
        "  --list              列出 backup 下的备份(时间,大小,版本),最早的在前\n"
        "  --restore 备份名    用该备份替换 data,当前数据先另存为备份 <时间>-before-restore;\n"
        "                      备份的套件版本须与当前安装的一致(未找到安装记录时不核对)\n"
        "  --yes               恢复前不再确认\n"
        "  --force             套件版本不一致或未知时仍然恢复(风险自负)\n"
        "  --main-dir 目录     使用该主目录,而不是由程序位置 <主目录>/platform/<exe> 得出\n"
        "  --no-gui            在终端输出信息并在终端确认,不显示窗口\n"
        "  --help              显示本说明\n"
        "  --version           显示程序版本\n"
        "退出码: 0 完成, 1 未找到套件或工程数据目录, 2 失败(工程数据未改动, 除非另有说明),\n"
        "        4 备份名称无效或备份不存在, 5 套件程序正在运行, 6 未确认恢复,\n"
        "        7 备份的套件版本与当前安装不一致或未知(未恢复), 64 参数错误");
}

struct Options
{
    bool gui = true;
    bool help = false;
    bool list = false;
    bool restore = false;
    bool yes = false;
    bool force = false;
    bool version = false;
    QString mainDir;
    QString backupName;
    QString error; // English, for a bad command line
};

Options parse(int argc, char *argv[])
{
    Options options;
    for (int i = 1; i < argc && options.error.isEmpty(); ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        // "--option value" or "--option=value"
        const auto value = [&](const QString &option, QString *target) {
            if (argument.startsWith(option + QLatin1Char('='))) {
                *target = argument.mid(option.size() + 1);
                return true;
            }
            if (argument != option)
                return false;
            if (i + 1 < argc)
                *target = QString::fromLocal8Bit(argv[++i]);
            else
                options.error = QStringLiteral("Missing value for %1").arg(option);
            return true;
        };
        if (argument == QLatin1String("--no-gui"))
            options.gui = false;
        else if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            options.help = true;
        else if (argument == QLatin1String("--list"))
            options.list = true;
        else if (argument == QLatin1String("--yes") || argument == QLatin1String("-y"))
            options.yes = true;
        else if (argument == QLatin1String("--force"))
            options.force = true;
        else if (argument == QLatin1String("--version"))
            options.version = true;
        else if (value(QStringLiteral("--main-dir"), &options.mainDir))
            continue;
        else if (value(QStringLiteral("--restore"), &options.backupName))
            options.restore = true;
        else
            options.error = QStringLiteral("Unknown argument: %1").arg(argument);
    }
    if (options.error.isEmpty() && options.list && options.restore)
        options.error = QStringLiteral("--list and --restore exclude each other");
    return options;
}

struct Report
{
    int code = Done;
    QString text;
};

// "套件版本:1.2.0  数据库结构版本:3", or "版本未知" for a backup without backup.json.
QString versionsText(const ProjectBackup::Entry &entry)
{
    if (!entry.versionsKnown)
        return QCoreApplication::translate("db_manager", "版本未知");
    const BackupVersions::Versions &versions = entry.versions;
    return QCoreApplication::translate("db_manager", "套件版本:%1  数据库结构版本:%2")
        .arg(versions.suite.isEmpty() ? QCoreApplication::translate("db_manager", "未知")
                                      : versions.suite,
            versions.schema ? QString::number(*versions.schema)
                            : QCoreApplication::translate("db_manager", "无"));
}

Report listBackups(const QString &mainPath)
{
    const QList<ProjectBackup::Entry> entries = ProjectBackup::list(mainPath);
    if (entries.isEmpty())
        return { Done,
            QCoreApplication::translate("db_manager", "%1 中没有备份")
                .arg(QDir::toNativeSeparators(SuiteLayout::backupFolder(mainPath))) };
    // The versions are shown where they matter: an installation record, or
    // backups that noted them.
    const bool withVersions = !BackupVersions::installedVersion(mainPath).isEmpty()
        || std::any_of(entries.cbegin(), entries.cend(),
            [](const ProjectBackup::Entry &entry) { return entry.versionsKnown; });
    QStringList lines;
    for (const ProjectBackup::Entry &entry : entries) {
        QString line
            = QCoreApplication::translate("db_manager", "%1  时间:%2  大小:%3 (%4 字节)")
                  .arg(entry.name, entry.time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                      ProjectBackup::humanSize(entry.bytes))
                  .arg(entry.bytes);
        if (withVersions)
            line += QStringLiteral("  ") + versionsText(entry);
        lines << line;
    }
    return { Done, lines.join(QLatin1Char('\n')) };
}

Report backup(const QString &mainPath)
{
    const ProjectBackup::Outcome outcome = ProjectBackup::run(
        mainPath, QDateTime::currentDateTime(), QCoreApplication::applicationPid());
    switch (outcome.result) {
    case ProjectBackup::Result::Done:
        return { Done,
            QCoreApplication::translate("db_manager", "工程数据已备份到:%1")
                .arg(QDir::toNativeSeparators(outcome.backupPath)) };
    case ProjectBackup::Result::NoDataFolder:
        return { NoDataFolder,
            QCoreApplication::translate("db_manager", "未找到工程数据目录:%1,未进行备份")
                .arg(QDir::toNativeSeparators(outcome.dataPath)) };
    case ProjectBackup::Result::ProgramRunning:
        return { ProgramRunning,
            QCoreApplication::translate("db_manager", "进程%1正在运行,无法备份工程数据,未进行备份")
                .arg(outcome.program) };
    case ProjectBackup::Result::Failed:
        break;
    }
    return { Failed,
        QCoreApplication::translate("db_manager", "工程数据备份失败,工程数据未改动:%1")
            .arg(outcome.reason) };
}

// Why a backup of another (or an unknown) suite version isn't restored, and
// what to do instead.
QString versionMismatchText(const ProjectBackup::RestoreOutcome &outcome, const QString &name)
{
    if (outcome.backupVersion.isEmpty())
        return QCoreApplication::translate("db_manager",
            "备份%1未记录套件版本(版本未知),当前安装为%2,未进行恢复,工程数据未改动;"
            "请确认该备份与当前安装的版本一致后加--force恢复(风险自负)")
            .arg(name, outcome.installedVersion);
    return QCoreApplication::translate("db_manager",
        "备份%1的套件版本为%2,当前安装为%3,未进行恢复,工程数据未改动;"
        "请先用厂商提供的从%3回到%2的升级包将套件恢复到%2后再恢复此备份,"
        "或加--force强制恢复(工程数据与安装的版本将不一致,风险自负)")
        .arg(name, outcome.backupVersion, outcome.installedVersion);
}

// The report for a restore that was refused or failed; empty text when it may go on.
Report restoreReport(const ProjectBackup::RestoreOutcome &outcome, const QString &name)
{
    const QString data = QDir::toNativeSeparators(outcome.dataPath);
    switch (outcome.result) {
    case ProjectBackup::RestoreResult::Done: {
        QString text = outcome.keptPath.isEmpty()
            ? QCoreApplication::translate("db_manager", "工程数据已从备份%1恢复到:%2")
                  .arg(name, data)
            : QCoreApplication::translate(
                "db_manager", "工程数据已从备份%1恢复到:%2,原数据已备份到:%3")
                  .arg(name, data, QDir::toNativeSeparators(outcome.keptPath));
        if (!outcome.reason.isEmpty())
            text += QLatin1Char('\n')
                + QCoreApplication::translate(
                    "db_manager", "替换下的旧数据未能完全删除,请手动删除:%1")
                      .arg(outcome.reason);
        return { Done, text };
    }
    case ProjectBackup::RestoreResult::BadName:
        return { NoSuchBackup,
            QCoreApplication::translate("db_manager", "备份名称无效:%1,未进行恢复").arg(name) };
    case ProjectBackup::RestoreResult::NoSuchBackup:
        return { NoSuchBackup,
            QCoreApplication::translate("db_manager", "备份不存在:%1,未进行恢复")
                .arg(QDir::toNativeSeparators(outcome.backupPath)) };
    case ProjectBackup::RestoreResult::ProgramRunning:
        return { ProgramRunning,
            QCoreApplication::translate(
                "db_manager", "进程%1正在运行,无法恢复工程数据,工程数据未改动")
                .arg(outcome.program) };
    case ProjectBackup::RestoreResult::VersionMismatch:
        return { VersionMismatch, versionMismatchText(outcome, name) };
    case ProjectBackup::RestoreResult::Failed:
        break;
    case ProjectBackup::RestoreResult::DataDisplaced:
        return { Failed,
            QCoreApplication::translate("db_manager", "工程数据恢复失败,工程数据目录已被移走:%1")
                .arg(outcome.reason) };
    }
    return { Failed,
        QCoreApplication::translate("db_manager", "工程数据恢复失败,工程数据未改动:%1")
            .arg(outcome.reason) };
}

// y/N on the terminal; anything but y or yes (and the end of the input) is no.
bool askOnTerminal(const QString &question)
{
    ConsoleText::write(stdout, question + QLatin1String(" [y/N] "));
    QTextStream in(stdin);
    const QString answer = in.readLine();
#ifdef Q_OS_WIN
    const bool typed = _isatty(_fileno(stdin));
#else
    const bool typed = isatty(fileno(stdin));
#endif
    if (!typed || answer.isNull()) // end the prompt's line where no one typed Enter
        printLine(stdout, QString());
    const QString word = answer.trimmed().toLower();
    return word == QLatin1String("y") || word == QLatin1String("yes");
}

Report restore(const QString &mainPath, const Options &options, const QString &title)
{
    const qint64 self = QCoreApplication::applicationPid();
    const QString name = options.backupName;
    // Refuse before asking, so nobody confirms what can't be done.
    const Report refused
        = restoreReport(ProjectBackup::checkRestore(mainPath, name, self, options.force), name);
    if (refused.code != Done)
        return refused;

    if (!options.yes) {
        const QString question
            = QCoreApplication::translate(
                "db_manager", "将用备份%1替换工程数据目录%2,当前数据会先另存为备份,是否继续?")
                  .arg(name, QDir::toNativeSeparators(SuiteLayout::dataFolder(mainPath)));
        const bool confirmed = options.gui
            ? QMessageBox::question(
                  nullptr, title, question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
                == QMessageBox::Yes
            : askOnTerminal(question);
        if (!confirmed)
            return { NotConfirmed,
                QCoreApplication::translate("db_manager", "未进行恢复,工程数据未改动") };
    }
    return restoreReport(
        ProjectBackup::restore(mainPath, name, QDateTime::currentDateTime(), self, options.force),
        name);
}

} // namespace

int main(int argc, char *argv[])
{
    const Options options = parse(argc, argv);
    if (!options.error.isEmpty()) {
        printLine(stderr, options.error);
        printLine(stderr, usage());
        return BadArguments;
    }
    if (options.help) {
        printLine(stdout, usage());
        return Done;
    }
    if (options.version) {
        printLine(stdout, ProgramVersion::line(QStringLiteral("db_manager")));
        return Done;
    }

    QScopedPointer<QCoreApplication> app(
        options.gui ? new QApplication(argc, argv) : new QCoreApplication(argc, argv));
    const QString title = QCoreApplication::translate("db_manager", "工程管理工具");

    // The tool sits in mainPath/platform/<exe>/ unless told otherwise.
    const QString programDir = QCoreApplication::applicationDirPath();
    const QString mainPath = options.mainDir.isEmpty()
        ? SuiteLayout::mainPathFromProgramDir(programDir)
        : QDir::cleanPath(QDir(options.mainDir).absolutePath());

    Report report;
    if (options.mainDir.isEmpty()
        && !SuiteLayout::programSitsInSuite(programDir, SuiteLayout::platformFolderName()))
        report = { NoDataFolder,
            QCoreApplication::translate("db_manager",
                "找不到套件:本程序须位于套件主目录的 %1 下(现在位于 %2),或用 --main-dir 指定主目录")
                .arg(QDir::toNativeSeparators(
                         SuiteLayout::platformFolderName() + QStringLiteral("/<程序目录>/")),
                    QDir::toNativeSeparators(programDir)) };
    else if (options.list)
        report = listBackups(mainPath);
    else if (options.restore)
        report = restore(mainPath, options, title);
    else
        report = backup(mainPath);

    printLine(report.code == Done ? stdout : stderr, report.text);
    if (options.gui) {
        if (report.code == Done)
            QMessageBox::information(nullptr, title, report.text, QMessageBox::Ok);
        else
            QMessageBox::warning(nullptr, title, report.text, QMessageBox::Ok);
    }
    return report.code;
}
