#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include "SqlScript.h"

// Runs the real database helper on SQLite files in temporary folders.
class tst_InstallHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void splitStatements_data();
    void splitStatements();

    void appliesScriptsInOrder();
    void scriptWithTriggerAndQuotedSemicolons();
    void failingScriptIsRolledBack();
    void secondRunSkipsAppliedScripts();
    void changedAppliedScriptIsAnError();
    void invalidScriptText();
    void schemaUpgrade();
    void findsDatabaseFromItsOwnLocation();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
    void helpNamesTheDatabaseOption();

private:
    struct Run
    {
        QProcess::ExitStatus status = QProcess::CrashExit;
        int exitCode = -1;
        QStringList lines;
    };

    Run run(const QStringList &arguments, const QString &program = QString());
    Run runWithDatabase(const QStringList &arguments)
    {
        return run(QStringList { QStringLiteral("--database"), m_database } + arguments);
    }
    void writeScript(const QString &folder, const QString &name, const QByteArray &content);
    // Rows of a query on the test database, each row's columns joined by "|".
    QStringList select(const QString &sql);

    QString m_helper;
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_database;
    QString m_before;
    QString m_after;
};

void tst_InstallHelper::initTestCase()
{
    m_helper = QStringLiteral(UPGRADE_INSTALL_HELPER);
    QVERIFY2(QFileInfo(m_helper).isExecutable(), qPrintable(m_helper));
    QVERIFY(QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")));
}

void tst_InstallHelper::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_database = m_dir->filePath(QStringLiteral("data/suite.db"));
    m_before = m_dir->filePath(QStringLiteral("db_before"));
    m_after = m_dir->filePath(QStringLiteral("db_after"));
    QVERIFY(QDir().mkpath(m_before));
    QVERIFY(QDir().mkpath(m_after));
}

void tst_InstallHelper::cleanup()
{
    const QStringList names = QSqlDatabase::connectionNames();
    for (const QString &name : names)
        QSqlDatabase::removeDatabase(name);
    m_dir.reset();
}

tst_InstallHelper::Run tst_InstallHelper::run(const QStringList &arguments, const QString &program)
{
    Run result;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program.isEmpty() ? m_helper : program, arguments);
    if (!process.waitForStarted(30000) || !process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(5000);
        qWarning("the helper did not run to its end");
        return result;
    }
    result.status = process.exitStatus();
    result.exitCode = process.exitCode();
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    result.lines = output.split(QLatin1Char('\n'));
    if (!result.lines.isEmpty() && result.lines.last().isEmpty())
        result.lines.removeLast();
    return result;
}

