#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "CUpgradeWorker.h"
#include "UpgradeConstants.h"
#include "support/EngineHarness.h"

using EngineHarness::buildPackage;
using EngineHarness::buildWithAliases;
using EngineHarness::packageTree;
using EngineHarness::readFile;
using EngineHarness::RegisteredPackage;
using EngineHarness::snapshot;
using EngineHarness::Tree;
using EngineHarness::withFolders;
using EngineHarness::WorkerRun;
using EngineHarness::writeFile;
using EngineHarness::writeTree;

namespace {

const QString startLine = QStringLiteral("开始拷贝升级包信息");
const QString doneLine = QStringLiteral("升级包信息拷贝成功");
const QString failedLine = QStringLiteral("升级包信息拷贝失败");

// The staged tree as snapshot() reports it: everything below "upgrade/".
Tree stagedFrom(const Tree &package)
{
    Tree staged;
    const Tree full = withFolders(packageTree(package));
    for (auto it = full.cbegin(); it != full.cend(); ++it)
        staged.insert(QStringLiteral("upgrade/") + it.key(), it.value());
    staged.insert(QStringLiteral("upgrade/"), QByteArray());
    return staged;
}

QString stagingOf(const QString &installPath)
{
    return installPath + QLatin1Char('/') + UpgradeConstants::stagingFolderName();
}

} // namespace

class tst_Extraction : public QObject
{
    Q_OBJECT

private slots:
    void stagingTreeMirrorsPackage();
    void leftoverStagingReplaced();
    void missingInstallation_data();
    void missingInstallation();
    void failedCopy_data();
    void failedCopy();
};

