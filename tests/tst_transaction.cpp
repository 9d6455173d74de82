#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <cstdio>

#include "InstallationLock.h"
#include "PathGuard.h"
#include "Preflight.h"
#include "SuiteLayout.h"
#include "Transaction.h"
#include "WorkerDriver.h"
#include "support/EngineHarness.h"
#include "support/PlatformFiles.h"

#ifdef Q_OS_UNIX
#include <sys/mount.h>
#include <unistd.h>
#endif

#include <atomic>
#include <thread>

using namespace EngineHarness;

namespace {

// Scripts note themselves in script_log.txt beside the main directory:
// their side effects are theirs, not the installation's.
QByteArray note(const QString &what, const QByteArray &more = {})
{
    return "echo " + what.toUtf8() + " >> ../script_log.txt\n" + more;
}

// The package: every kind of change, scripts, and SQL for the helper.
const Tree package {
    { "delete/product/bin/old.dll", "" },
    { "delete/product/bin/plugins/legacy/", {} },
    { "update/product/bin/app.exe", "app v2" },
    { "update/product/bin/ro.cfg", "config v2" },
    { "update/product/bin/lib/core.dll", "core v2" },
    { "update/product/bin/lib/new.dll", "new" },
    { "add/product/bin/lib/keep.dll", "not this" },
    { "add/product/bin/extra/x.dll", "x" },
    { "add/docs/manual.md", "manual" },
    { "shell/shell_before/1.bat", note("before") },
    { "shell/shell_after/1.bat", note("after") },
    { "shell/shell_rollback/1.bat", note("rollback") },
    { "db/db_before/001.sql", "CREATE TABLE release_notes (version TEXT);" },
};

// The mode of ro.cfg, which the package replaces: read-only, kept through the
// update and the restore. Windows refuses to replace a read-only file and the
// installer leaves that attribute alone (the pre-flight names such a file):
// there it is writable.
#ifdef Q_OS_WIN
const QFileDevice::Permissions roCfgMode(0x6666);
#else
const QFileDevice::Permissions roCfgMode(0x4444);
#endif

// An installation below tmp: main directory "suite", record copies at 2.1.5,
// the real database helper and a database.
struct Installation
{
    QTemporaryDir tmp;
    QString main = tmp.path() + QStringLiteral("/suite");
    // Below tmp, which is the working directory of the upgrade; where the
    // installation directory is absolute (Windows), that one itself, and it
    // goes with the installation.
    QString recordPath
        = QDir(tmp.path()).filePath(UpgradeConstants::installDir()) + "/setup_config.xml";

    ~Installation()
    {
        if (QDir::isAbsolutePath(UpgradeConstants::installDir()))
            QFile::remove(recordPath);
    }

    bool layOut()
    {
        const QByteArray record = "<?xml version=\"1.0\"?>\n<root><module>"
                                  "<item key=\"software_version\" value=\"2.1.5\"/>"
                                  "</module></root>\n";
        const QString helper = main + "/product/bin/upgrade_install_helper.exe";
        const bool written
            = writeTree(main,
                  { { "product/bin/old.dll", "old" }, { "product/bin/plugins/legacy/a.dll", "a" },
                      { "product/bin/plugins/legacy/.hidden", "h" },
                      { "product/bin/app.exe", "app v1" }, { "product/bin/ro.cfg", "config v1" },
                      { "product/bin/lib/core.dll", "core v1" },
                      { "product/bin/lib/keep.dll", "keep" },
                      { "product/common/sysconfig/setup_config.xml", record } })
            && writeFile(recordPath, record) && QFile::copy(UPGRADE_INSTALL_HELPER, helper)
            && QFile::setPermissions(
                main + "/product/bin/app.exe", QFileDevice::Permissions(0x7555))
            && QFile::setPermissions(main + "/product/bin/ro.cfg", roCfgMode);
        QDir().mkpath(main + "/data");
        writeFile(tmp.path() + "/0.sql", "CREATE TABLE projects (name TEXT);");
        QProcess init;
        init.start(helper, { "--database", main + "/data/suite.db", "--before", tmp.path() });
        init.waitForFinished(30000);
        QFile::remove(tmp.path() + "/0.sql");
        return written && QFile::exists(main + "/data/suite.db");
    }

