#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include "SqlScript.h"
#include "support/EngineHarness.h"
#include "support/PlatformFiles.h"

using EngineHarness::writeFile;

// The suite's database helper, run on SQLite files in temporary folders, and
// the statement splitter it uses.
class tst_InstallHelper : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void splitStatements_data();
    void splitStatements();
    void appliesScriptsInOrder();
    void failingScriptIsRolledBack();
    void secondRunSkipsAppliedScripts();
    void refusedScript_data();
    void refusedScript();
    void schemaUpgrade();
    void findsDatabaseFromItsOwnLocation();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
    void transactionStatements_data();
    void transactionStatements();
    void leavesDatabaseUnchanged_data();
    void leavesDatabaseUnchanged();
    void missingDatabaseIsNotCreated_data();
    void missingDatabaseIsNotCreated();
    void help();
    void version();
    void applied();

private:
    struct Run
    {
        QProcess::ExitStatus status = QProcess::CrashExit;
        int exitCode = -1;
        QStringList lines; // standard output
        QString errors; // standard error
    };
    Run run(const QStringList &arguments, const QString &program = UPGRADE_INSTALL_HELPER);
    // Runs with --database, on db_before and db_after when given "before"/"after".
    Run runOn(const QStringList &folders, const QStringList &more = {});
    void script(const QString &path, const QByteArray &content)
    {
        QVERIFY(writeFile(m_dir->filePath(path), content));
    }
    // Rows of a query on the test database, each row's columns joined by "|".
    QStringList select(const QString &sql);
    QByteArray databaseBytes() const;

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_database;
};

void tst_InstallHelper::init()
{
    m_dir.reset(new QTemporaryDir);
    m_database = m_dir->filePath("data/suite.db");
    QVERIFY(QDir().mkpath(m_dir->filePath("db_before")));
    QVERIFY(QDir().mkpath(m_dir->filePath("db_after")));
}

void tst_InstallHelper::cleanup()
{
    m_dir.reset();
}

tst_InstallHelper::Run tst_InstallHelper::run(const QStringList &arguments, const QString &program)
{
    Run result;
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.status = process.exitStatus();
    result.exitCode = process.exitCode();
    // Lines end in CRLF on Windows (the helper's output is in text mode).
    result.lines
        = QString::fromUtf8(process.readAllStandardOutput().replace("\r\n", "\n")).split('\n');
    if (result.lines.last().isEmpty())
        result.lines.removeLast();
    result.errors = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QByteArray tst_InstallHelper::databaseBytes() const
{
    QFile file(m_database);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

tst_InstallHelper::Run tst_InstallHelper::runOn(const QStringList &folders, const QStringList &more)
{
    QStringList arguments { "--database", m_database };
    for (const QString &folder : folders)
        arguments << "--" + folder << m_dir->filePath("db_" + folder);
    return run(arguments + more);
}

QStringList tst_InstallHelper::select(const QString &sql)
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(m_database);
        const bool open = db.open();
        QSqlQuery query(db);
        if (!open || !query.exec(sql))
            rows << "<" + sql + " failed>";
        while (query.isActive() && query.next()) {
            QStringList columns;
            for (int i = 0; i < query.record().count(); ++i)
                columns << query.value(i).toString();
            rows << columns.join('|');
        }
    }
    QSqlDatabase::removeDatabase("check");
    return rows;
}

