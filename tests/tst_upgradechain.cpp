#include <QtTest>
#include <QScopeGuard>

#include "UpgradeConstants.h"
#include "support/EngineHarness.h"

using namespace EngineHarness;

namespace {

// Where a log line comes from, so that a whole run can be compared as a
// sequence of kinds.
QString kindOf(const QString &line)
{
    static const QRegularExpression fileStep(
        QStringLiteral("^(正在)?(删除|更新|添加)(文件|目录):"));
    if (line.startsWith(QStringLiteral("开始拷贝"))
        || line.startsWith(QStringLiteral("升级包信息")))
        return QStringLiteral("extraction");
    if (line.contains(QStringLiteral(".bat 执行")) || line.startsWith(QStringLiteral("失败原因:")))
        return QStringLiteral("script");
    if (fileStep.match(line).hasMatch())
        return QStringLiteral("file");
    if (line.contains(QStringLiteral("版本信息")))
        return QStringLiteral("record");
    if (line.endsWith(QStringLiteral("项文件操作失败,升级终止")))
        return QStringLiteral("file failures");
    if (line == QStringLiteral("正在恢复升级前的文件")
        || line == QStringLiteral("已恢复到升级前的版本"))
        return QStringLiteral("rollback");
    return QStringLiteral("other: ") + line;
}

// The run as kinds, repeats of one kind folded, the signals in their place.
QStringList shape(const QStringList &events)
{
    QStringList result;
    for (const QString &event : events) {
        // The reason line belongs to the failure line before it.
        if (event.startsWith(QStringLiteral("status:失败原因:")) && !result.isEmpty())
            continue;
        const QString kind
            = event.startsWith(QLatin1String("status:")) ? kindOf(event.mid(7)) : event;
        if (result.isEmpty() || result.last() != kind)
            result << kind;
    }
    return result;
}

QByteArray record(const QString &version)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n <module>\n"
                          "  <item key=\"software_version\" value=\"%1\"/>\n </module>\n</root>\n")
        .arg(version)
        .toUtf8();
}

} // namespace

// Whole upgrades through the worker: the order of the steps, and the clean-up.
class tst_UpgradeChain : public QObject
{
    Q_OBJECT

private slots:
    void wholeUpgrade_data();
    void wholeUpgrade();
    void cleanUpAlone_data();
    void cleanUpAlone();
    void secondPackageOnOneWorker_data();
    void secondPackageOnOneWorker();
};

void tst_UpgradeChain::wholeUpgrade_data()
{
    QTest::addColumn<Tree>("package");
    QTest::addColumn<bool>("ownThread");
    QTest::addColumn<bool>("breakExtraction");
    QTest::addColumn<QStringList>("expectedShape");

    const Tree plain { { "delete/old.dll", "x" }, { "update/app.dll", "new" },
        { "add/extra.txt", "extra" } };
    const QStringList success { "extraction", "sigCopyAllEnd(true)", "file", "record",
        "sigSuccessClearEnd" };
    QTest::newRow("file steps only, worker on its own thread") << plain << true << false << success;
    QTest::newRow("file steps only, worker on the test thread")
        << plain << false << false << success;
    Tree scripts = plain;
    scripts.insert("shell/shell_before/1.bat", "exit 0\n");
    scripts.insert("shell/shell_after/1.bat", "exit 0\n");
    QTest::newRow("scripts before and after")
        << scripts << true << false
        << QStringList { "extraction", "sigCopyAllEnd(true)", "script", "file", "script", "record",
               "sigSuccessClearEnd" };
    Tree failingBefore = plain;
    failingBefore.insert("shell/shell_before/1.bat", "exit 3\n");
    QTest::newRow("before script fails")
        << failingBefore << true << false
        << QStringList { "extraction", "sigCopyAllEnd(true)", "script", "sigFaildClearEnd" };
    Tree failingFile = plain;
    failingFile.insert("update/blocked/inner.txt", "x"); // "blocked" is a file in the installation
    QTest::newRow("file operation fails")
        << failingFile << true << false
        << QStringList { "extraction", "sigCopyAllEnd(true)", "file", "file failures", "rollback",
               "sigFaildClearEnd" };
    QTest::newRow("extraction fails") << plain << true << true
                                      << QStringList { "extraction", "sigCopyAllEnd(false)",
                                             "sigSuccess(false)", "sigFaildClearEnd" };
}

