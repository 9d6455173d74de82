#include <QtSql>
#include <QtTest>

#include "SuiteLayout.h"
#include "support/EngineHarness.h"
#include "support/SampleInstallation.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace EngineHarness;

namespace {

// The tool's output as a reader gets it: on Windows UTF-8 with CR LF line
// ends (the ANSI code page can't hold its text), elsewhere the locale's.
QString decoded(const QByteArray &bytes)
{
#ifdef Q_OS_WIN
    return QString::fromUtf8(bytes).replace(QLatin1String("\r\n"), QLatin1String("\n"));
#else
    return QString::fromLocal8Bit(bytes);
#endif
}

// A program of the suite that runs until it is killed: a copy of a small real
// program started as `started`. On Windows the test shell (Linux's sleep
// would run there as a Linux process, which no Windows process list shows).
bool copySleeper(const QString &to)
{
#ifdef Q_OS_WIN
    return QFile::copy(QCoreApplication::applicationDirPath() + "/shell/sh.exe", to);
#else
    return QFile::copy("/bin/sleep", to);
#endif
}
const QStringList sleeperArguments
#ifdef Q_OS_WIN
    = { "-c", "sleep 120" };
#else
    = { "120" };
#endif

// On Windows a copy or a rename is made to fail by holding what it needs open
// for the holder's lifetime: a file with no sharing (nobody else can read it),
// a folder without delete sharing (nobody can move it). Windows has neither
// Linux's path limit of 4096 bytes nor chattr. Elsewhere it holds nothing.
class HeldOpen
{
public:
    explicit HeldOpen(const QString &path)
    {
#ifdef Q_OS_WIN
        if (path.isEmpty())
            return;
        const bool folder = QFileInfo(path).isDir();
        handle = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ,
            folder ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0, nullptr, OPEN_EXISTING,
            folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
#else
        Q_UNUSED(path)
#endif
    }
    ~HeldOpen()
    {
#ifdef Q_OS_WIN
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
#endif
    }
    HeldOpen(const HeldOpen &) = delete;
    HeldOpen &operator=(const HeldOpen &) = delete;
#ifdef Q_OS_WIN
    bool isHeld() const
    {
        return handle != INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle = INVALID_HANDLE_VALUE;
#endif
};

// A suite main directory with the project management tool in platform/x64.
struct Suite
{
    Suite()
    {
        ok = QDir().mkpath(dir.filePath("platform/x64")) && QFile::copy(DB_MANAGER_PATH, tool);
    }

