#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "CUpgradeWorker.h"
#include "RecordLayout.h"
#include "UpgradeConstants.h"

// The worker's database step on a prepared installation: a main directory
// with product/<exe>/ and the second record copy, a staging tree made by hand,
// and the first record copy below the working directory. The helper is either
// a small shell script that notes its arguments, or the suite's real helper.
class tst_DatabaseStep : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void helperArguments_data();
    void helperArguments();
    void helperOutput_data();
    void helperOutput();
    void helperEnd_data();
    void helperEnd();
    void missingSecondRecordCopy();
    void realHelper_data();
    void realHelper();
    void runsOnWorkerThread();

private:
    void setUpWorker(CUpgradeWorker *worker, int isDb, int ifUpgradeDb);
    void writeFakeHelper(const QByteArray &body);
    void addScripts(const QString &folder, const QStringList &names);
    QStringList noted(const QString &name) const;
    QString helperPath() const
    {
        return m_programDir + QStringLiteral("/upgrade_install_helper.exe");
    }
    QString recordPath1() const
    {
        return UpgradeConstants::installDir() + QDir::separator()
            + QStringLiteral("setup_config.xml");
    }
    QString recordPath2() const
    {
        const QString sep = QDir::separator();
        return m_mainPath + sep + QStringLiteral("product") + sep + QStringLiteral("common") + sep
            + QStringLiteral("sysconfig") + sep + QStringLiteral("setup_config.xml");
    }
    QStringList recordLines() const
    {
        return { QStringLiteral("修改%1版本信息成功!").arg(recordPath1()),
            QStringLiteral("修改%1版本信息成功!").arg(recordPath2()) };
    }
    QByteArray record1() const;
    QByteArray record2() const;

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_previousDir;
    QString m_mainPath;
    QString m_programDir;
    QString m_dbBefore;
    QString m_dbAfter;
    QByteArray m_record;
};

static QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

static bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

static QString recordVersion(const QString &path)
{
    RecordLayout::Entries entries;
    if (RecordLayout::readFile(path, &entries) != RecordLayout::ReadResult::Ok)
        return QStringLiteral("<unreadable>");
    return entries.value(QStringLiteral("software_version"));
}

static QStringList lines(const QSignalSpy &spy)
{
    QStringList result;
    for (const QList<QVariant> &arguments : spy)
        result << arguments.at(0).toString();
    return result;
}

QByteArray tst_DatabaseStep::record1() const
{
    return readAll(recordPath1());
}

QByteArray tst_DatabaseStep::record2() const
{
    return readAll(recordPath2());
}

void tst_DatabaseStep::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));

    m_record = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<root><module><item key=\"software_product_id\" value=\"12\"/>"
               "<item key=\"software_version\" value=\"1.2.3\"/>"
               "<item key=\"isDb\" value=\"1\"/></module></root>\n";
    QVERIFY(writeFile(recordPath1(), m_record));
    m_mainPath = m_dir->filePath(QStringLiteral("main"));
    QVERIFY(writeFile(recordPath2(), m_record));
    m_programDir = m_mainPath + QStringLiteral("/product/app");
    QVERIFY(QDir().mkpath(m_programDir));
    m_dbBefore = m_mainPath + QStringLiteral("/upgrade_temp/upgrade/db/db_before");
    m_dbAfter = m_mainPath + QStringLiteral("/upgrade_temp/upgrade/db/db_after");
    QVERIFY(QDir().mkpath(m_dbBefore));
    QVERIFY(QDir().mkpath(m_dbAfter));
}

void tst_DatabaseStep::cleanup()
{
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
    const QStringList names = QSqlDatabase::connectionNames();
    for (const QString &name : names)
        QSqlDatabase::removeDatabase(name);
}

void tst_DatabaseStep::setUpWorker(CUpgradeWorker *worker, int isDb, int ifUpgradeDb)
{
    worker->installPath = m_mainPath;
    worker->setDbFlags(isDb, ifUpgradeDb);
    worker->setExePath(QStringLiteral("app"));
    worker->setVersions(QStringLiteral("1.2.3"), QStringLiteral("1.2.5"));
}