void tst_InstallHelper::writeScript(
    const QString &folder, const QString &name, const QByteArray &content)
{
    QFile file(folder + QLatin1Char('/') + name);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QStringList tst_InstallHelper::select(const QString &sql)
{
    QStringList rows;
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(m_database);
        if (!db.open()) {
            qWarning("cannot open %s", qPrintable(m_database));
            return rows;
        }
        QSqlQuery query(db);
        if (!query.exec(sql)) {
            qWarning("%s: %s", qPrintable(sql), qPrintable(query.lastError().text()));
            return rows;
        }
        while (query.next()) {
            QStringList columns;
            for (int i = 0; i < query.record().count(); ++i)
                columns << query.value(i).toString();
            rows << columns.join(QLatin1Char('|'));
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return rows;
}

static QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

void tst_InstallHelper::splitStatements_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("statements");

    QTest::newRow("two statements, blanks around")
        << QStringLiteral("  CREATE TABLE a(x);\n\nINSERT INTO a VALUES(1) ;  \n")
        << QStringList { QStringLiteral("CREATE TABLE a(x)"),
               QStringLiteral("INSERT INTO a VALUES(1)") };
    QTest::newRow("last statement without semicolon")
        << QStringLiteral("SELECT 1;\nSELECT 2")
        << QStringList { QStringLiteral("SELECT 1"), QStringLiteral("SELECT 2") };
    QTest::newRow("semicolon in a string, doubled quote inside")
        << QStringLiteral("INSERT INTO a VALUES('it''s; here');SELECT 2;")
        << QStringList { QStringLiteral("INSERT INTO a VALUES('it''s; here')"),
               QStringLiteral("SELECT 2") };
    QTest::newRow("semicolon in quoted identifiers")
        << QStringLiteral("CREATE TABLE \"a;b\"(`c;d`, [e;f]);SELECT 1;")
        << QStringList { QStringLiteral("CREATE TABLE \"a;b\"(`c;d`, [e;f])"),
               QStringLiteral("SELECT 1") };
    QTest::newRow("semicolons in comments")
        << QStringLiteral("SELECT 1; -- one; two\n/* three; four */ SELECT 2;")
        << QStringList { QStringLiteral("SELECT 1"),
               QStringLiteral("-- one; two\n/* three; four */ SELECT 2") };
    QTest::newRow("comment-only and empty statements are left out")
        << QStringLiteral(";; -- nothing here;\n/* nor; here */ ;\n-- trailing comment")
        << QStringList {};
    QTest::newRow("trigger body keeps its semicolons, CASE ... END inside")
        << QStringLiteral("CREATE TRIGGER t AFTER INSERT ON a BEGIN\n"
                          "  INSERT INTO b VALUES(CASE WHEN new.x > 0 THEN 1 ELSE 0 END);\n"
                          "  DELETE FROM c;\n"
                          "END;\nSELECT 1;")
        << QStringList { QStringLiteral(
                             "CREATE TRIGGER t AFTER INSERT ON a BEGIN\n"
                             "  INSERT INTO b VALUES(CASE WHEN new.x > 0 THEN 1 ELSE 0 END);\n"
                             "  DELETE FROM c;\n"
                             "END"),
               QStringLiteral("SELECT 1") };
    QTest::newRow("temporary trigger, lower case")
        << QStringLiteral(
               "create temp trigger t after delete on a begin delete from b; end; select 1")
        << QStringList { QStringLiteral(
                             "create temp trigger t after delete on a begin delete from b; end"),
               QStringLiteral("select 1") };
    QTest::newRow("END of a plain statement does not matter")
        << QStringLiteral("SELECT CASE WHEN 1 THEN 2 END; SELECT 3;")
        << QStringList { QStringLiteral("SELECT CASE WHEN 1 THEN 2 END"),
               QStringLiteral("SELECT 3") };
    QTest::newRow("unterminated string runs to the end") << QStringLiteral(
        "SELECT 'open; SELECT 2;") << QStringList { QStringLiteral("SELECT 'open; SELECT 2;") };
    QTest::newRow("non-ASCII text")
        << QStringLiteral("INSERT INTO a VALUES('中文;文本');SELECT 1")
        << QStringList { QStringLiteral("INSERT INTO a VALUES('中文;文本')"),
               QStringLiteral("SELECT 1") };
}

void tst_InstallHelper::splitStatements()
{
    QFETCH(QString, script);
    QFETCH(QStringList, statements);
    QCOMPARE(SqlScript::splitStatements(script), statements);
}

void tst_InstallHelper::appliesScriptsInOrder()
{
    const QByteArray a = "CREATE TABLE log(step TEXT);\nINSERT INTO log VALUES('a');\n";
    const QByteArray b = "INSERT INTO log VALUES('b');";
    const QByteArray c = "INSERT INTO log VALUES('c');";
    const QByteArray z = "INSERT INTO log VALUES('z');";
    writeScript(m_before, QStringLiteral("002_b.sql"), b);
    writeScript(m_before, QStringLiteral("001_a.sql"), a);
    writeScript(m_before, QStringLiteral("010_c.SQL"), c);
    // Not scripts: another extension, a hidden file, a link.
    writeScript(m_before, QStringLiteral("notes.txt"), "INSERT INTO log VALUES('txt');");
    writeScript(m_before, QStringLiteral(".hidden.sql"), "INSERT INTO log VALUES('hidden');");
    writeScript(m_dir->path(), QStringLiteral("outside.sql"), "INSERT INTO log VALUES('link');");
    QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("outside.sql")),
        m_before + QStringLiteral("/005_link.sql")));
    writeScript(m_after, QStringLiteral("001_z.sql"), z);

    QVERIFY(!QFileInfo::exists(m_database));
    const Run result = runWithDatabase({ QStringLiteral("--up"), QStringLiteral("yes"),
        QStringLiteral("--before"), m_before, QStringLiteral("--after"), m_after });
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.lines.size(), 8);
    QCOMPARE(result.lines.at(0),
        QStringLiteral("打开数据库 %1").arg(QDir::toNativeSeparators(m_database)));
    QCOMPARE(result.lines.at(1), QStringLiteral("执行脚本 db_before/001_a.sql 成功"));
    QCOMPARE(result.lines.at(2), QStringLiteral("执行脚本 db_before/002_b.sql 成功"));
    QCOMPARE(result.lines.at(3), QStringLiteral("执行脚本 db_before/010_c.SQL 成功"));
    QCOMPARE(result.lines.at(4), QStringLiteral("数据库结构升级到版本 1 成功"));
    QVERIFY(result.lines.at(5).startsWith(QStringLiteral("记录升级时间 ")));
    QCOMPARE(result.lines.at(6), QStringLiteral("执行脚本 db_after/001_z.sql 成功"));
    QCOMPARE(result.lines.at(7), QStringLiteral("数据库升级完成"));

    QCOMPARE(select(QStringLiteral("SELECT step FROM log ORDER BY rowid")),
        (QStringList {
            QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("z") }));
    QCOMPARE(select(QStringLiteral("SELECT phase, script, checksum, success FROM upgrade_history "
                                   "WHERE phase <> 'up' ORDER BY id")),
        (QStringList { QStringLiteral("db_before|001_a.sql|%1|1").arg(sha256(a)),
            QStringLiteral("db_before|002_b.sql|%1|1").arg(sha256(b)),
            QStringLiteral("db_before|010_c.SQL|%1|1").arg(sha256(c)),
            QStringLiteral("db_after|001_z.sql|%1|1").arg(sha256(z)) }));
    const QStringList times = select(QStringLiteral("SELECT applied_at FROM upgrade_history"));
    for (const QString &time : times)
        QVERIFY2(QDateTime::fromString(time, Qt::ISODate).isValid(), qPrintable(time));
}

