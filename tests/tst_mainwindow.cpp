#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextEdit>
#include <QtTest>

#include "CStatusForm.h"
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "support/MessageBoxDriver.h"
#include "support/SampleInstallation.h"

class tst_MainWindow : public QObject
{
    Q_OBJECT
private slots:
    void formBeforeController();
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

private:
    template<typename T>
    static T *child(QWidget &w, const char *name)
    {
        return w.findChild<T *>(QString::fromLatin1(name));
    }
    static QStringList lines(QTextEdit *edit)
    {
        return edit->toPlainText().split(QLatin1Char('\n'));
    }
};

void tst_MainWindow::formBeforeController()
{
    QMainWindow window;
    Ui::MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(ui.stackedWidget->currentIndex(), 2);
    QCOMPARE(window.windowTitle(), QStringLiteral("升级"));
    QCOMPARE(window.size(), QSize(615, 390));
    QCOMPARE(ui.label_text->text(), QStringLiteral("升级成功"));
    QCOMPARE(ui.pushButton->maximumWidth(), 80);
    QCOMPARE(ui.widget->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(ui.widget_3->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(ui.label_icon->minimumSize(), QSize(45, 45));
    for (QCheckBox *box : {ui.cAdd, ui.cUpdate, ui.cDelete, ui.cDb, ui.cShell})
        QVERIFY(box->isChecked());
    QCOMPARE(ui.stackedWidget->widget(0)->objectName(), QStringLiteral("page"));
    QCOMPARE(ui.stackedWidget->widget(1)->objectName(), QStringLiteral("page_2"));
    QCOMPARE(ui.stackedWidget->widget(2)->objectName(), QStringLiteral("page_3"));
    QVERIFY(window.findChildren<QMenuBar *>().isEmpty());
    QVERIFY(window.findChildren<QStatusBar *>().isEmpty());
    QVERIFY(window.findChildren<QToolBar *>().isEmpty());
}

void tst_MainWindow::construction()
{
    MainWindow window;
    window.show();
    QCOMPARE(child<QStackedWidget>(window, "stackedWidget")->currentIndex(), 0);
    QVERIFY(!child<QPushButton>(window, "pDetails")->isEnabled());
    QVERIFY(child<QPushButton>(window, "pushButton_3")->isEnabled());
    QVERIFY(child<QTextEdit>(window, "textEdit_3")->isReadOnly());
    QVERIFY(child<QTextEdit>(window, "textEdit")->isReadOnly());
    QVERIFY(child<QLineEdit>(window, "lineEdit_3")->isReadOnly());
    QVERIFY(window.acceptDrops());
    QVERIFY(!child<QLineEdit>(window, "lineEdit_3")->acceptDrops());
    for (const char *name : {"cAdd", "cUpdate", "cDelete", "cDb", "cShell"}) {
        QCheckBox *box = child<QCheckBox>(window, name);
        QVERIFY2(!box->isEnabled(), name);
        QVERIFY2(!box->isVisibleTo(&window), name);
    }
    QVERIFY(window.statusLine());
    QCOMPARE(window.statusLine()->parentWidget(), child<QWidget>(window, "widget_3"));
    QCOMPARE(child<QWidget>(window, "widget_3")->layout()->contentsMargins(), QMargins(0, 0, 0, 0));
    QVERIFY(!window.isUpgrading());
    QCOMPARE(window.installationRecord().productId, -1);
    QCOMPARE(window.packageDescriptor().productId, -1);
}

void tst_MainWindow::initFails_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<bool>("writeIt");
    QTest::addColumn<bool>("wrongRootLine");

    QTest::newRow("missing record") << QByteArray() << false << false;
    QTest::newRow("malformed record") << QByteArray("<root><module>") << true << false;
    QTest::newRow("empty record") << QByteArray() << true << false;
    QTest::newRow("binary record") << QByteArray("\x7f" "ELF\x02\x01\x01\x00", 8) << true << false;
    QTest::newRow("root name in other case")
        << QByteArray("<ROOT><module><e key=\"software_product_id\" value=\"1\"/></module></ROOT>")
        << true << true;
}

void tst_MainWindow::initFails()
{
    QFETCH(QByteArray, record);
    QFETCH(bool, writeIt);
    QFETCH(bool, wrongRootLine);

    SampleInstallation install;
    if (writeIt)
        QVERIFY(install.writeRecord(record));
    MainWindow window;
    window.show();
    MessageBoxDriver driver;
    driver.answer(QMessageBox::Ok);
    QVERIFY(!window.init());
    QVERIFY(driver.wasShown());
    QCOMPARE(driver.title(), QStringLiteral("警告"));
    QCOMPARE(driver.text(), QStringLiteral("获取本地系统安装信息失败,程序自动退出"));
    QCOMPARE(driver.buttons(), QStringList{QStringLiteral("OK")});
    QCOMPARE(driver.icon(), QMessageBox::Warning);
    const QString info = child<QTextEdit>(window, "textEdit_3")->toPlainText();
    QCOMPARE(info, wrongRootLine ? QStringLiteral("配置文件有误") : QString());
}

void tst_MainWindow::systemInfo_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("installed suite")
        << SampleInstallation::recordXml(7, QStringLiteral("2.1.5"), QStringLiteral("D:/Suite"))
        << QStringList{"ID:7", "名称:测试套件", "版本:2.1.5", "主程序:已安装", "数据库:已安装",
                       "Web:未安装", "路径:D:/Suite"};
    QTest::newRow("comment before module: empty record")
        << QByteArray("<root><!-- x --><module><e key=\"isMain\" value=\"1\"/></module></root>")
        << QStringList{"ID:-1", "名称:", "版本:", "主程序:未安装", "数据库:未安装", "Web:未安装",
                       "路径:"};
    QTest::newRow("flag 2 and non-number are not installed")
        << QByteArray("<root><module><e key=\"isMain\" value=\"2\"/><e key=\"isDb\" value=\"y\"/>"
                      "<e key=\"isWeb\" value=\"1\"/><e key=\"software_version\" value=\"1\"/>"
                      "<e key=\"software_version\" value=\"3.0.0\"/></module></root>")
        << QStringList{"ID:-1", "名称:", "版本:3.0.0", "主程序:未安装", "数据库:未安装",
                       "Web:已安装", "路径:"};
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
    window.show();
    QVERIFY(window.init());
    QCOMPARE(lines(child<QTextEdit>(window, "textEdit_3")), expected);
}