    // Runs the tool with input on stdin, then its end; returns its exit code,
    // stdout and stderr.
    QStringList run(
        const QStringList &arguments = { "--no-gui" }, const QByteArray &input = QByteArray()) const
    {
        QProcess process;
        process.setWorkingDirectory(workingDir);
        process.start(tool, arguments);
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished(5000);
            return { "did not end" };
        }
        return { QString::number(
                     process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2),
            decoded(process.readAllStandardOutput()).trimmed(),
            decoded(process.readAllStandardError()).trimmed() };
    }
    QStringList backupsMade() const
    {
        return QDir(backups()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir;
    QString tool = dir.filePath("platform/x64/db_manager.exe");
    QString workingDir; // the tool's; empty: the test's
    bool ok = false;
    QString main() const { return dir.path(); }
    QString data() const { return SuiteLayout::dataFolder(dir.path()); }
    QString backups() const { return SuiteLayout::backupFolder(dir.path()); }
};

// The backup restored in the restore tests and the data it replaces.
const QString backupName = "20240101-000000";
const Tree backupData { { "suite.db", "backed up" }, { "old/drawing.dwg", "old drawing" } };
const Tree currentData { { "suite.db", "current" }, { "new/only-now.txt", "new" } };

#ifndef Q_OS_WIN
// A file path below start of exactly length characters (ASCII), in folders
// short enough for any file system: near the system's path limit, where a
// copy fails half-way.
QString deepPath(const QString &start, int length)
{
    QString deep = start;
    while (length - deep.size() - 1 > 250)
        deep += '/' + QString(240, 'd');
    return deep + '/' + QString(length - deep.size() - 1, 'f');
}
#endif

bool writeRestoreSetup(const Suite &suite)
{
    return writeTree(suite.data(), currentData)
        && writeTree(suite.backups() + "/" + backupName, backupData);
}

// The installed suite version, in the copy of the record below the main directory.
bool writeInstalled(const Suite &suite, const QString &version)
{
    return writeFile(suite.main() + "/product/common/sysconfig/setup_config.xml",
        SampleInstallation::recordXml(7, version, suite.main()));
}

// A database at a schema version, kept as the database helper keeps it.
bool writeDatabase(const QString &file, int schema)
{
    bool ok = QDir().mkpath(QFileInfo(file).path());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "schema");
        db.setDatabaseName(file);
        ok = ok && db.open();
        QSqlQuery query(db);
        ok = ok && query.exec("CREATE TABLE suite_info(key TEXT PRIMARY KEY, value TEXT)")
            && query.exec(
                QString("INSERT INTO suite_info VALUES('schema_version', '%1')").arg(schema));
    }
    QSqlDatabase::removeDatabase("schema");
    return ok;
}

QJsonObject versionsOf(const QString &backup)
{
    return QJsonDocument::fromJson(readFile(backup + "/backup.json")).object();
}

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
    void help();
    void list_data();
    void list();
    void restore_data();
    void restore();
    void restoreRefusedWhileSuiteProgramRuns_data();
    void restoreRefusedWhileSuiteProgramRuns();
    void restoreFailingHalfWay_data();
    void restoreFailingHalfWay();
    void backupNotesVersions_data();
    void backupNotesVersions();
    void restoreAcrossVersions_data();
    void restoreAcrossVersions();
    void backupRefusedWhileSuiteProgramRuns();
    void version();
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
        << "data" << QStringList { "--bogus" } << 64 << "Unknown argument: --bogus";
    QTest::newRow("--restore without a name")
        << "data" << QStringList { "--no-gui", "--restore" } << 64 << "Missing value for --restore";
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
    QString held;
    if (setup == "deep") {
        QVERIFY(writeFile(suite.data() + "/a_first.db", "copied first"));
#ifdef Q_OS_WIN
        held = suite.data() + "/z/held.db";
        QVERIFY(writeFile(held, "held"));
#else
        const QString deep = deepPath(suite.data() + "/z", 4096 - 8);
        QCOMPARE(deep.toLocal8Bit().size(), 4096 - 8);
        QVERIFY(writeFile(deep, "deep"));
#endif
    }
    const Tree before = snapshot(suite.main());

    QScopedPointer<HeldOpen> hold(new HeldOpen(held));
#ifdef Q_OS_WIN
    QVERIFY(held.isEmpty() || hold->isHeld());
#endif
    const QStringList run = suite.run(arguments);
    hold.reset();
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

// Usage on stdout with every exit code, nothing on stderr.
void tst_DbManager::help()
{
    Suite suite;
    QVERIFY(suite.ok);
    const QStringList run = suite.run({ "--help" });
    QCOMPARE(run.value(0), QStringLiteral("0"));
    for (const char *part : { "--list", "--restore", "--yes", "--main-dir", "--no-gui", "64" })
        QVERIFY2(run.value(1).contains(part), part);
    QCOMPARE(run.value(2), QString());
}

void tst_DbManager::list_data()
{
    QTest::addColumn<bool>("withBackups");
    QTest::addColumn<bool>("otherMainDir");
    QTest::newRow("two backups, oldest first") << true << false;
    QTest::newRow("two backups of a main directory named by --main-dir") << true << true;
    QTest::newRow("no backups") << false << false;
}

// One line per backup folder with its time and the bytes of its files; a file
// beside them is no backup.
void tst_DbManager::list()
{
    QFETCH(bool, withBackups);
    QFETCH(bool, otherMainDir);
    Suite suite, other;
    QVERIFY(suite.ok && other.ok);
    const Suite &target = otherMainDir ? other : suite;
    if (withBackups) {
        QVERIFY(writeTree(target.backups(),
            { { "20240102-030405/suite.db", QByteArray(1500, 'x') },
                { "20240102-030405/工程/.hidden", QByteArray(36, 'y') },
                { "20231231-235959/suite.db", "12345" }, { "notes.txt", "not a backup" } }));
    }
    QStringList arguments { "--no-gui", "--list" };
    if (otherMainDir)
        arguments << "--main-dir" << other.main();

    const QStringList run = suite.run(arguments);
    QCOMPARE(run.value(0), QStringLiteral("0"));
    QCOMPARE(run.value(2), QString());
    const QStringList expected = withBackups
        ? QStringList { "20231231-235959  时间:2023-12-31 23:59:59  大小:5 B (5 字节)",
              "20240102-030405  时间:2024-01-02 03:04:05  大小:1.5 KB (1536 字节)" }
        : QStringList { QDir::toNativeSeparators(target.backups()) + " 中没有备份" };
    QCOMPARE(run.value(1).split('\n'), expected);
}

void tst_DbManager::restore_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString refused = "未进行恢复,工程数据未改动";
    QTest::newRow("--yes: restored without asking")
        << QStringList { "--restore", backupName, "--yes" } << QByteArray() << 0 << QString();
    QTest::newRow("answered y: restored")
        << QStringList { "--restore=" + backupName } << QByteArray("y\n") << 0 << QString();
    QTest::newRow("answered n: nothing changes")
        << QStringList { "--restore", backupName } << QByteArray("n\n") << 6 << refused;
    QTest::newRow("no answer (end of input): nothing changes")
        << QStringList { "--restore", backupName } << QByteArray() << 6 << refused;
    QTest::newRow("name leading out of the backups") << QStringList { "--restore", "..",
        "--yes" } << QByteArray() << 4 << "备份名称无效:..,未进行恢复";
    QTest::newRow("name with a separator, of an existing folder") << QStringList { "--restore",
        "a/b", "--yes" } << QByteArray() << 4 << "备份名称无效:a/b,未进行恢复";
    QTest::newRow("no such backup") << QStringList { "--restore", "20990101-000000", "--yes" }
                                    << QByteArray() << 4 << "备份不存在:";
}

