#include <QDragEnterEvent>
#include <QLabel>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QTextEdit>
#include <QtTest>

#include "MainWindow.h"

#include "support/MessageBoxDriver.h"
#include "support/SampleInstallation.h"
#include "support/TestPackage.h"

namespace {

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The helper as the build names it. A cross build's "/work/..." lies on this
// program's drive (under wine), not on the working directory's.
QString builtHelper()
{
    QString path = QStringLiteral(UPGRADE_INSTALL_HELPER);
#ifdef Q_OS_WIN
    if (path.startsWith('/'))
        path.prepend(QCoreApplication::applicationDirPath().left(2));
#endif
    return path;
}

// An installation with the suite's real database helper, both records, some
// installed files, and the window with the sample package loaded.
struct Road
{
    explicit Road(int isDb = 1, bool mainMissing = false)
    {
        const QString main = install.mainPath();
        const QString helper = main + "/product/bin/upgrade_install_helper.exe";
        QDir(main).mkpath("product/bin/plugins/old");
        for (const char *file : { "product/bin/report.dll", "product/bin/old.dll",
                 "product/bin/plugins/old/a.dll", "product/bin/notes.txt" })
            TestPackage::writeTree(main, { { file, "installed\n" } });
        const TestPackage::Files files {
            { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.3", "2.1.9", 0, 1) },
            { "upgrade/readme.txt", "sample\n" },
            { "upgrade/shell/shell_before/01.bat", "echo before >> scripts.log\n" },
            { "upgrade/shell/shell_after/01.bat", "echo after >> scripts.log\n" },
            { "upgrade/delete/product/bin/old.dll", "x" },
            { "upgrade/delete/product/bin/plugins/old/", {} },
            { "upgrade/update/product/bin/report.dll", "report 2.1.9\n" },
            { "upgrade/add/product/bin/notes.txt", "not installed over the notes\n" },
            { "upgrade/add/product/bin/new.dll", "new\n" },
            { "upgrade/db/db_before/001_column.sql",
                "CREATE TABLE projects (id INTEGER PRIMARY KEY, name TEXT);\n" },
            { "upgrade/db/db_after/001_seed.sql",
                "INSERT INTO projects (name) VALUES ('first');\n" },
        };
        QString error;
        package = TestPackage::build(install.path(), files, &error);
        ok = install.writeRecord(SampleInstallation::recordXml(
                 7, "2.1.5", mainMissing ? missingMain() : main, isDb))
            && install.writeSecondRecord() && QFile::copy(builtHelper(), helper)
            && !package.isEmpty();
        window.show();
        ok = ok && window.init();
        window.loadPackage(package);
    }

    // Presses "升级", confirms, runs whileRunning, waits for "继续" and presses it.
    bool upgrade(const std::function<void()> &whileRunning = {})
    {
        MessageBoxDriver driver;
        driver.answer("继续升级");
        window.findChild<QPushButton *>("pushButton")->click();
        if (!driver.wasShown() || !window.isUpgrading())
            return false;
        if (whileRunning)
            whileRunning();
        auto *next = window.findChild<QPushButton *>("pushButton_10");
        auto *pages = window.findChild<QStackedWidget *>("stackedWidget");
        if (!QTest::qWaitFor([next] { return next->isVisible(); }, 60000)
            || pages->currentIndex() != 1)
            return false;
        log = window.findChild<QTextEdit *>("textEdit")->toPlainText().split('\n');
        // The result is prepared before the operator moves on; "继续" shows it.
        next->click();
        result = window.findChild<QLabel *>("label_text")->text() + ' '
            + window.findChild<QLabel *>("label_icon")->styleSheet();
        return pages->currentIndex() == 2 && !window.isUpgrading();
    }

    QString missingMain() const { return install.path() + "/no such main"; }

    SampleInstallation install;
    MainWindow window;
    QString package;
    bool ok = false;
    QStringList log;
    QString result; // the text and the icon of the result page
};

const QString succeeded = QStringLiteral("升级成功 border-image:url(:/res/升级_成功.png);");
const QString failed = QStringLiteral("升级失败 border-image:url(:/res/升级_失败.png);");

} // namespace

// Upgrades through the real window, from "升级" to the result page, on a
// sample installation with the suite's real database helper.
class tst_UpgradeRoad : public QObject
{
    Q_OBJECT
private slots:
    void wholeRoad();
    void withoutDatabase();
    void failures_data();
    void failures();
};

void tst_UpgradeRoad::wholeRoad()
{
    Road road;
    QVERIFY(road.ok);
    QVERIFY(road.window.checkPackage());
    bool closeRefused = false, dropRefused = false;
    QVERIFY(road.upgrade([&] {
        // During the upgrade a close request is refused on the status line,
        // and no other package can be dropped in or loaded.
        MessageBoxDriver none;
        none.answer(QMessageBox::Yes);
        road.window.close();
        closeRefused = !none.wasShown() && road.window.isVisible()
            && road.window.findChild<QLabel *>("tip")->text()
                == QStringLiteral("升级过程中无法退出");
        QMimeData data;
        data.setUrls({ QUrl::fromLocalFile(road.install.path() + "/other.rcc") });
        QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        QApplication::sendEvent(&road.window, &enter);
        road.window.loadPackage(road.install.path() + "/other.rcc");
        dropRefused = !enter.isAccepted() && road.window.currentPackagePath() == road.package;
    }));
    QVERIFY(closeRefused);
    QVERIFY(dropRefused);
    QCOMPARE(road.result, succeeded);

    // The log: extraction, before scripts, the file steps, after scripts, the
    // helper's own lines, then the two record lines.
    const QString main = road.install.mainPath(), sep = QDir::separator();
    const QString staged = main + sep + "upgrade_temp" + sep + "upgrade";
    const QString productFolder = main + sep + "product";
    // Paths appear with the system's separators.
    const auto native = [](const QString &line) { return QDir::toNativeSeparators(line); };
    QStringList expected { "开始拷贝升级包信息", "升级包信息拷贝成功",
        native(staged + "/shell/shell_before/01.bat 执行成功!") };
    for (const QString &entry : { "删除文件:" + main + sep + "product/bin/old.dll",
             "删除目录:" + main + sep + "product/bin/plugins/old", "更新目录:" + productFolder,
             "添加目录:" + productFolder })
        expected << native("正在" + entry) << native(entry + "成功");
    expected << native(staged + "/shell/shell_after/01.bat 执行成功!");
    QCOMPARE(road.log.mid(0, expected.size()), expected);
    const QStringList helperLines
        = road.log.mid(expected.size(), road.log.size() - expected.size() - 2);
    QVERIFY2(helperLines.filter("001_column.sql").size() == 1
            && helperLines.filter("001_seed.sql").size() == 1,
        qPrintable(road.log.join('\n')));
    for (const QString &line : helperLines)
        QCOMPARE(line, line.simplified());
    const QString second
        = productFolder + sep + "common" + sep + "sysconfig" + sep + "setup_config.xml";
    QCOMPARE(road.log.mid(road.log.size() - 2),
        (QStringList {
            native("修改C:/Program Files/Tessaron" + sep + "setup_config.xml版本信息成功!"),
            native("修改" + second + "版本信息成功!") }));

    // The installation changed as the package says.
    QVERIFY(!QFile::exists(main + "/product/bin/old.dll"));
    QVERIFY(!QFile::exists(main + "/product/bin/plugins/old")
        && QFile::exists(main + "/product/bin/plugins"));
    QCOMPARE(readFile(main + "/product/bin/report.dll"), QStringLiteral("report 2.1.9\n"));
    QCOMPARE(readFile(main + "/product/bin/notes.txt"), QStringLiteral("installed\n"));
    QCOMPARE(readFile(main + "/product/bin/new.dll"), QStringLiteral("new\n"));
    QCOMPARE(readFile(main + "/scripts.log"), QStringLiteral("before\nafter\n"));
    QVERIFY(!QFile::exists(main + "/upgrade_temp"));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "road");
        db.setDatabaseName(main + "/data/suite.db");
        QVERIFY(db.open());
        QSqlQuery query("SELECT name FROM projects", db);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), QStringLiteral("first"));
    }
    QSqlDatabase::removeDatabase("road");
    // Both records carry the new version, written with four-space indentation.
    for (const QString &path : { road.install.recordPath(), road.install.secondRecordPath() }) {
        const QString xml = readFile(path);
        QVERIFY2(xml.contains("value=\"2.1.9\"") && !xml.contains("2.1.5")
                && xml.contains("\n    <module>\n        <item "),
            qPrintable(xml));
    }
    // The window keeps the record it read at start-up.
    QCOMPARE(road.window.installationRecord().version, QStringLiteral("2.1.5"));
}

