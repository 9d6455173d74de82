// upgrade_install_helper.exe: the suite's database helper. The upgrade
// installer starts it with the SQL folders of a package; it runs their
// scripts and the schema upgrade against the suite's SQLite database in one
// transaction and reports one line per step on standard output, errors on
// standard error. Any error of a run ends it abnormally, which the installer
// counts as a failed upgrade; a normal end is a success. --status and
// --dry-run are for people and change nothing.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextCodec>
#include <QVariant>
#include <QVector>

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

int latestSchemaVersion()
{
    return schemaSteps[std::size(schemaSteps) - 1].version;
}

const char historyTableSql[] = "CREATE TABLE IF NOT EXISTS upgrade_history ("
                               "id INTEGER PRIMARY KEY AUTOINCREMENT, "
                               "phase TEXT NOT NULL, "
                               "script TEXT NOT NULL, "
                               "checksum TEXT NOT NULL, "
                               "applied_at TEXT NOT NULL, "
                               "success INTEGER NOT NULL, "
                               "message TEXT)";

// Exit codes of a normal end. A run's errors end the program abnormally
// instead (see endAbnormally()).
enum ExitCode { ExitSuccess = 0, ExitFailure = 1, ExitPending = 3, ExitUsage = 64 };

enum class Mode { Run, DryRun, Status };

// Set when a line could not be written (a closed or full output): the work
// may be done, but the program does not end with success.
bool outputLost = false;

void writeLine(std::FILE *stream, const QString &line)
{
    const QByteArray bytes = line.simplified().toUtf8() + '\n';
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) != size_t(bytes.size())
        || std::fflush(stream) != 0)
        outputLost = true;
}

void say(const QString &line)
{
    writeLine(stdout, line);
}

void complain(const QString &text)
{
    for (const QString &line : text.split(QLatin1Char('\n')))
        writeLine(stderr, line);
}

// A failed run ends the process abnormally: installers that judge the helper
// only by how it ends (a normal exit, whatever its code, counted as success)
// still see the failure; ours also takes any exit code but 0 as failure.
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

enum class FailureKind {
    Scripts, // a folder or script can't be run; nothing has run
    Database // the database refused something; the transaction is given up
};

// Thrown to stop the work; main() gives the transaction up and reports it.
struct Failure
{
    FailureKind kind;
    QString message;
};

[[noreturn]] void stop(FailureKind kind, const QString &message)
{
    throw Failure { kind, message };
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

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Why a script can't run.
enum class ScriptProblem { None, Unreadable, NotUtf8, TransactionStatement, ChangedSinceApplied };

struct Script
{
    QString phase;
    QString fileName;
    QString path;
    QString checksum;
    bool applied = false; // applied before with this content: skipped
    ScriptProblem problem = ScriptProblem::None;
    QString problemText; // names the script
    QStringList statements; // of a script that will run

    QString name() const { return phase + QLatin1Char('/') + fileName; }
};

struct Folder
{
    QString phase;
    QString path;
    QVector<Script> scripts; // in file-name order
};

// Statements that begin or end a transaction: a script holding one would
// commit or break the run's transaction.
bool isTransactionStatement(const QString &word)
{
    static const QStringList words { QStringLiteral("BEGIN"), QStringLiteral("COMMIT"),
        QStringLiteral("END"), QStringLiteral("ROLLBACK"), QStringLiteral("SAVEPOINT"),
        QStringLiteral("RELEASE") };
    return words.contains(word);
}

class Helper
{
public:
    Helper(Mode mode, const QString &databaseFile, bool up)
        : m_mode(mode)
        , m_file(databaseFile)
        , m_up(up)
    { }
    ~Helper()
    {
        if (m_db.isValid())
            m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName());
    }

    void addFolder(const QString &phase, const QString &path);
    // A run or a dry run; throws Failure.
    void run();
    // The report of --status; throws Failure.
    void status();
    // After status(): whether a run would change anything.
    bool pending() const { return hasWork(); }
    // After a Failure: nothing of the run stays in the database.
    void abandon();

private:
    static QString connectionName() { return QStringLiteral("upgrade_install_helper"); }
    void tell(const QString &line) const;
    bool databaseExists() const;
    void open(const QString &name, bool readOnly);
    void readState();
    int readSchemaVersion();
    void checkScripts();
    bool hasWork() const;
    void exec(const QString &sql, const QString &what);
    void runFolder(const Folder &folder, bool work);
    void runScript(const Script &script);
    void upgradeSchema(bool work);
    Folder *folder(const QString &phase);

    Mode m_mode;
    QString m_file;
    bool m_up;
    QVector<Folder> m_folders; // db_before, then db_after
    QSqlDatabase m_db;
    bool m_created = false; // the file was made by this run
    QString m_createdFolder; // the folder too
    bool m_inTransaction = false;

    struct HistoryRow
    {
        QString phase, script, checksum, appliedAt;
        bool success;
    };
    QVector<HistoryRow> m_history;
    QHash<QString, QString> m_applied; // "phase/script" -> checksum of its last success
    bool m_hasSuiteInfo = false;
    int m_schemaVersion = 0;
};

