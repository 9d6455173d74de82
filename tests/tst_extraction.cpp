#include <QtTest>

#include "LoadedPackage.h"
#include "PackageManifest.h"
#include "UpgradeConstants.h"
#include "support/EngineHarness.h"

using namespace EngineHarness;

// Extraction of the registered package into <installation>/upgrade_temp.
class tst_Extraction : public QObject
{
    Q_OBJECT

private slots:
    void stagingTreeMirrorsPackage_data();
    void stagingTreeMirrorsPackage();
    void failedExtraction_data();
    void failedExtraction();
    void leftoverStagingThatCannotBeEmptied_data();
    void leftoverStagingThatCannotBeEmptied();
    void compressedPackageCheckedOnDisk_data();
    void compressedPackageCheckedOnDisk();
    void packageChangedAfterItsCheck_data();
    void packageChangedAfterItsCheck();
};

void tst_Extraction::stagingTreeMirrorsPackage_data()
{
    QTest::addColumn<Tree>("leftover"); // in upgrade_temp before the run
    QTest::newRow("fresh staging folder") << Tree();
    QTest::newRow("leftover upgrade_temp removed first")
        << Tree { { "foreign.txt", "x" }, { "upgrade/update/old.dll", "earlier package" },
               { "upgrade/delete/everything/", {} }, { "upgrade/.hidden/left.txt", "left" } };
}

void tst_Extraction::stagingTreeMirrorsPackage()
{
    QFETCH(Tree, leftover);
    const QString placeholder = UpgradeConstants::placeholderFileName();
    // Placeholders at several depths: the builder adds one to every empty
    // folder, and the author may have left one next to other files. A name
    // that differs from the placeholder's only in case is an ordinary file.
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
    Upgrade upgrade;
    upgrade.toTheEnd = false;
    QVERIFY(writeFile(upgrade.installPath + "/product/old.dll", "installed"));
    QVERIFY(writeTree(upgrade.staging(), leftover));
    if (!leftover.isEmpty())
        QVERIFY(QFile::setPermissions(upgrade.staging() + "/foreign.txt", QFileDevice::ReadOwner));

    QVERIFY2(upgrade.execute(package), qPrintable(upgrade.error));

    Tree expected { { "upgrade/", {} } };
    const Tree full = withFolders(packageTree(package));
    for (auto it = full.cbegin(); it != full.cend(); ++it)
        expected.insert("upgrade/" + it.key(), it.value());
    expected.remove("upgrade/update/lib/with/" + placeholder);
    // The package's manifest comes along, beside the step folders.
    Tree staged = snapshot(upgrade.staging());
    QCOMPARE(staged.remove("upgrade/manifest.sha256"), 1);
    QCOMPARE(staged, expected);
    QCOMPARE(upgrade.run.events,
        (QStringList {
            "status:开始拷贝升级包信息", "status:升级包信息拷贝成功", "sigCopyAllEnd(true)" }));
    // The extraction changes nothing in the installation itself.
    QCOMPARE(readFile(upgrade.installPath + "/product/old.dll"), QByteArray("installed"));
}

void tst_Extraction::failedExtraction_data()
{
    QTest::addColumn<QString>("installPath"); // below the temporary folder
    QTest::addColumn<Tree>("package"); // empty: no package registered
    QTest::addColumn<bool>("aliased");
    QTest::addColumn<bool>("stagingIsFile");

    const Tree plain { { "update/a.dll", "a" } };
    QTest::newRow("installation folder does not exist")
        << "/no such folder" << plain << false << false;
    QTest::newRow("installation path through a regular file")
        << "/file.txt/suite" << plain << false << false;
    QTest::newRow("empty installation path") << "" << plain << false << false;
    QTest::newRow("name longer than the file system allows")
        << "/suite"
        << Tree { { "update/a.dll", "a" }, { "update/lib/" + QString(300, 'n'), "x" },
               { "update/z.dll", "z" } }
        << true << false;
    QTest::newRow("name with a backslash")
        << "/suite" << Tree { { "update/a.dll", "a" }, { "update/..\\..\\..\\escaped.txt", "x" } }
        << true << false;
    QTest::newRow("staging folder cannot be created") << "/suite" << plain << false << true;
    QTest::newRow("no package registered") << "/suite" << Tree() << false << false;
}

