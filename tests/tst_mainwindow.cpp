#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextEdit>
#include <QtTest>

#include "CStatusForm.h"
#include "MainWindow.h"

#include "support/MessageBoxDriver.h"
#include "support/SampleInstallation.h"

namespace {

QStringList systemInfoLines(MainWindow &window)
{
    return window.findChild<QTextEdit *>("textEdit_3")->toPlainText().split('\n');
}

} // namespace

// The window before an upgrade: its first state, reading the installation
// record, and closing.
class tst_MainWindow : public QObject
{
    Q_OBJECT
private slots:
    void construction();
    void initFails_data();
    void initFails();
    void systemInfo_data();
    void systemInfo();
    void nameFollowsSystemLanguage_data();
    void nameFollowsSystemLanguage();
    void nameLineInChild();
    void closeAsksBeforeExit_data();
    void closeAsksBeforeExit();
    void finishQuitsWithoutQuestion();
};

void tst_MainWindow::construction()
{
    MainWindow window;
    window.show();
    QCOMPARE(window.findChild<QStackedWidget *>("stackedWidget")->currentIndex(), 0);
    QVERIFY(!window.findChild<QPushButton *>("pDetails")->isEnabled());
    QVERIFY(window.findChild<QPushButton *>("pushButton_3")->isEnabled());
    for (const char *name : { "textEdit_3", "textEdit" })
        QVERIFY2(window.findChild<QTextEdit *>(name)->isReadOnly(), name);
    // Drops go to the window, not to the read-only package field.
    QVERIFY(window.findChild<QLineEdit *>("lineEdit_3")->isReadOnly());
    QVERIFY(window.acceptDrops());
    QVERIFY(!window.findChild<QLineEdit *>("lineEdit_3")->acceptDrops());
    for (const char *name : { "cAdd", "cUpdate", "cDelete", "cDb", "cShell" }) {
        QCheckBox *box = window.findChild<QCheckBox *>(name);
        QVERIFY2(box->isChecked() && !box->isEnabled() && !box->isVisibleTo(&window), name);
    }
    QCOMPARE(window.statusLine()->parentWidget(), window.findChild<QWidget *>("widget_3"));
    QVERIFY(!window.isUpgrading());
    QCOMPARE(window.installationRecord().productId, -1);
    QCOMPARE(window.packageDescriptor().productId, -1);
}

void tst_MainWindow::initFails_data()
{
    QTest::addColumn<QString>("record"); // "missing", "folder", or the text to write
    QTest::addColumn<QString>("info"); // the system information afterwards
    QTest::newRow("missing record") << "missing" << QString();
    QTest::newRow("unreadable record: a folder in its place") << "folder" << QString();
    QTest::newRow("malformed record") << "<root><module>" << QString();
    QTest::newRow("empty record") << "" << QString();
    QTest::newRow("binary record") << "\x7f"
                                      "ELF\x02\x01\x01"
                                   << QString();
    QTest::newRow("root name in other case")
        << "<ROOT><module><e key=\"software_product_id\" value=\"1\"/></module></ROOT>"
        << QString("配置文件有误");
}

void tst_MainWindow::initFails()
{
    QFETCH(QString, record);
    SampleInstallation install;
    if (record == "folder")
        QVERIFY(QDir().mkpath(install.recordPath()));
    else if (record != "missing")
        QVERIFY(install.writeRecord(record.toLatin1()));
    MainWindow window;
    window.show();
    MessageBoxDriver driver;
    driver.answer(QMessageBox::Ok);
    QVERIFY(!window.init());
    QVERIFY(driver.wasShown());
    QCOMPARE(driver.title(), QStringLiteral("警告"));
    QCOMPARE(driver.text(), QStringLiteral("获取本地系统安装信息失败,程序自动退出"));
    QCOMPARE(driver.buttons(), QStringList { "OK" });
    QCOMPARE(driver.icon(), QMessageBox::Warning);
    QTEST(window.findChild<QTextEdit *>("textEdit_3")->toPlainText(), "info");
}