void Helper::tell(const QString &line) const
{
    say(m_mode == Mode::DryRun ? QStringLiteral("试运行: ") + line : line);
}

Folder *Helper::folder(const QString &phase)
{
    for (Folder &folder : m_folders) {
        if (folder.phase == phase)
            return &folder;
    }
    return nullptr;
}

void Helper::addFolder(const QString &phase, const QString &path)
{
    if (!QFileInfo(path).isDir())
        stop(FailureKind::Scripts, QStringLiteral("找不到脚本目录 %1").arg(native(path)));
    Folder folder { phase, path, {} };
    // The installer counts the same files: plain *.sql files, any letter case.
    QFileInfoList files = QDir(path).entryInfoList(
        { QStringLiteral("*.sql") }, QDir::Files | QDir::NoSymLinks, QDir::NoSort);
    std::sort(files.begin(), files.end(),
        [](const QFileInfo &a, const QFileInfo &b) { return a.fileName() < b.fileName(); });
    for (const QFileInfo &file : qAsConst(files)) {
        Script script;
        script.phase = phase;
        script.fileName = file.fileName();
        script.path = file.absoluteFilePath();
        folder.scripts.append(script);
    }
    m_folders.append(folder);
}

bool Helper::databaseExists() const
{
    const QFileInfo info(m_file);
    if (info.exists() && !info.isFile())
        stop(FailureKind::Scripts, QStringLiteral("数据库 %1 不是文件").arg(native(m_file)));
    return info.exists();
}

void Helper::open(const QString &name, bool readOnly)
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        stop(FailureKind::Database, QStringLiteral("缺少 SQLite 数据库驱动(QSQLITE)"));
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName());
    m_db.setDatabaseName(name);
    if (readOnly)
        m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    if (!m_db.open())
        stop(FailureKind::Database,
            QStringLiteral("无法打开数据库 %1: %2")
                .arg(native(m_file), databaseMessage(m_db.lastError())));
}

// Reads the history and the schema version; changes nothing.
void Helper::readState()
{
    QSqlQuery tables(m_db);
    // Also proves that the file is a database.
    if (!tables.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'")))
        stop(FailureKind::Database,
            QStringLiteral("无法读取数据库 %1: %2")
                .arg(native(m_file), databaseMessage(tables.lastError())));
    bool hasHistory = false;
    while (tables.next()) {
        const QString table = tables.value(0).toString();
        hasHistory = hasHistory || table == QLatin1String("upgrade_history");
        m_hasSuiteInfo = m_hasSuiteInfo || table == QLatin1String("suite_info");
    }
    if (hasHistory) {
        QSqlQuery rows(m_db);
        if (!rows.exec(QStringLiteral("SELECT phase, script, checksum, applied_at, success FROM "
                                      "upgrade_history ORDER BY id")))
            stop(FailureKind::Database,
                QStringLiteral("读取升级记录失败: %1").arg(databaseMessage(rows.lastError())));
        while (rows.next()) {
            const HistoryRow row { rows.value(0).toString(), rows.value(1).toString(),
                rows.value(2).toString(), rows.value(3).toString(), rows.value(4).toInt() == 1 };
            m_history.append(row);
            if (row.success)
                m_applied.insert(row.phase + QLatin1Char('/') + row.script, row.checksum);
        }
    }
    m_schemaVersion = readSchemaVersion();
}

int Helper::readSchemaVersion()
{
    if (!m_hasSuiteInfo)
        return 0;
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("SELECT value FROM suite_info WHERE key = 'schema_version'")))
        stop(FailureKind::Database,
            QStringLiteral("读取数据库结构版本失败: %1").arg(databaseMessage(query.lastError())));
    if (!query.next())
        return 0;
    bool ok = false;
    const int version = query.value(0).toString().toInt(&ok);
    if (!ok || version < 0)
        stop(FailureKind::Database,
            QStringLiteral("数据库结构版本 \"%1\" 无效").arg(query.value(0).toString()));
    return version;
}

