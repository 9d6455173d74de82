#include <QDragEnterEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QTextEdit>
#include <QtTest>

#include "CStatusForm.h"
#include "MainWindow.h"

#include "support/MessageBoxDriver.h"
#include "support/SampleInstallation.h"
#include "support/TestPackage.h"

// One upgrade through the real window, from "升级" to the result page, on a
// sample installation with the suite's real database helper.
class tst_UpgradeRoad : public QObject
{
    Q_OBJECT
private slots:
    void wholeRoad();
    void withoutDatabase();
    void crashingHelper();
    void missingSecondRecord();
    void failedExtraction();

private:
    struct Run
    {
        QStringList log;
        QString result;
        QString iconStyle;
    };

    // Lays out the installation around the helper and writes both records.
    void prepare(SampleInstallation &install, int isDb = 1);
    QString samplePackage(const QString &dir);
    // Presses "升级", confirms, waits for "继续", presses it.
    bool upgrade(MainWindow &window, Run *run, const std::function<void()> &whileRunning = {});
    static QString readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
};

void tst_UpgradeRoad::prepare(SampleInstallation &install, int isDb)
{
    QVERIFY(install.writeRecord(7, QStringLiteral("2.1.5"), isDb));
    QVERIFY(install.writeSecondRecord());
    const QString helper = install.mainPath() + QStringLiteral("/product/bin/upgrade_install_helper.exe");
    QVERIFY(QFile::copy(QStringLiteral(UPGRADE_INSTALL_HELPER), helper));
    QDir(install.mainPath()).mkpath(QStringLiteral("product/bin/plugins/old"));
    for (const auto &file : {"product/bin/report.dll", "product/bin/old.dll",
                             "product/bin/plugins/old/a.dll", "product/bin/notes.txt"}) {
        QFile f(install.mainPath() + QLatin1Char('/') + QLatin1String(file));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("installed\n");
    }
}

QString tst_UpgradeRoad::samplePackage(const QString &dir)
{
    const TestPackage::Files files{
        {"upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.3", "2.1.9", 0, 1)},
        {"upgrade/readme.txt", "sample\n"},
        {"upgrade/shell/shell_before/01.bat", "echo before >> scripts.log\n"},
        {"upgrade/shell/shell_after/01.bat", "echo after >> scripts.log\n"},
        {"upgrade/delete/product/bin/old.dll", "x"},
        {"upgrade/delete/product/bin/plugins/old/", {}},
        {"upgrade/update/product/bin/report.dll", "report 2.1.9\n"},
        {"upgrade/add/product/bin/notes.txt", "not installed over the notes\n"},
        {"upgrade/add/product/bin/new.dll", "new\n"},
        {"upgrade/db/db_before/001_column.sql", "CREATE TABLE projects (id INTEGER PRIMARY KEY, name TEXT);\n"},
        {"upgrade/db/db_after/001_seed.sql", "INSERT INTO projects (name) VALUES ('first');\n"},
    };
    QString error;
    const QString rcc = TestPackage::build(dir, files, &error);
    if (rcc.isEmpty())
        qWarning() << error;
    return rcc;
}

bool tst_UpgradeRoad::upgrade(MainWindow &window, Run *run, const std::function<void()> &whileRunning)
{
    MessageBoxDriver driver;
    driver.answer(QStringLiteral("继续升级"));
    window.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
    if (!driver.wasShown() || !window.isUpgrading())
        return false;
    auto *next = window.findChild<QPushButton *>(QStringLiteral("pushButton_10"));
    if (whileRunning)
        whileRunning();
    QElapsedTimer clock;
    clock.start();
    while (!next->isVisible() && clock.elapsed() < 60000)
        QTest::qWait(20);
    if (!next->isVisible())
        return false;
    run->log = window.findChild<QTextEdit *>(QStringLiteral("textEdit"))->toPlainText().split(QLatin1Char('\n'));
    // The result is prepared before the operator moves on; "继续" shows it.
    if (window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->currentIndex() != 1)
        return false;
    next->click();
    if (window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->currentIndex() != 2)
        return false;
    run->result = window.findChild<QLabel *>(QStringLiteral("label_text"))->text();
    run->iconStyle = window.findChild<QLabel *>(QStringLiteral("label_icon"))->styleSheet();
    return !window.isUpgrading();
}