void tst_InstallHelper::splitStatements_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("statements");
    QTest::newRow("two statements, blanks around")
        << "  CREATE TABLE a(x);\n\nINSERT INTO a VALUES(1) ;  \n"
        << QStringList { "CREATE TABLE a(x)", "INSERT INTO a VALUES(1)" };
    QTest::newRow("last statement without semicolon")
        << "SELECT 1;\nSELECT 2" << QStringList { "SELECT 1", "SELECT 2" };
    QTest::newRow("semicolon in a string, doubled quote inside")
        << "INSERT INTO a VALUES('it''s; 中文');SELECT 2;"
        << QStringList { "INSERT INTO a VALUES('it''s; 中文')", "SELECT 2" };
    QTest::newRow("semicolon in quoted identifiers")
        << "CREATE TABLE \"a;b\"(`c;d`, [e;f]);SELECT 1;"
        << QStringList { "CREATE TABLE \"a;b\"(`c;d`, [e;f])", "SELECT 1" };
    QTest::newRow("semicolons in comments")
        << "SELECT 1; -- one; two\n/* three; four */ SELECT 2;"
        << QStringList { "SELECT 1", "-- one; two\n/* three; four */ SELECT 2" };
    QTest::newRow("comment-only and empty statements are left out")
        << ";; -- nothing here;\n/* nor; here */ ;\n-- trailing comment" << QStringList {};
    QTest::newRow("trigger body keeps its semicolons, CASE ... END inside")
        << "CREATE TRIGGER t AFTER INSERT ON a BEGIN\n"
           "  INSERT INTO b VALUES(CASE WHEN new.x > 0 THEN 1 ELSE 0 END);\n  DELETE FROM "
           "c;\nEND;\nSELECT 1;"
        << QStringList { "CREATE TRIGGER t AFTER INSERT ON a BEGIN\n"
                         "  INSERT INTO b VALUES(CASE WHEN new.x > 0 THEN 1 ELSE 0 END);\n  DELETE "
                         "FROM c;\nEND",
               "SELECT 1" };
    QTest::newRow("temporary trigger, lower case")
        << "create temp trigger t after delete on a begin delete from b; end; select 1"
        << QStringList { "create temp trigger t after delete on a begin delete from b; end",
               "select 1" };
    QTest::newRow("END of a plain statement does not matter")
        << "SELECT CASE WHEN 1 THEN 2 END; SELECT 3;"
        << QStringList { "SELECT CASE WHEN 1 THEN 2 END", "SELECT 3" };
    QTest::newRow("unterminated string runs to the end")
        << "SELECT 'open; SELECT 2;" << QStringList { "SELECT 'open; SELECT 2;" };
}

void tst_InstallHelper::splitStatements()
{
    QFETCH(QString, script);
    QTEST(SqlScript::splitStatements(script), "statements");
}

void tst_InstallHelper::appliesScriptsInOrder()
{
    const QByteArray a = "\xEF\xBB\xBF-- saved with a byte order mark\n"
                         "CREATE TABLE log(step TEXT);\nINSERT INTO log VALUES('a;1');\n";
    const QByteArray b = "INSERT INTO log VALUES('b');", c = "INSERT INTO log VALUES('c');",
                     z = "INSERT INTO log VALUES('z');";
    script("db_before/002_b.sql", b);
    script("db_before/001_a.sql", a);
    script("db_before/010_c.SQL", c);
    // Not scripts: another extension, a hidden file, a link.
    script("db_before/notes.txt", "INSERT INTO log VALUES('txt');");
    script("db_before/.hidden.sql", "INSERT INTO log VALUES('hidden');");
    markHidden(m_dir->filePath("db_before/.hidden.sql"));
    script("outside.sql", "INSERT INTO log VALUES('link');");
    // Where no link can be made (wine), there is none to pass over.
    QString why;
    makeSymLink(m_dir->filePath("outside.sql"), m_dir->filePath("db_before/005_link.sql"), &why);
    script("db_after/001_z.sql", z);

    Run result = runOn({ "before", "after" }, { "--up", "yes" });
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.lines.value(5).startsWith("记录升级时间 "));
    result.lines[5] = "记录升级时间 <time>";
    QCOMPARE(result.lines,
        (QStringList { "打开数据库 " + QDir::toNativeSeparators(m_database),
            "执行脚本 db_before/001_a.sql 成功", "执行脚本 db_before/002_b.sql 成功",
            "执行脚本 db_before/010_c.SQL 成功", "数据库结构升级到版本 1 成功",
            "记录升级时间 <time>", "执行脚本 db_after/001_z.sql 成功", "数据库升级完成" }));
    QCOMPARE(select("SELECT step FROM log ORDER BY rowid"), (QStringList { "a;1", "b", "c", "z" }));
    const auto sha = [](const QByteArray &bytes) {
        return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    };
    QCOMPARE(select("SELECT phase, script, checksum, success FROM upgrade_history WHERE phase <> "
                    "'up' ORDER BY id"),
        (QStringList { "db_before|001_a.sql|" + sha(a) + "|1",
            "db_before|002_b.sql|" + sha(b) + "|1", "db_before|010_c.SQL|" + sha(c) + "|1",
            "db_after|001_z.sql|" + sha(z) + "|1" }));
    for (const QString &time : select("SELECT applied_at FROM upgrade_history"))
        QVERIFY2(QDateTime::fromString(time, Qt::ISODate).isValid(), qPrintable(time));
}

