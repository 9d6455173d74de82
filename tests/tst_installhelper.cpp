#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include "SqlScript.h"
#include "support/EngineHarness.h"

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

private:
    struct Run
    {
        QProcess::ExitStatus status = QProcess::CrashExit;
        int exitCode = -1;
        QStringList lines;
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
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.status = process.exitStatus();
    result.exitCode = process.exitCode();
    result.lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n');
    if (result.lines.last().isEmpty())
        result.lines.removeLast();
    return result;
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
    script("outside.sql", "INSERT INTO log VALUES('link');");
    QVERIFY(QFile::link(m_dir->filePath("outside.sql"), m_dir->filePath("db_before/005_link.sql")));
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
    const QString last = result.lines.value(result.lines.size() - 1);
    QVERIFY2(last.contains("db_before/002.sql") && last.contains("no such table: missing")
            && last.contains("失败"),
        qPrintable(last));
    // The failed script left nothing; the ones after it never ran.
    QCOMPARE(select("SELECT step FROM log"), QStringList { "one" });
    QCOMPARE(select("SELECT name FROM sqlite_master WHERE name = 'half'"), QStringList {});
    QCOMPARE(select("SELECT phase, script, success FROM upgrade_history ORDER BY id"),
        (QStringList { "db_before|001.sql|1", "db_before|002.sql|0" }));

    // A failed script does not count as applied: once fixed, it runs.
    script("db_before/002.sql", "INSERT INTO log VALUES('two');");
    result = runOn({ "before", "after" });
    QCOMPARE(result.status, QProcess::NormalExit);
    QVERIFY(result.lines.contains("跳过已执行脚本 db_before/001.sql"));
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
            "数据库升级完成" }));
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
    const QString last = result.lines.value(result.lines.size() - 1);
    QVERIFY2(last.contains("db_before/001.sql") && last.contains(reason), qPrintable(last));
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
    QTest::newRow("unknown option") << QStringList { "--down" } << "down";
    QTest::newRow("stray argument") << QStringList { "--up", "yes", "extra" } << "extra";
    QTest::newRow("--up with another value") << QStringList { "--up", "no" } << "--up";
    QTest::newRow("--before without its folder") << QStringList { "--before" } << "before";
    QTest::newRow("--after given twice")
        << QStringList { "--after", "x", "--after", "y" } << "--after";
    QTest::newRow("script folder missing")
        << QStringList { "--before", "does-not-exist" } << "does-not-exist";
}

void tst_InstallHelper::rejectsBadArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Run result = runOn({}, arguments);
    QCOMPARE(result.status, QProcess::CrashExit);
    QVERIFY2(result.lines.value(result.lines.size() - 1).contains(message),
        qPrintable(result.lines.join('\n')));
}

QTEST_GUILESS_MAIN(tst_InstallHelper)
#include "tst_installhelper.moc"
