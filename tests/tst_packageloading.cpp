#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

#include "MainWindow.h"

#include "support/SampleInstallation.h"

// Loading packages into the window: the file dialog, drops, the descriptor and
// the verdict on the status line. Packages are compiled with rcc directly, so
// that descriptors the package builder would refuse can be tried too.
class tst_PackageLoading : public QObject
{
    Q_OBJECT
private slots:
    void verdicts_data();
    void verdicts();
    void throughFileDialog();
    void cancelledFileDialog();
    void drops_data();
    void drops();
    void dragEnterAcceptsAnyUrl();
    void nextPackageStartsFromBlankDescriptor();
    void wrongRootAddsLine();
    void damagedAndForeignFiles_data();
    void damagedAndForeignFiles();
    void baseName_data();
    void baseName();
    void sameFileTwice();

private:
    QString makePackage(const QString &dir, const QString &fileName, const QByteArray &descriptor);
    static QByteArray descriptor(const QString &from = QStringLiteral("2.1.3"),
                                 const QString &to = QStringLiteral("2.1.9"), int productId = 7,
                                 int type = 0);
    static QString tip(MainWindow &window)
    {
        return window.findChild<QLabel *>(QStringLiteral("tip"))->text();
    }
    static QString tipStyle(MainWindow &window)
    {
        return window.findChild<QLabel *>(QStringLiteral("tip"))->styleSheet();
    }
    static bool detailsEnabled(MainWindow &window)
    {
        return window.findChild<QPushButton *>(QStringLiteral("pDetails"))->isEnabled();
    }
    static QString field(MainWindow &window)
    {
        return window.findChild<QLineEdit *>(QStringLiteral("lineEdit_3"))->text();
    }
};

QByteArray tst_PackageLoading::descriptor(const QString &from, const QString &to, int productId,
                                          int type)
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root><module>\n");
    if (type != -100)
        xml += QStringLiteral("<item key=\"upgrade_type\" value=\"%1\"/>\n").arg(type);
    if (productId != -100)
        xml += QStringLiteral("<item key=\"software_product_id\" value=\"%1\"/>\n").arg(productId);
    if (!from.isNull())
        xml += QStringLiteral("<item key=\"software_version_from\" value=\"%1\"/>\n").arg(from);
    if (!to.isNull())
        xml += QStringLiteral("<item key=\"software_version_to\" value=\"%1\"/>\n").arg(to);
    xml += QStringLiteral("<item key=\"if_upgrade_db\" value=\"0\"/>\n"
                          "<item key=\"exe_path\" value=\"bin\"/>\n</module></root>\n");
    return xml.toUtf8();
}

QString tst_PackageLoading::makePackage(const QString &dir, const QString &fileName,
                                        const QByteArray &descriptorXml)
{
    const QString source = dir + QStringLiteral("/src-") + fileName;
    QDir().mkpath(source + QStringLiteral("/upgrade"));
    QFile xml(source + QStringLiteral("/upgrade/upgrade_config.xml"));
    if (!xml.open(QIODevice::WriteOnly) || xml.write(descriptorXml) != descriptorXml.size())
        return QString();
    xml.close();
    QFile readme(source + QStringLiteral("/upgrade/readme.txt"));
    if (!readme.open(QIODevice::WriteOnly))
        return QString();
    readme.write("line one\n");
    readme.close();
    QFile qrc(source + QStringLiteral("/package.qrc"));
    if (!qrc.open(QIODevice::WriteOnly))
        return QString();
    qrc.write("<RCC><qresource prefix=\"/\">"
              "<file>upgrade/upgrade_config.xml</file><file>upgrade/readme.txt</file>"
              "</qresource></RCC>");
    qrc.close();

    const QString output = dir + QLatin1Char('/') + fileName;
    QProcess rcc;
    rcc.setWorkingDirectory(source);
    rcc.start(QLibraryInfo::location(QLibraryInfo::BinariesPath) + QStringLiteral("/rcc"),
              {QStringLiteral("--binary"), QStringLiteral("package.qrc"), QStringLiteral("-o"), output});
    if (!rcc.waitForFinished(30000) || rcc.exitCode() != 0)
        return QString();
    return output;
}