// Sorts the scripts into applied and to run, and checks the ones to run.
void Helper::checkScripts()
{
    for (Folder &folder : m_folders) {
        for (Script &script : folder.scripts) {
            const QString name = script.name();
            QFile source(script.path);
            QByteArray bytes;
            if (source.open(QIODevice::ReadOnly))
                bytes = source.readAll();
            if (!source.isOpen() || source.error() != QFileDevice::NoError) {
                script.problem = ScriptProblem::Unreadable;
                script.problemText
                    = QStringLiteral("无法读取脚本 %1: %2").arg(name, source.errorString());
                continue;
            }
            script.checksum = QString::fromLatin1(
                QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
            const auto applied = m_applied.constFind(name);
            if (applied != m_applied.constEnd()) {
                if (*applied == script.checksum) {
                    script.applied = true;
                } else {
                    script.problem = ScriptProblem::ChangedSinceApplied;
                    script.problemText
                        = QStringLiteral("脚本 %1 已执行过,但内容已改变(校验和不一致),已停止")
                              .arg(name);
                }
                continue;
            }

            QTextCodec::ConverterState state;
            QString text = QTextCodec::codecForName("UTF-8")->toUnicode(
                bytes.constData(), bytes.size(), &state);
            if (state.invalidChars > 0) {
                script.problem = ScriptProblem::NotUtf8;
                script.problemText = QStringLiteral("脚本 %1 不是有效的 UTF-8 文本").arg(name);
                continue;
            }
            if (text.startsWith(QChar(0xFEFF)))
                text.remove(0, 1);
            script.statements = SqlScript::splitStatements(text);
            for (int i = 0; i < script.statements.size(); ++i) {
                const QString word = SqlScript::leadingWord(script.statements.at(i));
                if (isTransactionStatement(word)) {
                    script.problem = ScriptProblem::TransactionStatement;
                    script.problemText
                        = QStringLiteral("脚本 %1 含有事务语句 %2(第 %3 条语句),不能执行: "
                                         "每次运行的所有脚本在同一个事务中执行")
                              .arg(name, word, QString::number(i + 1));
                    break;
                }
            }
        }
    }
}

bool Helper::hasWork() const
{
    for (const Folder &folder : m_folders) {
        for (const Script &script : folder.scripts) {
            if (!script.applied)
                return true;
        }
    }
    return m_up && m_schemaVersion < latestSchemaVersion();
}

void Helper::exec(const QString &sql, const QString &what)
{
    QSqlQuery query(m_db);
    if (!query.exec(sql))
        stop(FailureKind::Database,
            QStringLiteral("%1失败: %2").arg(what, databaseMessage(query.lastError())));
}

void Helper::run()
{
    const bool exists = databaseExists();
    if (exists) {
        open(m_file, false);
        readState();
    }
    checkScripts();
    QStringList problems;
    for (const Folder &folder : qAsConst(m_folders)) {
        for (const Script &script : folder.scripts) {
            if (script.problem != ScriptProblem::None)
                problems << script.problemText;
        }
    }
    if (!problems.isEmpty()) {
        if (exists)
            tell(QStringLiteral("打开数据库 %1").arg(native(m_file)));
        stop(FailureKind::Scripts, problems.join(QLatin1Char('\n')));
    }

    const bool work = hasWork();
    if (!exists && m_mode == Mode::DryRun) {
        // A real run would create the database: try on an empty one.
        open(QStringLiteral(":memory:"), false);
        tell(QStringLiteral("数据库 %1 还不存在,在空数据库上试运行").arg(native(m_file)));
    } else if (!exists && work) {
        const QString folder = QFileInfo(m_file).absolutePath();
        if (!QFileInfo::exists(folder))
            m_createdFolder = folder;
        if (!QDir().mkpath(folder))
            stop(
                FailureKind::Database, QStringLiteral("无法创建数据库目录 %1").arg(native(folder)));
        m_created = true;
        open(m_file, false);
    }
    if (m_db.isOpen() && (exists || m_created))
        tell(QStringLiteral("打开数据库 %1").arg(native(m_file)));

    if (work) {
        if (!m_db.transaction())
            stop(FailureKind::Database,
                QStringLiteral("数据库升级失败: 无法开始事务: %1")
                    .arg(databaseMessage(m_db.lastError())));
        m_inTransaction = true;
        exec(QString::fromLatin1(historyTableSql),
            QStringLiteral("创建升级记录表 upgrade_history "));
    }
    if (const Folder *before = folder(QStringLiteral("db_before")))
        runFolder(*before, work);
    if (m_up)
        upgradeSchema(work);
    if (const Folder *after = folder(QStringLiteral("db_after")))
        runFolder(*after, work);

    if (!work) {
        tell(QStringLiteral("没有需要执行的改动,数据库未作任何写入"));
        if (m_mode == Mode::Run)
            say(QStringLiteral("数据库升级完成"));
        return;
    }
    if (m_mode == Mode::DryRun) {
        m_inTransaction = false;
        if (!m_db.rollback())
            stop(FailureKind::Database,
                QStringLiteral("无法撤销试运行的改动: %1").arg(databaseMessage(m_db.lastError())));
        say(QStringLiteral("试运行结束: 以上改动都能完成,已全部撤销,数据库未改变"));
        return;
    }
    if (!m_db.commit())
        stop(FailureKind::Database,
            QStringLiteral("数据库升级失败: 无法提交: %1").arg(databaseMessage(m_db.lastError())));
    m_inTransaction = false;
    say(QStringLiteral("数据库升级完成"));
}

void Helper::runFolder(const Folder &folder, bool work)
{
    if (folder.scripts.isEmpty()) {
        tell(QStringLiteral("目录 %1 中没有 SQL 脚本").arg(native(folder.path)));
        return;
    }
    for (const Script &script : folder.scripts) {
        if (script.applied)
            tell(QStringLiteral("跳过已执行脚本 %1").arg(script.name()));
        else if (work)
            runScript(script);
    }
}

void Helper::runScript(const Script &script)
{
    const QString name = script.name();
    for (int i = 0; i < script.statements.size(); ++i) {
        QSqlQuery query(m_db);
        if (!query.exec(script.statements.at(i)))
            stop(FailureKind::Database,
                QStringLiteral("执行脚本 %1 失败(第 %2 条语句): %3")
                    .arg(name, QString::number(i + 1), databaseMessage(query.lastError())));
    }
    QSqlQuery record(m_db);
    record.prepare(QStringLiteral("INSERT INTO upgrade_history (phase, script, checksum, "
                                  "applied_at, success) VALUES (?, ?, ?, ?, 1)"));
    record.addBindValue(script.phase);
    record.addBindValue(script.fileName);
    record.addBindValue(script.checksum);
    record.addBindValue(now());
    if (!record.exec())
        stop(FailureKind::Database,
            QStringLiteral("执行脚本 %1 失败: 无法写入升级记录: %2")
                .arg(name, databaseMessage(record.lastError())));
    tell(QStringLiteral("执行脚本 %1 成功").arg(name));
}

void Helper::upgradeSchema(bool work)
{
    // The scripts before may have touched suite_info: read it again.
    if (work) {
        m_hasSuiteInfo = m_db.tables().contains(QStringLiteral("suite_info"));
        m_schemaVersion = readSchemaVersion();
    }
    const int current = m_schemaVersion;
    int reached = current;
    QString upgradedAt;
    if (work) {
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
                stop(FailureKind::Database,
                    QStringLiteral("数据库结构升级失败: 无法写入升级记录: %1")
                        .arg(databaseMessage(record.lastError())));
            reached = step.version;
        }
        upgradedAt = now();
        QSqlQuery store(m_db);
        store.prepare(
            QStringLiteral("INSERT OR REPLACE INTO suite_info (key, value) VALUES (?, ?)"));
        store.addBindValue(
            QVariantList { QStringLiteral("schema_version"), QStringLiteral("last_upgrade_at") });
        store.addBindValue(QVariantList { QString::number(reached), upgradedAt });
        if (!store.execBatch())
            stop(FailureKind::Database,
                QStringLiteral("数据库结构升级失败: %1").arg(databaseMessage(store.lastError())));
        store.finish();
    }

    const int latest = latestSchemaVersion();
    if (reached > current)
        tell(QStringLiteral("数据库结构升级到版本 %1 成功").arg(reached));
    else if (current > latest)
        tell(QStringLiteral("数据库结构版本 %1 比本程序所知的版本 %2 新,未作改动")
                 .arg(current)
                 .arg(latest));
    else
        tell(QStringLiteral("数据库结构已是版本 %1,无需升级").arg(current));
    if (work)
        tell(QStringLiteral("记录升级时间 %1").arg(upgradedAt));
}