// A stand-in helper: notes its arguments and working directory next to
// itself, then runs `body`.
void tst_DatabaseStep::writeFakeHelper(const QByteArray &body)
{
    const QByteArray script
        = "#!/bin/sh\n"
          "here=$(dirname \"$0\")\n"
          "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$here/args.txt\"\n"
          "pwd > \"$here/cwd.txt\"\n"
        + body + "\n";
    QVERIFY(writeFile(helperPath(), script));
    QVERIFY(QFile::setPermissions(helperPath(),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
            | QFileDevice::ReadUser | QFileDevice::ExeUser));
}

// Names ending in "@" become links to a script outside the folder; names
// starting with "." are hidden files.
void tst_DatabaseStep::addScripts(const QString &folder, const QStringList &names)
{
    for (QString name : names) {
        if (name.endsWith(QLatin1Char('@'))) {
            name.chop(1);
            const QString target = m_dir->filePath(QStringLiteral("outside.sql"));
            QVERIFY(writeFile(target, "SELECT 1;"));
            QVERIFY(QFile::link(target, folder + QLatin1Char('/') + name));
        } else {
            QVERIFY(writeFile(folder + QLatin1Char('/') + name, "SELECT 1;"));
        }
    }
}

QStringList tst_DatabaseStep::noted(const QString &name) const
{
    QFile file(m_programDir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return { QStringLiteral("<not run>") };
    QStringList result = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

void tst_DatabaseStep::helperArguments_data()
{
    QTest::addColumn<int>("isDb");
    QTest::addColumn<int>("ifUpgradeDb");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QStringList>("expected"); // empty: the helper does not run

    const QStringList sql { QStringLiteral("001.sql") };
    QTest::newRow("no database part: never runs, whatever the package holds")
        << 0 << 1 << sql << sql << QStringList {};
    QTest::newRow("nothing to do: does not run")
        << 1 << 0 << QStringList {} << QStringList {} << QStringList {};
    QTest::newRow("other files, hidden and linked scripts do not count")
        << 1 << 0
        << QStringList { QStringLiteral("readme.txt"), QStringLiteral(".hidden.sql"),
               QStringLiteral("linked.sql@"), QStringLiteral("sql") }
        << QStringList { QStringLiteral("notes.sql.txt") } << QStringList {};
    QTest::newRow("database upgrade only")
        << 1 << 1 << QStringList {} << QStringList {}
        << QStringList { QStringLiteral("--up"), QStringLiteral("yes") };
    QTest::newRow("any nonzero database flag counts")
        << 2 << 5 << QStringList {} << QStringList {}
        << QStringList { QStringLiteral("--up"), QStringLiteral("yes") };
    QTest::newRow("scripts only in db_after")
        << 1 << 0 << QStringList {} << sql
        << QStringList { QStringLiteral("--after"), QStringLiteral("<after>") };
    QTest::newRow("upper-case extension counts")
        << 1 << 0 << QStringList { QStringLiteral("A.SQL") } << QStringList {}
        << QStringList { QStringLiteral("--before"), QStringLiteral("<before>") };
    QTest::newRow("everything, in order")
        << 1 << 1 << sql << sql
        << QStringList { QStringLiteral("--up"), QStringLiteral("yes"), QStringLiteral("--before"),
               QStringLiteral("<before>"), QStringLiteral("--after"), QStringLiteral("<after>") };
}

void tst_DatabaseStep::helperArguments()
{
    QFETCH(int, isDb);
    QFETCH(int, ifUpgradeDb);
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(QStringList, expected);
    addScripts(m_dbBefore, before);
    addScripts(m_dbAfter, after);
    writeFakeHelper("exit 0");

    CUpgradeWorker worker;
    setUpWorker(&worker, isDb, ifUpgradeDb);
    QSignalSpy status(&worker, &CUpgradeWorker::status);
    QSignalSpy succeeded(&worker, &CUpgradeWorker::sigSuccessClearEnd);
    QSignalSpy failed(&worker, &CUpgradeWorker::sigFaildClearEnd);
    worker.slotExeDb();
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.count() + failed.count(), 1, 30000);
    QCoreApplication::processEvents();
    QCOMPARE(succeeded.count(), 1);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(lines(status), recordLines());
    QCOMPARE(recordVersion(recordPath1()), QStringLiteral("1.2.5"));
    QCOMPARE(recordVersion(recordPath2()), QStringLiteral("1.2.5"));

    if (expected.isEmpty()) {
        QCOMPARE(noted(QStringLiteral("args.txt")), QStringList { QStringLiteral("<not run>") });
        return;
    }
    // Absolute folder paths with forward slashes.
    expected.replaceInStrings(QStringLiteral("<before>"), QDir(m_dbBefore).absolutePath());
    expected.replaceInStrings(QStringLiteral("<after>"), QDir(m_dbAfter).absolutePath());
    QCOMPARE(noted(QStringLiteral("args.txt")), expected);
    // No working directory of its own: the installer's.
    QCOMPARE(noted(QStringLiteral("cwd.txt")),
        QStringList { QFileInfo(m_dir->path()).canonicalFilePath() });
}

void tst_DatabaseStep::helperOutput_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("blanks trimmed and runs reduced to one") << QByteArray(
        "printf '  first \\t  line  \\n'") << QStringList { QStringLiteral("first line") };
    QTest::newRow("blank lines give empty lines")
        << QByteArray("printf 'a\\n\\n   \\nb\\n'")
        << QStringList { QStringLiteral("a"), QString(), QString(), QStringLiteral("b") };
    QTest::newRow("last fragment without a line end is not logged")
        << QByteArray("printf 'one\\ntwo'") << QStringList { QStringLiteral("one") };
    QTest::newRow("UTF-8 text, Windows line ends")
        << QByteArray("printf '执行脚本 V1__a.sql 成功\\r\\n完成\\r\\n'")
        << QStringList { QStringLiteral("执行脚本 V1__a.sql 成功"), QStringLiteral("完成") };
    QTest::newRow("error output is not shown") << QByteArray("printf 'out\\n'; printf 'err\\n' >&2")
                                               << QStringList { QStringLiteral("out") };
    QTest::newRow("output in pieces, a line split across writes")
        << QByteArray("printf 'par'; sleep 0.1; printf 'tial\\nnext\\n'")
        << QStringList { QStringLiteral("partial"), QStringLiteral("next") };
}

