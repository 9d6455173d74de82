#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

#include "MainWindow.h"

#include "support/SampleInstallation.h"
#include "support/TestPackage.h"

namespace {

// A descriptor for product 7 from 2.1.3 to 2.1.9 of type 0, with the given
// changes; "key=" alone leaves the key out. Packages are compiled with rcc
// directly, so that descriptors the package builder would refuse can be tried.
QByteArray descriptor(const QStringList &changes = {})
{
    QString xml = TestPackage::descriptor(7, "2.1.3", "2.1.9");
    for (const QString &change : changes) {
        const QString key = change.section('=', 0, 0), value = change.section('=', 1);
        const QRegularExpression item("<item key=\"" + key + "\" value=\"[^\"]*\"/>");
        xml.replace(item,
            value.isEmpty() ? QString()
                            : QString("<item key=\"%1\" value=\"%2\"/>").arg(key, value));
    }
    return xml.toUtf8();
}

// An installation (product 7, version 2.1.5) and the window on it.
struct Setup
{
    explicit Setup(const QByteArray &record = SampleInstallation::recordXml(7, "2.1.5", "/suite"))
    {
        ok = install.writeRecord(record);
        window.show();
        ok = ok && window.init();
    }
    QString package(const QString &fileName, const QByteArray &descriptorXml = descriptor())
    {
        return TestPackage::buildUnchecked(install.path(),
            { { "upgrade/upgrade_config.xml", descriptorXml },
                { "upgrade/readme.txt", "line one\n" } },
            nullptr, fileName);
    }
    QString tip() { return window.findChild<QLabel *>("tip")->text(); }
    QString field() { return window.findChild<QLineEdit *>("lineEdit_3")->text(); }
    bool details() { return window.findChild<QPushButton *>("pDetails")->isEnabled(); }

    SampleInstallation install;
    MainWindow window;
    bool ok = false;
};

} // namespace

// Loading packages into the window: the file dialog, drops, the descriptor and
// the verdict on the status line.
class tst_PackageLoading : public QObject
{
    Q_OBJECT
private slots:
    void verdicts_data();
    void verdicts();
    void fileDialog_data();
    void fileDialog();
    void drops_data();
    void drops();
    void dragEnterAcceptsAnyUrl();
    void nextPackageStartsFromBlankDescriptor();
    void wrongRootAddsLine();
    void damagedAndForeignFiles_data();
    void damagedAndForeignFiles();
    void sameFileTwice();
};

void tst_PackageLoading::verdicts_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QByteArray>("descriptor");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("details");

    const QByteArray fitting = SampleInstallation::recordXml(7, "2.1.5", "/suite");
    QTest::newRow("fits") << fitting << descriptor() << "" << true;
    QTest::newRow("another product still enables details")
        << fitting << descriptor({ "software_product_id=8" })
        << "产品ID不匹配:升级包适用于产品ID 8,本机安装的产品ID为 7" << true;
    QTest::newRow("product checked before versions")
        << fitting << descriptor({ "software_product_id=9", "software_version_from=x" })
        << "产品ID不匹配:升级包适用于产品ID 9,本机安装的产品ID为 7" << true;
    QTest::newRow("descriptor without product id")
        << fitting << descriptor({ "software_product_id=" }) << "未选择升级包" << true;
    QTest::newRow("record without product id")
        << QByteArray("<root><module><e key=\"software_version\" value=\"2.1.5\"/></module></root>")
        << descriptor() << "未选择升级包" << true;
    QTest::newRow("installed version malformed")
        << SampleInstallation::recordXml(7, "2.1", "/suite") << descriptor() << "系统版本格式有误"
        << true;
    QTest::newRow("from version malformed")
        << fitting << descriptor({ "software_version_from=2.1" }) << "升级包开始版本格式有误"
        << true;
    QTest::newRow("to version missing")
        << fitting << descriptor({ "software_version_to=" }) << "升级包结束版本格式有误" << true;
    QTest::newRow("below the range") << fitting << descriptor({ "software_version_from=2.1.6" })
                                     << "此升级包不适用于本系统升级" << true;
    QTest::newRow("no upgrade type")
        << fitting << descriptor({ "upgrade_type=" }) << "此升级包不适用于本系统升级" << true;
    QTest::newRow("malformed descriptor")
        << fitting << QByteArray("<root><module>") << "未选择升级包" << false;
}

