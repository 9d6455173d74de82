#include <QPushButton>
#include <QStackedWidget>
#include <QtTest>

#include "support/KillHard.h"

#include "MainWindow.h"
#include "ProcessList.h"
#include "SuiteLayout.h"
#include "UpgradeConstants.h"

#include "support/MessageBoxDriver.h"
#include "support/SampleInstallation.h"
#include "support/TestPackage.h"

namespace {

const QString continueText = QStringLiteral("继续升级");
const QString backupText = QStringLiteral("去备份");
const QString cancelText = QStringLiteral("取消升级");

// Processes running the program at path, found by their executable's path.
QList<qint64> processesRunning(const QString &path)
{
    QList<qint64> found;
    QList<ProcessEntry> processes;
    QString image;
    const QString wanted = QFileInfo(path).canonicalFilePath();
    if (!wanted.isEmpty() && ProcessList::snapshot(&processes)) {
        for (const ProcessEntry &process : qAsConst(processes)) {
            if (process.pid > 1 && ProcessList::imagePath(process.pid, &image) && image == wanted)
                found.append(process.pid);
        }
    }
    return found;
}

// An installation (product 7, version 2.1.5, programs in platform/bin and
// product/bin), a fitting package (its programs in exePath), and the window
// with the package loaded. Programs it starts, and any detached ones at the
// paths in reap, end with it.
struct GuardSetup
{
    explicit GuardSetup(const QString &exePath = QStringLiteral("bin"))
    {
        package = TestPackage::build(install.path(),
            { { "upgrade/upgrade_config.xml",
                  TestPackage::descriptor(7, "2.1.0", "2.1.9", 0, 0, exePath) },
                { "upgrade/readme.txt", "readme" } });
        window.show();
        ok = install.writeRecord() && install.writeSecondRecord() && !package.isEmpty()
            && window.init();
        window.loadPackage(package);
    }
    ~GuardSetup()
    {
        for (const QString &path : qAsConst(reap)) {
            for (const qint64 pid : processesRunning(path))
                killHard(pid);
        }
        for (QProcess *child : qAsConst(children)) {
            child->kill();
            child->waitForFinished(5000);
            delete child;
        }
    }

    // Starts a copy of a real, harmless program at path (below the install root).
    bool run(const QString &relative)
    {
        const QString path = install.path() + "/" + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        auto *child = new QProcess;
        children.append(child);
        QFile::remove(path);
        if (!QFile::copy("/bin/sleep", path)
            || !QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner))
            return false;
        child->start(path, { "60" });
        return child->waitForStarted(10000);
    }
    // Presses "升级"; the box answers the first message box.
    void pressUpgrade(MessageBoxDriver &box, const QString &answer)
    {
        box.answer(answer);
        window.findChild<QPushButton *>("pushButton")->click();
    }
    // Nothing started: the first page, no upgrade, no start signal.
    bool nothingStarted(const QSignalSpy &started)
    {
        return started.isEmpty()
            && window.findChild<QStackedWidget *>("stackedWidget")->currentIndex() == 0
            && !window.isUpgrading() && window.findChild<QPushButton *>("pushButton")->isEnabled();
    }

    SampleInstallation install;
    MainWindow window; // goes (with its worker thread) before the folders it uses
    QString package;
    QList<QProcess *> children;
    QStringList reap;
    bool ok = false;
};

} // namespace

// What happens between "升级" and the start: the running programs, the backup
// question, the project management tool.
class tst_PreUpgradeGuard : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void withoutPackageNothingHappens();
    void runningPrograms_data();
    void runningPrograms();
    void badExePathIsNotSearched();
    void backupQuestion();
    void backupWithoutTool();
    void backupOpensTool();
    void continueStartsUpgrade();
};

void tst_PreUpgradeGuard::init()
{
    // Nothing may be left open by an earlier test.
    QVERIFY(!QApplication::activeModalWidget());
}

void tst_PreUpgradeGuard::withoutPackageNothingHappens()
{
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    QSignalSpy started(&window, &MainWindow::startCopyAll);
    MessageBoxDriver any;
    any.answer(cancelText);
    window.findChild<QPushButton *>("pushButton")->click();
    QVERIFY(!any.wasShown());
    QCOMPARE(started.count(), 0);
    QVERIFY(!window.isUpgrading());
}