void tst_PackageLoading::verdicts_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QByteArray>("descriptor");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("details");

    const QString mainPath = QStringLiteral("/suite");
    const QByteArray fitting = SampleInstallation::recordXml(7, QStringLiteral("2.1.5"), mainPath);
    const QString none; // a null string leaves the key out

    QTest::newRow("fits") << fitting << descriptor() << QString() << true;
    QTest::newRow("installed equal to the upper bound")
        << SampleInstallation::recordXml(7, QStringLiteral("2.1.9"), mainPath) << descriptor()
        << QString() << true;
    QTest::newRow("another product still enables details") << fitting << descriptor("2.1.3", "2.1.9", 8)
                                                           << "产品ID不匹配" << true;
    QTest::newRow("descriptor without product id") << fitting << descriptor("2.1.3", "2.1.9", -100)
                                                   << "未选择升级包" << true;
    QTest::newRow("record without product id")
        << QByteArray("<root><module><e key=\"software_version\" value=\"2.1.5\"/></module></root>")
        << descriptor() << "未选择升级包" << true;
    QTest::newRow("installed version malformed")
        << SampleInstallation::recordXml(7, QStringLiteral("2.1"), mainPath) << descriptor()
        << "系统版本格式有误" << true;
    QTest::newRow("from version malformed") << fitting << descriptor("2.1", "2.1.9")
                                            << "升级包开始版本格式有误" << true;
    QTest::newRow("to version missing") << fitting << descriptor("2.1.3", none)
                                        << "升级包结束版本格式有误" << true;
    QTest::newRow("below the range") << fitting << descriptor("2.1.6", "2.1.9")
                                     << "此升级包不适用于本系统升级" << true;
    QTest::newRow("above the range") << fitting << descriptor("2.1.0", "2.1.4")
                                     << "此升级包不适用于本系统升级" << true;
    QTest::newRow("unknown upgrade type") << fitting << descriptor("2.1.3", "2.1.9", 7, 2)
                                          << "此升级包不适用于本系统升级" << true;
    QTest::newRow("no upgrade type") << fitting << descriptor("2.1.3", "2.1.9", 7, -100)
                                     << "此升级包不适用于本系统升级" << true;
    QTest::newRow("product checked before versions") << fitting << descriptor("x", "y", 9)
                                                     << "产品ID不匹配" << true;
    QTest::newRow("malformed descriptor") << fitting << QByteArray("<root><module>")
                                          << "未选择升级包" << false;
}

void tst_PackageLoading::verdicts()
{
    QFETCH(QByteArray, record);
    QFETCH(QByteArray, descriptor);
    QFETCH(QString, message);
    QFETCH(bool, details);

    SampleInstallation install;
    QVERIFY(install.writeRecord(record));
    const QString package = makePackage(install.path(), QStringLiteral("pkg.rcc"), descriptor);
    QVERIFY(!package.isEmpty());

    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(package);
    QCOMPARE(tip(window), message);
    if (!message.isEmpty())
        QCOMPARE(tipStyle(window), QStringLiteral("QLabel{color:red}"));
    QCOMPARE(detailsEnabled(window), details);
    QCOMPARE(field(window), QStringLiteral("pkg"));
    QCOMPARE(window.checkPackage(), message.isEmpty());
}