void Helper::status()
{
    const bool exists = databaseExists();
    if (exists) {
        open(m_file, true);
        readState();
        say(QStringLiteral("数据库 %1 (只读查看,不作改动)").arg(native(m_file)));
    } else {
        say(QStringLiteral("数据库 %1 还不存在,所有脚本都待执行").arg(native(m_file)));
    }

    const int latest = latestSchemaVersion();
    if (m_schemaVersion < latest)
        say(QStringLiteral("数据库结构版本 %1,--up yes 将升级到版本 %2")
                .arg(m_schemaVersion)
                .arg(latest));
    else if (m_schemaVersion > latest)
        say(QStringLiteral("数据库结构版本 %1 比本程序所知的版本 %2 新,--up yes 不会改变它")
                .arg(m_schemaVersion)
                .arg(latest));
    else
        say(QStringLiteral("数据库结构版本 %1,已是最新,--up yes 不会改变它").arg(m_schemaVersion));

    say(QStringLiteral("升级记录 %1 条").arg(m_history.size()));
    for (const HistoryRow &row : qAsConst(m_history))
        say(QStringLiteral("%1 %2/%3 校验和 %4 时间 %5")
                .arg(row.success ? QStringLiteral("已执行") : QStringLiteral("未成功"), row.phase,
                    row.script, row.checksum.left(12), row.appliedAt));

    checkScripts();
    int pending = 0, applied = 0, refused = 0;
    for (const Folder &folder : qAsConst(m_folders)) {
        if (folder.scripts.isEmpty())
            say(QStringLiteral("目录 %1 中没有 SQL 脚本").arg(native(folder.path)));
        for (const Script &script : folder.scripts) {
            QString state;
            if (script.applied) {
                ++applied;
                state = QStringLiteral("已执行");
            } else if (script.problem == ScriptProblem::ChangedSinceApplied) {
                ++refused;
                state = QStringLiteral("已执行过,但内容已改变(校验和不一致),执行时将出错");
            } else if (script.problem != ScriptProblem::None) {
                ++refused;
                state = QStringLiteral("将被拒绝: ") + script.problemText;
            } else {
                ++pending;
                state = QStringLiteral("待执行");
            }
            say(QStringLiteral("脚本 %1: %2").arg(script.name(), state));
        }
    }
    if (!m_folders.isEmpty())
        say(QStringLiteral("待执行 %1 个,已执行 %2 个,有问题 %3 个")
                .arg(pending)
                .arg(applied)
                .arg(refused));
}