void tst_InstallHelper::failingScriptIsRolledBack()
{
    script("db_before/001.sql", "CREATE TABLE log(step TEXT); INSERT INTO log VALUES('one');");
    script("db_before/002.sql",
        "INSERT INTO log VALUES('two');\nCREATE TABLE half(x);\nINSERT INTO missing VALUES(1);");
    script("db_before/003.sql", "INSERT INTO log VALUES('three');");
    script("db_after/001.sql", "INSERT INTO log VALUES('after');");

    Run result = runOn({ "before", "after" });
    QCOMPARE(result.status, QProcess::CrashExit);
    QVERIFY2(result.errors.contains("db_before/002.sql") && result.errors.contains("失败")
            && result.errors.contains("no such table: missing"),
        qPrintable(result.errors));
    QCOMPARE(result.lines.value(result.lines.size() - 1), "数据库升级失败,所有改动已撤销");
    // The run is one transaction: the script before the failed one is undone
    // as well, and the history notes nothing. The database this run created
    // is not left behind empty.
    QVERIFY(!QFileInfo::exists(m_database));

    // Once fixed, everything runs.
    script("db_before/002.sql", "INSERT INTO log VALUES('two');");
    result = runOn({ "before", "after" });
    QCOMPARE(result.status, QProcess::NormalExit);
    QVERIFY(result.lines.contains("执行脚本 db_before/001.sql 成功"));
    QVERIFY(result.lines.contains("执行脚本 db_before/002.sql 成功"));
    QCOMPARE(select("SELECT step FROM log ORDER BY rowid"),
        (QStringList { "one", "two", "three", "after" }));
}

void tst_InstallHelper::secondRunSkipsAppliedScripts()
{
    script("db_before/001.sql", "CREATE TABLE log(step TEXT); INSERT INTO log VALUES('before');");
    script("db_after/001.sql", "INSERT INTO log VALUES('after');");
    QCOMPARE(runOn({ "before", "after" }).status, QProcess::NormalExit);

    const Run again = runOn({ "before", "after" });
    QCOMPARE(again.status, QProcess::NormalExit);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.lines.mid(1),
        (QStringList { "跳过已执行脚本 db_before/001.sql", "跳过已执行脚本 db_after/001.sql",
            "没有需要执行的改动,数据库未作任何写入", "数据库升级完成" }));
    QCOMPARE(select("SELECT count(*) FROM upgrade_history"), QStringList { "2" });

    // A new script of a later package next to the applied ones runs alone.
    script("db_after/002.sql", "INSERT INTO log VALUES('later');");
    QVERIFY(runOn({ "before", "after" }).lines.contains("执行脚本 db_after/002.sql 成功"));
    QCOMPARE(select("SELECT step FROM log ORDER BY rowid"),
        (QStringList { "before", "after", "later" }));
}