// A restore puts the backup in place of the data and keeps the previous data
// as a backup entry that --list shows; anything refused changes nothing.
void tst_DbManager::restore()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    Suite suite;
    QVERIFY(suite.ok);
    QVERIFY(writeRestoreSetup(suite));
    QVERIFY(writeFile(suite.backups() + "/a/b/suite.db", "not a backup of its own"));
    const Tree before = snapshot(suite.main());

    const QStringList run = suite.run(QStringList { "--no-gui" } + arguments, input);
    QCOMPARE(run.value(0).toInt(), exitCode);
    if (exitCode != 0) {
        QVERIFY2(run.value(2).startsWith(message), qPrintable(run.value(2)));
        QCOMPARE(snapshot(suite.main()), before);
        return;
    }
    QCOMPARE(run.value(2), QString());
    QCOMPARE(snapshot(suite.data()), withFolders(backupData));
    const QStringList kept = QDir(suite.backups()).entryList({ "*-before-restore" }, QDir::Dirs);
    QCOMPARE(kept.size(), 1);
    const QString keptPath = suite.backups() + "/" + kept.first();
    QCOMPARE(snapshot(keptPath), withFolders(currentData));
    QCOMPARE(run.value(1).split('\n').last(),
        QStringLiteral("工程数据已从备份%1恢复到:%2,原数据已备份到:%3")
            .arg(backupName, QDir::toNativeSeparators(suite.data()),
                QDir::toNativeSeparators(keptPath)));
    // Nothing left beside the data folder.
    QCOMPARE(QDir(suite.main()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList({ "backup", "data", "platform" }));
    const QStringList listed = suite.run({ "--no-gui", "--list" }).value(1).split('\n');
    QCOMPARE(listed.size(), 3);
    QCOMPARE(listed.filter(QRegularExpression("^" + kept.first() + "  ")).size(), 1);
}

void tst_DbManager::restoreRefusedWhileSuiteProgramRuns_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<bool>("startedElsewhere");
    QTest::newRow("program in platform/bin") << "platform/bin/x.exe" << false;
    QTest::newRow("program deep below product") << "product/x64/tools/y.exe" << false;
    QTest::newRow("same program started from another folder: no refusal")
        << "platform/bin/x.exe" << true;
}

// A running copy of a small real program stands for a program of the suite.
void tst_DbManager::restoreRefusedWhileSuiteProgramRuns()
{
    QFETCH(QString, installed);
    QFETCH(bool, startedElsewhere);
    Suite suite;
    QVERIFY(suite.ok);
    QVERIFY(writeRestoreSetup(suite));
    const QString program = suite.main() + "/" + installed;
    QVERIFY(QDir().mkpath(QFileInfo(program).path()));
    QVERIFY(copySleeper(program));
    QTemporaryDir elsewhere;
    const QString started
        = startedElsewhere ? elsewhere.filePath(QFileInfo(program).fileName()) : program;
    if (startedElsewhere)
        QVERIFY(copySleeper(started));
    const Tree before = snapshot(suite.main());

    QProcess sleeper;
    sleeper.start(started, sleeperArguments);
    QVERIFY(sleeper.waitForStarted());
    const QStringList run = suite.run({ "--no-gui", "--restore", backupName, "--yes" });
    sleeper.kill();
    sleeper.waitForFinished();

    if (startedElsewhere) {
        QCOMPARE(run.value(0), QStringLiteral("0"));
        QCOMPARE(snapshot(suite.data()), withFolders(backupData));
        return;
    }
    QCOMPARE(run.value(0), QStringLiteral("5"));
    QCOMPARE(run.value(2),
        QStringLiteral("进程%1正在运行,无法恢复工程数据,工程数据未改动")
            .arg(QFileInfo(program).fileName()));
    QCOMPARE(snapshot(suite.main()), before);
}

