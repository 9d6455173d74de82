#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QtTest>

#include "CReadmeDialog.h"
#include "CStatusForm.h"
#include "ElidedLabel.h"
#include "MainWindow.h"

#include "Journal.h"
#include "support/MessageBoxDriver.h"
#include "support/SampleInstallation.h"
#include "support/TestPackage.h"

namespace {

QStringList systemInfoLines(MainWindow &window)
{
    return window.findChild<QTextEdit *>("textEdit_3")->toPlainText().split('\n');
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// An installation (version 2.1.5, product/bin/a.dll installed, the database
// part as given), a package to 2.1.9 that updates a.dll plus the extra files,
// and the window with the package loaded.
struct Loaded
{
    explicit Loaded(const TestPackage::Files &extra = {}, int isDb = 0, int ifUpgradeDb = 0,
        const QString &installed = "2.1.5")
    {
        const TestPackage::Files files {
            { "upgrade/upgrade_config.xml",
                TestPackage::descriptor(7, "2.1.0", "2.1.9", 0, ifUpgradeDb) },
            { "upgrade/readme.txt", "readme\n" },
            { "upgrade/update/product/bin/a.dll", "new\n" },
        };
        package = TestPackage::build(install.path(), files + extra, &error);
        ok = !package.isEmpty() && install.writeRecord(7, installed, isDb)
            && TestPackage::writeTree(install.mainPath(), { { "product/bin/a.dll", "old\n" } });
        window.show();
        ok = ok && window.init();
        window.loadPackage(package);
    }
    template <typename T> T *child(const char *name) { return window.findChild<T *>(name); }
    QString main() const { return install.mainPath(); }

    SampleInstallation install;
    MainWindow window;
    QString package;
    QString error;
    bool ok = false;
};

} // namespace

// The window: its first state, reading the installation record, what it
// shows of a package, the pre-flight behind "升级", an upgrade's progress, log
// and result, and closing with the upgrade's exit code.
class tst_MainWindow : public QObject
{
    Q_OBJECT
public slots:
    // Stands in for the desktop's handler of files (QDesktopServices).
    void urlOpened(const QUrl &url) { opened = url; }

private:
    QUrl opened;

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
    void packageFacts();
    void loadSequences_data();
    void loadSequences();
    void preflightRefusal_data();
    void preflightRefusal();
    void upToDateOnStatusLine();
    void preflightWaitKeepsWindowAlive_data();
    void preflightWaitKeepsWindowAlive();
    void upgrade_data();
    void upgrade();
    void resultPage_data();
    void resultPage();
    void interruptedUpgradeAtStart();
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
    QString below;
    driver.inspect = [&](QMessageBox *box) { below = box->informativeText(); };
    QVERIFY(!window.init());
    QVERIFY(driver.wasShown());
    QCOMPARE(driver.title(), QStringLiteral("警告"));
    QCOMPARE(driver.text(), QStringLiteral("获取本地系统安装信息失败,程序自动退出"));
    QCOMPARE(below,
        "安装信息文件:"
            + QDir::toNativeSeparators(QFileInfo(install.recordPath()).absoluteFilePath()));
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

// The package field keeps the base name; its tooltip and the details tell
// what the package is. A refused file clears them and names its damage.
void tst_MainWindow::packageFacts()
{
    Loaded setup;
    QVERIFY2(setup.ok, qPrintable(setup.error));
    const QString facts = "升级包:" + QDir::toNativeSeparators(setup.package)
        + "\n适用版本:2.1.0 至 2.1.9\n升级后版本:2.1.9";
    auto *field = setup.child<QLineEdit>("lineEdit_3");
    QCOMPARE(field->text(), QStringLiteral("package"));
    QCOMPARE(QTextDocumentFragment::fromHtml(field->toolTip()).toPlainText(), facts);

    QString shown;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto *dialog = qobject_cast<CReadmeDialog *>(QApplication::activeModalWidget())) {
            poll.stop();
            shown = dialog->findChild<QLabel *>("factsLabel")->text();
            dialog->reject();
        }
    });
    poll.start(20);
    setup.child<QPushButton>("pDetails")->click();
    // The signature's line follows when the package tells one.
    QVERIFY2(shown.startsWith(facts), qPrintable(shown));

    // Cut in half: refused, and the information box says what is wrong.
    const QString damaged = setup.install.path() + "/damaged.rcc";
    QFile whole(setup.package), cut(damaged);
    QVERIFY(whole.open(QIODevice::ReadOnly) && cut.open(QIODevice::WriteOnly));
    QVERIFY(cut.write(whole.read(whole.size() / 2)) > 0);
    cut.close();
    const int infoLines = systemInfoLines(setup.window).size();
    setup.window.loadPackage(damaged);
    QCOMPARE(setup.child<QLabel>("tip")->text(), QStringLiteral("升级包文件已损坏"));
    QCOMPARE(field->toolTip(), QString());
    QCOMPARE(systemInfoLines(setup.window).size(), infoLines + 1);
}