void tst_PreUpgradeGuard::runningPrograms_data()
{
    QTest::addColumn<QString>("suiteProgram"); // below the main directory
    QTest::addColumn<QString>("running"); // below the install root
    QTest::addColumn<QString>("blocking"); // the name in the warning, or empty
    QTest::newRow("suite program running in its folder")
        << "product/bin/server.exe" << QString("suite main/product/bin/server.exe") << "server.exe";
    QTest::newRow("the same copy started from another folder")
        << "platform/bin/suiteapp.exe" << QString("elsewhere/suiteapp.exe") << "";
}

void tst_PreUpgradeGuard::runningPrograms()
{
    QFETCH(QString, suiteProgram);
    QFETCH(QString, running);
    QFETCH(QString, blocking);
    GuardSetup setup;
    QVERIFY(setup.ok);
    QVERIFY(TestPackage::writeTree(setup.install.mainPath(), { { suiteProgram, "x" } }));
    QVERIFY(setup.run(running));
    QSignalSpy started(&setup.window, &MainWindow::startCopyAll);
    MessageBoxDriver box;
    setup.pressUpgrade(box, blocking.isEmpty() ? cancelText : "OK");
    QVERIFY(box.wasShown());
    if (blocking.isEmpty()) {
        // Nothing blocks: the backup question follows.
        QCOMPARE(box.text(), QStringLiteral("请注意备份工程数据"));
    } else {
        QCOMPARE(box.title(), QStringLiteral("提示"));
        QCOMPARE(box.text(), QStringLiteral("进程%1正在运行，无法开始升级!").arg(blocking));
        QCOMPARE(box.buttons(), QStringList { "OK" });
        QCOMPARE(box.icon(), QMessageBox::Warning);
    }
    QVERIFY(setup.nothingStarted(started));
}

// An exe_path that leads out of the suite is refused as the pre-flight words
// it, before any search for running programs could look outside the suite.
void tst_PreUpgradeGuard::badExePathIsNotSearched()
{
    GuardSetup setup(QStringLiteral("../.."));
    QVERIFY(setup.ok);
    // Where platform/../.. leads: the folder above the main directory.
    QVERIFY(setup.run("suiteapp.exe"));
    QSignalSpy started(&setup.window, &MainWindow::startCopyAll);
    MessageBoxDriver box, unexpected;
    box.inspect = [&unexpected](QMessageBox *) { unexpected.answer(QMessageBox::Ok); };
    setup.pressUpgrade(box, "OK");
    QCOMPARE(box.text(),
        QStringLiteral("无法开始升级,升级前检查发现以下问题:\n升级包的程序目录exe_path无效:../.."));
    QCOMPARE(box.icon(), QMessageBox::Warning);
    QVERIFY(!unexpected.wasShown());
    QVERIFY(setup.nothingStarted(started));
}

// Buttons in order, "继续升级" the default, no escape; "取消升级" changes nothing.
void tst_PreUpgradeGuard::backupQuestion()
{
    GuardSetup setup;
    QVERIFY(setup.ok);
    QSignalSpy started(&setup.window, &MainWindow::startCopyAll);
    MessageBoxDriver question, unexpected; // armed once the question is up: catches any further box
    bool stillOpenAfterEscape = false;
    question.inspect = [&](QMessageBox *box) {
        QTest::keyClick(box, Qt::Key_Escape);
        stillOpenAfterEscape = box->isVisible();
        unexpected.answer(QMessageBox::Ok);
    };
    setup.pressUpgrade(question, cancelText);

    QCOMPARE(question.title(), QStringLiteral("警告"));
    QCOMPARE(question.text(), QStringLiteral("请注意备份工程数据"));
    QCOMPARE(question.icon(), QMessageBox::Question);
    QCOMPARE(question.buttons(), (QStringList { continueText, backupText, cancelText }));
    QCOMPARE(question.defaultButton(), continueText);
    QVERIFY(!question.hasEscapeButton());
    QVERIFY2(stillOpenAfterEscape, "Escape closed the backup question");
    QVERIFY(!unexpected.wasShown());
    QVERIFY(setup.nothingStarted(started));
}