void tst_UpgradeChain::wholeUpgrade()
{
    QFETCH(Tree, package);
    QFETCH(bool, ownThread);
    QFETCH(bool, breakExtraction);
    QFETCH(QStringList, expectedShape);
    Upgrade upgrade(ownThread);
    const QString secondRecord = upgrade.installPath + "/product/common/sysconfig/setup_config.xml";
    QVERIFY(writeTree(upgrade.installPath,
        { { "old.dll", "old" }, { "app.dll", "old" }, { "blocked", "a file" },
            { "product/common/sysconfig/setup_config.xml", record("2.1.0") } }));
    // The record below the working directory, or where the installation
    // directory is absolute (Windows) at that place, removed again afterwards.
    const QString firstRecord = QDir(upgrade.tmp.path()).filePath(UpgradeConstants::installDir())
        + "/" + UpgradeConstants::recordFileName();
    const auto removeRecord = qScopeGuard([&] {
        if (QDir::isAbsolutePath(UpgradeConstants::installDir()))
            QFile::remove(firstRecord);
    });
    QVERIFY(writeFile(firstRecord, record("2.1.0")));
    if (breakExtraction)
        QVERIFY(writeFile(upgrade.staging(), "a file where the staging folder goes"));
    upgrade.run.object()->setVersions("2.1.0", "2.1.9");
    QSignalSpy progress(upgrade.run.object(), &CUpgradeWorker::sigProgress);

    // execute() also checks that exactly one end signal came.
    QVERIFY2(upgrade.execute(package), qPrintable(upgrade.error));

    QCOMPARE(shape(upgrade.run.events), expectedShape);
    // The staging folder is gone (a file in its place is not the engine's to remove).
    QCOMPARE(QFileInfo(upgrade.staging()).isFile(), breakExtraction);
    QVERIFY(!QFileInfo(upgrade.staging()).isDir());
    QCOMPARE(readFile(upgrade.installPath + "/blocked"), QByteArray("a file"));
    // The version record step runs once, last, and only on success.
    const bool succeeded = expectedShape.contains("record");
    QCOMPARE(upgrade.run.statusLines().filter("版本信息").size(), succeeded ? 2 : 0);
    for (const QString &path : { firstRecord, secondRecord }) {
        if (succeeded)
            QVERIFY2(readFile(path).contains("value=\"2.1.9\""), qPrintable(path));
        else
            QCOMPARE(readFile(path), record("2.1.0"));
    }

    // The bar counts what the steps do (extraction, each script and each file
    // of delete/, update/ and add/, database, records), moves only forward and
    // ends full.
    if (succeeded) {
        QVERIFY(!progress.isEmpty());
        const int scripts = package.keys().filter(".bat").size();
        QCOMPARE(progress.last().at(1).toInt(), 3 + 3 + scripts);
        QCOMPARE(progress.last().at(0).toInt(), progress.last().at(1).toInt());
        for (int i = 1; i < progress.size(); ++i)
            QVERIFY(progress.at(i).at(0).toInt() >= progress.at(i - 1).at(0).toInt());
    }
}

void tst_UpgradeChain::cleanUpAlone_data()
{
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("situation");
    for (const bool success : { true, false }) {
        const char *slot = success ? "slotSuccessClear" : "slotFaildClear";
        QTest::addRow("%s, staging folder present", slot) << success << "staging";
        QTest::addRow("%s, no staging folder", slot) << success << "no staging";
        QTest::addRow("%s, installation gone", slot) << success << "gone";
    }
}