void tst_DbManager::restoreFailingHalfWay_data()
{
    QTest::addColumn<QString>("blocker");
    // The copy of a file whose path just fits below backup/<name> fails below
    // data.restore-<time> (6 characters longer), after the first file was copied.
    QTest::newRow("copy of the backup fails half-way") << "deep path";
    QTest::newRow("data folder can't be moved aside") << "immutable data";
    QTest::newRow("previous data can't be kept") << "immutable backups";
}

// Every copy made on the way is removed again; the data stays as it was.
void tst_DbManager::restoreFailingHalfWay()
{
    QFETCH(QString, blocker);
    Suite suite;
    QVERIFY(suite.ok);
    QVERIFY(writeRestoreSetup(suite));
    const QString backup = suite.backups() + "/" + backupName;
    if (blocker == "deep path") {
        QVERIFY(writeFile(backup + "/a_first.db", "copied first"));
#ifdef Q_OS_WIN
        QVERIFY(writeFile(backup + "/z/held.db", "held"));
#else
        const QString deep = deepPath(backup + "/z", 4096 - 4);
        QCOMPARE(deep.toLocal8Bit().size(), 4096 - 4);
        QVERIFY(writeFile(deep, "deep"));
#endif
    }
    const Tree before = snapshot(suite.main());
#ifdef Q_OS_WIN
    // A backup file nobody else may read, the data folder held against moving,
    // a data file nobody else may read (so that it can't be kept).
    const QString held = blocker == "deep path" ? backup + "/z/held.db"
        : blocker == "immutable data"           ? suite.data()
                                                : suite.data() + "/suite.db";
    QScopedPointer<HeldOpen> lock(new HeldOpen(held));
    QVERIFY(lock->isHeld());
#else
    QScopedPointer<Immutable> lock;
    if (blocker != "deep path") {
        lock.reset(new Immutable(blocker == "immutable data" ? suite.data() : suite.backups()));
        if (!lock->isSet())
            QSKIP("chattr +i is not available here");
    }
#endif

    const QStringList run = suite.run({ "--no-gui", "--restore", backupName, "--yes" });
    lock.reset();
    QCOMPARE(run.value(0), QStringLiteral("2"));
    QVERIFY2(run.value(2).startsWith("工程数据恢复失败,工程数据未改动:"), qPrintable(run.value(2)));
    QCOMPARE(snapshot(suite.main()), before);
}

void tst_DbManager::backupNotesVersions_data()
{
    QTest::addColumn<bool>("recordInInstallDir"); // else the copy below the main directory
    QTest::addColumn<bool>("database");
    QTest::addColumn<QString>("listed");
    QTest::newRow("record below the main directory, database at schema 3")
        << false << true << "套件版本:1.2.0  数据库结构版本:3";
    QTest::newRow("record in the installation directory, naming this main directory")
        << true << true << "套件版本:1.2.0  数据库结构版本:3";
    QTest::newRow("no database: no schema version")
        << false << false << "套件版本:1.2.0  数据库结构版本:无";
}

// backup.json beside the copied data holds the versions; --list shows them.
void tst_DbManager::backupNotesVersions()
{
    QFETCH(bool, recordInInstallDir);
    QFETCH(bool, database);
    QFETCH(QString, listed);
    Suite suite;
    QVERIFY(suite.ok);
    QScopedPointer<SampleInstallation> install; // the working directory holds its record
    if (recordInInstallDir) {
        install.reset(new SampleInstallation);
        QVERIFY(install->writeRecord(SampleInstallation::recordXml(7, "1.2.0", suite.main())));
#ifdef Q_OS_WIN
        // The record's path is absolute here; and wine lets go of a finished
        // program's working directory late, which would keep the row's folder.
        suite.workingDir = QCoreApplication::applicationDirPath();
#endif
    } else {
        QVERIFY(writeInstalled(suite, "1.2.0"));
    }
    QVERIFY(database ? writeDatabase(SuiteLayout::databaseFile(suite.main()), 3)
                     : writeFile(suite.data() + "/drawing.dwg", "drawing"));
    const Tree before = snapshot(suite.data());

    QCOMPARE(suite.run().value(0), QStringLiteral("0"));
    QCOMPARE(suite.backupsMade().size(), 1);
    const QString copy = suite.backups() + "/" + suite.backupsMade().first();
    const QJsonObject versions = versionsOf(copy);
    QCOMPARE(versions.value("suite_version"), QJsonValue("1.2.0"));
    QCOMPARE(versions.value("schema_version"), database ? QJsonValue(3) : QJsonValue());
    Tree copied = snapshot(copy);
    copied.remove("backup.json");
    QCOMPARE(copied, before);
    const QString line = suite.run({ "--no-gui", "--list" }).value(1);
    QVERIFY2(line.endsWith("  " + listed), qPrintable(line));
}

