#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "CUpgradeWorker.h"
#include "UpgradeConstants.h"
#include "support/EngineHarness.h"

using EngineHarness::buildPackage;
using EngineHarness::readFile;
using EngineHarness::RegisteredPackage;
using EngineHarness::snapshot;
using EngineHarness::Tree;
using EngineHarness::WorkerRun;
using EngineHarness::WorkingDirectory;
using EngineHarness::writeFile;
using EngineHarness::writeTree;

namespace {

// Where a log line comes from, so that a whole run can be compared as a
// sequence of kinds: extraction, script, file step, version record, the
// summing-up line of failed file operations.
QString kindOf(const QString &line)
{
    if (line.startsWith(QStringLiteral("开始拷贝"))
        || line.startsWith(QStringLiteral("升级包信息")))
        return QStringLiteral("extraction");
    if (line.contains(QStringLiteral(".bat 执行")) || line.startsWith(QStringLiteral("失败原因:")))
        return QStringLiteral("script");
    static const QRegularExpression fileStep(
        QStringLiteral("^(正在)?(删除|更新|添加)(文件|目录):"));
    if (fileStep.match(line).hasMatch())
        return QStringLiteral("file");
    if (line.contains(QStringLiteral("版本信息")))
        return QStringLiteral("record");
    if (line.endsWith(QStringLiteral("项文件操作失败,升级终止")))
        return QStringLiteral("file failures");
    return QStringLiteral("other: ") + line;
}

// The run as kinds, with repeats of one kind folded into one, and the
// outcome signals in their place.
QStringList shape(const QStringList &events)
{
    QStringList result;
    for (const QString &event : events) {
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
                          "  <item key=\"software_product_id\" value=\"7\"/>\n"
                          "  <item key=\"software_version\" value=\"%1\"/>\n"
                          " </module>\n</root>\n")
        .arg(version)
        .toUtf8();
}

} // namespace

class tst_UpgradeChain : public QObject
{
    Q_OBJECT

private slots:
    void wholeUpgrade_data();
    void wholeUpgrade();
    void cleanUpAlone_data();
    void cleanUpAlone();
};

void tst_UpgradeChain::wholeUpgrade_data()
{
    QTest::addColumn<Tree>("package");
    QTest::addColumn<bool>("ownThread");
    QTest::addColumn<bool>("breakExtraction");
    QTest::addColumn<QStringList>("expectedShape");
    QTest::addColumn<QString>("expectedFile"); // installed file content afterwards

    const Tree plain { { "delete/old.dll", "x" }, { "update/app.dll", "new" },
        { "add/extra.txt", "extra" } };
    const QStringList success { "extraction", "sigCopyAllEnd(true)", "file", "record",
        "sigSuccessClearEnd" };
    QTest::newRow("file steps only, worker on its own thread")
        << plain << true << false << success << "new";
    QTest::newRow("file steps only, worker on the test thread")
        << plain << false << false << success << "new";

    Tree scripts = plain;
    scripts.insert("shell/shell_before/1.bat", "exit 0\n");
    scripts.insert("shell/shell_after/1.bat", "exit 0\n");
    QTest::newRow("scripts before and after")
        << scripts << true << false
        << QStringList { "extraction", "sigCopyAllEnd(true)", "script", "file", "script", "record",
               "sigSuccessClearEnd" }
        << "new";

    Tree failingBefore = plain;
    failingBefore.insert("shell/shell_before/1.bat", "exit 3\n");
    QTest::newRow("before script fails")
        << failingBefore << true << false
        << QStringList { "extraction", "sigCopyAllEnd(true)", "script", "sigFaildClearEnd" }
        << "old";

    Tree failingAfter = plain;
    failingAfter.insert("shell/shell_after/1.bat", "exit 3\n");
    QTest::newRow("after script fails")
        << failingAfter << true << false
        << QStringList { "extraction", "sigCopyAllEnd(true)", "file", "script", "sigFaildClearEnd" }
        << "new";

    Tree failingFile = plain;
    failingFile.insert("update/blocked/inner.txt", "x"); // "blocked" is a file in the installation
    QTest::newRow("file operation fails") << failingFile << true << false
                                          << QStringList { "extraction", "sigCopyAllEnd(true)",
                                                 "file", "file failures", "sigFaildClearEnd" }
                                          << "new";

    QTest::newRow("extraction fails") << plain << true << true
                                      << QStringList { "extraction", "sigCopyAllEnd(false)",
                                             "sigSuccess(false)", "sigFaildClearEnd" }
                                      << "old";
}