void tst_PackageLoading::verdicts()
{
    QFETCH(QByteArray, record);
    QFETCH(QByteArray, descriptor);
    QFETCH(QString, message);
    Setup setup(record);
    QVERIFY(setup.ok);
    setup.window.loadPackage(setup.package("pkg.rcc", descriptor));
    QCOMPARE(setup.tip(), message);
    if (!message.isEmpty())
        QCOMPARE(setup.window.findChild<QLabel *>("tip")->styleSheet(),
            QStringLiteral("QLabel{color:red}"));
    QTEST(setup.details(), "details");
    QCOMPARE(setup.field(), QStringLiteral("pkg"));
    QCOMPARE(setup.window.checkPackage(), message.isEmpty());
}

void tst_PackageLoading::fileDialog_data()
{
    QTest::addColumn<bool>("accept");
    QTest::newRow("a package chosen: loaded, named up to its first dot") << true;
    QTest::newRow("cancelled: the earlier package stays") << false;
}

void tst_PackageLoading::fileDialog()
{
    QFETCH(bool, accept);
    Setup setup;
    QVERIFY(setup.ok);
    const QString earlier = setup.package("a.rcc");
    const QString chosen = setup.package("suite_2.1.9.rcc");
    setup.window.loadPackage(earlier);

#ifdef Q_OS_WIN
    // Windows' own file dialog can't be driven from here; Qt's gets the same
    // title and filter from the window.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
#endif
    QStringList seen;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        poll.stop();
        seen << dialog->windowTitle() << dialog->nameFilters();
        // Typed into the file name field, as an operator would.
        dialog->findChild<QLineEdit *>("fileNameEdit")->setText(chosen);
        accept ? static_cast<QDialog *>(dialog)->accept() : dialog->reject();
    });
    poll.start(20);
    setup.window.findChild<QPushButton *>("pushButton_3")->click();

    QCOMPARE(seen, (QStringList { "选择升级包", "*.rcc" }));
    QCOMPARE(setup.window.currentPackagePath(), accept ? chosen : earlier);
    QCOMPARE(setup.field(), accept ? QStringLiteral("suite_2") : QStringLiteral("a"));
    QVERIFY(setup.details());
    QCOMPARE(setup.window.packageDescriptor().versionTo, QStringLiteral("2.1.9"));
    QCOMPARE(setup.tip(), QString());
}

void tst_PackageLoading::drops_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("onField");
    QTest::addColumn<bool>("loaded"); // and the drop accepted, but for the second row
    QTest::newRow("package on the field") << "drop.rcc" << true << true;
    QTest::newRow("package elsewhere: accepted, not loaded") << "drop.rcc" << false << false;
    QTest::newRow("suffix in capitals ignored") << "drop.RCC" << true << false;
    QTest::newRow("other file ignored") << "drop.txt" << true << false;
}

void tst_PackageLoading::drops()
{
    QFETCH(QString, fileName);
    QFETCH(bool, onField);
    QFETCH(bool, loaded);
    Setup setup;
    QVERIFY(setup.ok);
    const QString package = setup.package(fileName);
    QVERIFY(QTest::qWaitForWindowExposed(&setup.window));
    auto *field = setup.window.findChild<QLineEdit *>("lineEdit_3");
    const QPoint where
        = onField ? field->mapTo(&setup.window, field->rect().center()) : QPoint(5, 5);
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(package) });
    // A drop reaches the widget that accepted the drag's entry.
    QDragEnterEvent enter(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&setup.window, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    drop.setAccepted(false);
    QApplication::sendEvent(&setup.window, &drop);

    QCOMPARE(drop.isAccepted(), loaded || !onField);
    QCOMPARE(setup.window.currentPackagePath(), loaded ? package : QString());
    QCOMPARE(setup.details(), loaded);
}

void tst_PackageLoading::dragEnterAcceptsAnyUrl()
{
    MainWindow window;
    QMimeData web, text;
    web.setUrls({ QUrl("https://example.invalid/package.zip") });
    text.setText("not a url");
    for (QMimeData *data : { &web, &text }) {
        QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        QApplication::sendEvent(&window, &enter);
        QCOMPARE(enter.isAccepted(), data == &web);
    }
}

