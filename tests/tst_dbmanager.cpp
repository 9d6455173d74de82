#include <QtTest>

#include "SuiteLayout.h"
#include "support/EngineHarness.h"

using namespace EngineHarness;

namespace {

// A suite main directory with the project management tool in platform/x64.
struct Suite
{
    Suite()
    {
        ok = QDir().mkpath(dir.filePath("platform/x64")) && QFile::copy(DB_MANAGER_PATH, tool);
    }

    // Runs the tool; returns its exit code, stdout and stderr.
    QStringList run(const QStringList &arguments = { "--no-gui" }) const
    {
        QProcess process;
        process.start(tool, arguments);
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished(5000);
            return { "did not end" };
        }
        return { QString::number(
                     process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2),
            QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed(),
            QString::fromLocal8Bit(process.readAllStandardError()).trimmed() };
    }
    QStringList backupsMade() const
    {
        return QDir(backups()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir;
    QString tool = dir.filePath("platform/x64/db_manager.exe");
    bool ok = false;
    QString main() const { return dir.path(); }
    QString data() const { return SuiteLayout::dataFolder(dir.path()); }
    QString backups() const { return SuiteLayout::backupFolder(dir.path()); }
};

} // namespace

// The project management tool's backup of the project data.
class tst_DbManager : public QObject
{
    Q_OBJECT

private slots:
    void backupCopiesTheDataFolder();
    void twoBackupsInTheSameSecond();
    void refusals_data();
    void refusals();
};

// A time-stamped copy of the whole data folder, links copied as links;
// the data itself is untouched.
void tst_DbManager::backupCopiesTheDataFolder()
{
    Suite suite;
    QVERIFY(suite.ok);
    QByteArray database("SQLite format 3");
    for (int i = 0; i < 70000; ++i)
        database.append(char((i * 131) % 251));
    QVERIFY(writeFile(SuiteLayout::databaseFile(suite.main()), database));
    QVERIFY(writeTree(suite.data(),
        { { "suite.db-journal", "journal" }, { "工程/图纸 1.dwg", "drawing" },
            { ".settings", "hidden" }, { "empty/", {} } }));
    QVERIFY(QFile::link(suite.data() + "/工程", suite.data() + "/link to folder"));
    const Tree before = snapshot(suite.data());

    const QDateTime start = QDateTime::currentDateTime().addSecs(-1);
    const QStringList run = suite.run();
    const QDateTime end = QDateTime::currentDateTime().addSecs(1);
    QCOMPARE(run.value(0), QStringLiteral("0"));
    const QStringList made = suite.backupsMade();
    QCOMPARE(made.size(), 1);
    const QDateTime stamp = QDateTime::fromString(made.first(), "yyyyMMdd-hhmmss");
    QVERIFY2(
        stamp >= start.addMSecs(-start.time().msec()) && stamp <= end, qPrintable(made.first()));
    const QString copy = suite.backups() + "/" + made.first();
    QCOMPARE(
        run.value(1), QStringLiteral("工程数据已备份到:%1").arg(QDir::toNativeSeparators(copy)));
    QCOMPARE(snapshot(copy), before);
    QCOMPARE(snapshot(suite.data()), before);
}

// Earlier backups under every name the next seconds could take: the new one
// gets a "-2" suffix, the old ones stay.
void tst_DbManager::twoBackupsInTheSameSecond()
{
    Suite suite;
    QVERIFY(suite.ok);
    QVERIFY(writeFile(SuiteLayout::databaseFile(suite.main()), "db"));
    const QDateTime now = QDateTime::currentDateTime();
    Tree older;
    for (int s = -2; s <= 20; ++s)
        older.insert(now.addSecs(s).toString("yyyyMMdd-hhmmss") + "/suite.db", "older");
    QVERIFY(writeTree(suite.backups(), older));

    QCOMPARE(suite.run().value(0), QStringLiteral("0"));
    Tree after = snapshot(suite.backups());
    for (auto it = older.cbegin(); it != older.cend(); ++it) {
        QCOMPARE(after.take(it.key()), QByteArray("older"));
        after.remove(it.key().section('/', 0, 0) + '/');
    }
    QCOMPARE(after.size(), 2);
    const QString made = after.lastKey();
    QVERIFY2(QRegularExpression("^\\d{8}-\\d{6}-2/suite.db$").match(made).hasMatch()
            && older.contains(made.left(15) + "/suite.db"),
        qPrintable(made));
    QCOMPARE(after.last(), QByteArray("db"));
}

void tst_DbManager::refusals_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("no data folder")
        << "none" << QStringList { "--no-gui" } << 1 << "未找到工程数据目录:%1,未进行备份";
    QTest::newRow("data is a file, not a folder")
        << "file" << QStringList { "--no-gui" } << 1 << "未找到工程数据目录:%1,未进行备份";
    QTest::newRow("backup folder blocked by a file")
        << "blocked" << QStringList { "--no-gui" } << 2 << "工程数据备份失败,工程数据未改动:";
    // The copy of a file whose path just fits fails below backup/<time>/ (18
    // characters longer), after the first file was copied.
    QTest::newRow("copy fails half-way: no half backup left")
        << "deep" << QStringList { "--no-gui" } << 2 << "工程数据备份失败,工程数据未改动:";
    QTest::newRow("unknown argument")
        << "data" << QStringList { "--bogus" } << 3 << "Unknown argument: --bogus";
}

// Nothing created, nothing lost, the reason on stderr.
void tst_DbManager::refusals()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    Suite suite;
    QVERIFY(suite.ok);
    if (setup == "file")
        QVERIFY(writeFile(suite.data(), "not a folder"));
    if (setup == "data" || setup == "blocked")
        QVERIFY(writeFile(SuiteLayout::databaseFile(suite.main()), "db"));
    if (setup == "blocked")
        QVERIFY(writeFile(suite.backups(), "a file where the backups go"));
    if (setup == "deep") {
        QVERIFY(writeFile(suite.data() + "/a_first.db", "copied first"));
        const int length = 4096 - 8;
        QString deep = suite.data() + "/z";
        while (length - deep.size() - 1 > 250)
            deep += '/' + QString(240, 'd');
        deep += '/' + QString(length - deep.size() - 1, 'f');
        QCOMPARE(deep.toLocal8Bit().size(), length);
        QVERIFY(writeFile(deep, "deep"));
    }
    const Tree before = snapshot(suite.main());

    const QStringList run = suite.run(arguments);
    QCOMPARE(run.value(0).toInt(), exitCode);
    QCOMPARE(run.value(1), QString());
    QVERIFY2(run.value(2).startsWith(message.replace("%1", QDir::toNativeSeparators(suite.data()))),
        qPrintable(run.value(2)));
    // An empty backup folder may stay behind.
    Tree after = snapshot(suite.main());
    if (QFileInfo(suite.backups()).isDir() && suite.backupsMade().isEmpty())
        after.remove(QDir(suite.main()).relativeFilePath(suite.backups()) + '/');
    QCOMPARE(after, before);
}

QTEST_GUILESS_MAIN(tst_DbManager)
#include "tst_dbmanager.moc"