    // Names, modes and contents below the main directory; the database by
    // its tables.
    Tree state() const
    {
        Tree tree;
        QDirIterator it(main, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            const QString name = QDir(main).relativeFilePath(info.filePath());
            if (name.startsWith("data/suite.db"))
                continue;
            const QByteArray mode = QByteArray::number(int(info.permissions()), 16);
            tree.insert(name + (info.isDir() ? "/" : ""),
                mode + (info.isDir() ? QByteArray() : " " + readFile(info.filePath())));
        }
        tree.insert("tables", tables().join(' ').toUtf8());
        tree.insert("record", readFile(recordPath));
        return tree;
    }

    QStringList tables() const
    {
        QStringList names;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "tables");
            db.setDatabaseName(main + "/data/suite.db");
            QSqlQuery query(db);
            if (db.open()
                && query.exec("SELECT name FROM sqlite_master WHERE type = 'table' "
                              "ORDER BY name")) {
                while (query.next())
                    names << query.value(0).toString();
            }
        }
        QSqlDatabase::removeDatabase("tables");
        return names;
    }

    QByteArray scriptLog() const { return readFile(tmp.path() + "/script_log.txt"); }
};

// The worker as the window sets it up for this package.
void prepare(CUpgradeWorker *worker, int scriptTimeout = 30 * 60)
{
    worker->setDbFlags(1, 0);
    worker->setExePath("bin");
    worker->setVersions("2.1.5", "2.1.9");
    worker->setTimeouts(scriptTimeout, 0);
}

// Runs the upgrade of package (built into dir) on install; the worker's
// events, or empty when it didn't end.
QStringList upgrade(Installation &install, const Tree &tree, int scriptTimeout = 30 * 60,
    const std::function<void(WorkerRun &)> &during = {})
{
    QString error;
    const QString rcc = buildPackage(install.tmp.path() + "/pkg", tree, &error);
    if (rcc.isEmpty())
        qWarning("package not built: %s", qPrintable(error));
    RegisteredPackage registered(rcc);
    WorkingDirectory cwd(install.tmp.path());
    WorkerRun run;
    prepare(run.object(), scriptTimeout);
    QStringList outcome;
    QObject::connect(
        run.object(), &CUpgradeWorker::sigOutcome, run.object(),
        [&outcome](UpgradeOutcome code) { outcome << QString::number(int(code)); }, Qt::DirectConnection);
    run.startCopyAll(install.main);
    if (during)
        during(run);
    if (!run.waitForEnd() || !run.flush())
        return {};
    run.stop();
    return run.events + outcome;
}

} // namespace

// The upgrade as a transaction: after any failure, cancel or interruption the
// installation is as it was, or (past the database step) fully upgraded.
class tst_Transaction : public QObject
{
    Q_OBJECT
private slots:
    void failureRestores_data();
    void failureRestores();
    void failedRollbackScriptsRunAgain();
    void interruptedAtEveryChange();
    void secondUpgradeRefused_data();
    void secondUpgradeRefused();
    void databaseAlreadyUpgraded();
    void hugeTimeLimitIsNone();
    void fullDiskDuringUpdate();
    void linksOnTheWay_data();
    void linksOnTheWay();
    void linkSwappedDuringUpgrade_data();
    void linkSwappedDuringUpgrade();
    void beginRefused_data();
    void beginRefused();
    void leftJournalKeepsItsBackups();
};

void tst_Transaction::failureRestores_data()
{
    QTest::addColumn<Tree>("changed"); // entries put into the package
    QTest::addColumn<QString>("cause"); // a line that says why
    QTest::addColumn<QString>("rollback"); // what the rollback script ran after

    QTest::newRow("file operation")
        << Tree { { "update/product/bin/lib/keep.dll/x", "x" } } << "1项文件操作失败,升级终止"
        << "before\nrollback\n";
    QTest::newRow("before script")
        << Tree { { "shell/shell_before/1.bat", note("before", "exit 3\n") } }
        << "失败原因:退出码为3"
        << "before\nrollback\n";
    QTest::newRow("after script") << Tree { { "shell/shell_after/1.bat",
        note("after", "exit 3\n") } }
                                  << "失败原因:退出码为3"
                                  << "before\nafter\nrollback\n";
    QTest::newRow("database helper")
        << Tree { { "db/db_before/002.sql", "SELECT * FROM no_such_table;" } }
        << "数据库升级程序异常结束"
        << "before\nafter\nrollback\n";
    QTest::newRow("time limit") << Tree { { "shell/shell_after/1.bat",
        note("after", "sleep 60 & sleep 60\n") } }
                                << "失败原因:超过时间限制(1秒),已终止"
                                << "before\nafter\nrollback\n";
    QTest::newRow("cancel") << Tree { { "shell/shell_after/1.bat", note("after", "sleep 60\n") } }
                            << "失败原因:升级已取消"
                            << "before\nafter\nrollback\n";
}