void tst_Extraction::stagingTreeMirrorsPackage()
{
    const QString placeholder = UpgradeConstants::placeholderFileName();
    QTemporaryDir tmp;
    // Placeholders at several depths: the builder adds one to every empty
    // folder, and the author may have left some next to other files.
    const Tree package {
        { "update/app.dll", "app" },
        { "update/.hidden.cfg", "hidden" },
        { "update/lib/.config/settings.ini", "settings" },
        { "update/lib/deep/er/still.txt", "deep" },
        { "update/lib/with/" + placeholder, {} },
        { "update/lib/with/beside.txt", "beside" },
        { "update/case/" + placeholder.toUpper(), "kept: the case differs" },
        { "delete/product/old.dll", "old" },
        { "delete/product/olddir/", {} },
        { "add/a/b/c/d/", {} },
        { "add/new.txt", "new" },
        { "shell/shell_before/A.bat", "exit 0\n" },
        { "shell/shell_after/", {} },
        { "db/db_before/1.sql", "select 1;" },
    };
    QString error;
    const QString rcc = buildPackage(tmp.path(), package, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    const QString installPath = tmp.path() + "/suite";
    QVERIFY(writeFile(installPath + "/product/old.dll", "installed"));

    WorkerRun run;
    run.answerCopyAllEnd = false;
    run.startCopyAll(installPath);
    QVERIFY(run.waitForEvent("sigCopyAllEnd(true)"));
    QVERIFY(run.flush());

    Tree expected = stagedFrom(package);
    expected.remove("upgrade/update/lib/with/" + placeholder);
    QCOMPARE(snapshot(stagingOf(installPath)), expected);
    QCOMPARE(run.statusLines(), (QStringList { startLine, doneLine }));
    QCOMPARE(run.outcomes(), QStringList { "sigCopyAllEnd(true)" });
    // The extraction changes nothing in the installation itself.
    QCOMPARE(readFile(installPath + "/product/old.dll"), QByteArray("installed"));
}

void tst_Extraction::leftoverStagingReplaced()
{
    QTemporaryDir tmp;
    const Tree package { { "update/new.dll", "new" } };
    QString error;
    const QString rcc = buildPackage(tmp.path(), package, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    const QString installPath = tmp.path() + "/suite";
    QVERIFY(writeTree(stagingOf(installPath),
        { { "foreign.txt", "x" }, { "upgrade/update/old.dll", "earlier package" },
            { "upgrade/delete/everything/", {} }, { "upgrade/.hidden/left.txt", "left" } }));
    QVERIFY(QFile::setPermissions(stagingOf(installPath) + "/foreign.txt", QFileDevice::ReadOwner));

    WorkerRun run;
    run.answerCopyAllEnd = false;
    run.startCopyAll(installPath);
    QVERIFY(run.waitForEvent("sigCopyAllEnd(true)"));
    QCOMPARE(snapshot(stagingOf(installPath)), stagedFrom(package));
}

void tst_Extraction::missingInstallation_data()
{
    QTest::addColumn<QString>("installPath");
    QTest::newRow("folder that does not exist") << "/no such folder";
    QTest::newRow("path through a regular file") << "/file.txt/suite";
    QTest::newRow("empty path") << "";
}

void tst_Extraction::missingInstallation()
{
    QFETCH(QString, installPath);
    QTemporaryDir tmp;
    QString error;
    const QString rcc = buildPackage(tmp.path(), { { "update/a.dll", "a" } }, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    // The working directory is where an empty path would lead.
    const QString work = tmp.path() + "/work";
    QVERIFY(writeFile(tmp.path() + "/file.txt", "a file"));
    QVERIFY(QDir().mkpath(work));
    const QString previous = QDir::currentPath();
    QDir::setCurrent(work);
    const Tree before = snapshot(tmp.path());

    WorkerRun run;
    run.startCopyAll(installPath.isEmpty() ? installPath : tmp.path() + installPath);
    QVERIFY(run.waitForEnd());
    QVERIFY(run.flush());
    run.stop();
    QDir::setCurrent(previous);

    QCOMPARE(run.events,
        (QStringList { "status:" + startLine, "status:" + failedLine, "sigCopyAllEnd(false)",
            "sigSuccess(false)", "sigFaildClearEnd" }));
    QCOMPARE(snapshot(tmp.path()), before);
}

void tst_Extraction::failedCopy_data()
{
    QTest::addColumn<Tree>("package");
    QTest::addColumn<bool>("aliased");
    QTest::addColumn<bool>("stagingIsFile");

    const QString tooLong(300, QLatin1Char('n'));
    QTest::newRow("name longer than the file system allows") << Tree { { "update/a.dll", "a" },
        { "update/lib/" + tooLong, "x" }, { "update/z.dll", "z" } }
                                                             << true << false;
    QTest::newRow("name with a backslash")
        << Tree { { "update/a.dll", "a" }, { "update/..\\..\\..\\escaped.txt", "x" } } << true
        << false;
    QTest::newRow("staging folder cannot be created")
        << Tree { { "update/a.dll", "a" } } << false << true;
    QTest::newRow("no package registered") << Tree() << false << false;
}

void tst_Extraction::failedCopy()
{
    QFETCH(Tree, package);
    QFETCH(bool, aliased);
    QFETCH(bool, stagingIsFile);
    QTemporaryDir tmp;
    QString rcc;
    if (!package.isEmpty()) {
        QString error;
        rcc = aliased ? buildWithAliases(tmp.path(), package, &error)
                      : buildPackage(tmp.path(), package, &error);
        QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    }
    RegisteredPackage registered(rcc);
    QCOMPARE(registered.isRegistered(), !package.isEmpty());
    const QString installPath = tmp.path() + "/suite";
    QVERIFY(writeTree(installPath, { { "product/a.dll", "installed" }, { "product/keep/", {} } }));
    if (stagingIsFile)
        QVERIFY(writeFile(stagingOf(installPath), "not a folder"));
    const Tree installed = snapshot(installPath);

    WorkerRun run;
    run.startCopyAll(installPath);
    QVERIFY(run.waitForEnd());
    QVERIFY(run.flush());
    run.stop();

    QCOMPARE(run.events,
        (QStringList { "status:" + startLine, "status:" + failedLine, "sigCopyAllEnd(false)",
            "sigSuccess(false)", "sigFaildClearEnd" }));
    // The clean-up removed what was staged; nothing else changed, and nothing
    // was written outside the installation.
    QCOMPARE(snapshot(installPath), installed);
    QCOMPARE(snapshot(tmp.path()).keys().filter("escaped").size(), 0);
}

QTEST_GUILESS_MAIN(tst_Extraction)
#include "tst_extraction.moc"