void tst_DatabaseStep::helperOutput()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, expected);
    writeFakeHelper(body);

    CUpgradeWorker worker;
    setUpWorker(&worker, 1, 1);
    QSignalSpy status(&worker, &CUpgradeWorker::status);
    QSignalSpy succeeded(&worker, &CUpgradeWorker::sigSuccessClearEnd);
    QSignalSpy failed(&worker, &CUpgradeWorker::sigFaildClearEnd);
    worker.slotExeDb();
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.count() + failed.count(), 1, 30000);
    QCOMPARE(succeeded.count(), 1);
    QCOMPARE(lines(status), expected + recordLines());
}

void tst_DatabaseStep::helperEnd_data()
{
    QTest::addColumn<QString>("helper"); // "script", "missing", "not-executable", "folder"
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QString>("lastLine"); // start of the last log line; empty for the record lines

    QTest::newRow("exit code 0: success") << "script" << QByteArray("exit 0") << true << QString();
    QTest::newRow("exit code 3: still success")
        << "script" << QByteArray("echo done; exit 3") << true << QString();
    QTest::newRow("crash: failure, records unchanged")
        << "script" << QByteArray("echo before the crash\nulimit -c 0\nkill -SEGV $$\nsleep 5")
        << false << QStringLiteral("before the crash");
    QTest::newRow("helper missing: failure with the start error")
        << "missing" << QByteArray() << false << QStringLiteral("数据库升级程序启动失败:");
    QTest::newRow("helper not executable: failure with the start error")
        << "not-executable" << QByteArray() << false << QStringLiteral("数据库升级程序启动失败:");
    QTest::newRow("a folder in the helper's place: failure with the start error")
        << "folder" << QByteArray() << false << QStringLiteral("数据库升级程序启动失败:");
}