// The record says the suite has no database part: the helper is not run.
void tst_UpgradeRoad::withoutDatabase()
{
    Road road(0);
    QVERIFY(road.ok);
    QVERIFY(road.upgrade());
    QCOMPARE(road.result, succeeded);
    QVERIFY2(road.log.filter(".sql").isEmpty(), qPrintable(road.log.join('\n')));
    QVERIFY(!QFile::exists(road.install.mainPath() + "/data/suite.db"));
    QVERIFY(readFile(road.install.recordPath()).contains("2.1.9"));
}

void tst_UpgradeRoad::failures_data()
{
    QTest::addColumn<bool>("crash"); // the helper crashes; else the main directory is missing
    QTest::newRow("the database helper crashes") << true;
    // The record names a main directory that doesn't exist: the pre-flight
    // refuses before anything is created.
    QTest::newRow("the main directory is missing") << false;
}

void tst_UpgradeRoad::failures()
{
    QFETCH(bool, crash);
    Road road(1, !crash);
    QVERIFY(road.ok);
    const QString helper = road.install.mainPath() + "/product/bin/upgrade_install_helper.exe";
    if (crash) {
        QVERIFY(QFile::remove(helper));
#ifdef Q_OS_WIN
        // The helper double answers the pre-flight itself and runs the script
        // beside it through the test shell.
        QVERIFY(QFile::copy(
            QCoreApplication::applicationDirPath() + "/wine/helper_double.exe", helper));
        QVERIFY(TestPackage::writeTree(road.install.mainPath(),
            { { "product/bin/upgrade_install_helper.sh",
                "echo 'about to fail'\nkill -SEGV $$\n" } }));
#else
        QFile script(helper);
        QVERIFY(script.open(QIODevice::WriteOnly)
            && script.write(
                   "#!/bin/sh\n[ \"$1\" = --help ] && exit 0\n" // the pre-flight's question
                   "echo 'about to fail'\nkill -SEGV $$\n")
                > 0);
        script.close();
        QVERIFY(QFile::setPermissions(helper, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
#endif
    }
    const QString record = readFile(road.install.recordPath()),
                  second = readFile(road.install.secondRecordPath());

    if (crash) {
        QVERIFY(road.upgrade());
        QCOMPARE(road.result, failed);
        QVERIFY(road.log.contains("about to fail") && road.log.filter("版本信息").isEmpty());
    } else {
        MessageBoxDriver refusal;
        refusal.answer(QMessageBox::Ok);
        road.window.findChild<QPushButton *>("pushButton")->click();
        QVERIFY2(refusal.text().startsWith("无法开始升级"), qPrintable(refusal.text()));
        QVERIFY(!road.window.isUpgrading());
    }
    QCOMPARE(readFile(road.install.recordPath()), record);
    QCOMPARE(readFile(road.install.secondRecordPath()), second);
    QVERIFY(!QFile::exists(road.install.mainPath() + "/upgrade_temp"));
    QVERIFY(!QFile::exists(road.missingMain()));
}

QTEST_MAIN(tst_UpgradeRoad)
#include "tst_upgraderoad.moc"