// Package B lacks its from-version and type: it is judged on its own, not
// with what package A left behind.
void tst_PackageLoading::nextPackageStartsFromBlankDescriptor()
{
    Setup setup;
    QVERIFY(setup.ok);
    setup.window.loadPackage(setup.package("a.rcc"));
    QCOMPARE(setup.tip(), QString());
    QCOMPARE(setup.window.packageDescriptor().upgradeType, 0);
    setup.window.loadPackage(
        setup.package("b.rcc", descriptor({ "software_version_from=", "upgrade_type=" })));
    QCOMPARE(setup.window.packageDescriptor().versionFrom, QString());
    QCOMPARE(setup.window.packageDescriptor().upgradeType, -1);
    QCOMPARE(setup.tip(), QStringLiteral("升级包开始版本格式有误"));
    QVERIFY(setup.details());
}

// Every descriptor with a wrong root adds one line to the system information.
void tst_PackageLoading::wrongRootAddsLine()
{
    Setup setup;
    QVERIFY(setup.ok);
    const QString package = setup.package("w.rcc", "<config><module/></config>");
    setup.window.loadPackage(package);
    setup.window.loadPackage(package);
    // One line for the package chosen now, none left of the same one before.
    const QStringList lines
        = setup.window.findChild<QTextEdit *>("textEdit_3")->toPlainText().split('\n');
    QCOMPARE(lines.size(), 7 + 1);
    QCOMPARE(lines.last(), QStringLiteral("配置文件有误"));
    QCOMPARE(setup.tip(), QStringLiteral("未选择升级包"));
    QVERIFY(!setup.details());
}

void tst_PackageLoading::damagedAndForeignFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("truncated package") << "truncated" << QString("升级包文件已损坏");
    QTest::newRow("text file named .rcc") << "text" << QString("未选择升级包");
    QTest::newRow("empty file") << "empty" << QString("未选择升级包");
    QTest::newRow("missing file") << "missing" << QString("无法读取升级包文件");
    QTest::newRow("folder named .rcc") << "folder" << QString("无法读取升级包文件");
}

// A bad file after a good one: the verdict, and the good package released.
void tst_PackageLoading::damagedAndForeignFiles()
{
    QFETCH(QString, kind);
    Setup setup;
    QVERIFY(setup.ok);
    const QString good = setup.package("good.rcc");
    const QString bad = setup.install.path() + "/bad.rcc";
    QFile file(good);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QFile target(bad);
    if (kind == "folder")
        QVERIFY(QDir().mkpath(bad));
    else if (kind != "missing")
        QVERIFY(target.open(QIODevice::WriteOnly)
            && target.write(kind == "truncated" ? bytes.left(bytes.size() / 2)
                       : kind == "text"         ? "<root/>\n"
                                                : "")
                >= 0);
    target.close();

    setup.window.loadPackage(good);
    QVERIFY(setup.details());
    setup.window.loadPackage(bad);
    QCOMPARE(setup.field(), QStringLiteral("bad"));
    QTEST(setup.tip(), "message");
    QVERIFY(!setup.details());
    QCOMPARE(setup.window.packageDescriptor().productId, -1);
    QVERIFY(!QFile::exists(":/upgrade/upgrade_config.xml"));
}

// The same file again is released, registered and checked again.
void tst_PackageLoading::sameFileTwice()
{
    Setup setup;
    QVERIFY(setup.ok);
    const QString package = setup.package("p.rcc", descriptor({ "software_version_from=2.1.6" }));
    setup.window.loadPackage(package);
    QCOMPARE(setup.tip(), QStringLiteral("此升级包不适用于本系统升级"));
    setup.window.findChild<QLabel *>("tip")->clear();
    setup.window.loadPackage(package);
    QCOMPARE(setup.tip(), QStringLiteral("此升级包不适用于本系统升级"));
    QVERIFY(setup.details());
    QVERIFY(QFile::exists(":/upgrade/upgrade_config.xml"));
}

QTEST_MAIN(tst_PackageLoading)
#include "tst_packageloading.moc"