// The extraction stages the package; the clean-up is then called alone. It
// removes the staging folder and the upgrade's own lock and journal, nothing
// else, logs nothing, and ends once.
void tst_UpgradeChain::cleanUpAlone()
{
    QFETCH(bool, success);
    QFETCH(QString, situation);
    Upgrade upgrade;
    upgrade.toTheEnd = false;
    QVERIFY(writeTree(upgrade.installPath, { { "a.dll", "installed" } }));
    QVERIFY2(upgrade.execute({ { "update/a.dll", "a" } }), qPrintable(upgrade.error));
    QVERIFY(QFileInfo(upgrade.staging() + "/upgrade/update/a.dll").isFile());
    if (situation == "no staging")
        QVERIFY(QDir(upgrade.staging()).removeRecursively());
#ifdef Q_OS_WIN
    // The live upgrade holds its lock file open, sharing nothing.
    if (situation == "gone") {
        QVERIFY(!QFile::remove(upgrade.installPath + "/upgrade.lock"));
        QSKIP("Windows can't remove the installation while the upgrade holds its lock open");
    }
#endif
    if (situation == "gone")
        QVERIFY(QDir(upgrade.installPath).removeRecursively());
    Tree expected = snapshot(upgrade.tmp.path());
    for (const QString &key : expected.keys()) {
        if (key.startsWith("suite/upgrade_temp") || key == "suite/upgrade_journal.txt"
            || key == "suite/upgrade.lock")
            expected.remove(key);
    }

    upgrade.run.call(
        [success](CUpgradeWorker *w) { success ? w->slotSuccessClear() : w->slotFaildClear(); });
    QVERIFY(upgrade.run.waitForEnd());
    QVERIFY(upgrade.run.flush());
    upgrade.run.stop();

    QCOMPARE(upgrade.run.outcomes(),
        (QStringList {
            "sigCopyAllEnd(true)", success ? "sigSuccessClearEnd" : "sigFaildClearEnd" }));
    QCOMPARE(shape(upgrade.run.events).count("extraction"), 1);
    QCOMPARE(snapshot(upgrade.tmp.path()), expected);
}

void tst_UpgradeChain::secondPackageOnOneWorker_data()
{
    QTest::addColumn<Tree>("first");
    QTest::newRow("after a failed file operation")
        << Tree { { "update/blocked/x", "x" }, { "update/a.dll", "1" } };
    QTest::newRow("after a failed script") << Tree { { "shell/shell_before/a.bat", "exit 4" } };
    QTest::newRow("after a success") << Tree { { "update/a.dll", "1" } };
}

// Nothing of one upgrade carries over into the next on the same worker.
void tst_UpgradeChain::secondPackageOnOneWorker()
{
    QFETCH(Tree, first);
    QTemporaryDir tmp;
    const QString main = tmp.path() + "/suite";
    QVERIFY(writeTree(main, { { "blocked", "a file" }, { "a.dll", "0" } }));
    QString error;
    const QString firstRcc = buildPackage(tmp.path() + "/1", first, &error);
    const QString secondRcc = buildPackage(
        tmp.path() + "/2", { { "update/a.dll", "2" }, { "add/new.dll", "n" } }, &error);
    QVERIFY2(!firstRcc.isEmpty() && !secondRcc.isEmpty(), qPrintable(error));
    WorkingDirectory cwd(tmp.path());
    WorkerRun run;
    {
        RegisteredPackage registered(firstRcc);
        run.startCopyAll(main);
        QVERIFY(run.waitForEnd() && run.flush());
    }
    run.events.clear();
    run.endCount = 0;
    RegisteredPackage registered(secondRcc);
    run.startCopyAll(main);
    QVERIFY(run.waitForEnd() && run.flush());

    QCOMPARE(shape(run.events),
        (QStringList {
            "extraction", "sigCopyAllEnd(true)", "file", "record", "sigSuccessClearEnd" }));
    QCOMPARE(readFile(main + "/a.dll"), QByteArray("2"));
    QCOMPARE(readFile(main + "/new.dll"), QByteArray("n"));
}

QTEST_GUILESS_MAIN(tst_UpgradeChain)
#include "tst_upgradechain.moc"