void tst_MainWindow::systemInfo_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("installed suite")
        << SampleInstallation::recordXml(7, "2.1.5", "D:/Suite")
        << QStringList { "ID:7", "名称:测试套件", "版本:2.1.5", "主程序:已安装", "数据库:已安装",
               "Web:未安装", "路径:D:/Suite" };
    QTest::newRow("only 1 counts as installed, empty fields")
        << QByteArray("<root><module><e key=\"isMain\" value=\"2\"/><e key=\"isDb\" value=\"y\"/>"
                      "<e key=\"isWeb\" value=\"1\"/><e key=\"software_version\" "
                      "value=\"3.0.0\"/></module></root>")
        << QStringList { "ID:-1", "名称:", "版本:3.0.0", "主程序:未安装", "数据库:未安装",
               "Web:已安装", "路径:" };
}

void tst_MainWindow::systemInfo()
{
    QFETCH(QByteArray, xml);
    QFETCH(QStringList, expected);
    if (QLocale::system().language() == QLocale::English)
        expected[1] = QStringLiteral("名称:") + (expected[1].size() > 3 ? "Test Suite" : "");
    SampleInstallation install;
    QVERIFY(install.writeRecord(xml));
    MainWindow window;
    QVERIFY(window.init());
    QCOMPARE(systemInfoLines(window), expected);
}

void tst_MainWindow::nameFollowsSystemLanguage_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("nameLine");
    QTest::newRow("english") << "en_US.UTF-8" << QString("名称:Test Suite");
    QTest::newRow("british english") << "en_GB.UTF-8" << QString("名称:Test Suite");
    QTest::newRow("chinese") << "zh_CN.UTF-8" << QString("名称:测试套件");
    QTest::newRow("german") << "de_DE.UTF-8" << QString("名称:测试套件");
}

// The system locale is fixed for a process, so a child run of this test
// program checks the name line under each language.
void tst_MainWindow::nameFollowsSystemLanguage()
{
    QFETCH(QString, locale);
    QFETCH(QString, nameLine);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", locale);
    env.insert("LANG", locale);
    env.insert("UPGRADE_EXPECTED_NAME_LINE", nameLine);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), { "nameLineInChild" });
    QVERIFY(child.waitForFinished(60000));
    QVERIFY2(child.exitCode() == 0, child.readAll().constData());
}

void tst_MainWindow::nameLineInChild()
{
    const QString expected = qEnvironmentVariable("UPGRADE_EXPECTED_NAME_LINE");
    if (expected.isEmpty())
        QSKIP("runs only as the child of nameFollowsSystemLanguage");
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    MainWindow window;
    QVERIFY(window.init());
    QCOMPARE(systemInfoLines(window).value(1), expected);
}

void tst_MainWindow::closeAsksBeforeExit_data()
{
    QTest::addColumn<bool>("useCancelButton");
    QTest::addColumn<bool>("yes");
    QTest::newRow("close button, No") << false << false;
    QTest::newRow("close button, Yes") << false << true;
    QTest::newRow("cancel button, No") << true << false;
    QTest::newRow("cancel button, Yes") << true << true;
}

// Only "Yes" quits the application; a close request never closes the window
// by itself. The event loop runs the request; without Yes a timer ends it
// after the answer, and a safety timer in any case.
void tst_MainWindow::closeAsksBeforeExit()
{
    QFETCH(bool, useCancelButton);
    QFETCH(bool, yes);
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    MessageBoxDriver driver;
    driver.answer(yes ? QMessageBox::Yes : QMessageBox::No);
    QTimer::singleShot(0, &window, [&] {
        useCancelButton ? window.findChild<QPushButton *>("pushButton_9")->click()
                        : void(window.close());
        if (!yes)
            QTimer::singleShot(200, qApp, [] { QCoreApplication::exit(42); });
    });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(qApp->exec(), yes ? 0 : 42);
    QCOMPARE(driver.title(), QStringLiteral("提醒"));
    QCOMPARE(driver.text(), QStringLiteral("是否退出?"));
    QCOMPARE(driver.buttons().size(), 2);
    QVERIFY(driver.defaultButton().isEmpty());
    QVERIFY(window.isVisible());
}

void tst_MainWindow::finishQuitsWithoutQuestion()
{
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    MessageBoxDriver driver;
    driver.answer(QMessageBox::No);
    QTimer::singleShot(
        0, &window, [&] { window.findChild<QPushButton *>("pushButton_5")->click(); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(qApp->exec(), 0);
    QVERIFY(!driver.wasShown());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
