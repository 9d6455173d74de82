#include <QtTest>

#include "InstallationRecord.h"
#include "LoadedPackage.h"
#include "PackageDescriptor.h"
#include "PackageFit.h"
#include "UpgradeConstants.h"
#include "support/TestPackage.h"

Q_DECLARE_METATYPE(LoadedPackage::Result)
Q_DECLARE_METATYPE(FitVerdict)

// The chosen package's registration, and the verdict on whether it fits.
class tst_LoadedPackage : public QObject
{
    Q_OBJECT
private slots:
    void load_data();
    void load();
    void treeInUseOutlivesRelease();
    void fit_data();
    void fit();
};

void tst_LoadedPackage::load_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<LoadedPackage::Result>("result");
    QTest::newRow("a package") << "package" << LoadedPackage::Result::Registered;
    QTest::newRow("missing file") << "missing" << LoadedPackage::Result::Unreadable;
    QTest::newRow("a folder") << "folder" << LoadedPackage::Result::Unreadable;
    QTest::newRow("not a resource file") << "text" << LoadedPackage::Result::NotResourceFile;
    QTest::newRow("cut off") << "truncated" << LoadedPackage::Result::Damaged;
}

void tst_LoadedPackage::load()
{
    QFETCH(QString, kind);
    QTemporaryDir tmp;
    QString error;
    const QString rcc = TestPackage::build(tmp.path(),
        { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.5") } }, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    QString path = tmp.filePath(kind);
    if (kind == "package")
        path = rcc;
    else if (kind == "folder")
        QVERIFY(QDir().mkpath(path));
    else if (kind != "missing") {
        QFile in(rcc), out(path);
        QVERIFY(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
        out.write(kind == "text" ? QByteArray("plain text") : in.read(in.size() / 2));
    }

    LoadedPackage loaded;
    QFETCH(LoadedPackage::Result, result);
    QCOMPARE(loaded.load(path), result);
    const bool registered = result == LoadedPackage::Result::Registered;
    QCOMPARE(loaded.isRegistered(), registered);
    QCOMPARE(QFile::exists(UpgradeConstants::packageDescriptorPath()), registered);
    QCOMPARE(LoadedPackage::message(result).isEmpty(),
        registered || result == LoadedPackage::Result::NotResourceFile);
    loaded.release();
    QVERIFY(!QFile::exists(UpgradeConstants::packageDescriptorPath()));
}

// A file of the tree still open when the package is released: its bytes stay.
void tst_LoadedPackage::treeInUseOutlivesRelease()
{
    QTemporaryDir tmp;
    QString error;
    const QString rcc = TestPackage::build(tmp.path(),
        { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.5") },
            { "upgrade/readme.txt", "still readable" } },
        &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    LoadedPackage loaded;
    QCOMPARE(loaded.load(rcc), LoadedPackage::Result::Registered);
    QFile open(UpgradeConstants::packageReadmePath());
    QVERIFY(open.open(QIODevice::ReadOnly));
    loaded.release();
    QCOMPARE(open.readAll(), QByteArray("still readable"));
}

void tst_LoadedPackage::fit_data()
{
    QTest::addColumn<int>("installedId");
    QTest::addColumn<int>("packageId");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<int>("upgradeType");
    QTest::addColumn<FitVerdict>("verdict");
    QTest::newRow("fits") << 7 << 7 << "2.1.5" << 0 << FitVerdict::Fits;
    QTest::newRow("no package, whatever the versions")
        << 7 << -1 << "x" << 9 << FitVerdict::NotSelected;
    QTest::newRow("record without product") << -1 << 7 << "2.1.5" << 0 << FitVerdict::NotSelected;
    QTest::newRow("other product before versions") << 7 << 8 << "x" << 0
                                                   << FitVerdict::ProductMismatch;
    QTest::newRow("bad installed version") << 7 << 7 << "2.1" << 0
                                           << FitVerdict::BadInstalledVersion;
    QTest::newRow("outside the range") << 7 << 7 << "2.1.9" << 0 << FitVerdict::NotApplicable;
    QTest::newRow("unknown type") << 7 << 7 << "2.1.5" << 2 << FitVerdict::NotApplicable;
}

void tst_LoadedPackage::fit()
{
    QFETCH(int, installedId);
    QFETCH(int, packageId);
    QFETCH(QString, installed);
    QFETCH(int, upgradeType);
    InstallationRecord record;
    record.productId = installedId;
    record.version = installed;
    PackageDescriptor package;
    package.productId = packageId;
    package.versionFrom = "2.1.0";
    package.versionTo = "2.1.5";
    package.upgradeType = upgradeType;
    QTEST(PackageFit::judge(record, package), "verdict");
}

QTEST_GUILESS_MAIN(tst_LoadedPackage)
#include "tst_loadedpackage.moc"
