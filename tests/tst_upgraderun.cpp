#include <QtTest>

#include "UpgradeRun.h"
#include "support/EngineHarness.h"

using namespace EngineHarness;

// The stages of one upgrade, in the order the run goes through them, and how
// it ends: advance() for each stage that ends well, fail() for one that doesn't.
class tst_UpgradeRun : public QObject
{
    Q_OBJECT

private slots:
    void stages_data();
    void stages();
};

void tst_UpgradeRun::stages_data()
{
    QTest::addColumn<Tree>("package");
    QTest::addColumn<Tree>("installed");
    QTest::addColumn<QString>("expected"); // the announced stages, then how it ended

    const QString chain = "BeforeScripts Delete Update Add AfterScripts Database";
    QTest::newRow("files only: every stage, then upgraded")
        << Tree { { "update/a.dll", "new" } } << Tree { { "a.dll", "old" } } << chain + " Upgraded";
    QTest::newRow("a before script fails: rolled back at once")
        << Tree { { "shell/shell_before/1.bat", "exit 1\n" } } << Tree()
        << "BeforeScripts Restored";
    QTest::newRow("a file step fails: the file steps end, then rolled back")
        << Tree { { "update/a.dll", "new" } } << Tree { { "a.dll/", "" } }
        << "BeforeScripts Delete Update Add Restored";
    QTest::newRow("an after script fails: rolled back after the file steps")
        << Tree { { "shell/shell_after/1.bat", "exit 2\n" }, { "add/b.dll", "new" } } << Tree()
        << "BeforeScripts Delete Update Add AfterScripts Restored";
}

void tst_UpgradeRun::stages()
{
    QFETCH(Tree, package);
    QFETCH(Tree, installed);
    QTemporaryDir tmp;
    QString error;
    const QString rcc = buildPackage(tmp.path(), package, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    const QString main = tmp.filePath("suite");
    QVERIFY(QDir().mkpath(main) && writeTree(main, installed));
    WorkingDirectory cwd(tmp.path());

    UpgradeRequest request;
    request.mainPath = main;
    CancelRequest cancel;
    UpgradeRun run(request, cancel);
    QStringList seen;
    const QMetaEnum stages = QMetaEnum::fromType<UpgradeRun::Stage>();
    // The face's part: each announced stage is entered, as its slot would.
    connect(&run, &UpgradeRun::stageDue, this, [&](UpgradeRun::Stage stage) {
        seen << stages.valueToKey(int(stage));
        run.enter(stage);
    });
    connect(&run, &UpgradeRun::staged, this, [&](bool ok) { ok ? run.startChain() : run.fail(); });
    QSignalSpy ended(&run, &UpgradeRun::ended);
    run.stageFiles();
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 30000);
    const UpgradeOutcome outcome = ended.first().first().value<UpgradeOutcome>();
    seen << (outcome == UpgradeOutcome::Upgraded  ? "Upgraded"
            : outcome == UpgradeOutcome::Restored ? "Restored"
                                                  : "other");
    QTEST(seen.join(' '), "expected");
    QCOMPARE(run.stage(), UpgradeRun::Stage::Finished);
    // Either way the installation holds nothing of the run but what it installed.
    QVERIFY(
        !QFileInfo::exists(main + "/upgrade_temp") && !QFileInfo::exists(main + "/upgrade.lock"));
    if (outcome == UpgradeOutcome::Restored)
        QCOMPARE(snapshot(main), withFolders(installed));
}

QTEST_GUILESS_MAIN(tst_UpgradeRun)
#include "tst_upgraderun.moc"