void tst_MainWindow::loadSequences_data()
{
    QTest::addColumn<QStringList>("steps"); // packages loaded ("good", "damaged"), "升级" pressed
    QTest::addColumn<bool>("damageShown"); // the damage's line below the system information
    QTest::addColumn<QString>("tip");
    QTest::newRow("good, damaged, good: nothing stale")
        << QStringList { "damaged", "good" } << false << QString();
    QTest::newRow("damaged twice: its line once")
        << QStringList { "damaged", "damaged" } << true << QString("升级包文件已损坏");
    QTest::newRow("damaged, then 升级: the refusal again")
        << QStringList { "damaged", "升级" } << true << QString("升级包文件已损坏");
}

// The information box tells the system and the package last loaded, each of
// its problems in Chinese with its file; the English detail is its tooltip.
void tst_MainWindow::loadSequences()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, damageShown);
    Loaded setup; // the good package loaded
    QVERIFY2(setup.ok, qPrintable(setup.error));
    const QStringList info = systemInfoLines(setup.window);
    const QString damaged = setup.install.path() + "/damaged.rcc";
    QFile whole(setup.package), cut(damaged);
    QVERIFY(whole.open(QIODevice::ReadOnly) && cut.open(QIODevice::WriteOnly));
    QVERIFY(cut.write(whole.read(whole.size() / 2)) > 0);
    cut.close();
    auto *tip = setup.child<QLabel>("tip");
    for (const QString &step : steps) {
        tip->clear();
        if (step == "升级")
            setup.child<QPushButton>("pushButton")->click();
        else
            setup.window.loadPackage(step == "good" ? setup.package : damaged);
    }
    const QString damage
        = "升级包文件 " + QDir::toNativeSeparators(damaged) + " 已损坏:文件结构有误";
    QCOMPARE(systemInfoLines(setup.window),
        info + (damageShown ? QStringList { damage } : QStringList()));
    QTEST(tip->text(), "tip");
    const QString detail = setup.child<QTextEdit>("textEdit_3")->toolTip();
    QCOMPARE(detail.contains("详细信息:"), damageShown);
}

void tst_MainWindow::preflightRefusal_data()
{
    QTest::addColumn<int>("blocked"); // files to update with a folder in their place
    QTest::newRow("one file blocked") << 1;
    QTest::newRow("twenty blocked: fifteen in the text, all in the details") << 20;
}