void tst_DatabaseStep::helperEnd()
{
    QFETCH(QString, helper);
    QFETCH(QByteArray, body);
    QFETCH(bool, succeeds);
    QFETCH(QString, lastLine);
    if (helper == QLatin1String("script")) {
        writeFakeHelper(body);
    } else if (helper == QLatin1String("not-executable")) {
        QVERIFY(writeFile(helperPath(), "#!/bin/sh\nexit 0\n"));
        QVERIFY(QFile::setPermissions(helperPath(),
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser));
    } else if (helper == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(helperPath()));
    }
    addScripts(m_dbBefore, { QStringLiteral("001.sql") });

    CUpgradeWorker worker;
    setUpWorker(&worker, 1, 0);
    QSignalSpy status(&worker, &CUpgradeWorker::status);
    QSignalSpy succeeded(&worker, &CUpgradeWorker::sigSuccessClearEnd);
    QSignalSpy failed(&worker, &CUpgradeWorker::sigFaildClearEnd);
    worker.slotExeDb();
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.count() + failed.count(), 1, 30000);
    // Whatever else the process reports has been delivered by now; the end
    // is taken exactly once.
    QCoreApplication::processEvents();
    QCOMPARE(succeeded.count() + failed.count(), 1);
    QCOMPARE(succeeded.count(), succeeds ? 1 : 0);

    const QStringList log = lines(status);
    if (succeeds) {
        QVERIFY(log.size() >= 2);
        QCOMPARE(log.mid(log.size() - 2), recordLines());
        QCOMPARE(recordVersion(recordPath1()), QStringLiteral("1.2.5"));
        QCOMPARE(recordVersion(recordPath2()), QStringLiteral("1.2.5"));
    } else {
        QVERIFY(!log.isEmpty());
        QVERIFY2(log.last().startsWith(lastLine), qPrintable(log.last()));
        // The start error carries the process's own text.
        if (lastLine.endsWith(QLatin1Char(':')))
            QVERIFY2(log.last().size() > lastLine.size(), qPrintable(log.last()));
        QCOMPARE(record1(), m_record);
        QCOMPARE(record2(), m_record);
    }
    // The clean-up removed the staging folder either way.
    QVERIFY(!QFileInfo::exists(m_mainPath + QStringLiteral("/upgrade_temp")));
}

void tst_DatabaseStep::missingSecondRecordCopy()
{
    QVERIFY(QDir(m_mainPath + QStringLiteral("/product/common")).removeRecursively());
    writeFakeHelper("exit 0");

    CUpgradeWorker worker;
    setUpWorker(&worker, 1, 1);
    QSignalSpy status(&worker, &CUpgradeWorker::status);
    QSignalSpy succeeded(&worker, &CUpgradeWorker::sigSuccessClearEnd);
    QSignalSpy failed(&worker, &CUpgradeWorker::sigFaildClearEnd);
    worker.slotExeDb();
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.count() + failed.count(), 1, 30000);
    QCOMPARE(succeeded.count(), 1);
    QCOMPARE(lines(status),
        (QStringList { QStringLiteral("修改%1版本信息成功!").arg(recordPath1()),
            QStringLiteral("升级成功,但修改%1版本信息失败,请手动修改!").arg(recordPath2()) }));
    QCOMPARE(recordVersion(recordPath1()), QStringLiteral("1.2.5"));
}

void tst_DatabaseStep::realHelper_data()
{
    QTest::addColumn<QByteArray>("beforeScript");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("scripts applied") << QByteArray("CREATE TABLE customers(id INTEGER);") << true;
    QTest::newRow("failing script ends the upgrade")
        << QByteArray("CREATE TABLE customers(id INTEGER);\nINSERT INTO nowhere VALUES(1);")
        << false;
}