void tst_PackageLoading::throughFileDialog()
{
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    const QString package = makePackage(install.path(), QStringLiteral("suite_2.1.9.rcc"), descriptor());
    QVERIFY(!package.isEmpty());
    MainWindow window;
    window.show();
    QVERIFY(window.init());

    QString caption;
    QStringList filters;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        poll.stop();
        caption = dialog->windowTitle();
        filters = dialog->nameFilters();
        // Typed into the file name field, as an operator would.
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(package);
        static_cast<QDialog *>(dialog)->accept();
    });
    poll.start(20);
    window.findChild<QPushButton *>(QStringLiteral("pushButton_3"))->click();

    QCOMPARE(caption, QStringLiteral("选择升级包"));
    QCOMPARE(filters, QStringList{QStringLiteral("*.rcc")});
    QCOMPARE(window.currentPackagePath(), package);
    QCOMPARE(field(window), QStringLiteral("suite_2"));
    QVERIFY(detailsEnabled(window));
    QCOMPARE(window.packageDescriptor().versionTo, QStringLiteral("2.1.9"));
    QCOMPARE(tip(window), QString());
}

void tst_PackageLoading::cancelledFileDialog()
{
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    const QString package = makePackage(install.path(), QStringLiteral("a.rcc"), descriptor());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(package);

    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (dialog && dialog->isVisible()) {
            poll.stop();
            dialog->reject();
        }
    });
    poll.start(20);
    window.findChild<QPushButton *>(QStringLiteral("pushButton_3"))->click();
    QCOMPARE(window.currentPackagePath(), package);
    QCOMPARE(field(window), QStringLiteral("a"));
    QVERIFY(detailsEnabled(window));
}

void tst_PackageLoading::drops_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("onField");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("loaded");

    QTest::newRow("package on the field") << "drop.rcc" << true << true << true;
    QTest::newRow("package elsewhere: accepted, not loaded") << "drop.rcc" << false << true << false;
    QTest::newRow("suffix in capitals ignored") << "drop.RCC" << true << false << false;
    QTest::newRow("other file ignored") << "drop.txt" << true << false << false;
}

void tst_PackageLoading::drops()
{
    QFETCH(QString, fileName);
    QFETCH(bool, onField);
    QFETCH(bool, accepted);
    QFETCH(bool, loaded);

    SampleInstallation install;
    QVERIFY(install.writeRecord());
    const QString package = makePackage(install.path(), fileName, descriptor());
    QVERIFY(!package.isEmpty());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QLineEdit *lineEdit = window.findChild<QLineEdit *>(QStringLiteral("lineEdit_3"));
    const QPoint where = onField ? lineEdit->mapTo(&window, lineEdit->rect().center())
                                 : QPoint(5, 5);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(package)});
    // A drop reaches the widget that accepted the drag's entry.
    QDragEnterEvent enter(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(where, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    drop.setAccepted(false);
    QApplication::sendEvent(&window, &drop);

    QCOMPARE(drop.isAccepted(), accepted);
    QCOMPARE(window.currentPackagePath(), loaded ? package : QString());
    QCOMPARE(detailsEnabled(window), loaded);
}

void tst_PackageLoading::dragEnterAcceptsAnyUrl()
{
    MainWindow window;
    QMimeData web;
    web.setUrls({QUrl(QStringLiteral("https://example.invalid/package.zip"))});
    QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &web, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    QApplication::sendEvent(&window, &enter);
    QVERIFY(enter.isAccepted());

    QMimeData text;
    text.setText(QStringLiteral("not a url"));
    QDragEnterEvent plain(QPoint(1, 1), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    plain.setAccepted(false);
    QApplication::sendEvent(&window, &plain);
    QVERIFY(!plain.isAccepted());
}

void tst_PackageLoading::nextPackageStartsFromBlankDescriptor()
{
    // Package B lacks its from-version: it must be judged on its own, not with
    // the from-version that package A left behind.
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    const QString a = makePackage(install.path(), QStringLiteral("a.rcc"), descriptor());
    const QString b = makePackage(install.path(), QStringLiteral("b.rcc"),
                                  descriptor(QString(), QStringLiteral("2.1.9"), 7, -100));
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(a);
    QCOMPARE(tip(window), QString());
    QCOMPARE(window.packageDescriptor().upgradeType, 0);
    window.loadPackage(b);
    QCOMPARE(window.packageDescriptor().versionFrom, QString());
    QCOMPARE(window.packageDescriptor().upgradeType, -1);
    QCOMPARE(tip(window), QStringLiteral("升级包开始版本格式有误"));
    QVERIFY(detailsEnabled(window));
}

void tst_PackageLoading::wrongRootAddsLine()
{
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    const QString package = makePackage(install.path(), QStringLiteral("w.rcc"),
                                        QByteArray("<config><module/></config>"));
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    QTextEdit *info = window.findChild<QTextEdit *>(QStringLiteral("textEdit_3"));
    window.loadPackage(package);
    window.loadPackage(package);
    const QStringList lines = info->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 7 + 2); // one more line for each such descriptor
    QCOMPARE(lines.last(), QStringLiteral("配置文件有误"));
    QCOMPARE(tip(window), QStringLiteral("未选择升级包"));
    QVERIFY(!detailsEnabled(window));
}

void tst_PackageLoading::damagedAndForeignFiles_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("truncated package") << 0 << "升级包文件已损坏";
    QTest::newRow("text file named .rcc") << 1 << "未选择升级包";
    QTest::newRow("empty file") << 2 << "未选择升级包";
    QTest::newRow("missing file") << 3 << "无法读取升级包文件";
    QTest::newRow("folder named .rcc") << 4 << "无法读取升级包文件";
}