void Helper::abandon()
{
    if (m_db.isOpen()) {
        if (m_inTransaction)
            m_db.rollback();
        m_inTransaction = false;
        m_db.close();
    }
    // A database file this run created holds nothing now: don't leave it.
    if (m_created && QFileInfo(m_file).size() == 0)
        QFile::remove(m_file);
    if (!m_createdFolder.isEmpty())
        QDir().rmdir(m_createdFolder); // only while empty
    m_created = false;
    m_createdFolder.clear();
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
        "the *.sql files of --after; each folder in file-name order. All of a run's work\n"
        "is one transaction: after any error nothing is kept, not even in the history\n"
        "table upgrade_history. Scripts already applied with the same content are\n"
        "skipped; an applied script whose content changed is an error, and so is a\n"
        "script holding its own BEGIN, COMMIT, END, ROLLBACK, SAVEPOINT or RELEASE\n"
        "(refused before anything runs). When nothing needs doing, the database is not\n"
        "written at all.\n"
        "Progress goes to standard output, errors to standard error.\n"
        "Exit: 0 success; any error of a run ends the program abnormally (the installer\n"
        "counts that as a failure). With --status or --dry-run errors end it normally:\n"
        "64 for a wrong command line, 1 for anything else (for --dry-run: the run would\n"
        "fail). 1 as well when the output could not be written.\n"
        "--applied (with the arguments of a run) tells, changing nothing, whether that run\n"
        "has nothing left to do: exit 0 when everything is applied, 3 when something is\n"
        "pending. The installer asks it after an interruption during the database step."));
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
    const QCommandLineOption statusOption(QStringLiteral("status"),
        QStringLiteral("Change nothing; report the applied scripts, the schema version, and for "
                       "the folders given which scripts are pending, applied or changed since."));
    const QCommandLineOption dryRunOption(QStringLiteral("dry-run"),
        QStringLiteral("Run everything in the transaction as a run would, report it, and roll "
                       "it back: the database stays as it was."));
    const QCommandLineOption appliedOption(QStringLiteral("applied"),
        QStringLiteral("Change nothing; exit 0 when everything the other options would run is "
                       "applied already, 3 when something is pending."));
    parser.addOptions({ upOption, beforeOption, afterOption, databaseOption, statusOption,
        dryRunOption, appliedOption });

    // The installer never passes --status or --dry-run: a command line naming
    // either is a person's, whose errors end the program normally.
    const QStringList arguments = QCoreApplication::arguments();
    const bool byPerson = arguments.contains(QStringLiteral("--status"))
        || arguments.contains(QStringLiteral("--dry-run"))
        || arguments.contains(QStringLiteral("--applied"));
    const QString usageHint = QStringLiteral("(参数见 --help)");
    const auto usageError = [&](const QString &text) {
        complain(QStringLiteral("参数错误: %1 %2").arg(text, usageHint));
        if (!byPerson)
            endAbnormally();
        return int(ExitUsage);
    };

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        const QByteArray help = parser.helpText().toUtf8();
        if (std::fwrite(help.constData(), 1, size_t(help.size()), stdout) != size_t(help.size())
            || std::fflush(stdout) != 0)
            return ExitFailure;
        return ExitSuccess;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("未知参数 %1").arg(parser.positionalArguments().join(QLatin1Char(' '))));
    for (const QCommandLineOption &option :
        { upOption, beforeOption, afterOption, databaseOption }) {
        if (parser.values(option).size() > 1)
            return usageError(QStringLiteral("--%1 只能给一次").arg(option.names().first()));
        if (parser.isSet(option) && parser.value(option).isEmpty())
            return usageError(QStringLiteral("--%1 的值为空").arg(option.names().first()));
    }
    if (parser.isSet(upOption) && parser.value(upOption) != QLatin1String("yes"))
        return usageError(
            QStringLiteral("--up 只接受 yes,而不是 \"%1\"").arg(parser.value(upOption)));
    if (parser.isSet(statusOption) && parser.isSet(dryRunOption))
        return usageError(QStringLiteral("--status 和 --dry-run 只能选一个"));

    const bool askApplied = parser.isSet(appliedOption);
    if (askApplied && (parser.isSet(statusOption) || parser.isSet(dryRunOption)))
        return usageError(QStringLiteral("--applied 不能与 --status 或 --dry-run 同用"));
    const Mode mode = parser.isSet(statusOption) || askApplied
        ? Mode::Status
        : (parser.isSet(dryRunOption) ? Mode::DryRun : Mode::Run);
    const bool up = parser.isSet(upOption);
    const QString beforeDir = parser.value(beforeOption);
    const QString afterDir = parser.value(afterOption);
    if (mode != Mode::Status && !up && beforeDir.isEmpty() && afterDir.isEmpty()) {
        say(QStringLiteral("没有要执行的数据库任务"));
        return outputLost ? ExitFailure : ExitSuccess;
    }

    const QString databaseFile = parser.isSet(databaseOption)
        ? QFileInfo(parser.value(databaseOption)).absoluteFilePath()
        : SuiteLayout::databaseFile(
            SuiteLayout::mainPathFromProgramDir(QCoreApplication::applicationDirPath()));

    {
        Helper helper(mode, databaseFile, up);
        try {
            if (!beforeDir.isEmpty())
                helper.addFolder(QStringLiteral("db_before"), beforeDir);
            if (!afterDir.isEmpty())
                helper.addFolder(QStringLiteral("db_after"), afterDir);
            if (mode == Mode::Status)
                helper.status();
            else
                helper.run();
            if (askApplied)
                return helper.pending() ? ExitPending : ExitSuccess;
        } catch (const Failure &failure) {
            helper.abandon();
            QString message = failure.message;
            if (mode == Mode::DryRun)
                message = QStringLiteral("试运行: ")
                    + message.replace(QLatin1Char('\n'), QStringLiteral("\n试运行: "));
            complain(message);
            if (mode == Mode::Status)
                return ExitFailure;
            if (mode == Mode::DryRun) {
                say(QStringLiteral("试运行结束: 数据库升级将会失败,所有改动已撤销,数据库未改变"));
                return ExitFailure;
            }
            say(QStringLiteral("数据库升级失败,所有改动已撤销"));
            endAbnormally();
        }
    }
    if (outputLost) {
        complain(QStringLiteral("无法写出全部输出"));
        return ExitFailure;
    }
    return ExitSuccess;
}