void tst_MainWindow::nameFollowsSystemLanguage_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("nameLine");
    QTest::newRow("english") << "en_US.UTF-8" << "名称:Test Suite";
    QTest::newRow("british english") << "en_GB.UTF-8" << "名称:Test Suite";
    QTest::newRow("chinese") << "zh_CN.UTF-8" << "名称:测试套件";
    QTest::newRow("german") << "de_DE.UTF-8" << "名称:测试套件";
}

void tst_MainWindow::nameFollowsSystemLanguage()
{
    // The system locale is fixed for a process, so a child run of this test
    // program checks the name line under each language.
    QFETCH(QString, locale);
    QFETCH(QString, nameLine);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), locale);
    env.insert(QStringLiteral("LANG"), locale);
    env.insert(QStringLiteral("UPGRADE_EXPECTED_NAME_LINE"), nameLine);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("nameLineInChild")});
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
    QCOMPARE(lines(child<QTextEdit>(window, "textEdit_3")).value(1), expected);
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
    bool quitRequested = false;
    // The event loop runs the close request; only Yes ends it (the safety
    // timer ends it otherwise, after the answer was given).
    QTimer::singleShot(0, &window, [&] {
        if (useCancelButton)
            child<QPushButton>(window, "pushButton_9")->click();
        else
            window.close();
        if (!yes)
            QTimer::singleShot(200, qApp, [] { QCoreApplication::exit(42); });
    });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
    const int code = qApp->exec();
    quitRequested = code == 0;

    QVERIFY(driver.wasShown());
    QCOMPARE(driver.title(), QStringLiteral("提醒"));
    QCOMPARE(driver.text(), QStringLiteral("是否退出?"));
    QCOMPARE(driver.buttons().size(), 2);
    QVERIFY(driver.defaultButton().isEmpty());
    QCOMPARE(quitRequested, yes);
    QVERIFY(window.isVisible()); // a close request never closes the window by itself
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
    QTimer::singleShot(0, &window, [&] { child<QPushButton>(window, "pushButton_5")->click(); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(qApp->exec(), 0);
    QVERIFY(!driver.wasShown());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
