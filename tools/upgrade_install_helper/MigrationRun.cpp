#include "MigrationRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QStringList>

#include <algorithm>

#include "HelperFailure.h"
#include "HelperOutput.h"

using HelperOutput::complain;
using HelperOutput::say;

namespace {

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Reports a failure that abandon() has undone; a run's ends the program.
int reportFailure(MigrationRun::Mode mode, QString message)
{
    if (mode == MigrationRun::Mode::DryRun)
        message = QStringLiteral("试运行: ")
            + message.replace(QLatin1Char('\n'), QStringLiteral("\n试运行: "));
    complain(message);
    if (mode == MigrationRun::Mode::Status)
        return ExitFailure;
    if (mode == MigrationRun::Mode::DryRun) {
        say(QStringLiteral("试运行结束: 数据库升级将会失败,所有改动已撤销,数据库未改变"));
        return ExitFailure;
    }
    say(QStringLiteral("数据库升级失败,所有改动已撤销"));
    HelperOutput::endAbnormally();
}

} // namespace

int MigrationRun::execute(const HelperOptions &options)
{
    {
        MigrationRun helper(options.mode, options.databaseFile, options.up);
        try {
            if (!options.beforeDir.isEmpty())
                helper.addFolder(QStringLiteral("db_before"), options.beforeDir);
            if (!options.afterDir.isEmpty())
                helper.addFolder(QStringLiteral("db_after"), options.afterDir);
            if (options.mode == Mode::Status)
                helper.status();
            else
                helper.run();
            if (options.askApplied)
                return helper.pending() ? ExitPending : ExitSuccess;
        } catch (const Failure &failure) {
            helper.abandon();
            return reportFailure(options.mode, failure.message);
        }
    }
    if (HelperOutput::outputLost()) {
        complain(QStringLiteral("无法写出全部输出"));
        return ExitFailure;
    }
    return ExitSuccess;
}

MigrationRun::MigrationRun(Mode mode, const QString &databaseFile, bool up)
    : m_mode(mode)
    , m_file(databaseFile)
    , m_up(up)
{ }

MigrationRun::~MigrationRun()
{
    if (m_db.isValid())
        m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName());
}

void MigrationRun::tell(const QString &line) const
{
    say(m_mode == Mode::DryRun ? QStringLiteral("试运行: ") + line : line);
}

void MigrationRun::addFolder(const QString &phase, const QString &path)
{
    m_folders.append(ScriptFolder::list(phase, path));
}

bool MigrationRun::databaseExists() const
{
    const QFileInfo info(m_file);
    if (info.exists() && !info.isFile())
        stop(FailureKind::Scripts, QStringLiteral("数据库 %1 不是文件").arg(native(m_file)));
    return info.exists();
}

void MigrationRun::open(const QString &name, bool readOnly)
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

// Sorts the scripts into applied and to run, and checks the ones to run.
void MigrationRun::checkScripts()
{
    for (ScriptFolder &folder : m_folders)
        folder.check(m_history.applied());
}

bool MigrationRun::hasWork() const
{
    for (const ScriptFolder &folder : m_folders) {
        for (const Script &script : folder.scripts) {
            if (!script.applied)
                return true;
        }
    }
    return m_up && m_history.schemaVersion() < SchemaHistory::latestVersion();
}

void MigrationRun::run()
{
    const bool exists = databaseExists();
    if (exists) {
        open(m_file, false);
        m_history.read(m_db, m_file);
    }
    refuseProblems(exists);

    const bool work = hasWork();
    openForWork(exists, work);
    if (work) {
        if (!m_db.transaction())
            stop(FailureKind::Database,
                QStringLiteral("数据库升级失败: 无法开始事务: %1")
                    .arg(databaseMessage(m_db.lastError())));
        m_inTransaction = true;
        SchemaHistory::createTable(m_db);
    }
    runFolder(QStringLiteral("db_before"), work);
    if (m_up)
        upgradeSchema(work);
    runFolder(QStringLiteral("db_after"), work);
    finish(work);
}