void tst_InstallHelper::refusedScript_data()
{
    QTest::addColumn<QByteArray>("applied"); // run once before; empty: none
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QStringList>("log"); // the table afterwards
    QTest::newRow("applied script changed since")
        << QByteArray("CREATE TABLE log(step TEXT); INSERT INTO log VALUES('one');")
        << QByteArray("CREATE TABLE log(step TEXT); INSERT INTO log VALUES('changed');") << "校验和"
        << QStringList { "one" };
    QTest::newRow("script text not UTF-8")
        << QByteArray()
        << QByteArray("CREATE TABLE log(step TEXT);INSERT INTO log VALUES('\xC3\x28');") << "UTF-8"
        << QStringList { "<SELECT step FROM log failed>" };
}

void tst_InstallHelper::refusedScript()
{
    QFETCH(QByteArray, applied);
    QFETCH(QByteArray, script);
    QFETCH(QString, reason);
    if (!applied.isEmpty()) {
        this->script("db_before/001.sql", applied);
        QCOMPARE(runOn({ "before" }).status, QProcess::NormalExit);
    }
    this->script("db_before/001.sql", script);
    this->script("db_before/002.sql", "INSERT INTO log VALUES('two');");

    const Run result = runOn({ "before" });
    QCOMPARE(result.status, QProcess::CrashExit);
    QVERIFY2(result.errors.contains("db_before/001.sql") && result.errors.contains(reason),
        qPrintable(result.errors));
    QTEST(select("SELECT step FROM log"), "log");
}

void tst_InstallHelper::schemaUpgrade()
{
    const QString version = "SELECT value FROM suite_info WHERE key = 'schema_version'";
    QVERIFY(runOn({}, { "--up", "yes" }).lines.contains("数据库结构升级到版本 1 成功"));
    QCOMPARE(select(version), QStringList { "1" });
    const QStringList time = select("SELECT value FROM suite_info WHERE key = 'last_upgrade_at'");
    QVERIFY(QDateTime::fromString(time.value(0), Qt::ISODate).isValid());

    QVERIFY(runOn({}, { "--up", "yes" }).lines.contains("数据库结构已是版本 1,无需升级"));
    QCOMPARE(
        select("SELECT count(*) FROM upgrade_history WHERE phase = 'up'"), QStringList { "1" });

    // A database that a newer suite already upgraded is left at its version.
    QCOMPARE(
        select("UPDATE suite_info SET value = '7' WHERE key = 'schema_version'"), QStringList());
    QCOMPARE(runOn({}, { "--up", "yes" }).status, QProcess::NormalExit);
    QCOMPARE(select(version), QStringList { "7" });
}

void tst_InstallHelper::findsDatabaseFromItsOwnLocation()
{
    // Installed as the suite installs it: <main>/product/<exe>/upgrade_install_helper.exe.
    const QString main = m_dir->filePath("main");
    const QString installed = main + "/product/app/upgrade_install_helper.exe";
    QVERIFY(QDir().mkpath(main + "/product/app"));
    QVERIFY(QFile::copy(UPGRADE_INSTALL_HELPER, installed));

    // Nothing to do: the database is not even created.
    Run result = run({}, installed);
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.lines, QStringList { "没有要执行的数据库任务" });
    QVERIFY(!QFileInfo::exists(main + "/data"));

    script("db_before/001.sql", "CREATE TABLE t(x);");
    result = run({ "--up", "yes", "--before", m_dir->filePath("db_before") }, installed);
    QCOMPARE(result.status, QProcess::NormalExit);
    m_database = main + "/data/suite.db";
    QCOMPARE(result.lines.value(0), "打开数据库 " + QDir::toNativeSeparators(m_database));
    QCOMPARE(select("SELECT script FROM upgrade_history WHERE phase = 'db_before'"),
        QStringList { "001.sql" });
}