void tst_InstallHelper::scriptWithTriggerAndQuotedSemicolons()
{
    writeScript(m_before, QStringLiteral("001.sql"),
        "\xEF\xBB\xBF-- a script saved with a byte order mark; comments; everywhere\n"
        "CREATE TABLE item(name TEXT);\n"
        "CREATE TABLE audit(note TEXT);\n"
        "CREATE TRIGGER item_added AFTER INSERT ON item BEGIN\n"
        "  INSERT INTO audit VALUES('added; ' || new.name);\n"
        "  INSERT INTO audit VALUES(CASE WHEN new.name = 'x' THEN 'x' ELSE 'other' END);\n"
        "END;\n"
        "INSERT INTO item VALUES('a;b'); /* done; */\n"
        "INSERT INTO item VALUES('名称');\n");
    const Run result = runWithDatabase({ QStringLiteral("--before"), m_before });
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(select(QStringLiteral("SELECT name FROM item ORDER BY rowid")),
        (QStringList { QStringLiteral("a;b"), QStringLiteral("名称") }));
    QCOMPARE(select(QStringLiteral("SELECT note FROM audit ORDER BY rowid")),
        (QStringList { QStringLiteral("added; a;b"), QStringLiteral("other"),
            QStringLiteral("added; 名称"), QStringLiteral("other") }));
}

void tst_InstallHelper::failingScriptIsRolledBack()
{
    writeScript(m_before, QStringLiteral("001.sql"),
        "CREATE TABLE log(step TEXT); INSERT INTO log VALUES('one');");
    writeScript(m_before, QStringLiteral("002.sql"),
        "INSERT INTO log VALUES('two');\nCREATE TABLE half(x);\nINSERT INTO missing VALUES(1);");
    writeScript(m_before, QStringLiteral("003.sql"), "INSERT INTO log VALUES('three');");
    writeScript(m_after, QStringLiteral("001.sql"), "INSERT INTO log VALUES('after');");

    const QStringList arguments { QStringLiteral("--before"), m_before, QStringLiteral("--after"),
        m_after };
    Run result = runWithDatabase(arguments);
    QCOMPARE(result.status, QProcess::CrashExit);
    QVERIFY(!result.lines.isEmpty());
    const QString last = result.lines.last();
    QVERIFY2(last.contains(QStringLiteral("db_before/002.sql")), qPrintable(last));
    QVERIFY2(last.contains(QStringLiteral("no such table: missing")), qPrintable(last));
    QVERIFY2(last.contains(QStringLiteral("失败")), qPrintable(last));

    // The failed script left nothing; the ones after it never ran.
    QCOMPARE(select(QStringLiteral("SELECT step FROM log")), QStringList { QStringLiteral("one") });
    QCOMPARE(select(QStringLiteral("SELECT name FROM sqlite_master WHERE name = 'half'")),
        QStringList {});
    QCOMPARE(
        select(QStringLiteral("SELECT phase, script, success FROM upgrade_history ORDER BY id")),
        (QStringList {
            QStringLiteral("db_before|001.sql|1"), QStringLiteral("db_before|002.sql|0") }));

    // A failed script does not count as applied: once fixed, it runs.
    writeScript(m_before, QStringLiteral("002.sql"), "INSERT INTO log VALUES('two');");
    result = runWithDatabase(arguments);
    QCOMPARE(result.status, QProcess::NormalExit);
    QVERIFY(result.lines.contains(QStringLiteral("跳过已执行脚本 db_before/001.sql")));
    QVERIFY(result.lines.contains(QStringLiteral("执行脚本 db_before/002.sql 成功")));
    QCOMPARE(select(QStringLiteral("SELECT step FROM log ORDER BY rowid")),
        (QStringList { QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three"),
            QStringLiteral("after") }));
}