void tst_Transaction::failureRestores()
{
    QFETCH(Tree, changed);
    QFETCH(QString, cause);
    Installation install;
    QVERIFY(install.layOut());
    const Tree before = install.state();
    Tree tree = package;
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        tree.insert(it.key(), it.value());
    const QString tag = QTest::currentDataTag();

    const QStringList events
        = upgrade(install, tree, tag == "time limit" ? 1 : 30 * 60, [&](WorkerRun &run) {
              if (tag == "cancel") {
                  QTRY_VERIFY(install.scriptLog().contains("after"));
                  run.object()->requestCancel();
              }
          });

    QVERIFY2(events.contains("sigFaildClearEnd"), qPrintable(events.join('\n')));
    QVERIFY2(events.contains("status:" + cause), qPrintable(events.join('\n')));
    QCOMPARE(events.last(), QStringLiteral("1")); // failed, restored
    QCOMPARE(install.state(), before);
    QFETCH(QString, rollback);
    QCOMPARE(QString::fromUtf8(install.scriptLog()), rollback);
}

// Rollback scripts that failed run again at each recovery; the installation
// is consistent once they pass, and not before.
void tst_Transaction::failedRollbackScriptsRunAgain()
{
    Installation install;
    QVERIFY(install.layOut());
    const Tree before = install.state();
    Tree tree = package;
    tree.insert("shell/shell_before/1.bat", note("before", "exit 3\n"));
    tree.insert("shell/shell_rollback/1.bat", note("rollback", "exit 4\n"));
    const QStringList events = upgrade(install, tree);
    QCOMPARE(events.value(events.size() - 1), QString::number(int(UpgradeOutcome::NotRestored)));

    WorkingDirectory cwd(install.tmp.path());
    QCOMPARE(WorkerDriver().recover(install.main).result, RecoveryResult::Incomplete);
    QVERIFY(writeFile(SuiteLayout::stagedPackageRoot(install.main) + "/shell/shell_rollback/1.bat",
        note("rollback")));
    QCOMPARE(WorkerDriver().recover(install.main).result, RecoveryResult::RolledBack);
    QCOMPARE(install.scriptLog(), QByteArray("before\nrollback\nrollback\nrollback\n"));
    QVERIFY(!Journal::exists(install.main));
    QCOMPARE(install.state(), before);
}

// The entries in which found differs from expected, a line each, for a
// failure's message.
static QString difference(const Tree &expected, const Tree &found)
{
    QStringList keys = expected.keys() + found.keys();
    keys.removeDuplicates();
    QStringList differ;
    for (const QString &key : qAsConst(keys)) {
        if (expected.value(key, "<none>") != found.value(key, "<none>"))
            differ << key + ": " + expected.value(key, "<none>") + " / "
                    + found.value(key, "<none>");
    }
    return differ.join('\n');
}