void tst_DbManager::restoreAcrossVersions_data()
{
    QTest::addColumn<QString>("backupVersion"); // empty: no backup.json
    QTest::addColumn<bool>("force");
    QTest::addColumn<QString>("refusal"); // empty: restored
    QTest::newRow("backup of the installed version: restored") << "1.3.0" << false << QString();
    QTest::newRow("backup of another version: refused, exit 7")
        << "1.2.0" << false
        << "备份20240101-000000的套件版本为1.2.0,当前安装为1.3.0,未进行恢复,工程数据未改动;"
           "请先用厂商提供的从1.3.0回到1.2.0的升级包";
    QTest::newRow("another version with --force: restored") << "1.2.0" << true << QString();
    QTest::newRow("backup without versions: refused as unknown, exit 7")
        << QString() << false << "备份20240101-000000未记录套件版本(版本未知),当前安装为1.3.0";
    QTest::newRow("backup without versions, --force: restored") << QString() << true << QString();
}

// A restore must not leave the installation record over data of another
// version; the data kept before it notes the installed version.
void tst_DbManager::restoreAcrossVersions()
{
    QFETCH(QString, backupVersion);
    QFETCH(bool, force);
    QFETCH(QString, refusal);
    Suite suite;
    QVERIFY(suite.ok);
    QVERIFY(writeRestoreSetup(suite) && writeInstalled(suite, "1.3.0"));
    if (!backupVersion.isEmpty())
        QVERIFY(writeFile(suite.backups() + "/" + backupName + "/backup.json",
            QJsonDocument(QJsonObject { { "suite_version", backupVersion } }).toJson()));
    const Tree before = snapshot(suite.main());

    QStringList arguments { "--no-gui", "--restore", backupName, "--yes" };
    if (force)
        arguments << "--force";
    const QStringList run = suite.run(arguments);
    if (!refusal.isEmpty()) {
        QCOMPARE(run.value(0), QStringLiteral("7"));
        QVERIFY2(run.value(2).startsWith(refusal), qPrintable(run.value(2)));
        QCOMPARE(snapshot(suite.main()), before);
        return;
    }
    QCOMPARE(run.value(0), QStringLiteral("0"));
    QCOMPARE(snapshot(suite.data()), withFolders(backupData));
    const QStringList kept = QDir(suite.backups()).entryList({ "*-before-restore" }, QDir::Dirs);
    QCOMPARE(kept.size(), 1);
    QCOMPARE(versionsOf(suite.backups() + "/" + kept.first()).value("suite_version"),
        QJsonValue("1.3.0"));
}

// A program of the suite may write the database while it is copied.
void tst_DbManager::backupRefusedWhileSuiteProgramRuns()
{
    Suite suite;
    QVERIFY(suite.ok);
    QVERIFY(writeFile(SuiteLayout::databaseFile(suite.main()), "db"));
    const QString program = suite.main() + "/product/bin/x.exe";
    QVERIFY(QDir().mkpath(QFileInfo(program).path()) && copySleeper(program));

    QProcess sleeper;
    sleeper.start(program, sleeperArguments);
    QVERIFY(sleeper.waitForStarted());
    const QStringList run = suite.run();
    sleeper.kill();
    sleeper.waitForFinished();
    QCOMPARE(run.value(0), QStringLiteral("5"));
    QCOMPARE(run.value(2), QStringLiteral("进程x.exe正在运行,无法备份工程数据,未进行备份"));
    QVERIFY(suite.backupsMade().isEmpty());
}

void tst_DbManager::version()
{
    Suite suite;
    QVERIFY(suite.ok);
    QCOMPARE(suite.run({ "--version" }),
        QStringList({ "0", "db_manager " UPGRADE_PROGRAM_VERSION, QString() }));
}

QTEST_GUILESS_MAIN(tst_DbManager)
#include "tst_dbmanager.moc"