void tst_InstallHelper::secondRunSkipsAppliedScripts()
{
    writeScript(m_before, QStringLiteral("001.sql"),
        "CREATE TABLE log(step TEXT); INSERT INTO log VALUES('before');");
    writeScript(m_after, QStringLiteral("001.sql"), "INSERT INTO log VALUES('after');");
    const QStringList arguments { QStringLiteral("--before"), m_before, QStringLiteral("--after"),
        m_after };
    QCOMPARE(runWithDatabase(arguments).status, QProcess::NormalExit);

    const Run again = runWithDatabase(arguments);
    QCOMPARE(again.status, QProcess::NormalExit);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.lines.mid(1),
        (QStringList { QStringLiteral("跳过已执行脚本 db_before/001.sql"),
            QStringLiteral("跳过已执行脚本 db_after/001.sql"), QStringLiteral("数据库升级完成") }));
    QCOMPARE(select(QStringLiteral("SELECT step FROM log ORDER BY rowid")),
        (QStringList { QStringLiteral("before"), QStringLiteral("after") }));
    QCOMPARE(select(QStringLiteral("SELECT count(*) FROM upgrade_history")),
        QStringList { QStringLiteral("2") });

    // A new script of a later package next to the applied ones runs alone.
    writeScript(m_after, QStringLiteral("002.sql"), "INSERT INTO log VALUES('later');");
    const Run later = runWithDatabase(arguments);
    QCOMPARE(later.status, QProcess::NormalExit);
    QVERIFY(later.lines.contains(QStringLiteral("执行脚本 db_after/002.sql 成功")));
    QCOMPARE(select(QStringLiteral("SELECT step FROM log ORDER BY rowid")),
        (QStringList {
            QStringLiteral("before"), QStringLiteral("after"), QStringLiteral("later") }));
}

void tst_InstallHelper::changedAppliedScriptIsAnError()
{
    writeScript(m_before, QStringLiteral("001.sql"),
        "CREATE TABLE log(step TEXT); INSERT INTO log VALUES('one');");
    const QStringList arguments { QStringLiteral("--before"), m_before };
    QCOMPARE(runWithDatabase(arguments).status, QProcess::NormalExit);

    writeScript(m_before, QStringLiteral("001.sql"),
        "CREATE TABLE log(step TEXT); INSERT INTO log VALUES('changed');");
    writeScript(m_before, QStringLiteral("002.sql"), "INSERT INTO log VALUES('two');");
    const Run result = runWithDatabase(arguments);
    QCOMPARE(result.status, QProcess::CrashExit);
    QVERIFY(!result.lines.isEmpty());
    QVERIFY2(result.lines.last().contains(QStringLiteral("db_before/001.sql")),
        qPrintable(result.lines.last()));
    QVERIFY2(
        result.lines.last().contains(QStringLiteral("校验和")), qPrintable(result.lines.last()));
    QCOMPARE(select(QStringLiteral("SELECT step FROM log")), QStringList { QStringLiteral("one") });
}

void tst_InstallHelper::invalidScriptText()
{
    writeScript(m_before, QStringLiteral("001.sql"), "INSERT INTO t VALUES('\xC3\x28');");
    const Run result = runWithDatabase({ QStringLiteral("--before"), m_before });
    QCOMPARE(result.status, QProcess::CrashExit);
    QVERIFY(!result.lines.isEmpty());
    QVERIFY2(result.lines.last().contains(QStringLiteral("db_before/001.sql")),
        qPrintable(result.lines.last()));
    QVERIFY2(
        result.lines.last().contains(QStringLiteral("UTF-8")), qPrintable(result.lines.last()));
    QCOMPARE(select(QStringLiteral("SELECT count(*) FROM upgrade_history WHERE success = 1")),
        QStringList { QStringLiteral("0") });
}

