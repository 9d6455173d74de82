#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QtTest>

#include <csignal>
#include <memory>

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

// An installation (product 7, version 2.1.5, programs in platform/bin and
// product/bin), a fitting package, and the window with the package loaded.
class GuardSetup
{
public:
    GuardSetup()
    {
        if (!install.writeRecord() || !install.writeSecondRecord())
            return;
        const TestPackage::Files files {
            { QStringLiteral("upgrade/upgrade_config.xml"),
                TestPackage::descriptor(7, QStringLiteral("2.1.0"), QStringLiteral("2.1.9"), 0, 0,
                    QStringLiteral("bin")) },
            { QStringLiteral("upgrade/readme.txt"), "readme" },
        };
        package = TestPackage::build(install.path(), files, &error);
        if (package.isEmpty())
            return;
        window.reset(new MainWindow);
        window->show();
        if (!window->init()) {
            error = QStringLiteral("init failed");
            return;
        }
        window->loadPackage(package);
        upgradeButton = window->findChild<QPushButton *>(QStringLiteral("pushButton"));
        pages = window->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
        nextButton = window->findChild<QPushButton *>(QStringLiteral("pushButton_10"));
        ok = upgradeButton && pages && nextButton;
    }

    ~GuardSetup()
    {
        // The window (and its worker thread) go before the folders they use.
        window.reset();
        for (QProcess *child : qAsConst(children)) {
            child->kill();
            child->waitForFinished(5000);
            delete child;
        }
    }

    QString suiteFile(const QString &relative) const
    {
        return install.mainPath() + QLatin1Char('/') + relative;
    }

    // Puts a copy of a real, harmless program at path (inside or outside the suite).
    static bool placeProgram(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        return QFile::copy(QStringLiteral("/bin/sleep"), path)
            && QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    }

    // Starts the program at path; it runs until the setup ends.
    bool run(const QString &path)
    {
        auto *child = new QProcess;
        children.append(child);
        child->start(path, { QStringLiteral("60") });
        return child->waitForStarted(10000);
    }

    void pressUpgrade() { upgradeButton->click(); }

    SampleInstallation install;
    QString package;
    QString error;
    std::unique_ptr<MainWindow> window;
    QPushButton *upgradeButton = nullptr;
    QStackedWidget *pages = nullptr;
    QPushButton *nextButton = nullptr;
    QList<QProcess *> children;
    bool ok = false;
};

// Processes running the program at path, found by their executable's path.
QList<qint64> processesRunning(const QString &path)
{
    QList<qint64> found;
    const QString wanted = QFileInfo(path).canonicalFilePath();
    QList<ProcessEntry> processes;
    if (wanted.isEmpty() || !ProcessList::snapshot(&processes))
        return found;
    for (const ProcessEntry &process : qAsConst(processes)) {
        QString image;
        if (process.pid > 1 && ProcessList::imagePath(process.pid, &image) && image == wanted)
            found.append(process.pid);
    }
    return found;
}

// Ends whatever runs the program at path when the test ends, however it ends.
struct ProgramReaper
{
    QString path;
    void endAll() const
    {
        for (const qint64 pid : processesRunning(path))
            ::kill(pid_t(pid), SIGKILL);
    }
    ~ProgramReaper() { endAll(); }
};

// Arguments a process was started with, without the program itself.
QStringList argumentsOf(qint64 pid)
{
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!cmdline.open(QIODevice::ReadOnly))
        return { QStringLiteral("<unreadable>") };
    QStringList arguments;
    const QList<QByteArray> parts = cmdline.readAll().split('\0');
    for (int i = 1; i < parts.size(); ++i) {
        if (!parts.at(i).isEmpty() || i + 1 < parts.size())
            arguments << QString::fromLocal8Bit(parts.at(i));
    }
    return arguments;
}

} // namespace

class tst_PreUpgradeGuard : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void checksComeFirst();
    void runningPrograms_data();
    void runningPrograms();
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

void tst_PreUpgradeGuard::checksComeFirst()
{
    // Without a package nothing else happens: no process check, no question.
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    MainWindow window;
    window.show();
    QVERIFY(window.init());
    QSignalSpy started(&window, &MainWindow::startCopyAll);
    MessageBoxDriver any;
    any.answer(cancelText);
    window.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
    QVERIFY(!any.wasShown());
    QCOMPARE(started.count(), 0);
    QVERIFY(!window.isUpgrading());
}