// Stops before anything runs when a script can't run, naming each.
void MigrationRun::refuseProblems(bool exists)
{
    checkScripts();
    QStringList problems;
    for (const ScriptFolder &folder : qAsConst(m_folders)) {
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
}

// Opens the database a run works on when it does not exist yet.
void MigrationRun::openForWork(bool exists, bool work)
{
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
}

// Commits the run's transaction, or rolls a dry run's back.
void MigrationRun::finish(bool work)
{
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

void MigrationRun::runFolder(const QString &phase, bool work)
{
    const auto folder = std::find_if(m_folders.cbegin(), m_folders.cend(),
        [&phase](const ScriptFolder &folder) { return folder.phase == phase; });
    if (folder == m_folders.cend())
        return;
    if (folder->scripts.isEmpty()) {
        tell(QStringLiteral("目录 %1 中没有 SQL 脚本").arg(native(folder->path)));
        return;
    }
    for (const Script &script : folder->scripts) {
        if (script.applied)
            tell(QStringLiteral("跳过已执行脚本 %1").arg(script.name()));
        else if (work)
            runScript(script);
    }
}

void MigrationRun::runScript(const Script &script)
{
    const QString name = script.name();
    for (int i = 0; i < script.statements.size(); ++i) {
        QSqlQuery query(m_db);
        if (!query.exec(script.statements.at(i)))
            stop(FailureKind::Database,
                QStringLiteral("执行脚本 %1 失败(第 %2 条语句): %3")
                    .arg(name, QString::number(i + 1), databaseMessage(query.lastError())));
    }
    QString error;
    if (!SchemaHistory::note(m_db, script.phase, script.fileName, script.checksum, &error))
        stop(FailureKind::Database,
            QStringLiteral("执行脚本 %1 失败: 无法写入升级记录: %2").arg(name, error));
    tell(QStringLiteral("执行脚本 %1 成功").arg(name));
}

void MigrationRun::upgradeSchema(bool work)
{
    if (work)
        m_history.rereadSchemaVersion(m_db);
    const int current = m_history.schemaVersion();
    SchemaHistory::Upgrade upgrade { current, QString() };
    if (work)
        upgrade = m_history.upgradeSchema(m_db);

    const int latest = SchemaHistory::latestVersion();
    if (upgrade.reached > current)
        tell(QStringLiteral("数据库结构升级到版本 %1 成功").arg(upgrade.reached));
    else if (current > latest)
        tell(QStringLiteral("数据库结构版本 %1 比本程序所知的版本 %2 新,未作改动")
                 .arg(current)
                 .arg(latest));
    else
        tell(QStringLiteral("数据库结构已是版本 %1,无需升级").arg(current));
    if (work)
        tell(QStringLiteral("记录升级时间 %1").arg(upgrade.at));
}

void MigrationRun::status()
{
    if (databaseExists()) {
        open(m_file, true);
        m_history.read(m_db, m_file);
        say(QStringLiteral("数据库 %1 (只读查看,不作改动)").arg(native(m_file)));
    } else {
        say(QStringLiteral("数据库 %1 还不存在,所有脚本都待执行").arg(native(m_file)));
    }
    reportHistory();
    checkScripts();
    reportScripts();
}

// The schema version and the rows of the history, for --status.
void MigrationRun::reportHistory()
{
    const int version = m_history.schemaVersion();
    const int latest = SchemaHistory::latestVersion();
    if (version < latest)
        say(QStringLiteral("数据库结构版本 %1,--up yes 将升级到版本 %2").arg(version).arg(latest));
    else if (version > latest)
        say(QStringLiteral("数据库结构版本 %1 比本程序所知的版本 %2 新,--up yes 不会改变它")
                .arg(version)
                .arg(latest));
    else
        say(QStringLiteral("数据库结构版本 %1,已是最新,--up yes 不会改变它").arg(version));

    say(QStringLiteral("升级记录 %1 条").arg(m_history.rows().size()));
    for (const SchemaHistory::Row &row : m_history.rows())
        say(QStringLiteral("%1 %2/%3 校验和 %4 时间 %5")
                .arg(row.success ? QStringLiteral("已执行") : QStringLiteral("未成功"), row.phase,
                    row.script, row.checksum.left(12), row.appliedAt));
}

// What a run would do with each script of the folders given, for --status.
void MigrationRun::reportScripts()
{
    int pending = 0, applied = 0, refused = 0;
    for (const ScriptFolder &folder : qAsConst(m_folders)) {
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

void MigrationRun::abandon()
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