// The upgrade in a child process, stopped dead after its k-th change, for
// every k; then the next start's recovery. No third state: before, or fully
// upgraded.
void tst_Transaction::interruptedAtEveryChange()
{
    Installation reference;
    QVERIFY(reference.layOut());
    const Tree before = reference.state();
    QVERIFY(upgrade(reference, package).contains("sigSuccessClearEnd"));
    const Tree after = reference.state();
    QVERIFY(before != after);

    int rolledBack = 0, rolledForward = 0;
    for (int k = 1; k < 200; ++k) {
        Installation install;
        QVERIFY(install.layOut());
        QString error;
        const QString rcc = buildPackage(install.tmp.path() + "/pkg", package, &error);
        QProcess child;
        child.setWorkingDirectory(install.tmp.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("UPGRADE_FAULT_AFTER", QString::number(k));
        child.setProcessEnvironment(environment);
        child.start(
            QCoreApplication::applicationFilePath(), { "--upgrade-child", rcc, install.main });
        QVERIFY(child.waitForFinished(60000));
#ifdef Q_OS_WIN
        // There the fault injection ends the process with exit code 9.
        const bool stopped = child.exitCode() == 9;
#else
        const bool stopped = child.exitStatus() == QProcess::CrashExit;
#endif
        if (!stopped) {
            QCOMPARE(child.exitStatus(), QProcess::NormalExit);
            QVERIFY2(child.exitCode() == 0,
                qPrintable(QStringLiteral("k=%1, exit code %2: %3")
                               .arg(k)
                               .arg(child.exitCode())
                               .arg(QString::fromUtf8(child.readAllStandardError()))));
            const QString differ = difference(after, install.state());
            QVERIFY2(differ.isEmpty(), // past the last change: the whole upgrade
                qPrintable(QStringLiteral("k=%1, ended normally:\n%2").arg(k).arg(differ)));
            break;
        }
        WorkingDirectory cwd(install.tmp.path());
        WorkerDriver driver;
        const WorkerDriver::Recovery recovery = driver.recover(install.main);
        QVERIFY2(recovery.result == RecoveryResult::RolledBack
                || recovery.result == RecoveryResult::RolledForward,
            qPrintable(QStringLiteral("k=%1: %2").arg(k).arg(recovery.lines.join('\n'))));
        const bool forward = recovery.result == RecoveryResult::RolledForward;
        (forward ? rolledForward : rolledBack)++;
        const Tree expected = forward ? after : before;
        const QString differ = difference(expected, install.state());
        QVERIFY2(differ.isEmpty(),
            qPrintable(
                QStringLiteral("k=%1: %2\n%3").arg(k).arg(recovery.lines.join('\n'), differ)));
    }
    QVERIFY2(rolledBack > 10 && rolledForward > 0,
        qPrintable(QStringLiteral("%1 back, %2 forward").arg(rolledBack).arg(rolledForward)));
}

// A second installer on the same installation is refused and changes nothing.
void tst_Transaction::secondUpgradeRefused_data()
{
    QTest::addColumn<QString>("installedMeanwhile"); // empty: the first upgrade still runs
    QTest::addColumn<QString>("line");
    QTest::newRow("another upgrade holds the lock")
        << ""
        << "另一个升级程序正在运行,本次升级未作任何改动";
    QTest::newRow("another upgrade ended while this one waited for the lock")
        << "2.1.7"
        << "另一个升级程序已将安装升级到2.1.7,本次升级未作任何改动";
}

void tst_Transaction::secondUpgradeRefused()
{
    QFETCH(QString, installedMeanwhile);
    QFETCH(QString, line);
    Installation install;
    QVERIFY(install.layOut());
    InstallationLock first;
    if (installedMeanwhile.isEmpty())
        QCOMPARE(first.take(SuiteLayout::lockFile(install.main)), InstallationLock::Result::Taken);
    else
        QVERIFY(writeFile(install.recordPath,
            "<root><module><item key=\"software_version\" value=\"" + installedMeanwhile.toUtf8()
                + "\"/></module></root>\n"));
    const Tree before = install.state();

    const QStringList events = upgrade(install, package);

    QVERIFY2(events.contains("status:" + line), qPrintable(events.join('\n')));
    QCOMPARE(events.last(), QStringLiteral("5"));
    QCOMPARE(install.state(), before);
    QVERIFY(!QFileInfo::exists(install.tmp.path() + "/script_log.txt"));
}

// The helper stopped or failing after its transaction committed: the database
// can't be taken back, so the upgrade is completed rather than half undone.
void tst_Transaction::databaseAlreadyUpgraded()
{
    Installation reference;
    QVERIFY(reference.layOut());
    QVERIFY(upgrade(reference, package).contains("sigSuccessClearEnd"));
    // Taken now: on Windows both installations have the one record.
    const Tree upgraded = reference.state();
    Installation install;
    QVERIFY(install.layOut());
    const QString helper = install.main + "/product/bin/upgrade_install_helper.exe";
    QVERIFY(QFile::rename(helper, helper + ".real"));
#ifdef Q_OS_WIN
    // This program stands in for it (see helperStandIn), as a script can't.
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), helper));
#else
    QVERIFY(writeFile(helper,
        "#!/bin/sh\n\"$0.real\" \"$@\" || exit $?\n"
        "case \"$*\" in *--applied*) exit 0 ;; esac\nexit 1\n"));
    QVERIFY(QFile::setPermissions(helper, QFileDevice::Permissions(0x7755)));