// A refusing pre-flight shows its problems, and nothing else happens: no
// backup question, no upgrade, no log, the installation as it was.
void tst_MainWindow::preflightRefusal()
{
    QFETCH(int, blocked);
    TestPackage::Files files;
    for (int i = 0; i < blocked; ++i)
        files.append(
            { QString("upgrade/update/product/bin/f%1.dll").arg(i, 2, 10, QChar('0')), "new\n" });
    Loaded setup(files);
    QVERIFY2(setup.ok, qPrintable(setup.error));
    QStringList problems;
    for (int i = 0; i < blocked; ++i) {
        const QString target
            = setup.main() + QString("/product/bin/f%1.dll").arg(i, 2, 10, QChar('0'));
        QVERIFY(QDir().mkpath(target + "/inside"));
        problems << QString("文件%1无法写入或删除:").arg(QDir::toNativeSeparators(target));
    }
    QSignalSpy started(&setup.window, &MainWindow::startCopyAll);
    MessageBoxDriver box, unexpected;
    QString details;
    box.inspect = [&](QMessageBox *shown) {
        details = shown->detailedText();
        unexpected.answer(QMessageBox::Ok);
    };
    box.answer(QMessageBox::Ok);
    setup.child<QPushButton>("pushButton")->click();

    QCOMPARE(box.title(), QStringLiteral("提示"));
    QCOMPARE(box.icon(), QMessageBox::Warning);
    QStringList lines = box.text().split('\n');
    QCOMPARE(lines.takeFirst(), QStringLiteral("无法开始升级,升级前检查发现以下问题:"));
    const int shown = qMin(blocked, 15);
    QCOMPARE(lines.size(), shown + (blocked > shown ? 1 : 0));
    for (int i = 0; i < shown; ++i)
        QVERIFY2(lines.at(i).startsWith(problems.at(i)), qPrintable(lines.at(i)));
    const QStringList all = details.isEmpty() ? QStringList() : details.split('\n');
    QCOMPARE(all.size(), blocked > shown ? blocked : 0);
    for (int i = 0; i < all.size(); ++i)
        QVERIFY2(all.at(i).startsWith(problems.at(i)), qPrintable(all.at(i)));

    QVERIFY(!unexpected.wasShown());
    QVERIFY(started.isEmpty());
    QVERIFY(!setup.window.isUpgrading());
    QCOMPARE(setup.child<QStackedWidget>("stackedWidget")->currentIndex(), 0);
    QVERIFY(setup.child<QPushButton>("pushButton")->isEnabled());
    QVERIFY(!QFileInfo::exists(setup.main() + "/logs"));
    QCOMPARE(readText(setup.main() + "/product/bin/a.dll"), QStringLiteral("old\n"));
}

// Already at the package's version with its files in place: "升级" says so on
// the status line and starts nothing.
void tst_MainWindow::upToDateOnStatusLine()
{
    Loaded setup({}, 0, 0, "2.1.9");
    QVERIFY2(setup.ok, qPrintable(setup.error));
    QVERIFY(TestPackage::writeTree(setup.main(), { { "product/bin/a.dll", "new\n" } }));
    QSignalSpy started(&setup.window, &MainWindow::startCopyAll);
    MessageBoxDriver unexpected;
    setup.child<QPushButton>("pushButton")->click();
    QCOMPARE(setup.child<QLabel>("tip")->text(), QStringLiteral("已是最新版本,无需升级"));
    QVERIFY(!unexpected.wasShown());
    QVERIFY(started.isEmpty());
}

void tst_MainWindow::preflightWaitKeepsWindowAlive_data()
{
    QTest::addColumn<bool>("quit");
    QTest::newRow("the backup question follows the check") << false;
    QTest::newRow("the application quits during the check") << true;
}