void tst_UpgradeRoad::wholeRoad()
{
    SampleInstallation install;
    prepare(install);
    const QString package = samplePackage(install.path());
    QVERIFY(!package.isEmpty());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(package);
    QVERIFY(window.checkPackage());

    Run run;
    bool closeRefused = false;
    bool dropRefused = false;
    QVERIFY(upgrade(window, &run, [&] {
        // During the upgrade a close request is refused on the status line,
        // and no other package can be dropped in.
        MessageBoxDriver none;
        none.answer(QMessageBox::Yes);
        window.close();
        closeRefused = !none.wasShown() && window.isVisible()
            && window.findChild<QLabel *>(QStringLiteral("tip"))->text() == QStringLiteral("升级过程中无法退出");
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(install.path() + QStringLiteral("/other.rcc"))});
        QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        QApplication::sendEvent(&window, &enter);
        window.loadPackage(install.path() + QStringLiteral("/other.rcc"));
        dropRefused = !enter.isAccepted() && window.currentPackagePath() == package;
    }));
    QVERIFY(closeRefused);
    QVERIFY(dropRefused);

    QCOMPARE(run.result, QStringLiteral("升级成功"));
    QCOMPARE(run.iconStyle, QStringLiteral("border-image:url(:/res/升级_成功.png);"));

    const QString main = install.mainPath();
    const QString sep = QDir::separator();
    const QString staged = main + sep + QStringLiteral("upgrade_temp") + sep + QStringLiteral("upgrade");
    const QString firstRecord = QStringLiteral("C:/Program Files/Tessaron") + sep + QStringLiteral("setup_config.xml");
    const QString secondRecord = main + sep + QStringLiteral("product") + sep + QStringLiteral("common") + sep
        + QStringLiteral("sysconfig") + sep + QStringLiteral("setup_config.xml");
    const QStringList expectedHead{
        QStringLiteral("开始拷贝升级包信息"),
        QStringLiteral("升级包信息拷贝成功"),
        staged + QStringLiteral("/shell/shell_before/01.bat 执行成功!"),
        QStringLiteral("正在删除文件:%1").arg(main + sep + QStringLiteral("product/bin/old.dll")),
        QStringLiteral("删除文件:%1成功").arg(main + sep + QStringLiteral("product/bin/old.dll")),
        QStringLiteral("正在删除目录:%1").arg(main + sep + QStringLiteral("product/bin/plugins/old")),
        QStringLiteral("删除目录:%1成功").arg(main + sep + QStringLiteral("product/bin/plugins/old")),
        QStringLiteral("正在更新目录:%1").arg(main + sep + QStringLiteral("product")),
        QStringLiteral("更新目录:%1成功").arg(main + sep + QStringLiteral("product")),
        QStringLiteral("正在添加目录:%1").arg(main + sep + QStringLiteral("product")),
        QStringLiteral("添加目录:%1成功").arg(main + sep + QStringLiteral("product")),
        staged + QStringLiteral("/shell/shell_after/01.bat 执行成功!"),
    };
    QCOMPARE(run.log.mid(0, expectedHead.size()), expectedHead);
    // Then the helper's own lines, then the two record lines.
    const QStringList helperLines = run.log.mid(expectedHead.size(), run.log.size() - expectedHead.size() - 2);
    QVERIFY2(helperLines.size() >= 2, qPrintable(run.log.join(QLatin1Char('\n'))));
    QVERIFY(helperLines.filter(QStringLiteral("001_column.sql")).size() == 1);
    QVERIFY(helperLines.filter(QStringLiteral("001_seed.sql")).size() == 1);
    for (const QString &line : helperLines)
        QCOMPARE(line, line.simplified());
    QCOMPARE(run.log.mid(run.log.size() - 2),
             (QStringList{QStringLiteral("修改%1版本信息成功!").arg(firstRecord),
                          QStringLiteral("修改%1版本信息成功!").arg(secondRecord)}));

    // The installation changed as the package says.
    QVERIFY(!QFile::exists(main + QStringLiteral("/product/bin/old.dll")));
    QVERIFY(!QFile::exists(main + QStringLiteral("/product/bin/plugins/old")));
    QVERIFY(QFile::exists(main + QStringLiteral("/product/bin/plugins")));
    QCOMPARE(readFile(main + QStringLiteral("/product/bin/report.dll")), QStringLiteral("report 2.1.9\n"));
    QCOMPARE(readFile(main + QStringLiteral("/product/bin/notes.txt")), QStringLiteral("installed\n"));
    QCOMPARE(readFile(main + QStringLiteral("/product/bin/new.dll")), QStringLiteral("new\n"));
    QCOMPARE(readFile(main + QStringLiteral("/scripts.log")), QStringLiteral("before\nafter\n"));
    QVERIFY(!QFile::exists(main + QStringLiteral("/upgrade_temp")));

    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("road"));
        db.setDatabaseName(main + QStringLiteral("/data/suite.db"));
        QVERIFY(db.open());
        QSqlQuery query(QStringLiteral("SELECT name FROM projects"), db);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), QStringLiteral("first"));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("road"));

    // Both records carry the new version, written with four-space indentation.
    for (const QString &path : {install.recordPath(), install.secondRecordPath()}) {
        const QString xml = readFile(path);
        QVERIFY2(xml.contains(QStringLiteral("value=\"2.1.9\"")), qPrintable(path));
        QVERIFY2(!xml.contains(QStringLiteral("2.1.5")), qPrintable(xml));
        QVERIFY2(xml.contains(QStringLiteral("\n    <module>\n        <item ")), qPrintable(xml));
    }
    // The window keeps the record it read at start-up.
    QCOMPARE(window.installationRecord().version, QStringLiteral("2.1.5"));
}