void tst_PreUpgradeGuard::runningPrograms_data()
{
    QTest::addColumn<QStringList>("suitePrograms"); // files below the main directory
    QTest::addColumn<QString>("running"); // started from here (below the install root)
    QTest::addColumn<QString>("blocking"); // the name in the warning, or empty

    QTest::newRow("suite program running in the platform folder")
        << QStringList { "platform/bin/suiteapp.exe" }
        << QStringLiteral("suite main/platform/bin/suiteapp.exe") << QStringLiteral("suiteapp.exe");
    QTest::newRow("suite program running in the product folder")
        << QStringList { "platform/bin/client.exe", "product/bin/server.exe" }
        << QStringLiteral("suite main/product/bin/server.exe") << QStringLiteral("server.exe");
    QTest::newRow("same program started from another folder")
        << QStringList { "platform/bin/suiteapp.exe" } << QStringLiteral("elsewhere/suiteapp.exe")
        << QString();
    QTest::newRow("database helper in the product folder is let through")
        << QStringList { "product/bin/upgrade_install_helper.exe" }
        << QStringLiteral("suite main/product/bin/upgrade_install_helper.exe") << QString();
    QTest::newRow("capital extension isn't a suite program")
        << QStringList { "platform/bin/SUITEAPP.EXE" }
        << QStringLiteral("suite main/platform/bin/SUITEAPP.EXE") << QString();
}

void tst_PreUpgradeGuard::runningPrograms()
{
    QFETCH(QStringList, suitePrograms);
    QFETCH(QString, running);
    QFETCH(QString, blocking);

    GuardSetup setup;
    QVERIFY2(setup.ok, qPrintable(setup.error));
    for (const QString &program : qAsConst(suitePrograms))
        QVERIFY(GuardSetup::placeProgram(setup.suiteFile(program)));
    const QString runningPath = setup.install.path() + QLatin1Char('/') + running;
    if (!QFileInfo::exists(runningPath))
        QVERIFY(GuardSetup::placeProgram(runningPath));
    QVERIFY(setup.run(runningPath));

    QSignalSpy started(setup.window.get(), &MainWindow::startCopyAll);
    MessageBoxDriver box;
    box.answer(blocking.isEmpty() ? cancelText : QStringLiteral("OK"));
    setup.pressUpgrade();
    QVERIFY(box.wasShown());
    if (blocking.isEmpty()) {
        // Nothing blocks: the backup question follows.
        QCOMPARE(box.title(), QStringLiteral("警告"));
        QCOMPARE(box.text(), QStringLiteral("请注意备份工程数据"));
    } else {
        QCOMPARE(box.title(), QStringLiteral("提示"));
        QCOMPARE(box.text(), QStringLiteral("进程%1正在运行，无法开始升级!").arg(blocking));
        QCOMPARE(box.buttons(), QStringList { QStringLiteral("OK") });
        QCOMPARE(box.icon(), QMessageBox::Warning);
    }
    QCOMPARE(started.count(), 0);
    QCOMPARE(setup.pages->currentIndex(), 0);
    QVERIFY(!setup.window->isUpgrading());
}

void tst_PreUpgradeGuard::backupQuestion()
{
    GuardSetup setup;
    QVERIFY2(setup.ok, qPrintable(setup.error));
    QSignalSpy started(setup.window.get(), &MainWindow::startCopyAll);

    MessageBoxDriver question;
    bool stillOpenAfterEscape = false;
    question.answer(cancelText);
    MessageBoxDriver unexpected; // armed once the question is up: catches any further box
    question.inspect = [&stillOpenAfterEscape, &unexpected](QMessageBox *box) {
        QTest::keyClick(box, Qt::Key_Escape);
        stillOpenAfterEscape = box->isVisible();
        unexpected.answer(QMessageBox::Ok);
    };
    setup.pressUpgrade();

    QVERIFY(question.wasShown());
    QCOMPARE(question.title(), QStringLiteral("警告"));
    QCOMPARE(question.text(), QStringLiteral("请注意备份工程数据"));
    QCOMPARE(question.icon(), QMessageBox::Question);
    QCOMPARE(question.buttons(), QStringList({ continueText, backupText, cancelText }));
    QCOMPARE(question.defaultButton(), continueText);
    QVERIFY(!question.hasEscapeButton());
    QVERIFY2(stillOpenAfterEscape, "Escape closed the backup question");
    QVERIFY(!unexpected.wasShown());

    // "取消升级" changes nothing.
    QCOMPARE(started.count(), 0);
    QCOMPARE(setup.pages->currentIndex(), 0);
    QVERIFY(!setup.window->isUpgrading());
    QVERIFY(setup.upgradeButton->isEnabled());
}

