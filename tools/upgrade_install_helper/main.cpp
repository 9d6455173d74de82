// upgrade_install_helper.exe: the suite's database helper. The upgrade
// installer starts it with the SQL folders of a package; it runs their
// scripts against the suite's SQLite database and reports one line per step
// on standard output. Any error ends it abnormally, which the installer
// counts as a failed upgrade; a normal end is a success.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextCodec>
#include <QVariant>

#include <algorithm>
#include <iterator>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

#include "SqlScript.h"
#include "SuiteLayout.h"

namespace {

// What "--up yes" brings the database to. Each step runs once; the version
// reached is kept in suite_info under "schema_version".
struct SchemaStep
{
    int version;
    const char *name;
    const char *sql;
};

const SchemaStep schemaSteps[] = {
    { 1, "suite_info",
        "CREATE TABLE IF NOT EXISTS suite_info (key TEXT PRIMARY KEY NOT NULL, value TEXT NOT "
        "NULL)" },
};

const char historyTableSql[] = "CREATE TABLE IF NOT EXISTS upgrade_history ("
                               "id INTEGER PRIMARY KEY AUTOINCREMENT, "
                               "phase TEXT NOT NULL, "
                               "script TEXT NOT NULL, "
                               "checksum TEXT NOT NULL, "
                               "applied_at TEXT NOT NULL, "
                               "success INTEGER NOT NULL, "
                               "message TEXT)";

void say(const QString &line)
{
    const QByteArray bytes = line.simplified().toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// The installer tells success from failure only by how the helper ends: a
// normal exit, whatever its code, is success, so every failure must end the
// process abnormally.
[[noreturn]] void endAbnormally()
{
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef Q_OS_WIN
    // abort() of the older C runtime exits with code 3, which counts as a
    // normal exit; this status is what a fail-fast abort reports.
    TerminateProcess(GetCurrentProcess(), 0xC0000409u);
    std::_Exit(3);
#else
#ifdef Q_OS_LINUX
    // A deliberate stop, not a fault to debug: leave no core file behind.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    std::signal(SIGABRT, SIG_DFL);
    std::abort();
#endif
}

[[noreturn]] void fail(const QString &line)
{
    say(line);
    endAbnormally();
}

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

QString databaseMessage(const QSqlError &error)
{
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return text.simplified();
}

class Helper
{
public:
    explicit Helper(const QString &databaseFile)
        : m_file(databaseFile)
    { }
    ~Helper()
    {
        if (m_db.isValid())
            m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName());
    }

    void open();
    void runFolder(const QString &phase, const QString &folder);
    void upgradeSchema();

private:
    static QString connectionName() { return QStringLiteral("upgrade_install_helper"); }
    [[noreturn]] void abortWith(const QString &line);
    void exec(const QString &sql, const QString &what);
    void runScript(const QString &phase, const QFileInfo &file);
    int schemaVersion();

    QString m_file;
    QSqlDatabase m_db;
};

void Helper::abortWith(const QString &line)
{
    if (m_db.isOpen()) {
        m_db.rollback();
        m_db.close();
    }
    fail(line);
}

void Helper::exec(const QString &sql, const QString &what)
{
    QSqlQuery query(m_db);
    if (!query.exec(sql))
        abortWith(QStringLiteral("%1失败: %2").arg(what, databaseMessage(query.lastError())));
}

void Helper::open()
{
    const QFileInfo info(m_file);
    if (info.exists() && !info.isFile())
        fail(QStringLiteral("数据库 %1 不是文件").arg(QDir::toNativeSeparators(m_file)));
    if (!QDir().mkpath(info.absolutePath()))
        fail(QStringLiteral("无法创建数据库目录 %1")
                 .arg(QDir::toNativeSeparators(info.absolutePath())));
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        fail(QStringLiteral("缺少 SQLite 数据库驱动(QSQLITE)"));

    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName());
    m_db.setDatabaseName(m_file);
    if (!m_db.open())
        fail(QStringLiteral("无法打开数据库 %1: %2")
                 .arg(QDir::toNativeSeparators(m_file), databaseMessage(m_db.lastError())));
    say(QStringLiteral("打开数据库 %1").arg(QDir::toNativeSeparators(info.absoluteFilePath())));
    // SQLite creates the file lazily; this also proves that it is a database.
    exec(QString::fromLatin1(historyTableSql), QStringLiteral("创建升级记录表 upgrade_history "));
}