#endif

    const QStringList events = upgrade(install, package);

    QVERIFY2(events.contains("status:数据库已升级到新版本,无法撤销,升级继续完成"),
        qPrintable(events.join('\n')));
    QCOMPARE(events.last(), QStringLiteral("0"));
    QCOMPARE(install.state().value("tables"), upgraded.value("tables"));
    QCOMPARE(install.state().value("record"), upgraded.value("record"));
    QCOMPARE(readFile(install.main + "/product/bin/app.exe"),
        readFile(reference.main + "/product/bin/app.exe"));
}

// A time limit beyond what a timer counts (about 24 days) is none, not one
// wrapped round to less than a second.
void tst_Transaction::hugeTimeLimitIsNone()
{
    Installation install;
    QVERIFY(install.layOut());
    Tree tree = package;
    tree.insert("shell/shell_after/1.bat", note("after", "sleep 1\n"));
    const QStringList events = upgrade(install, tree, 4294968);
    QVERIFY2(events.value(events.size() - 1) == "0", qPrintable(events.join('\n')));
}

// The update step writes to a folder on a full file system of its own: the
// copy fails, and the upgrade is rolled back with nothing lost.
void tst_Transaction::fullDiskDuringUpdate()
{
#ifndef Q_OS_LINUX
    QSKIP("needs a tmpfs mount");
#else
    Installation install;
    QVERIFY(install.layOut());
    const QString lib = install.main + "/product/bin/lib";
    if (::mount("tmpfs", QFile::encodeName(lib).constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("no tmpfs can be mounted here (needs root)");
    const auto unmount
        = qScopeGuard([&lib] { ::umount2(QFile::encodeName(lib).constData(), MNT_DETACH); });
    QVERIFY(writeTree(lib, { { "core.dll", "core v1" }, { "keep.dll", "keep" } }));
    const Tree before = install.state();
    Tree tree = package;
    tree.insert("update/product/bin/lib/big.dll", QByteArray(200 * 1024, 'b'));

    const QStringList events = upgrade(install, tree);

    QVERIFY2(events.contains("status:1项文件操作失败,升级终止"), qPrintable(events.join('\n')));
    QCOMPARE(events.last(), QStringLiteral("1"));
    QCOMPARE(install.state(), before);
#endif
}

void tst_Transaction::linksOnTheWay_data()
{
    QTest::addColumn<QString>("link"); // "name>target" made below the main directory first
    QTest::addColumn<Tree>("changed"); // entries put into a small package
    QTest::addColumn<QString>("refused"); // the link the refusal names; empty: none
    QTest::addColumn<int>("outcome");
    QTest::addColumn<Tree>("after"); // contents expected at the end; empty: all as before

    const QString out = "product/bin/out>../../../outside";
    QTest::newRow("outside link on the way to a delete target")
        << out << Tree { { "delete/product/bin/out/victim.dll", "" } } << "product/bin/out" << 1
        << Tree();
    QTest::newRow("outside link on the way to an update target")
        << out << Tree { { "update/product/bin/out/victim.dll", "new" } } << "product/bin/out" << 1
        << Tree();
    QTest::newRow("outside link on the way to an add target")
        << out << Tree { { "add/product/bin/out/new.dll", "new" } } << "product/bin/out" << 1
        << Tree();
    // Changes through product/bin/alias, a link to product/bin/lib.
    const Tree throughAlias { { "delete/product/bin/alias/keep.dll", "" },
        { "update/product/bin/alias/core.dll", "core v2" },
        { "add/product/bin/alias/fresh.dll", "fresh" } };
    const Tree throughAliasAfter { { "product/bin/lib/keep.dll", "<unreadable>" },
        { "product/bin/lib/core.dll", "core v2" }, { "product/bin/lib/fresh.dll", "fresh" },
        { "product/bin/app.exe", "app v2" } };
    // Out of the main directory and back in by its name: still inside.
    QTest::newRow("link that climbs out and back in is followed")
        << "product/bin/alias>../../../suite/product/bin/lib" << throughAlias << "" << 0
        << throughAliasAfter;
    QTest::newRow("link inside is followed")
        << "product/bin/alias>lib" << throughAlias << "" << 0 << throughAliasAfter;
    QTest::newRow("outside link planted by the before script, after the pre-flight")
        << ""
        << Tree { { "shell/shell_before/1.bat",
                      note("before", "ln -s ../../../outside product/bin/out\n") },
               { "shell/shell_rollback/1.bat", note("rollback", "rm product/bin/out\n") },
               { "update/product/bin/out/victim.dll", "new" } }
        << "product/bin/out" << 1 << Tree();
    QTest::newRow("outside link planted by the before script as the backup folder")
        << ""
        << Tree { { "shell/shell_before/1.bat",
               note("before", "ln -s ../outside upgrade_backup\n") } }
        << "upgrade_backup" << 1 << Tree();
    // The rollback puts back what it can and keeps the backups of the rest.
    QTest::newRow("outside link planted by the after script is not followed by the rollback")
        << ""
        << Tree { { "update/product/bin/lib/core.dll", "core v2" },
               { "add/product/bin/lib/fresh.dll", "fresh" },
               { "shell/shell_after/1.bat",
                   note("after",
                       "rm -r product/bin/lib\nln -s ../../../outside product/bin/lib\nexit "
                       "3\n") } }
        << "product/bin/lib" << 2
        << Tree { { "product/bin/app.exe", "app v1" }, { "product/bin/old.dll", "old" } };
    // A folder that got new files, moved away since: they can't be taken back
    // from it, and the rollback doesn't claim they were.
    QTest::newRow("folder of added files moved away by the after script")
        << ""
        << Tree { { "add/product/bin/lib/fresh.dll", "fresh" },
               { "shell/shell_after/1.bat",
                   note("after", "mv product/bin/lib product/lib.away\nexit 3\n") } }
        << "" << 2 << Tree { { "product/lib.away/fresh.dll", "fresh" } };
}

// Links on the way to the targets of the file steps, there before the upgrade
// or planted by its scripts: one that stays inside is followed, one leading
// outside is refused and the upgrade rolled back. Outside nothing changes, not
// even through the rollback.
void tst_Transaction::linksOnTheWay()
{
    QFETCH(QString, link);
    QFETCH(Tree, changed);
    QFETCH(QString, refused);
    QFETCH(int, outcome);
    QFETCH(Tree, after);
#ifdef Q_OS_WIN
    for (const QByteArray &content : qAsConst(changed)) {
        if (content.contains("ln -s"))
            QSKIP("the script makes a symbolic link: a Windows program under wine can make "
                  "none (and the test shell has no ln)");
    }
#endif
    Installation install;
    QVERIFY(install.layOut());
    const QString outside = install.tmp.path() + "/outside";
    QVERIFY(writeTree(outside,
        { { "victim.dll", "outside" }, { "core.dll", "outside core" },
            { "fresh.dll", "outside fresh" }, { "sub/deep.txt", "deep" } }));
    const QString linkPath = install.main + '/' + link.section('>', 0, 0);
#ifdef Q_OS_WIN
    QString why;
    if (!link.isEmpty() && !makeSymLink(link.section('>', 1), linkPath, &why))
        QSKIP(qPrintable(why));
#else
    if (!link.isEmpty())
        QVERIFY(QFile::link(link.section('>', 1), linkPath));
#endif
    const Tree before = install.state();
    const Tree outsideBefore = snapshot(outside);
    Tree tree { { "delete/product/bin/old.dll", "" }, { "update/product/bin/app.exe", "app v2" },
        { "shell/shell_before/1.bat", note("before") },
        { "shell/shell_rollback/1.bat", note("rollback") } };
    for (auto it = changed.cbegin(); it != changed.cend(); ++it)
        tree.insert(it.key(), it.value());

    {
        // The pre-flight sees only the links that are there already.
        QString error;
        RegisteredPackage registered(buildPackage(install.tmp.path() + "/pre", tree, &error));
        QVERIFY2(registered.isRegistered(), qPrintable(error));
        const PreflightReport report = runPreflight({ install.main, "bin", false, false });
        QCOMPARE(report.ok(), link.isEmpty() || refused.isEmpty());
    }
    const QStringList events = upgrade(install, tree);

    QVERIFY2(!events.isEmpty() && events.last() == QString::number(outcome),
        qPrintable(events.join('\n')));
    QCOMPARE(snapshot(outside), outsideBefore);
    if (!refused.isEmpty()) {
        const QString refusal = PathGuard::refusal(
            { install.main + '/' + refused, QFileInfo(outside).canonicalFilePath() });
        QVERIFY2(events.filter(refusal).size() > 0, qPrintable(events.join('\n')));
    }
    if (after.isEmpty())
        QCOMPARE(install.state(), before);
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        QCOMPARE(readFile(install.main + '/' + it.key()), it.value());
}

// A folder on the way swapped for a link to outside, again and again, while
// the extraction, the file steps, the rollback and the clean-up run: whatever
// moment a swap hits, nothing outside changes, and the upgrade either ends
// with every file inside upgraded or is undone (what the rollback can't reach
// while the link stands, the next start's recovery puts back).
void tst_Transaction::linkSwappedDuringUpgrade_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("target folder") << "product/lib";
    QTest::newRow("backup folder") << "upgrade_backup";
    QTest::newRow("staging folder") << "upgrade_temp";
}

void tst_Transaction::linkSwappedDuringUpgrade()
{
#ifdef Q_OS_WIN
    QSKIP("swapping a folder for a junction while it is held open is refused on Windows");
#else
    QFETCH(QString, folder);
    // The race is about names, not the disk: in memory, 24 runs stay quick.
    const QByteArray tmpdir = qgetenv("TMPDIR");
    if (QFileInfo("/dev/shm").isDir())
        qputenv("TMPDIR", "/dev/shm");
    const auto restore = qScopeGuard([tmpdir] { qputenv("TMPDIR", tmpdir); });
    QTemporaryDir shared;
    Tree files, changes;
    for (int i = 0; i < 2000; ++i) {
        files.insert(QStringLiteral("product/lib/f%1.dll").arg(i), "v1");
        changes.insert(QStringLiteral("update/product/lib/f%1.dll").arg(i), "v2");
    }
    QString error;
    RegisteredPackage registered(buildPackage(shared.path() + "/pkg", changes, &error));
    QVERIFY2(registered.isRegistered(), qPrintable(error));
    const QString outside = shared.path() + "/outside";
    QVERIFY(writeTree(outside, files));
    const Tree outsideBefore = snapshot(outside);
    // The swapped folder itself may be left behind (empty) by the swapping.
    const auto inside = [&folder](Installation &install) {
        Tree state = install.state();
        for (const QString &key : state.keys())
            if (key.startsWith(folder) && !folder.startsWith("product"))
                state.remove(key);
        return state;
    };

    int upgraded = 0;
    for (int run = 0; run < 8; ++run) {
        Installation install;
        QVERIFY(install.layOut() && writeTree(install.main, files));
        const Tree before = inside(install);
        const QString real = install.main + '/' + folder;
        const QByteArray name = QFile::encodeName(real);
        const QByteArray aside = name + ".aside";
        std::atomic<bool> stop { false };
        std::thread racer([&] {
            while (!stop) {
                if (::rename(name.constData(), aside.constData()) != 0)
                    continue;
                ::symlink(QFile::encodeName(outside).constData(), name.constData());
                std::this_thread::yield();
                ::unlink(name.constData());
                ::rename(aside.constData(), name.constData());
            }
        });
        WorkingDirectory cwd(install.tmp.path());
        UpgradeOutcome outcome = UpgradeOutcome::Busy;
        {
            WorkerRun worker;
            prepare(worker.object());
            QObject::connect(
                worker.object(), &CUpgradeWorker::sigOutcome, worker.object(),
                [&outcome](UpgradeOutcome code) { outcome = code; }, Qt::DirectConnection);
            worker.startCopyAll(install.main);
            const bool ended = worker.waitForEnd() && worker.flush();
            stop = true;
            racer.join();
            QVERIFY(ended);
        }
        if (QFileInfo(real).isSymLink())
            QFile::remove(real);
        QFile::rename(QFile::decodeName(aside), real);
        QCOMPARE(snapshot(outside), outsideBefore);
        if (outcome == UpgradeOutcome::NotRestored) {
            const WorkerDriver::Recovery recovery = WorkerDriver().recover(install.main);
            QVERIFY2(recovery.result == RecoveryResult::RolledBack
                    || recovery.result == RecoveryResult::RolledForward,
                qPrintable(recovery.lines.join('\n')));
            outcome = UpgradeOutcome::Restored;
        }
        QVERIFY(outcome == UpgradeOutcome::Upgraded || outcome == UpgradeOutcome::Restored);
        if (outcome == UpgradeOutcome::Restored) {
            QCOMPARE(inside(install), before);
            continue;
        }
        ++upgraded;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QCOMPARE(readFile(install.main + '/' + it.key()), QByteArray("v2"));
    }
    qDebug("%d of 8 runs upgraded, the others undone", upgraded);
#endif
}

#ifdef Q_OS_WIN
// This program copied to the database helper's name (databaseAlreadyUpgraded):
// runs the real helper beside it, then fails unless only asked whether the
// upgrade was applied.
int helperStandIn()
{
    QProcess real;
    real.setProcessChannelMode(QProcess::ForwardedChannels);
    real.setInputChannelMode(QProcess::ForwardedInputChannel);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    real.start(QCoreApplication::applicationFilePath() + ".real", arguments);
    if (!real.waitForFinished(-1) || real.exitStatus() != QProcess::NormalExit)
        return 1;
    if (real.exitCode() != 0)
        return real.exitCode();
    return arguments.filter("--applied").isEmpty() ? 1 : 0;
}
#endif

void tst_Transaction::beginRefused_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("begin"); // Transaction::Begin
    QTest::addColumn<QString>("line");
    QTest::newRow("no main directory") << "gone" << int(Transaction::Begin::NoInstallation) << "";
    QTest::newRow("another upgrade holds the lock")
        << "locked" << int(Transaction::Begin::Busy)
        << "另一个升级程序正在运行,本次升级未作任何改动";
    QTest::newRow("another upgrade installed since the package was judged")
        << "moved" << int(Transaction::Begin::Busy)
        << "另一个升级程序已将安装升级到2.1.5,本次升级未作任何改动";
    QTest::newRow("an interrupted upgrade's journal")
        << "journal" << int(Transaction::Begin::Refused)
        << "上次升级未完成,请先重新启动升级程序完成恢复";
}

