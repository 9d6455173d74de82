#include "CommandLine.h"

#include <QCoreApplication>

#include <utility>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("CommandLine", text);
}

bool isOption(const QString &argument)
{
    return argument.startsWith(QLatin1Char('-')) && argument.size() > 1;
}

} // namespace

bool CommandLine::opensWindow(int argc, const char *const *argv)
{
    // Options are plain ASCII: the locale's reading of the arguments is good
    // enough to tell the mode, even where it would spoil a file name.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return parse(arguments).mode == Mode::Window;
}

namespace {

// What the arguments say, before the mode is decided.
struct Said
{
    bool unattended = false, recover = false, help = false, version = false;
    bool waitPrograms = false, backupTimeout = false;
    QStringList positional;
};

// A number of seconds from 0 up to a day; -1 when the text is none.
int seconds(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= 0 && value <= 24 * 60 * 60 ? value : -1;
}

// An option naming a file: where it goes, and the mistakes' texts.
struct FileOption
{
    const char *name;
    QString *(*target)(CommandLine &line);
    const char *twice;
    const char *missing;
};

const FileOption *fileOption(const QString &argument)
{
    static const FileOption options[] = {
        { "--package", [](CommandLine &line) { return &line.package; },
            QT_TRANSLATE_NOOP("CommandLine", "选项--package只能指定一个升级包"),
            QT_TRANSLATE_NOOP("CommandLine", "选项--package缺少升级包文件") },
        { "--log", [](CommandLine &line) { return &line.logFile; },
            QT_TRANSLATE_NOOP("CommandLine", "选项--log只能指定一个日志文件"),
            QT_TRANSLATE_NOOP("CommandLine", "选项--log缺少日志文件") },
        { "--result", [](CommandLine &line) { return &line.resultFile; },
            QT_TRANSLATE_NOOP("CommandLine", "选项--result只能指定一个结果文件"),
            QT_TRANSLATE_NOOP("CommandLine", "选项--result缺少结果文件") },
    };
    for (const FileOption &option : options) {
        if (argument == QLatin1String(option.name))
            return &option;
    }
    return nullptr;
}

// The switch an option without a value sets, or nullptr.
bool *flagOf(const QString &argument, CommandLine &line, Said &said)
{
    const std::pair<const char *, bool *> flags[]
        = { { "--unattended", &said.unattended }, { "--recover", &said.recover },
              { "--backup-first", &line.backupFirst }, { "--dry-run", &line.dryRun },
              { "--quiet", &line.quiet }, { "--close-programs", &line.closePrograms },
              { "--version", &said.version }, { "--help", &said.help }, { "-h", &said.help } };
    for (const auto &flag : flags) {
        if (argument == QLatin1String(flag.first))
            return flag.second;
    }
    return nullptr;
}

// Reads every argument into line and said; the mistake's text, or empty.
QString readArguments(const QStringList &arguments, CommandLine &line, Said &said)
{
    for (int i = 0; i < arguments.size(); ++i) {
        QString argument = arguments.at(i);
        QString value;
        // "--option value" or "--option=value"
        const int equals = argument.indexOf(QLatin1Char('='));
        const bool hasValue = argument.startsWith(QLatin1String("--")) && equals > 2;
        if (hasValue) {
            value = argument.mid(equals + 1);
            argument.truncate(equals);
        }
        const auto takeValue = [&](QString *target) {
            if (!hasValue) {
                if (i + 1 >= arguments.size() || isOption(arguments.at(i + 1)))
                    return false;
                value = arguments.at(++i);
            }
            *target = value;
            return !value.isEmpty();
        };
        if (const FileOption *option = fileOption(argument)) {
            QString *target = option->target(line);
            // Which of two files was meant can't be guessed.
            if (!target->isEmpty())
                return tr(option->twice);
            if (!takeValue(target))
                return tr(option->missing);
        } else if (argument == QLatin1String("--wait-programs")
            || argument == QLatin1String("--backup-timeout")) {
            // Not waiting for programs is a choice; a backup given no time never is.
            const bool wait = argument == QLatin1String("--wait-programs");
            const int least = wait ? 0 : 1;
            QString text;
            if (!takeValue(&text) || seconds(text) < least)
                return tr("选项%1需要%2到86400之间的秒数").arg(argument).arg(least);
            (wait ? line.waitProgramsSeconds : line.backupTimeoutSeconds) = seconds(text);
            (wait ? said.waitPrograms : said.backupTimeout) = true;
        } else if (hasValue) {
            return tr("选项%1不接受值").arg(argument);
        } else if (bool *flag = flagOf(argument, line, said)) {
            *flag = true;
        } else if (argument == QLatin1String("--")) {
            said.positional << arguments.mid(i + 1);
            break;
        } else if (isOption(argument)) {
            return tr("未知选项:%1").arg(argument);
        } else {
            said.positional << argument;
        }
    }
    return QString();
}

// The mode the options ask for; the mistake's text, or empty.
QString decideMode(CommandLine &line, const Said &said)
{
    using Mode = CommandLine::Mode;
    // Options --recover takes as well.
    const bool reportOptions = !line.logFile.isEmpty() || !line.resultFile.isEmpty() || line.quiet;
    const bool upgradeOptions = !line.package.isEmpty() || line.backupFirst || line.dryRun
        || line.closePrograms || said.waitPrograms || said.backupTimeout;
    if (said.help) {
        line.mode = Mode::Help;
    } else if (said.version) {
        line.mode = Mode::Version;
    } else if (said.recover) {
        if (said.unattended || upgradeOptions || !said.positional.isEmpty())
            return tr("--recover只能与--log、--result和--quiet一起使用");
        line.mode = Mode::Recover;
    } else if (said.unattended) {
        if (!said.positional.isEmpty())
            return tr("多余的参数:%1").arg(said.positional.join(QLatin1Char(' ')));
        if (line.package.isEmpty())
            return tr("--unattended需要--package指定升级包");
        if (said.waitPrograms && !line.closePrograms)
            return tr("--wait-programs只能与--close-programs一起使用");
        if (said.backupTimeout && !line.backupFirst)
            return tr("--backup-timeout只能与--backup-first一起使用");
        line.mode = Mode::Unattended;
    } else {
        if (upgradeOptions || reportOptions)
            return tr("--package、--log、--result等选项只能与--unattended或--recover一起使用");
        if (said.positional.size() > 1)
            return tr("只能指定一个升级包");
        line.package = said.positional.value(0);
        line.mode = Mode::Window;
    }
    return QString();
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine line;
    Said said;
    QString error = readArguments(arguments, line, said);
    if (error.isEmpty())
        error = decideMode(line, said);
    if (!error.isEmpty()) {
        line.mode = Mode::Usage;
        line.error = error;
    }
    return line;
}

QString CommandLine::usage()
{
    return tr("用法:\n"
              "  upgrade_install [升级包.rcc]\n"
              "      打开升级窗口;指定升级包时直接选中该升级包\n"
              "  upgrade_install --unattended --package 升级包.rcc [选项]\n"
              "      不显示窗口、不提问,完成与窗口相同的检查和升级\n"
              "      --log 文件              另将升级日志写入该文件\n"
              "      --result 文件           结束时将结果写入该文件(JSON)\n"
              "      --quiet                 只输出问题和结果行\n"
              "      --backup-first          升级前运行工程管理工具备份工程数据,备份失败则不升级\n"
              "      --backup-timeout 秒数   备份最长等待时间(默认3600)\n"
              "      --close-programs        请正在运行的套件程序退出,再开始升级\n"
              "      --wait-programs 秒数    等待套件程序退出的最长时间(默认60)\n"
              "      --dry-run               只检查并列出将删除、更新和添加的文件,不作任何改动\n"
              "  upgrade_install --recover [--log 文件] [--result 文件] [--quiet]\n"
              "      只将上次中断的升级恢复或完成,使安装处于一致状态\n"
              "  upgrade_install --version\n"
              "      显示版本\n"
              "  upgrade_install --help\n"
              "      显示本说明\n"
              "\n"
              "退出码:\n"
              "  0   升级成功、已是最新版本(--recover: 安装处于一致状态;--dry-run: 检查通过)\n"
              "  1   升级失败,安装已恢复到升级前的版本\n"
              "  2   升级失败,安装未能完全恢复\n"
              "  3   升级包被拒绝(无法读取、已损坏、过大、不适用、签名问题)\n"
              "  4   套件程序正在运行\n"
              "  5   另一个升级程序正在处理本安装\n"
              "  6   升级前检查未通过(文件被占用或不可写、磁盘空间、路径、备份失败)\n"
              "  7   无法读取安装信息\n"
              "  8   升级成功,但需要手动处理(见日志中\"请手动\"的行)\n"
              "  64  命令行有误\n"
              "\n"
              "升级日志写在主目录的logs文件夹中(upgrade-<日期-时间>.log)。\n");
}