void tst_InstallHelper::rejectsBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("exitCode"); // -1: an abnormal end, as a run's errors
    // A command line that can't be read ends normally with 64, whoever gave it.
    QTest::newRow("unknown option") << QStringList { "--down" } << "down" << 64;
    QTest::newRow("stray argument") << QStringList { "--up", "yes", "extra" } << "extra" << 64;
    QTest::newRow("--up with another value") << QStringList { "--up", "no" } << "--up" << 64;
    QTest::newRow("--before without its folder") << QStringList { "--before" } << "before" << 64;
    QTest::newRow("--after given twice")
        << QStringList { "--after", "x", "--after", "y" } << "--after" << 64;
    QTest::newRow("script folder missing")
        << QStringList { "--before", "does-not-exist" } << "does-not-exist" << -1;
    // A person's commands end normally: 64 for the command line, 1 otherwise.
    QTest::newRow("--status and --dry-run together")
        << QStringList { "--status", "--dry-run" } << "--status" << 64;
    QTest::newRow("--status with an unknown option")
        << QStringList { "--status", "--down" } << "down" << 64;
    QTest::newRow("--dry-run with another --up value")
        << QStringList { "--dry-run", "--up", "no" } << "--up" << 64;
    QTest::newRow("--dry-run, script folder missing")
        << QStringList { "--dry-run", "--before", "does-not-exist" } << "does-not-exist" << 1;
}

void tst_InstallHelper::rejectsBadArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QFETCH(int, exitCode);
    const Run result = runOn({}, arguments);
    if (exitCode < 0) {
        QCOMPARE(result.status, QProcess::CrashExit);
    } else {
        QCOMPARE(result.status, QProcess::NormalExit);
        QCOMPARE(result.exitCode, exitCode);
    }
    QVERIFY2(result.errors.contains(message), qPrintable(result.errors));
    if (exitCode == 64)
        QVERIFY2(result.errors.contains("用法: upgrade_install_helper"), qPrintable(result.errors));
    QVERIFY(!QFileInfo::exists(m_database));
}

void tst_InstallHelper::transactionStatements_data()
{
    QTest::addColumn<QByteArray>("statement");
    QTest::addColumn<QString>("refused"); // the word named; empty: the script runs
    QTest::addColumn<QStringList>("log"); // the table afterwards, when it runs
    const QList<QPair<const char *, const char *>> refused { { "BEGIN;", "BEGIN" },
        { "begin immediate transaction;", "BEGIN" }, { "COMMIT", "COMMIT" }, { "END;", "END" },
        { "end transaction;", "END" }, { "ROLLBACK;", "ROLLBACK" },
        { "rollback to savepoint sp;", "ROLLBACK" }, { "SAVEPOINT sp;", "SAVEPOINT" },
        { "RELEASE sp;", "RELEASE" }, { "/* first */ -- then\n  Commit;", "COMMIT" } };
    for (const auto &row : refused)
        QTest::newRow(QByteArray(row.first).replace('\n', ' ').constData())
            << QByteArray(row.first) << row.second << QStringList();
    QTest::newRow("trigger body with BEGIN ... END, columns named begin_x and \"commit\"")
        << QByteArray("CREATE TABLE t(begin_x INTEGER, \"commit\" TEXT);\n"
                      "CREATE TRIGGER t_log AFTER INSERT ON t BEGIN\n"
                      "  INSERT INTO log VALUES(new.begin_x || new.\"commit\");\nEND;\n"
                      "INSERT INTO t VALUES(1, 'x');")
        << QString() << QStringList { "before", "1x" };
    QTest::newRow("the words in strings and comments")
        << QByteArray("-- BEGIN;\n/* COMMIT; */ INSERT INTO log VALUES('ROLLBACK; END');")
        << QString() << QStringList { "before", "ROLLBACK; END" };
}