void tst_PackageLoading::damagedAndForeignFiles()
{
    QFETCH(int, kind);
    QFETCH(QString, message);

    SampleInstallation install;
    QVERIFY(install.writeRecord());
    const QString good = makePackage(install.path(), QStringLiteral("good.rcc"), descriptor());
    const QString bad = install.path() + QStringLiteral("/bad.rcc");
    QFile source(good);
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray bytes = source.readAll();
    QFile target(bad);
    switch (kind) {
    case 0:
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.write(bytes.left(bytes.size() / 2));
        break;
    case 1:
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.write("<root/>\n");
        break;
    case 2:
        QVERIFY(target.open(QIODevice::WriteOnly));
        break;
    case 4:
        QVERIFY(QDir().mkpath(bad));
        break;
    }
    target.close();

    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(good);
    QVERIFY(detailsEnabled(window));
    window.loadPackage(bad);
    QCOMPARE(field(window), QStringLiteral("bad"));
    QCOMPARE(tip(window), message);
    QVERIFY(!detailsEnabled(window));
    QCOMPARE(window.packageDescriptor().productId, -1);
    // The earlier package is no longer registered.
    QVERIFY(!QFile::exists(QStringLiteral(":/upgrade/upgrade_config.xml")));
}

void tst_PackageLoading::baseName_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "suite.rcc" << "suite";
    QTest::newRow("several dots") << "suite_2.1.9.final.rcc" << "suite_2";
    QTest::newRow("only the suffix") << ".rcc" << "";
    QTest::newRow("blank and Chinese") << "升级 包.rcc" << "升级 包";
}

void tst_PackageLoading::baseName()
{
    QFETCH(QString, fileName);
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    const QString package = makePackage(install.path(), fileName, descriptor());
    QVERIFY(!package.isEmpty());
    MainWindow window;
    QVERIFY(window.init());
    window.loadPackage(package);
    QTEST(field(window), "shown");
    QTEST(window.currentPackageBaseName(), "shown");
}

void tst_PackageLoading::sameFileTwice()
{
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    const QString package = makePackage(install.path(), QStringLiteral("p.rcc"), descriptor("2.1.6", "2.1.9"));
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(package);
    QCOMPARE(tip(window), QStringLiteral("此升级包不适用于本系统升级"));
    window.findChild<QLabel *>(QStringLiteral("tip"))->clear();
    window.loadPackage(package); // released, registered and checked again
    QCOMPARE(tip(window), QStringLiteral("此升级包不适用于本系统升级"));
    QVERIFY(detailsEnabled(window));
    QVERIFY(QFile::exists(QStringLiteral(":/upgrade/upgrade_config.xml")));
}

QTEST_MAIN(tst_PackageLoading)
#include "tst_packageloading.moc"