void tst_PreUpgradeGuard::backupWithoutTool()
{
    GuardSetup setup;
    QVERIFY2(setup.ok, qPrintable(setup.error));
    QSignalSpy started(setup.window.get(), &MainWindow::startCopyAll);

    MessageBoxDriver question;
    MessageBoxDriver warning;
    MessageBoxDriver unexpected;
    question.inspect = [&warning](QMessageBox *) { warning.answer(QMessageBox::Ok); };
    warning.inspect = [&unexpected](QMessageBox *) { unexpected.answer(cancelText); };
    question.answer(backupText);
    setup.pressUpgrade();

    QVERIFY(question.wasShown());
    QVERIFY(warning.wasShown());
    QCOMPARE(warning.title(), QStringLiteral("警告"));
    QCOMPARE(warning.text(), QStringLiteral("工程管理工具不存在,无法打开"));
    QCOMPARE(warning.buttons(), QStringList { QStringLiteral("OK") });
    QCOMPARE(warning.icon(), QMessageBox::Warning);
    // The guard ends there: the question isn't asked again, nothing starts.
    QVERIFY(!unexpected.wasShown());
    QCOMPARE(started.count(), 0);
    QCOMPARE(setup.pages->currentIndex(), 0);
    QVERIFY(!setup.window->isUpgrading());
}

void tst_PreUpgradeGuard::backupOpensTool()
{
    GuardSetup setup;
    QVERIFY2(setup.ok, qPrintable(setup.error));
    const QString tool = setup.suiteFile(QStringLiteral("platform/bin/db_manager.exe"));
    QVERIFY(QFile::copy(QStringLiteral(DB_MANAGER_PATH), tool));
    ProgramReaper reaper { tool }; // the detached tool is no child of ours
    const QString database = SuiteLayout::databaseFile(setup.install.mainPath());
    QVERIFY(QDir().mkpath(QFileInfo(database).absolutePath()));
    {
        QFile db(database);
        QVERIFY(db.open(QIODevice::WriteOnly));
        QVERIFY(db.write("project data") == 12);
    }
    QSignalSpy started(setup.window.get(), &MainWindow::startCopyAll);

    {
        MessageBoxDriver question;
        MessageBoxDriver unexpected;
        question.inspect = [&unexpected](QMessageBox *) { unexpected.answer(cancelText); };
        question.answer(backupText);
        setup.pressUpgrade();
        QVERIFY(question.wasShown());
        QVERIFY(!unexpected.wasShown());
    } // the drivers stop watching here
    QCOMPARE(started.count(), 0);
    QCOMPARE(setup.pages->currentIndex(), 0);
    QVERIFY(!setup.window->isUpgrading());

    // The tool runs on its own (detached, no arguments): it makes its backup
    // and then shows where it went, until it is ended here.
    const QString backups = SuiteLayout::backupFolder(setup.install.mainPath());
    const auto backupMade = [&backups] {
        const QStringList made = QDir(backups).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        return made.size() == 1
            && QFileInfo::exists(
                backups + QLatin1Char('/') + made.first() + QStringLiteral("/suite.db"));
    };
    QTRY_VERIFY_WITH_TIMEOUT(backupMade(), 20000);
    const QList<qint64> tools = processesRunning(tool);
    QCOMPARE(tools.size(), 1);
    QCOMPARE(argumentsOf(tools.first()), QStringList());
    reaper.endAll();
    QTRY_VERIFY_WITH_TIMEOUT(processesRunning(tool).isEmpty(), 10000);

    // The guard kept no state: "升级" asks again.
    MessageBoxDriver again;
    again.answer(cancelText);
    setup.pressUpgrade();
    QVERIFY(again.wasShown());
    QCOMPARE(again.text(), QStringLiteral("请注意备份工程数据"));
}

void tst_PreUpgradeGuard::continueStartsUpgrade()
{
    GuardSetup setup;
    QVERIFY2(setup.ok, qPrintable(setup.error));
    QVERIFY(!setup.nextButton->isHidden());
    QSignalSpy started(setup.window.get(), &MainWindow::startCopyAll);

    MessageBoxDriver question;
    question.answer(continueText);
    setup.pressUpgrade();
    QVERIFY(question.wasShown());

    QCOMPARE(started.count(), 1);
    QCOMPARE(started.first().at(0).toString(), UpgradeConstants::installDir());
    QCOMPARE(started.first().at(1).toString(), setup.install.mainPath());
    QCOMPARE(setup.pages->currentIndex(), 1);
    QVERIFY(setup.window->isUpgrading());
    QVERIFY(setup.nextButton->isHidden());

    // Let the worker finish with this package before the window goes.
    QTRY_VERIFY_WITH_TIMEOUT(!setup.nextButton->isHidden(), 60000);
}

QTEST_MAIN(tst_PreUpgradeGuard)
#include "tst_preupgradeguard.moc"