void tst_DatabaseStep::realHelper()
{
    QFETCH(QByteArray, beforeScript);
    QFETCH(bool, succeeds);
    QVERIFY(QFile::copy(QStringLiteral(UPGRADE_INSTALL_HELPER), helperPath()));
    QVERIFY(writeFile(m_dbBefore + QStringLiteral("/001_create.sql"), beforeScript));
    QVERIFY(
        writeFile(m_dbAfter + QStringLiteral("/001_seed.sql"), "INSERT INTO customers VALUES(7);"));

    CUpgradeWorker worker;
    setUpWorker(&worker, 1, 1);
    QSignalSpy status(&worker, &CUpgradeWorker::status);
    QSignalSpy succeeded(&worker, &CUpgradeWorker::sigSuccessClearEnd);
    QSignalSpy failed(&worker, &CUpgradeWorker::sigFaildClearEnd);
    worker.slotExeDb();
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.count() + failed.count(), 1, 60000);
    QCoreApplication::processEvents();
    QCOMPARE(succeeded.count() + failed.count(), 1);
    QCOMPARE(succeeded.count(), succeeds ? 1 : 0);

    const QStringList log = lines(status);
    const QString database = m_mainPath + QStringLiteral("/data/suite.db");
    QVERIFY(QFileInfo(database).isFile());
    if (succeeds) {
        QVERIFY(log.contains(QStringLiteral("执行脚本 db_before/001_create.sql 成功")));
        QVERIFY(log.contains(QStringLiteral("数据库结构升级到版本 1 成功")));
        QVERIFY(log.contains(QStringLiteral("执行脚本 db_after/001_seed.sql 成功")));
        QCOMPARE(log.mid(log.size() - 2), recordLines());
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(database);
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("SELECT id FROM customers")));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), 7);
    } else {
        QVERIFY(!log.isEmpty());
        QVERIFY2(log.last().contains(QStringLiteral("db_before/001_create.sql"))
                && log.last().contains(QStringLiteral("nowhere")),
            qPrintable(log.last()));
        QCOMPARE(record1(), m_record);
        QCOMPARE(record2(), m_record);
    }
}

void tst_DatabaseStep::runsOnWorkerThread()
{
    writeFakeHelper("printf 'working\\n'; exit 0");
    addScripts(m_dbAfter, { QStringLiteral("001.sql") });

    QThread thread;
    QPointer<CUpgradeWorker> worker = new CUpgradeWorker;
    setUpWorker(worker, 1, 0);
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);

    // Queued into this thread, as the window receives them.
    QObject receiver;
    QStringList log;
    int ends = 0;
    bool success = false;
    connect(worker, &CUpgradeWorker::status, &receiver, [&](const QString &line) { log << line; });
    connect(worker, &CUpgradeWorker::sigSuccessClearEnd, &receiver, [&] {
        ++ends;
        success = true;
    });
    connect(worker, &CUpgradeWorker::sigFaildClearEnd, &receiver, [&] { ++ends; });

    thread.start(QThread::InheritPriority);
    QVERIFY(QMetaObject::invokeMethod(worker, "slotExeDb", Qt::QueuedConnection));
    QTRY_COMPARE_WITH_TIMEOUT(ends, 1, 30000);
    thread.quit();
    QVERIFY(thread.wait(30000));
    QCoreApplication::processEvents();
    QTRY_VERIFY(worker.isNull());
    QCOMPARE(ends, 1);
    QVERIFY(success);
    QCOMPARE(log, QStringList { QStringLiteral("working") } + recordLines());
    QCOMPARE(noted(QStringLiteral("args.txt")),
        (QStringList { QStringLiteral("--after"), QDir(m_dbAfter).absolutePath() }));
}

QTEST_GUILESS_MAIN(tst_DatabaseStep)
#include "tst_databasestep.moc"