// The check runs while the event loop goes on (the database helper answers
// slowly here): "升级" and "选择" are off, a wait cursor shows, and neither a
// second click nor another package gets in. Quitting meanwhile ends it
// without any further question.
void tst_MainWindow::preflightWaitKeepsWindowAlive()
{
    QFETCH(bool, quit);
    Loaded setup({}, 1, 1);
    QVERIFY2(setup.ok, qPrintable(setup.error));
    const QString helper = setup.main() + "/product/bin/upgrade_install_helper.exe";
    QVERIFY(TestPackage::writeTree(setup.main(),
        { { "product/bin/upgrade_install_helper.exe", "#!/bin/sh\nsleep 1\nexit 0\n" } }));
    QVERIFY(QFile::setPermissions(helper, QFile::permissions(helper) | QFile::ExeOwner));
    auto *upgrade = setup.child<QPushButton>("pushButton");
    QSignalSpy started(&setup.window, &MainWindow::startCopyAll);
    MessageBoxDriver question;
    question.answer(QStringLiteral("取消升级"));
    QStringList seen;
    QTimer::singleShot(0, &setup.window, [&] {
        upgrade->click();
        seen << "click returned";
        if (!quit)
            QCoreApplication::exit(0);
    });
    QTimer::singleShot(300, &setup.window, [&] {
        const QCursor *cursor = QApplication::overrideCursor();
        seen << QString("waiting: cursor %1, buttons %2 %3")
                    .arg(cursor ? int(cursor->shape()) : -1)
                    .arg(upgrade->isEnabled())
                    .arg(setup.child<QPushButton>("pushButton_3")->isEnabled());
        upgrade->click();
        setup.window.loadPackage(setup.install.path() + "/other.rcc");
        if (quit)
            QCoreApplication::exit(42);
    });
    QTimer::singleShot(20000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(qApp->exec(), quit ? 42 : 0);
    QCOMPARE(seen,
        (QStringList { QString("waiting: cursor %1, buttons 0 0").arg(int(Qt::WaitCursor)),
            "click returned" }));
    QCOMPARE(question.wasShown(), !quit);
    QCOMPARE(setup.window.currentPackagePath(), setup.package);
    QVERIFY(started.isEmpty());
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(upgrade->isEnabled());
}

void tst_MainWindow::upgrade_data()
{
    QTest::addColumn<QByteArray>("script"); // the before script
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("endLine"); // the progress page's line at the end
    QTest::addColumn<QString>("logEnd"); // the log file's last line, after its time; none: no log
    QTest::addColumn<bool>("byClose"); // leaves through the exit question, else "完成"
    QTest::newRow("upgraded, left with 完成") << QByteArray("echo ok\n") << 0 << "升级完成"
                                              << "结果:升级成功(退出码0)" << false;
    QTest::newRow("before script fails: restored, left through the exit question")
        << QByteArray("exit 3\n") << 1 << "升级失败,已恢复到升级前的版本"
        << "结果:升级失败,安装已恢复到升级前的版本(退出码1)" << true;
    // A file stands where the log folder goes.
    QTest::newRow("no log can be written: the window says so, the upgrade goes on")
        << QByteArray("echo ok\n") << 0 << "升级完成" << QString() << false;
}

// One upgrade through the window: the bar moves and shows the end, a refused
// close is said on the progress page, the log file tells the whole story and
// the result page names it, and the program ends with the outcome's code.
void tst_MainWindow::upgrade()
{
    QFETCH(QByteArray, script);
    QFETCH(int, outcome);
    QFETCH(QString, endLine);
    QFETCH(QString, logEnd);
    QFETCH(bool, byClose);
    Loaded setup({ { "upgrade/shell/shell_before/01.bat", script } });
    QVERIFY2(setup.ok, qPrintable(setup.error));
    if (logEnd.isEmpty())
        QVERIFY(TestPackage::writeTree(setup.main(), { { "logs", "in the way\n" } }));
    auto *bar = setup.child<QProgressBar>("progressBar");
    auto *action = setup.child<QLabel>("label_action");
    QList<int> values;
    connect(bar, &QProgressBar::valueChanged, this, [&values](int value) { values << value; });
    {
        MessageBoxDriver question;
        question.answer(QStringLiteral("继续升级"));
        setup.child<QPushButton>("pushButton")->click();
    }
    QVERIFY(setup.window.isUpgrading());
    setup.window.close();
    // Said beside what runs, never in its place.
    QVERIFY2(action->text().startsWith("正在") && action->text().endsWith("(升级过程中无法退出)"),
        qPrintable(action->text()));
    auto *next = setup.child<QPushButton>("pushButton_10");
    QTRY_VERIFY_WITH_TIMEOUT(next->isVisible(), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(action->text(), endLine, 10000); // once the note has had its time
    QVERIFY2(std::any_of(values.begin(), values.end(),
                 [bar](int value) { return value > 0 && value < bar->maximum(); }),
        qPrintable(QString("bar values %1 of %2")
                       .arg(QVariant::fromValue(values).toString())
                       .arg(bar->maximum())));
    QCOMPARE(bar->value() == bar->maximum(), outcome == 0);

    const QStringList logs = QDir(setup.main() + "/logs").entryList({ "upgrade-*.log" });
    QCOMPARE(logs.size(), logEnd.isEmpty() ? 0 : 1);
    const QString shown = setup.child<QTextEdit>("textEdit")->toPlainText();
    QCOMPARE(shown.contains("无法写入升级日志:"), logEnd.isEmpty());
    const QString logPath = logs.isEmpty() ? QString() : setup.main() + "/logs/" + logs.first();
    const QStringList log = (logs.isEmpty() ? QString() : readText(logPath)).trimmed().split('\n');
    for (const QString &part : { "升级包:" + QDir::toNativeSeparators(setup.package),
             QString("升级包适用版本:2.1.0 至 2.1.9,升级后版本:2.1.9"),
             QString("当前安装版本:2.1.5"), QString("升级前检查通过:删除0项,更新1项,添加0项"),
             QString("开始拷贝升级包信息") })
        QVERIFY2(logs.isEmpty() || !log.filter(part).isEmpty(), qPrintable(part));
    QVERIFY2(logs.isEmpty() || log.last().endsWith(" " + logEnd), qPrintable(log.last()));

    next->click();
    QCOMPARE(setup.child<QLabel>("label_log")->text(),
        logs.isEmpty() ? QString() : "升级日志:" + QDir::toNativeSeparators(logPath));
    QCOMPARE(setup.window.exitCode(), outcome);
    MessageBoxDriver exitQuestion;
    exitQuestion.answer(QMessageBox::Yes);
    QTimer::singleShot(0, &setup.window, [&] {
        byClose ? void(setup.window.close()) : setup.child<QPushButton>("pushButton_5")->click();
    });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(qApp->exec(), outcome);
    QCOMPARE(exitQuestion.wasShown(), byClose);
}

void tst_MainWindow::resultPage_data()
{
    QTest::addColumn<QByteArray>("script"); // the before script
    QTest::addColumn<bool>("cancel"); // cancelled while the script runs
    QTest::addColumn<QString>("line"); // under the outcome
    QTest::addColumn<bool>("retry"); // a new choice is offered, and a second run goes as the first
    QTest::addColumn<bool>("copy"); // the record's copy in the main folder is there to update
    QTest::newRow("success: no line, no way back")
        << QByteArray("echo ok\n") << false << QString() << false << true;
    QTest::newRow("success without the record's copy: to be made by hand")
        << QByteArray("echo ok\n") << false << "升级成功,但需要手动修改%1版本信息" << false
        << false;
    QTest::newRow("failed script: the cause, a new choice")
        << QByteArray("exit 3\n") << false
        << "升级失败,安装已恢复到升级前的版本(原因:脚本 01.bat 执行失败)" << true << true;
    QTest::newRow("cancelled: a new choice")
        << QByteArray("sleep 30\n") << true << "升级已取消,安装已恢复到升级前的版本" << true
        << true;
}

// Starts the loaded package's upgrade, cancels it once its script runs if
// asked, and goes on to the result page.
static void runToResult(Loaded &setup, bool cancel)
{
    MessageBoxDriver question;
    question.answer(QStringLiteral("继续升级"));
    setup.child<QPushButton>("pushButton")->click();
    QVERIFY(setup.window.isUpgrading());
    if (cancel) {
        QTRY_VERIFY_WITH_TIMEOUT(
            setup.child<QLabel>("label_action")->text().startsWith("正在执行脚本"), 30000);
        question.answer(QMessageBox::Yes);
        setup.child<QPushButton>("pCancelUpgrade")->click();
    }
    auto *next = setup.child<QPushButton>("pushButton_10");
    QTRY_VERIFY_WITH_TIMEOUT(next->isVisible(), 60000);
    next->click();
}

// The result page says what happened under the outcome, opens the run's log
// from its path, and offers a new choice where one makes sense: back on a
// selection page as fresh, a second upgrade runs and ends alike.
void tst_MainWindow::resultPage()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, cancel);
    QFETCH(QString, line);
    QFETCH(bool, retry);
    QFETCH(bool, copy);
    Loaded setup({ { "upgrade/shell/shell_before/01.bat", script } });
    QVERIFY2(setup.ok, qPrintable(setup.error));
    const QString copyPath = setup.install.secondRecordPath();
    QVERIFY(!copy || QFile::copy(setup.install.recordPath(), copyPath));
    line.replace("%1", QDir::toNativeSeparators(copyPath));
    QDesktopServices::setUrlHandler("file", this, "urlOpened");
    const auto restore = qScopeGuard([] { QDesktopServices::unsetUrlHandler("file"); });
    auto *log = setup.child<ElidedLabel>("label_log");
    auto *reselect = setup.child<QPushButton>("pReselect");
    QUrl firstLog;
    for (int run = 0; run < (retry ? 2 : 1); ++run) {
        runToResult(setup, cancel);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(setup.child<ElidedLabel>("label_cause")->text(), line);
        QCOMPARE(reselect->isVisible(), retry);
        const QString logPath = log->link().toLocalFile();
        QVERIFY2(readText(logPath).contains("结果:"), qPrintable(logPath));
        QCOMPARE(log->text(), "升级日志:" + QDir::toNativeSeparators(logPath));
        QVERIFY(log->link() != firstLog);
        firstLog = log->link();
        opened.clear();
        QTest::mouseClick(log, Qt::LeftButton);
        QCOMPARE(opened, log->link());
        if (!retry)
            break;
        reselect->click();
        QCOMPARE(setup.child<QStackedWidget>("stackedWidget")->currentIndex(), 0);
        QVERIFY(setup.child<QLineEdit>("lineEdit_3")->text().isEmpty());
        QVERIFY(!setup.child<QPushButton>("pDetails")->isEnabled());
        QVERIFY(setup.child<QTextEdit>("textEdit")->toPlainText().isEmpty());
        QVERIFY(!setup.window.isUpgrading());
        setup.window.loadPackage(setup.package);
        QVERIFY(setup.child<QPushButton>("pDetails")->isEnabled());
    }
}

// An upgrade that died is undone before the window shows the installation:
// the operator is told, and a log in logs/ keeps what was done.
void tst_MainWindow::interruptedUpgradeAtStart()
{
    SampleInstallation install;
    QVERIFY(install.writeRecord(7, "2.1.5", 0));
    {
        Journal journal;
        QString error;
        QVERIFY2(journal.begin(install.mainPath(), { "2.1.5", "2.1.9", "bin", 0, 0 }, &error),
            qPrintable(error));
    }
    MainWindow window;
    window.show();
    MessageBoxDriver driver;
    driver.answer(QMessageBox::Ok);
    QVERIFY(window.init());
    QCOMPARE(driver.text(), QStringLiteral("上次升级被中断,已撤销,安装已恢复到升级前的版本。"));
    QVERIFY(!Journal::exists(install.mainPath()));
    const QStringList logs = QDir(install.mainPath() + "/logs").entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    QVERIFY(readText(install.mainPath() + "/logs/" + logs.first())
                .contains(QStringLiteral("结果:上次升级被中断,已撤销")));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