// Every failure takes the short road: two lines, the failure signals, the
// clean-up; nothing is created or left behind, nothing written elsewhere.
void tst_Extraction::failedExtraction()
{
    QFETCH(QString, installPath);
    QFETCH(Tree, package);
    QFETCH(bool, aliased);
    QFETCH(bool, stagingIsFile);
    Upgrade upgrade;
    upgrade.createInstallation = false;
    upgrade.aliased = aliased;
    QVERIFY(writeFile(upgrade.tmp.path() + "/file.txt", "a file"));
    QVERIFY(writeTree(
        upgrade.installPath, { { "product/a.dll", "installed" }, { "product/keep/", {} } }));
    if (stagingIsFile)
        QVERIFY(writeFile(upgrade.staging(), "not a folder"));
    upgrade.installPath = installPath.isEmpty() ? installPath : upgrade.tmp.path() + installPath;
    // What the run may touch: all but the package and its sources.
    const auto installationSide = [&upgrade] {
        Tree tree = snapshot(upgrade.tmp.path());
        for (const QString &key : tree.keys()) {
            if (key.startsWith("src-") || key.startsWith("aliased") || key == "package.rcc")
                tree.remove(key);
        }
        return tree;
    };
    const Tree before = installationSide();

    QVERIFY2(upgrade.execute(package), qPrintable(upgrade.error));

    QCOMPARE(upgrade.run.events,
        (QStringList { "status:开始拷贝升级包信息", "status:升级包信息拷贝失败",
            "sigCopyAllEnd(false)", "sigSuccess(false)", "sigFaildClearEnd" }));
    QCOMPARE(installationSide(), before);
}

void tst_Extraction::leftoverStagingThatCannotBeEmptied_data()
{
    QTest::addColumn<QString>("immutable"); // below the old staging folder
    QTest::addColumn<QString>("named"); // the leftover the log names
    QTest::newRow("a file that can't be removed") << "upgrade/delete/data/suite.db"
                                                  << "upgrade/delete/data/suite.db";
    QTest::newRow("a folder whose files can't be removed")
        << "upgrade/shell/shell_before"
        << "upgrade/shell/shell_before/stale.bat";
}

// An old staging folder that can't be emptied is not merged into the new one:
// its stale script and delete entry would act as part of the new package.
void tst_Extraction::leftoverStagingThatCannotBeEmptied()
{
    QFETCH(QString, immutable);
    QFETCH(QString, named);
    Upgrade upgrade;
    QVERIFY(writeTree(upgrade.installPath, { { "data/suite.db", "projects" } }));
    QVERIFY(writeTree(upgrade.staging(),
        { { "upgrade/delete/data/suite.db", "x" },
            { "upgrade/shell/shell_before/stale.bat", "echo ran > stale_ran.txt\n" } }));
    Immutable mark(upgrade.staging() + "/" + immutable);
    if (!mark.isSet())
        QSKIP("chattr +i does not work here");
    const auto installed = [&upgrade] {
        Tree tree = snapshot(upgrade.installPath);
        for (const QString &key : tree.keys()) {
            if (key.startsWith(UpgradeConstants::stagingFolderName()))
                tree.remove(key);
        }
        return tree;
    };
    const Tree before = installed();

    QVERIFY2(upgrade.execute({ { "update/a.dll", "a" } }), qPrintable(upgrade.error));

    QCOMPARE(upgrade.run.events,
        (QStringList { "status:开始拷贝升级包信息",
            "status:无法清除上次升级的临时文件:"
                + QDir::toNativeSeparators(upgrade.staging() + "/" + named),
            "status:升级包信息拷贝失败", "sigCopyAllEnd(false)", "sigSuccess(false)",
            "sigFaildClearEnd" }));
    QCOMPARE(installed(), before);
}

void tst_Extraction::compressedPackageCheckedOnDisk_data()
{
    QTest::addColumn<QString>("misListed"); // listed with another file's hash
    QTest::newRow("intact") << "";
    QTest::newRow("a file differs from its manifest line") << "update/a.dll";
}