void Helper::runFolder(const QString &phase, const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.isDir())
        fail(QStringLiteral("找不到脚本目录 %1").arg(QDir::toNativeSeparators(folder)));
    // The installer counts the same files: plain *.sql files, any letter case.
    QFileInfoList scripts = QDir(folder).entryInfoList(
        { QStringLiteral("*.sql") }, QDir::Files | QDir::NoSymLinks, QDir::NoSort);
    std::sort(scripts.begin(), scripts.end(),
        [](const QFileInfo &a, const QFileInfo &b) { return a.fileName() < b.fileName(); });
    if (scripts.isEmpty()) {
        say(QStringLiteral("目录 %1 中没有 SQL 脚本").arg(QDir::toNativeSeparators(folder)));
        return;
    }
    for (const QFileInfo &script : qAsConst(scripts))
        runScript(phase, script);
}

void Helper::runScript(const QString &phase, const QFileInfo &file)
{
    const QString name = phase + QLatin1Char('/') + file.fileName();
    QFile source(file.absoluteFilePath());
    if (!source.open(QIODevice::ReadOnly))
        abortWith(QStringLiteral("无法读取脚本 %1: %2").arg(name, source.errorString()));
    const QByteArray bytes = source.readAll();
    if (source.error() != QFileDevice::NoError)
        abortWith(QStringLiteral("无法读取脚本 %1: %2").arg(name, source.errorString()));
    source.close();
    const QString checksum
        = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());

    {
        QSqlQuery applied(m_db);
        applied.prepare(QStringLiteral("SELECT checksum FROM upgrade_history WHERE phase = ? AND "
                                       "script = ? AND success = 1 ORDER BY id DESC LIMIT 1"));
        applied.addBindValue(phase);
        applied.addBindValue(file.fileName());
        if (!applied.exec())
            abortWith(
                QStringLiteral("读取升级记录失败: %1").arg(databaseMessage(applied.lastError())));
        if (applied.next()) {
            if (applied.value(0).toString() == checksum) {
                say(QStringLiteral("跳过已执行脚本 %1").arg(name));
                return;
            }
            abortWith(
                QStringLiteral("脚本 %1 已执行过,但内容已改变(校验和不一致),已停止").arg(name));
        }
    }

    QTextCodec::ConverterState state;
    QString text
        = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0)
        abortWith(QStringLiteral("脚本 %1 不是有效的 UTF-8 文本").arg(name));
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    const QStringList statements = SqlScript::splitStatements(text);

    if (!m_db.transaction())
        abortWith(QStringLiteral("执行脚本 %1 失败: 无法开始事务: %2")
                      .arg(name, databaseMessage(m_db.lastError())));
    QString error;
    for (int i = 0; i < statements.size() && error.isEmpty(); ++i) {
        QSqlQuery query(m_db);
        if (!query.exec(statements.at(i)))
            error = QStringLiteral("执行脚本 %1 失败(第 %2 条语句): %3")
                        .arg(name)
                        .arg(i + 1)
                        .arg(databaseMessage(query.lastError()));
    }
    if (error.isEmpty()) {
        // Recorded in the script's own transaction: applied and noted, or neither.
        QSqlQuery record(m_db);
        record.prepare(QStringLiteral("INSERT INTO upgrade_history (phase, script, checksum, "
                                      "applied_at, success) VALUES (?, ?, ?, ?, 1)"));
        record.addBindValue(phase);
        record.addBindValue(file.fileName());
        record.addBindValue(checksum);
        record.addBindValue(now());
        if (!record.exec())
            error = QStringLiteral("执行脚本 %1 失败: 无法写入升级记录: %2")
                        .arg(name, databaseMessage(record.lastError()));
        record.finish();
    }
    if (error.isEmpty() && !m_db.commit())
        error = QStringLiteral("执行脚本 %1 失败: 无法提交: %2")
                    .arg(name, databaseMessage(m_db.lastError()));
    if (!error.isEmpty()) {
        m_db.rollback();
        // The failure is noted outside the rolled-back transaction, for the
        // record only: a failed script does not count as applied.
        QSqlQuery record(m_db);
        record.prepare(QStringLiteral("INSERT INTO upgrade_history (phase, script, checksum, "
                                      "applied_at, success, message) VALUES (?, ?, ?, ?, 0, ?)"));
        record.addBindValue(phase);
        record.addBindValue(file.fileName());
        record.addBindValue(checksum);
        record.addBindValue(now());
        record.addBindValue(error);
        record.exec();
        abortWith(error);
    }
    say(QStringLiteral("执行脚本 %1 成功").arg(name));
}