void tst_InstallHelper::schemaUpgrade()
{
    const Run first = runWithDatabase({ QStringLiteral("--up"), QStringLiteral("yes") });
    QCOMPARE(first.status, QProcess::NormalExit);
    QVERIFY(first.lines.contains(QStringLiteral("数据库结构升级到版本 1 成功")));
    QCOMPARE(select(QStringLiteral("SELECT value FROM suite_info WHERE key = 'schema_version'")),
        QStringList { QStringLiteral("1") });
    const QStringList firstTime
        = select(QStringLiteral("SELECT value FROM suite_info WHERE key = 'last_upgrade_at'"));
    QCOMPARE(firstTime.size(), 1);
    QVERIFY(QDateTime::fromString(firstTime.first(), Qt::ISODate).isValid());

    const Run second = runWithDatabase({ QStringLiteral("--up"), QStringLiteral("yes") });
    QCOMPARE(second.status, QProcess::NormalExit);
    QVERIFY(second.lines.contains(QStringLiteral("数据库结构已是版本 1,无需升级")));
    QCOMPARE(select(QStringLiteral("SELECT count(*) FROM upgrade_history WHERE phase = 'up'")),
        QStringList { QStringLiteral("1") });

    // A database that a newer suite already upgraded is left at its version.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("w"));
        db.setDatabaseName(m_database);
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(
            QStringLiteral("UPDATE suite_info SET value = '7' WHERE key = 'schema_version'")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("w"));
    const Run newer = runWithDatabase({ QStringLiteral("--up"), QStringLiteral("yes") });
    QCOMPARE(newer.status, QProcess::NormalExit);
    QCOMPARE(select(QStringLiteral("SELECT value FROM suite_info WHERE key = 'schema_version'")),
        QStringList { QStringLiteral("7") });
}

void tst_InstallHelper::findsDatabaseFromItsOwnLocation()
{
    // Installed as the suite installs it: <main>/product/<exe>/upgrade_install_helper.exe.
    const QString mainPath = m_dir->filePath(QStringLiteral("main"));
    const QString programDir = mainPath + QStringLiteral("/product/app");
    QVERIFY(QDir().mkpath(programDir));
    const QString installed = programDir + QStringLiteral("/upgrade_install_helper.exe");
    QVERIFY(QFile::copy(m_helper, installed));
    QVERIFY(QFileInfo(installed).isExecutable());

    // Nothing to do: the database is not even created.
    Run result = run({}, installed);
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.lines, QStringList { QStringLiteral("没有要执行的数据库任务") });
    QVERIFY(!QFileInfo::exists(mainPath + QStringLiteral("/data")));

    writeScript(m_before, QStringLiteral("001.sql"), "CREATE TABLE t(x);");
    result = run(
        { QStringLiteral("--up"), QStringLiteral("yes"), QStringLiteral("--before"), m_before },
        installed);
    QCOMPARE(result.status, QProcess::NormalExit);
    const QString database = mainPath + QStringLiteral("/data/suite.db");
    QVERIFY(QFileInfo(database).isFile());
    QCOMPARE(result.lines.value(0),
        QStringLiteral("打开数据库 %1").arg(QDir::toNativeSeparators(database)));
    m_database = database;
    QCOMPARE(select(QStringLiteral("SELECT script FROM upgrade_history WHERE phase = 'db_before'")),
        QStringList { QStringLiteral("001.sql") });
}

void tst_InstallHelper::rejectsBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown option")
        << QStringList { QStringLiteral("--down") } << QStringLiteral("down");
    QTest::newRow("stray argument") << QStringList { QStringLiteral("--up"), QStringLiteral("yes"),
        QStringLiteral("extra") } << QStringLiteral("extra");
    QTest::newRow("--up with another value")
        << QStringList { QStringLiteral("--up"), QStringLiteral("no") } << QStringLiteral("--up");
    QTest::newRow("--before without its folder")
        << QStringList { QStringLiteral("--before") } << QStringLiteral("before");
    QTest::newRow("--after given twice") << QStringList { QStringLiteral("--after"),
        QStringLiteral("x"), QStringLiteral("--after"), QStringLiteral("y") }
                                         << QStringLiteral("--after");
    QTest::newRow("script folder missing") << QStringList { QStringLiteral("--before"),
        QStringLiteral("does-not-exist") } << QStringLiteral("does-not-exist");
}

void tst_InstallHelper::rejectsBadArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Run result = runWithDatabase(arguments);
    QCOMPARE(result.status, QProcess::CrashExit);
    QVERIFY(!result.lines.isEmpty());
    QVERIFY2(result.lines.last().contains(message), qPrintable(result.lines.last()));
}

void tst_InstallHelper::helpNamesTheDatabaseOption()
{
    const Run result = run({ QStringLiteral("--help") });
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 0);
    const QString help = result.lines.join(QLatin1Char('\n'));
    for (const char *option : { "--up", "--before", "--after", "--database" })
        QVERIFY2(help.contains(QLatin1String(option)), option);
}

QTEST_GUILESS_MAIN(tst_InstallHelper)
#include "tst_installhelper.moc"