// A compressed file is written by decompressing it: its staged copy is what
// gets hashed.
void tst_Extraction::compressedPackageCheckedOnDisk()
{
    QFETCH(QString, misListed);
    const Tree tree = packageTree(
        { { "update/a.dll", QByteArray(9000, 'a') }, { "update/b.dll", QByteArray(9000, 'b') } });
    QVector<PackageManifest::Entry> entries;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QByteArray &bytes = it.key() == misListed ? tree.first() : it.value();
        entries.append({ PackageManifest::hashBytes(bytes.constData(), bytes.size()), it.key() });
    }
    Tree listed = tree;
    listed.insert(PackageManifest::fileName(), PackageManifest::format(entries));
    Upgrade upgrade;
    QVERIFY(QDir().mkpath(upgrade.installPath));
    const QString rcc = TestPackage::buildUnchecked(upgrade.tmp.path(), filesOf(listed, "upgrade/"),
        &upgrade.error, "zipped.rcc", { "--compress-algo", "zlib", "--threshold", "0" });
    QVERIFY2(!rcc.isEmpty(), qPrintable(upgrade.error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    WorkingDirectory cwd(upgrade.tmp.path());
    upgrade.run.answerCopyAllEnd = false;
    upgrade.run.startCopyAll(upgrade.installPath);
    const QString end = misListed.isEmpty() ? "sigCopyAllEnd(true)" : "sigCopyAllEnd(false)";
    QVERIFY2(upgrade.run.waitForEvent(end), qPrintable(upgrade.run.events.join(" | ")));
    QVERIFY(upgrade.run.flush());
    const QStringList expected = misListed.isEmpty()
        ? QStringList { "升级包信息拷贝成功" }
        : QStringList { "升级包文件写入后校验失败:"
                  + QDir::toNativeSeparators(upgrade.staging() + "/upgrade/" + misListed),
              "升级包信息拷贝失败" };
    QCOMPARE(upgrade.run.statusLines().mid(1), expected);
}

void tst_Extraction::packageChangedAfterItsCheck_data()
{
    QTest::addColumn<bool>("cutShort"); // else a byte of a file's data flipped
    QTest::newRow("a byte flipped in a file's data") << false;
    QTest::newRow("the package file cut short") << true;
}

// The package file changed on disk between its check at loading and the
// staging copy: the copy fails cleanly, before anything in the installation
// changed, and names the package. A file cut short under its mapping doesn't
// kill the program. On Windows the loaded package can't be changed at all.
void tst_Extraction::packageChangedAfterItsCheck()
{
    QFETCH(bool, cutShort);
    Upgrade upgrade;
    const QByteArray content = QByteArray("the bytes of report.dll ").repeated(20000);
    QVERIFY(writeTree(upgrade.installPath, { { "product/report.dll", "installed" } }));
    const Tree before = snapshot(upgrade.installPath);
    const QString rcc = buildPackage(
        upgrade.tmp.path(), { { "update/product/report.dll", content } }, &upgrade.error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(upgrade.error));
    LoadedPackage loaded;
    QCOMPARE(loaded.load(rcc), LoadedPackage::Result::Registered);
    QFile file(rcc);
    const bool writable = file.open(QIODevice::ReadWrite);
#ifdef Q_OS_WIN
    Q_UNUSED(cutShort)
    QVERIFY(!writable);
    const bool changed = false;
#else
    QVERIFY(writable);
    const qint64 at = file.readAll().indexOf(content) + content.size() / 2;
    QVERIFY(at > content.size() / 2);
    if (cutShort)
        QVERIFY(file.resize(at));
    else
        QVERIFY(file.seek(at) && file.write("#") == 1);
    // As any later write would leave it.
    QVERIFY(file.setFileTime(
        QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime));
    file.close();
    // Qt reads the tree that was cut off as zeros: no package there.
    QCOMPARE(QFileInfo::exists(UpgradeConstants::packageDescriptorPath()), !cutShort);
    const bool changed = true;
#endif
    QSignalSpy failures(upgrade.run.object(), &CUpgradeWorker::sigFailure);
    WorkingDirectory cwd(upgrade.tmp.path());
    // A refused copy is answered, so that its clean-up runs too.
    upgrade.run.answerCopyAllEnd = changed;
    upgrade.run.startCopyAll(upgrade.installPath);
    if (!changed) {
        QVERIFY2(upgrade.run.waitForEvent("sigCopyAllEnd(true)"),
            qPrintable(upgrade.run.events.join(" | ")));
        return;
    }
    QVERIFY2(upgrade.run.waitForEnd(), qPrintable(upgrade.run.events.join(" | ")));
    upgrade.run.stop();
    QVERIFY(upgrade.run.outcomes().startsWith("sigCopyAllEnd(false)"));
    QVERIFY2(upgrade.run.statusLines().contains(
                 "升级包文件在载入后被改动:" + QDir::toNativeSeparators(rcc)),
        qPrintable(upgrade.run.statusLines().join(" | ")));
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.first().first().toString(), QString("package"));
    QCOMPARE(snapshot(upgrade.installPath), before);
}

QTEST_GUILESS_MAIN(tst_Extraction)
#include "tst_extraction.moc"