int Helper::schemaVersion()
{
    if (!m_db.tables().contains(QStringLiteral("suite_info")))
        return 0;
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("SELECT value FROM suite_info WHERE key = 'schema_version'")))
        abortWith(
            QStringLiteral("读取数据库结构版本失败: %1").arg(databaseMessage(query.lastError())));
    if (!query.next())
        return 0;
    bool ok = false;
    const int version = query.value(0).toString().toInt(&ok);
    if (!ok || version < 0)
        abortWith(QStringLiteral("数据库结构版本 \"%1\" 无效").arg(query.value(0).toString()));
    return version;
}

void Helper::upgradeSchema()
{
    if (!m_db.transaction())
        abortWith(QStringLiteral("数据库结构升级失败: 无法开始事务: %1")
                      .arg(databaseMessage(m_db.lastError())));
    const int current = schemaVersion();
    int reached = current;
    for (const SchemaStep &step : schemaSteps) {
        if (step.version <= current)
            continue;
        const QString sql = QString::fromLatin1(step.sql);
        exec(sql, QStringLiteral("数据库结构升级到版本 %1 ").arg(step.version));
        QSqlQuery record(m_db);
        record.prepare(QStringLiteral("INSERT INTO upgrade_history (phase, script, checksum, "
                                      "applied_at, success) VALUES ('up', ?, ?, ?, 1)"));
        record.addBindValue(QStringLiteral("schema_v%1_%2").arg(step.version).arg(step.name));
        record.addBindValue(QString::fromLatin1(
            QCryptographicHash::hash(sql.toUtf8(), QCryptographicHash::Sha256).toHex()));
        record.addBindValue(now());
        if (!record.exec())
            abortWith(QStringLiteral("数据库结构升级失败: 无法写入升级记录: %1")
                          .arg(databaseMessage(record.lastError())));
        reached = step.version;
    }
    const QString upgradedAt = now();
    QSqlQuery store(m_db);
    store.prepare(QStringLiteral("INSERT OR REPLACE INTO suite_info (key, value) VALUES (?, ?)"));
    store.addBindValue(
        QVariantList { QStringLiteral("schema_version"), QStringLiteral("last_upgrade_at") });
    store.addBindValue(QVariantList { QString::number(reached), upgradedAt });
    if (!store.execBatch())
        abortWith(QStringLiteral("数据库结构升级失败: %1").arg(databaseMessage(store.lastError())));
    store.finish();
    if (!m_db.commit())
        abortWith(QStringLiteral("数据库结构升级失败: 无法提交: %1")
                      .arg(databaseMessage(m_db.lastError())));

    const int latest = schemaSteps[std::size(schemaSteps) - 1].version;
    if (reached > current)
        say(QStringLiteral("数据库结构升级到版本 %1 成功").arg(reached));
    else if (current > latest)
        say(QStringLiteral("数据库结构版本 %1 比本程序所知的版本 %2 新,未作改动")
                .arg(current)
                .arg(latest));
    else
        say(QStringLiteral("数据库结构已是版本 %1,无需升级").arg(current));
    say(QStringLiteral("记录升级时间 %1").arg(upgradedAt));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("upgrade_install_helper"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs the SQL scripts of an upgrade package against the suite's database.\n"
        "The database is <main directory>/data/suite.db, found from this program's own\n"
        "location <main directory>/product/<program folder>/; it is created when missing.\n"
        "Order: the *.sql files of --before, then the schema upgrade of --up yes, then\n"
        "the *.sql files of --after; each folder in file-name order, each script in one\n"
        "transaction. Scripts already applied with the same content are skipped; an\n"
        "applied script whose content changed is an error. Any error ends the program\n"
        "abnormally."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption upOption(QStringLiteral("up"),
        QStringLiteral("Upgrade the database schema (the only value is yes)."),
        QStringLiteral("yes"));
    const QCommandLineOption beforeOption(QStringLiteral("before"),
        QStringLiteral("Run the *.sql files of <dir> first."), QStringLiteral("dir"));
    const QCommandLineOption afterOption(QStringLiteral("after"),
        QStringLiteral("Run the *.sql files of <dir> last."), QStringLiteral("dir"));
    const QCommandLineOption databaseOption(QStringLiteral("database"),
        QStringLiteral("Use the SQLite database <file> instead of the suite's (for tests and "
                       "package authors; the installer never passes it)."),
        QStringLiteral("file"));
    parser.addOptions({ upOption, beforeOption, afterOption, databaseOption });

    const QString usageHint = QStringLiteral("(参数见 --help)");
    if (!parser.parse(QCoreApplication::arguments()))
        fail(QStringLiteral("参数错误: %1 %2").arg(parser.errorText(), usageHint));
    if (parser.isSet(helpOption)) {
        const QByteArray help = parser.helpText().toUtf8();
        std::fwrite(help.constData(), 1, size_t(help.size()), stdout);
        std::fflush(stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("参数错误: 未知参数 %1 %2")
                 .arg(parser.positionalArguments().join(QLatin1Char(' ')), usageHint));
    for (const QCommandLineOption &option :
        { upOption, beforeOption, afterOption, databaseOption }) {
        if (parser.values(option).size() > 1)
            fail(QStringLiteral("参数错误: --%1 只能给一次 %2")
                     .arg(option.names().first(), usageHint));
        if (parser.isSet(option) && parser.value(option).isEmpty())
            fail(QStringLiteral("参数错误: --%1 的值为空 %2")
                     .arg(option.names().first(), usageHint));
    }
    if (parser.isSet(upOption) && parser.value(upOption) != QLatin1String("yes"))
        fail(QStringLiteral("参数错误: --up 只接受 yes,而不是 \"%1\" %2")
                 .arg(parser.value(upOption), usageHint));

    const bool up = parser.isSet(upOption);
    const QString beforeDir = parser.value(beforeOption);
    const QString afterDir = parser.value(afterOption);
    if (!up && beforeDir.isEmpty() && afterDir.isEmpty()) {
        say(QStringLiteral("没有要执行的数据库任务"));
        return 0;
    }

    const QString databaseFile = parser.isSet(databaseOption)
        ? QFileInfo(parser.value(databaseOption)).absoluteFilePath()
        : SuiteLayout::databaseFile(
            SuiteLayout::mainPathFromProgramDir(QCoreApplication::applicationDirPath()));

    {
        Helper helper(databaseFile);
        helper.open();
        if (!beforeDir.isEmpty())
            helper.runFolder(QStringLiteral("db_before"), beforeDir);
        if (up)
            helper.upgradeSchema();
        if (!afterDir.isEmpty())
            helper.runFolder(QStringLiteral("db_after"), afterDir);
    }
    say(QStringLiteral("数据库升级完成"));
    return 0;
}
