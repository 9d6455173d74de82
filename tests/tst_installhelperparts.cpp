#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include "HelperFailure.h"
#include "HelperOptions.h"
#include "SchemaHistory.h"

// The database helper's command line and its reading of the history, on
// their own; the program as a whole is tst_installhelper's.
class tst_InstallHelperParts : public QObject
{
    Q_OBJECT

private slots:
    void options_data();
    void options();
    void databaseFile();
    void history_data();
    void history();
};

namespace {

// What the options ask for, in a few words.
QString described(const HelperOptions &options)
{
    if (options.result == HelperOptions::Result::Help)
        return "help";
    if (options.result == HelperOptions::Result::Usage)
        return "usage: " + options.error;
    const char *const modes[] = { "run", "dry-run", "status" };
    QString text = modes[int(options.mode)];
    if (options.askApplied)
        text += " applied";
    if (options.up)
        text += " up";
    if (!options.beforeDir.isEmpty())
        text += " before=" + options.beforeDir;
    if (!options.afterDir.isEmpty())
        text += " after=" + options.afterDir;
    return options.nothingToDo() ? text + " nothing" : text;
}

} // namespace

void tst_InstallHelperParts::options_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("byPerson"); // whose errors end the program normally
    QTest::newRow("nothing") << QStringList() << "run nothing" << false;
    QTest::newRow("the installer's run")
        << QStringList { "--up", "yes", "--before", "b", "--after", "a" }
        << "run up before=b after=a" << false;
    QTest::newRow("dry run") << QStringList { "--dry-run", "--after", "a" } << "dry-run after=a"
                             << true;
    QTest::newRow("status of nothing") << QStringList { "--status" } << "status" << true;
    QTest::newRow("applied asks in the status mode")
        << QStringList { "--applied", "--before", "b" } << "status applied before=b" << true;
    QTest::newRow("help before a stray argument")
        << QStringList { "--help", "extra" } << "help" << false;
    QTest::newRow("a line that does not parse is still a person's")
        << QStringList { "--dry-run", "--down" } << "usage: Unknown option 'down'." << true;
    QTest::newRow("empty value") << QStringList { "--up=" } << "usage: --up 的值为空" << false;
    QTest::newRow("empty folder, status")
        << QStringList { "--status", "--before=" } << "usage: --before 的值为空" << true;
    QTest::newRow("--database twice") << QStringList { "--database", "x", "--database", "y" }
                                      << "usage: --database 只能给一次" << false;
    QTest::newRow("--applied with --status")
        << QStringList { "--applied", "--status" }
        << "usage: --applied 不能与 --status 或 --dry-run 同用" << true;
    QTest::newRow("--applied with --dry-run")
        << QStringList { "--dry-run", "--applied" }
        << "usage: --applied 不能与 --status 或 --dry-run 同用" << true;
}

void tst_InstallHelperParts::options()
{
    QFETCH(QStringList, arguments);
    const HelperOptions options
        = HelperOptions::parse(QStringList { "helper" } + arguments, "/main/product/app");
    QTEST(described(options), "expected");
    QTEST(options.byPerson, "byPerson");
}

// A relative --database is taken from the working folder.
void tst_InstallHelperParts::databaseFile()
{
    QCOMPARE(
        HelperOptions::parse({ "helper", "--database", "x.db" }, "/main/product/app").databaseFile,
        QDir::current().absoluteFilePath("x.db"));
}

void tst_InstallHelperParts::history_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QString>("expected");
    const QString table = "CREATE TABLE upgrade_history (id INTEGER PRIMARY KEY, phase TEXT, "
                          "script TEXT, checksum TEXT, applied_at TEXT, success INTEGER)";
    const QString info = "CREATE TABLE suite_info (key TEXT PRIMARY KEY, value TEXT)";
    QTest::newRow("empty database") << QStringList() << "version 0, 0 rows:";
    QTest::newRow("the last success of a script counts, failures don't") << QStringList {
        table,
        "INSERT INTO upgrade_history (phase, script, checksum, applied_at, success) VALUES "
        "('db_before', 'a', 'x', 't', 1), ('db_before', 'a', 'y', 't', 0), "
        "('db_after', 'b', 'z', 't', 0), ('up', 'c', '1', 't', 1), ('up', 'c', '2', 't', 1)"
    } << "version 0, 5 rows: db_before/a=x up/c=2";
    QTest::newRow("schema version")
        << QStringList { info, "INSERT INTO suite_info VALUES ('schema_version', '3')" }
        << "version 3, 0 rows:";
    QTest::newRow("suite_info without a version")
        << QStringList { info, "INSERT INTO suite_info VALUES ('other', 'x')" }
        << "version 0, 0 rows:";
    QTest::newRow("version not a number")
        << QStringList { info, "INSERT INTO suite_info VALUES ('schema_version', 'abc')" }
        << "error: 数据库结构版本 \"abc\" 无效";
    QTest::newRow("negative version")
        << QStringList { info, "INSERT INTO suite_info VALUES ('schema_version', '-1')" }
        << "error: 数据库结构版本 \"-1\" 无效";
    QTest::newRow("history of another shape")
        << QStringList { "CREATE TABLE upgrade_history (id INTEGER PRIMARY KEY, phase TEXT)" }
        << "error: 读取升级记录失败: no such column: script";
}

void tst_InstallHelperParts::history()
{
    QFETCH(QStringList, setup);
    QString result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "history");
        db.setDatabaseName(":memory:");
        QVERIFY(db.open());
        for (const QString &sql : qAsConst(setup))
            QVERIFY2(QSqlQuery(db).exec(sql), qPrintable(sql));
        SchemaHistory history;
        try {
            history.read(db, "suite.db");
            QStringList applied;
            for (auto it = history.applied().cbegin(); it != history.applied().cend(); ++it)
                applied << it.key() + "=" + it.value();
            applied.sort();
            result = QString("version %1, %2 rows: %3")
                         .arg(history.schemaVersion())
                         .arg(history.rows().size())
                         .arg(applied.join(' '));
        } catch (const Failure &failure) {
            result = "error: " + failure.message;
        }
    }
    QSqlDatabase::removeDatabase("history");
    QTEST(result.trimmed(), "expected");
}

QTEST_GUILESS_MAIN(tst_InstallHelperParts)
#include "tst_installhelperparts.moc"