void tst_InstallHelper::transactionStatements()
{
    QFETCH(QByteArray, statement);
    QFETCH(QString, refused);
    script("db_before/001.sql", "CREATE TABLE log(step TEXT); INSERT INTO log VALUES('before');");
    // A refused script would run something first.
    script("db_before/002.sql",
        refused.isEmpty() ? statement : "INSERT INTO log VALUES('two');\n" + statement);

    const Run result = runOn({ "before" });
    if (refused.isEmpty()) {
        QCOMPARE(result.status, QProcess::NormalExit);
        QCOMPARE(result.exitCode, 0);
        QTEST(select("SELECT step FROM log ORDER BY rowid"), "log");
        return;
    }
    QCOMPARE(result.status, QProcess::CrashExit);
    QVERIFY2(result.errors.contains("db_before/002.sql") && result.errors.contains(refused),
        qPrintable(result.errors));
    // Refused before anything ran: the database was not even created.
    QVERIFY(!QFileInfo::exists(m_database));
}

void tst_InstallHelper::leavesDatabaseUnchanged_data()
{
    QTest::addColumn<bool>("applyAll"); // the whole package is applied first
    QTest::addColumn<QByteArray>("after"); // db_after/001.sql for the run checked
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode"); // -1: an abnormal end
    QTest::addColumn<QStringList>("lines"); // on standard output, among others
    QTest::addColumn<QString>("error"); // on standard error; empty: nothing there

    const QByteArray good = "INSERT INTO log VALUES('after');";
    const QByteArray failing = good + "\nINSERT INTO missing VALUES(1);";
    const QStringList up { "--up", "yes" };
    QTest::newRow("run: failing after script undoes the before script and the schema step")
        << false << failing << up << -1
        << QStringList { "执行脚本 db_before/002.sql 成功", "数据库结构升级到版本 1 成功",
               "数据库升级失败,所有改动已撤销" }
        << "执行脚本 db_after/001.sql 失败(第 2 条语句): no such table: missing";
    QTest::newRow("dry run: reports the failure")
        << false << failing << up + QStringList { "--dry-run" } << 1
        << QStringList { "试运行: 执行脚本 db_before/002.sql 成功",
               "试运行结束: 数据库升级将会失败,所有改动已撤销,数据库未改变" }
        << "试运行: 执行脚本 db_after/001.sql 失败";
    QTest::newRow("dry run: would succeed")
        << false << good << up + QStringList { "--dry-run" } << 0
        << QStringList { "试运行: 跳过已执行脚本 db_before/001.sql",
               "试运行: 执行脚本 db_after/001.sql 成功",
               "试运行结束: 以上改动都能完成,已全部撤销,数据库未改变" }
        << QString();
    QTest::newRow("status: pending and applied")
        << false << good << QStringList { "--status" } << 0
        << QStringList { "数据库结构版本 0,--up yes 将升级到版本 1", "升级记录 1 条",
               "脚本 db_before/001.sql: 已执行", "脚本 db_before/002.sql: 待执行",
               "脚本 db_after/001.sql: 待执行", "待执行 2 个,已执行 1 个,有问题 0 个" }
        << QString();
    QTest::newRow("status: all applied, one changed since")
        << true << failing << QStringList { "--status" } << 0
        << QStringList { "数据库结构版本 1,已是最新,--up yes 不会改变它", "升级记录 4 条",
               "脚本 db_before/002.sql: 已执行",
               "脚本 db_after/001.sql: 已执行过,但内容已改变(校验和不一致),执行时将出错" }
        << QString();
    QTest::newRow("run: nothing to do")
        << true << good << up << 0
        << QStringList { "数据库结构已是版本 1,无需升级", "没有需要执行的改动,数据库未作任何写入",
               "数据库升级完成" }
        << QString();
}