// Whatever refuses a transaction leaves the lock free and the journal as it was.
void tst_Transaction::beginRefused()
{
    QFETCH(QString, setup);
    Installation install;
    QVERIFY(install.layOut());
    WorkingDirectory cwd(install.tmp.path());
    if (setup == "gone")
        QVERIFY(QDir(install.main).removeRecursively());
    InstallationLock other;
    if (setup == "locked")
        QCOMPARE(other.take(SuiteLayout::lockFile(install.main)), InstallationLock::Result::Taken);
    if (setup == "journal")
        QVERIFY(writeFile(SuiteLayout::journalFile(install.main), "left"));
    UpgradeRequest request;
    request.mainPath = install.main;
    request.version = setup == "moved" ? "2.1.0" : "2.1.5";
    Transaction transaction(install.main);
    QString line;
    QTEST(int(transaction.begin(request, &line)), "begin");
    QTEST(line, "line");
    QVERIFY(!transaction.isLocked());
    other.release();
    QCOMPARE(QFileInfo::exists(SuiteLayout::lockFile(install.main)), false);
    if (setup == "journal")
        QCOMPARE(readFile(SuiteLayout::journalFile(install.main)), QByteArray("left"));
}

// An upgrade refused for an interrupted one that wasn't recovered leaves that
// one's journal, backups and staged files as they are: the way back.
void tst_Transaction::leftJournalKeepsItsBackups()
{
    Installation install;
    QVERIFY(install.layOut());
    QVERIFY(writeFile(SuiteLayout::journalFile(install.main), "left"));
    QVERIFY(writeFile(SuiteLayout::backupRoot(install.main) + "/0", "the original"));
    QVERIFY(writeFile(SuiteLayout::stagedPackageRoot(install.main) + "/update/a.dll", "staged"));
    const Tree before = install.state();

    const QStringList events = upgrade(install, package);

    QVERIFY2(events.contains("status:上次升级未完成,请先重新启动升级程序完成恢复"),
        qPrintable(events.join('\n')));
    QCOMPARE(events.last(), QStringLiteral("1"));
    QCOMPARE(install.state(), before);
}

int main(int argc, char *argv[])
{
    // The child of interruptedAtEveryChange: one upgrade, stopped by the
    // fault injection (UPGRADE_FAULT_AFTER) or ended normally.
    if (argc == 4 && qstrcmp(argv[1], "--upgrade-child") == 0) {
        QCoreApplication app(argc, argv);
        RegisteredPackage registered(QString::fromLocal8Bit(argv[2]));
        WorkerRun run;
        prepare(run.object());
        run.startCopyAll(QString::fromLocal8Bit(argv[3]));
        if (run.waitForEnd() && run.flush() && run.events.contains("sigSuccessClearEnd"))
            return 0;
        // Ended otherwise: what the worker said, for the test's message.
        std::fputs(qPrintable(run.events.join('\n')), stderr);
        return 1;
    }
    QCoreApplication app(argc, argv);
#ifdef Q_OS_WIN
    if (QFileInfo(QCoreApplication::applicationFilePath()).fileName()
        == "upgrade_install_helper.exe")
        return helperStandIn();
#endif
    tst_Transaction test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_transaction.moc"