// Without the tool a warning ends the guard: no second question, no start.
void tst_PreUpgradeGuard::backupWithoutTool()
{
    GuardSetup setup;
    QVERIFY(setup.ok);
    QSignalSpy started(&setup.window, &MainWindow::startCopyAll);
    MessageBoxDriver question, warning, unexpected;
    question.inspect = [&warning](QMessageBox *) { warning.answer(QMessageBox::Ok); };
    warning.inspect = [&unexpected](QMessageBox *) { unexpected.answer(cancelText); };
    setup.pressUpgrade(question, backupText);

    QVERIFY(warning.wasShown());
    QCOMPARE(warning.title(), QStringLiteral("警告"));
    QCOMPARE(warning.text(), QStringLiteral("工程管理工具不存在,无法打开"));
    QCOMPARE(warning.buttons(), QStringList { "OK" });
    QCOMPARE(warning.icon(), QMessageBox::Warning);
    QVERIFY(!unexpected.wasShown());
    QVERIFY(setup.nothingStarted(started));
}

// The tool is started on its own, makes its backup and stays until it is
// ended; the guard ends there and keeps no state: "升级" asks again.
void tst_PreUpgradeGuard::backupOpensTool()
{
    GuardSetup setup;
    QVERIFY(setup.ok);
    const QString tool = setup.install.mainPath() + "/platform/bin/db_manager.exe";
    QVERIFY(QFile::copy(DB_MANAGER_PATH, tool));
    setup.reap << tool; // the detached tool is no child of ours
    QVERIFY(TestPackage::writeTree(setup.install.mainPath(),
        { { QDir(setup.install.mainPath())
                .relativeFilePath(SuiteLayout::databaseFile(setup.install.mainPath())),
            "project data" } }));
    QSignalSpy started(&setup.window, &MainWindow::startCopyAll);
    {
        MessageBoxDriver question, unexpected;
        question.inspect = [&unexpected](QMessageBox *) { unexpected.answer(cancelText); };
        setup.pressUpgrade(question, backupText);
        QVERIFY(question.wasShown());
        QVERIFY(!unexpected.wasShown());
    } // the drivers stop watching here
    QVERIFY(setup.nothingStarted(started));

    const QString backups = SuiteLayout::backupFolder(setup.install.mainPath());
    QTRY_VERIFY_WITH_TIMEOUT(
        QDir(backups).entryList({ "*" }, QDir::Dirs | QDir::NoDotAndDotDot).size() == 1, 20000);
    const QList<qint64> tools = processesRunning(tool);
    QCOMPARE(tools.size(), 1);
    killHard(tools.first());
    QTRY_VERIFY_WITH_TIMEOUT(processesRunning(tool).isEmpty(), 10000);

    MessageBoxDriver again;
    setup.pressUpgrade(again, cancelText);
    QCOMPARE(again.text(), QStringLiteral("请注意备份工程数据"));
}

// "继续升级" starts the upgrade with the installation directory and the main
// directory, on the progress page, "继续" hidden until the end.
void tst_PreUpgradeGuard::continueStartsUpgrade()
{
    GuardSetup setup;
    QVERIFY(setup.ok);
    auto *next = setup.window.findChild<QPushButton *>("pushButton_10");
    QVERIFY(!next->isHidden());
    QSignalSpy started(&setup.window, &MainWindow::startCopyAll);
    MessageBoxDriver question;
    setup.pressUpgrade(question, continueText);
    QVERIFY(question.wasShown());
    QCOMPARE(started.count(), 1);
    QCOMPARE(started.first(),
        (QList<QVariant> { UpgradeConstants::installDir(), setup.install.mainPath() }));
    QCOMPARE(setup.window.findChild<QStackedWidget *>("stackedWidget")->currentIndex(), 1);
    QVERIFY(setup.window.isUpgrading());
    QVERIFY(next->isHidden());
    // Let the worker finish with this package before the window goes.
    QTRY_VERIFY_WITH_TIMEOUT(!next->isHidden(), 60000);
}

QTEST_MAIN(tst_PreUpgradeGuard)
#include "tst_preupgradeguard.moc"