// Byte for byte: nothing of a failed run, a dry run, a report or a run with
// nothing to do reaches the file.
void tst_InstallHelper::leavesDatabaseUnchanged()
{
    QFETCH(bool, applyAll);
    QFETCH(QByteArray, after);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    script("db_before/001.sql", "CREATE TABLE log(step TEXT); INSERT INTO log VALUES('one');");
    QCOMPARE(runOn({ "before" }).exitCode, 0);
    script("db_before/002.sql", "INSERT INTO log VALUES('two');");
    script("db_after/001.sql", "INSERT INTO log VALUES('after');");
    if (applyAll)
        QCOMPARE(runOn({ "before", "after" }, { "--up", "yes" }).exitCode, 0);
    script("db_after/001.sql", after);
    const QByteArray before = databaseBytes();

    const Run result = runOn({ "before", "after" }, arguments);
    if (exitCode < 0) {
        QCOMPARE(result.status, QProcess::CrashExit);
    } else {
        QCOMPARE(result.status, QProcess::NormalExit);
        QCOMPARE(result.exitCode, exitCode);
    }
    QFETCH(QStringList, lines);
    for (const QString &line : lines)
        QVERIFY2(
            result.lines.contains(line), qPrintable(line + "\n--\n" + result.lines.join('\n')));
    if (error.isEmpty())
        QCOMPARE(result.errors, QString());
    else
        QVERIFY2(result.errors.contains(error), qPrintable(result.errors));
    QVERIFY(databaseBytes() == before);
}

void tst_InstallHelper::missingDatabaseIsNotCreated_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("exitCode"); // -1: an abnormal end
    QTest::addColumn<QString>("line"); // a part of a line on standard output
    const QByteArray good = "CREATE TABLE a(x);";
    QTest::newRow("status") << QStringList { "--status" } << good << 0
                            << "还不存在,所有脚本都待执行";
    QTest::newRow("dry run") << QStringList { "--dry-run" } << good << 0
                             << "试运行: 执行脚本 db_before/001.sql 成功";
    QTest::newRow("failed run") << QStringList() << QByteArray("INSERT INTO missing VALUES(1);")
                                << -1 << "数据库升级失败,所有改动已撤销";
}

void tst_InstallHelper::missingDatabaseIsNotCreated()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, script);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    this->script("db_before/001.sql", script);
    const Run result = runOn({ "before" }, arguments + QStringList { "--up", "yes" });
    QCOMPARE(result.status, exitCode < 0 ? QProcess::CrashExit : QProcess::NormalExit);
    if (exitCode >= 0)
        QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.lines.filter(line).size() == 1, qPrintable(result.lines.join('\n')));
    QVERIFY(!QFileInfo::exists(QFileInfo(m_database).path()));
}

void tst_InstallHelper::version()
{
    const Run result = run({ "--version" });
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.lines, QStringList { "upgrade_install_helper " UPGRADE_PROGRAM_VERSION });
}

void tst_InstallHelper::help()
{
    const Run result = run({ "--help" });
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.errors, QString());
    const QString text = result.lines.join('\n');
    QVERIFY2(text.contains("--status") && text.contains("--dry-run") && text.contains("64"),
        qPrintable(text));

    // Output that can't be written is no success, though the work was done.
    if (!QFileInfo::exists("/dev/full"))
        QSKIP("no /dev/full here");
    script("db_before/001.sql", "CREATE TABLE a(x);");
    QProcess process;
    process.setStandardOutputFile("/dev/full");
    process.start(UPGRADE_INSTALL_HELPER,
        { "--database", m_database, "--before", m_dir->filePath("db_before") });
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(select("SELECT script FROM upgrade_history"), QStringList { "001.sql" });
}

// What the installer asks after an interruption: pending, or all applied.
void tst_InstallHelper::applied()
{
    script("db_before/1.sql", "CREATE TABLE t (x);");
    const auto asked = [this](const QStringList &more = {}) {
        const Run run = runOn({ "before" }, QStringList { "--applied" } + more);
        return run.status == QProcess::NormalExit ? run.exitCode : -1;
    };
    QCOMPARE(asked(), 3);
    QVERIFY(!QFileInfo::exists(m_database)); // asking creates nothing
    QCOMPARE(runOn({ "before" }).exitCode, 0);
    const QByteArray applied = databaseBytes();
    QCOMPARE(asked(), 0);
    QCOMPARE(asked({ "--up", "yes" }), 3);
    QCOMPARE(databaseBytes(), applied);
}

QTEST_GUILESS_MAIN(tst_InstallHelper)
#include "tst_installhelper.moc"