void tst_UpgradeRoad::withoutDatabase()
{
    SampleInstallation install;
    prepare(install, 0);
    const QString package = samplePackage(install.path());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(package);
    Run run;
    QVERIFY(upgrade(window, &run));
    QCOMPARE(run.result, QStringLiteral("升级成功"));
    QVERIFY2(run.log.filter(QStringLiteral(".sql")).isEmpty(), qPrintable(run.log.join(QLatin1Char('\n'))));
    QVERIFY(!QFile::exists(install.mainPath() + QStringLiteral("/data/suite.db")));
    QVERIFY(readFile(install.recordPath()).contains(QStringLiteral("2.1.9")));
}

void tst_UpgradeRoad::crashingHelper()
{
    SampleInstallation install;
    prepare(install);
    const QString helper = install.mainPath() + QStringLiteral("/product/bin/upgrade_install_helper.exe");
    QVERIFY(QFile::remove(helper));
    QFile script(helper);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho 'about to fail'\nkill -SEGV $$\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
    const QByteArray recordBefore = readFile(install.recordPath()).toUtf8();
    const QByteArray secondBefore = readFile(install.secondRecordPath()).toUtf8();

    const QString package = samplePackage(install.path());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(package);
    Run run;
    QVERIFY(upgrade(window, &run));
    QCOMPARE(run.result, QStringLiteral("升级失败"));
    QCOMPARE(run.iconStyle, QStringLiteral("border-image:url(:/res/升级_失败.png);"));
    QVERIFY(run.log.contains(QStringLiteral("about to fail")));
    QVERIFY(run.log.filter(QStringLiteral("版本信息")).isEmpty());
    QCOMPARE(readFile(install.recordPath()).toUtf8(), recordBefore);
    QCOMPARE(readFile(install.secondRecordPath()).toUtf8(), secondBefore);
    QVERIFY(!QFile::exists(install.mainPath() + QStringLiteral("/upgrade_temp")));
}

void tst_UpgradeRoad::missingSecondRecord()
{
    SampleInstallation install;
    prepare(install);
    QVERIFY(QFile::remove(install.secondRecordPath()));
    const QString package = samplePackage(install.path());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(package);
    Run run;
    QVERIFY(upgrade(window, &run));
    QCOMPARE(run.result, QStringLiteral("升级成功"));
    const QString sep = QDir::separator();
    const QString second = install.mainPath() + sep + QStringLiteral("product") + sep + QStringLiteral("common")
        + sep + QStringLiteral("sysconfig") + sep + QStringLiteral("setup_config.xml");
    QCOMPARE(run.log.last(), QStringLiteral("升级成功,但修改%1版本信息失败,请手动修改!").arg(second));
    QVERIFY(readFile(install.recordPath()).contains(QStringLiteral("2.1.9")));
}

void tst_UpgradeRoad::failedExtraction()
{
    // The record names a main directory that doesn't exist: the extraction
    // fails before anything is created, and the short road ends in failure.
    SampleInstallation install;
    const QString missing = install.path() + QStringLiteral("/no such main");
    QVERIFY(install.writeRecord(SampleInstallation::recordXml(7, QStringLiteral("2.1.5"), missing)));
    const QString package = samplePackage(install.path());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(package);
    Run run;
    QVERIFY(upgrade(window, &run));
    QCOMPARE(run.log, (QStringList{QStringLiteral("开始拷贝升级包信息"), QStringLiteral("升级包信息拷贝失败")}));
    QCOMPARE(run.result, QStringLiteral("升级失败"));
    QCOMPARE(run.iconStyle, QStringLiteral("border-image:url(:/res/升级_失败.png);"));
    QVERIFY(!QFile::exists(missing));
}

QTEST_MAIN(tst_UpgradeRoad)
#include "tst_upgraderoad.moc"