void tst_UpgradeChain::wholeUpgrade()
{
    QFETCH(Tree, package);
    QFETCH(bool, ownThread);
    QFETCH(bool, breakExtraction);
    QFETCH(QStringList, expectedShape);
    QFETCH(QString, expectedFile);
    QTemporaryDir tmp;
    QString error;
    const QString rcc = buildPackage(tmp.path(), package, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    const QString installPath = tmp.path() + "/suite";
    QVERIFY(writeTree(installPath,
        { { "old.dll", "old" }, { "app.dll", "old" }, { "blocked", "a file" },
            { "product/common/sysconfig/setup_config.xml", record("2.1.0") } }));
    QVERIFY(writeFile(tmp.path() + "/" + UpgradeConstants::installDir() + "/"
            + UpgradeConstants::recordFileName(),
        record("2.1.0")));
    if (breakExtraction)
        QVERIFY(writeFile(installPath + "/upgrade_temp", "a file where the staging folder goes"));
    WorkingDirectory cwd(tmp.path());

    WorkerRun run(ownThread);
    run.object()->setVersions("2.1.0", "2.1.9");
    run.startCopyAll(installPath);
    QVERIFY(run.waitForEnd());
    QVERIFY(run.flush());
    run.stop();

    QCOMPARE(shape(run.events), expectedShape);
    // One end signal, and the staging folder is gone (unless a file stands in
    // its place, which is not the engine's to remove).
    QCOMPARE(run.endCount, 1);
    QCOMPARE(QFileInfo(installPath + "/upgrade_temp").isFile(), breakExtraction);
    QVERIFY(!QFileInfo(installPath + "/upgrade_temp").isDir());
    QCOMPARE(readFile(installPath + "/app.dll"), expectedFile.toUtf8());
    QCOMPARE(readFile(installPath + "/blocked"), QByteArray("a file"));
    if (expectedShape.contains("record")) {
        // The version record step ran once, after every file step line.
        const QStringList lines = run.statusLines();
        QCOMPARE(lines.filter("版本信息").size(), 2);
        QVERIFY(
            readFile(installPath + "/product/common/sysconfig/setup_config.xml").contains("2.1.9"));
    } else {
        QVERIFY(
            readFile(installPath + "/product/common/sysconfig/setup_config.xml").contains("2.1.0"));
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

void tst_UpgradeChain::cleanUpAlone()
{
    QFETCH(bool, success);
    QFETCH(QString, situation);
    QTemporaryDir tmp;
    QString error;
    const QString rcc = buildPackage(tmp.path(), { { "update/a.dll", "a" } }, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    const QString installPath = tmp.path() + "/suite";
    QVERIFY(writeTree(installPath, { { "a.dll", "installed" } }));

    // The extraction sets the installation path and stages the package; the
    // clean-up is then called alone.
    WorkerRun run;
    run.answerCopyAllEnd = false;
    run.startCopyAll(installPath);
    QVERIFY(run.waitForEvent("sigCopyAllEnd(true)"));
    QVERIFY(QFileInfo(installPath + "/upgrade_temp/upgrade/update/a.dll").isFile());
    if (situation == "no staging")
        QVERIFY(QDir(installPath + "/upgrade_temp").removeRecursively());
    if (situation == "gone")
        QVERIFY(QDir(installPath).removeRecursively());
    const Tree before = snapshot(tmp.path());

    if (success)
        run.call([](CUpgradeWorker *w) { w->slotSuccessClear(); });
    else
        run.call([](CUpgradeWorker *w) { w->slotFaildClear(); });
    QVERIFY(run.waitForEnd());
    QVERIFY(run.flush());
    run.stop();

    QCOMPARE(run.outcomes(),
        (QStringList {
            "sigCopyAllEnd(true)", success ? "sigSuccessClearEnd" : "sigFaildClearEnd" }));
    // Nothing is logged by the clean-up.
    QCOMPARE(shape(run.events).count("extraction"), 1);
    Tree expected = before;
    if (situation == "staging") {
        for (const QString &key : before.keys()) {
            if (key.startsWith("suite/upgrade_temp"))
                expected.remove(key);
        }
    }
    QCOMPARE(snapshot(tmp.path()), expected);
}

QTEST_GUILESS_MAIN(tst_UpgradeChain)
#include "tst_upgradechain.moc"
