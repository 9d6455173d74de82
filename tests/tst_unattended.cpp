#include <QtTest>

#include "InstallationLock.h"
#include "Journal.h"
#include "ProgressLines.h"
#include "SuiteLayout.h"
#include "support/SampleInstallation.h"
#include "support/PlatformFiles.h"
#include "support/TestPackage.h"

#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

// The installer run without a window, as an administrator's tool runs it:
// each exit code, what it prints, the log it leaves, and that every refusal
// leaves the installation as it was.
class tst_Unattended : public QObject
{
    Q_OBJECT
private slots:
    void exitCodes_data();
    void exitCodes();
    void usage_data();
    void usage();
    void logCopy_data();
    void logCopy();
    void terminationCancels_data();
    void terminationCancels();
    void progressLines_data();
    void progressLines();
};

namespace {

struct Run
{
    int code = -1;
    QString out, err;
};

Run runInstaller(const QString &folder, const QStringList &arguments, int dieAfterChanges = 0)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    if (dieAfterChanges > 0) { // the test copy stops dead after that many changes
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("UPGRADE_FAULT_AFTER"), QString::number(dieAfterChanges));
        process.setProcessEnvironment(environment);
    }
    // Absolute with its drive: a cross build's "/work/..." names the test's
    // own drive, not the one of the working directory.
    process.start(QFileInfo(dieAfterChanges > 0 ? QStringLiteral(UPGRADE_INSTALL_FAULTS)
                                                : QStringLiteral(UPGRADE_INSTALL))
                      .absoluteFilePath(),
        arguments);
    Run run;
    if (!process.waitForFinished(120000))
        return run;
    run.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Every file below folder with its bytes and permissions, logs left out.
QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(folder).relativeFilePath(path);
        if (relative.contains(QLatin1String("/logs")))
            continue;
        QFile file(path);
        QByteArray content = QByteArray::number(int(file.permissions())) + ':';
        if (it.fileInfo().isFile() && file.open(QIODevice::ReadOnly))
            content += file.readAll();
        files.insert(relative, content);
    }
    return files;
}

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// A log: a UTF-8 text file whose lines end as the system's do (CRLF on
// Windows), with '\n' line ends.
QString readLog(const QString &path)
{
    QString text = readAll(path);
#ifdef Q_OS_WIN
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
#endif
    return text;
}

} // namespace

void tst_Unattended::exitCodes_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("printed"); // on standard output or error
    QTest::addColumn<bool>("unchanged"); // the installation as before

    const QStringList none;
    QTest::newRow("upgraded") << "" << none << 0 << "结果:升级成功(退出码0)" << false;
    QTest::newRow("the installer ignores UPGRADE_FAULT_AFTER")
        << "fault injection asked" << none << 0 << "结果:升级成功(退出码0)" << false;
    QTest::newRow("dry run lists and changes nothing")
        << "" << QStringList { "--dry-run" } << 0 << "将更新1项:" << true;
    QTest::newRow("script fails: restored")
        << "failing script" << none << 1 << "结果:升级失败,安装已恢复到升级前的版本(退出码1)"
        << true;
    QTest::newRow("rollback script fails too: not restored")
        << "failing rollback" << none << 2 << "回滚脚本执行失败,安装可能未完全恢复" << false;
    QTest::newRow("not a package") << "garbage package" << none << 3 << "不是升级包文件" << true;
    QTest::newRow("damaged contents") << "flipped byte" << none << 3 << "升级包文件已损坏" << true;
    QTest::newRow("another product") << "other product" << none << 3 << "产品ID不匹配" << true;
    QTest::newRow("signature required") << "trusted key" << none << 3 << "升级包未签名" << true;
    QTest::newRow("suite program running") << "running" << none << 4 << "正在运行" << true;
    QTest::newRow("another upgrade") << "locked" << none << 5 << "另一个升级程序正在运行" << true;
    QTest::newRow("pre-flight: exe_path leads out")
        << "bad exe_path" << none << 6 << "升级前检查未通过" << true;
    QTest::newRow("pre-flight: file can't be replaced")
        << "immutable" << none << 6 << "升级前检查未通过" << true;
    QTest::newRow("backup tool missing")
        << "" << QStringList { "--backup-first" } << 6 << "工程管理工具不存在" << true;
    QTest::newRow("backup tool missing: a dry run says so too")
        << "" << QStringList { "--backup-first", "--dry-run" } << 6 << "工程管理工具不存在" << true;
    QTest::newRow("backup slower than --backup-timeout: ended, not upgraded")
        << "slow backup" << QStringList { "--backup-first", "--backup-timeout", "1" } << 6
        << "工程数据备份未在1秒内完成,未开始升级" << true;
    QTest::newRow("no record") << "no record" << none << 7 << "获取本地系统安装信息失败" << true;
    QTest::newRow("record copy can't be rewritten: a person must finish")
        << "bad second record" << none << 8 << "结果:升级成功,但需要手动处理(退出码8)" << false;
    QTest::newRow("quiet: only the result line")
        << "" << QStringList { "--quiet" } << 0 << "结果:升级成功(退出码0)" << false;
    QTest::newRow("interrupted before: undone, then upgraded")
        << "interrupted" << none << 0 << "上次中断的升级已撤销" << false;
    QTest::newRow("interrupted before: a dry run refuses to finish it")
        << "interrupted" << QStringList { "--dry-run" } << 6 << "--recover" << true;
    QTest::newRow("journal of an upgrade still running: a dry run says so")
        << "interrupted, locked" << QStringList { "--dry-run" } << 5 << "另一个升级程序正在运行"
        << true;
    QTest::newRow("interrupted before: --recover alone")
        << "interrupted" << QStringList { "--recover" } << 0 << "上次中断的升级已撤销" << false;
    QTest::newRow("interrupted once committed: --recover finishes it, a person must too")
        << "interrupted after commit" << QStringList { "--recover" } << 8
        << "结果:升级成功,但需要手动处理(退出码8)" << false;
    QTest::newRow("interrupted before: --recover --quiet")
        << "interrupted" << QStringList { "--recover", "--quiet" } << 0
        << "结果:安装处于一致状态(退出码0)" << false;
}

void tst_Unattended::exitCodes()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(QString, printed);
    QFETCH(bool, unchanged);

    SampleInstallation install;
    QVERIFY(install.writeRecord(7, QStringLiteral("2.1.5"), 0));
    QVERIFY(install.writeSecondRecord());
    const QString main = install.mainPath();
    const QString dll = main + QStringLiteral("/product/bin/app.dll");
    QFile old(dll);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
    old.close();

    TestPackage::Files files {
        { "upgrade/upgrade_config.xml",
            TestPackage::descriptor(setup == "other product" ? 8 : 7, "2.1.0", "2.1.6", 0, 0,
                setup == "bad exe_path" ? "../.." : "bin") },
        { "upgrade/update/product/bin/app.dll", "new" },
        { "upgrade/shell/shell_before/1.bat", "echo before\n" },
    };
    if (setup == "failing script" || setup == "failing rollback")
        files << qMakePair(QStringLiteral("upgrade/shell/shell_after/1.bat"),
            QByteArray("echo broken >&2\nexit 3\n"));
    if (setup == "failing rollback")
        files << qMakePair(
            QStringLiteral("upgrade/shell/shell_rollback/1.bat"), QByteArray("exit 1\n"));
    QTemporaryDir packageDir;
    QString error;
    QString package = TestPackage::build(packageDir.path(), files, &error);
    QVERIFY2(!package.isEmpty(), qPrintable(error));

    QProcess suiteProgram;
    QTemporaryDir outside; // what a test double notes outside the installation
    const QString pidFile = outside.filePath(QStringLiteral("pid"));
    InstallationLock lock;
    QScopeGuard cleanUp([&] {
        suiteProgram.kill();
        suiteProgram.waitForFinished();
#ifdef Q_OS_WIN
        QFile::setPermissions(dll, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#else
        QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("-i"), dll });
#endif
    });
    if (setup == "garbage package" || setup == "flipped byte") {
        QFile file(package);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        if (setup == "garbage package")
            bytes = "not a package";
        else
            bytes[bytes.indexOf("new")] = 'N';
        QVERIFY(file.resize(0) && file.seek(0) && file.write(bytes) == bytes.size());
    } else if (setup == "trusted key") {
        QDir().mkpath(SuiteLayout::trustedKeysFolder(main));
        QFile key(SuiteLayout::trustedKeysFolder(main) + QStringLiteral("/vendor.pub"));
        QVERIFY(key.open(QIODevice::WriteOnly));
        key.write("untrusted comment: minisign public key 8E8A8F5C4B1A2D3E\n"
                  "RWQ+LRpLXI+Kjg0J6CrvWB+gB+3PS4bwn7Fz3LtVPCM3Z8qGF+rRZ5pD\n");
    } else if (setup == "running") {
        const QString program = main + QStringLiteral("/platform/bin/suite_client.exe");
#ifdef Q_OS_WIN
        // The test shell (there is no sleep.exe) sleeps too.
        QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sh")), program));
        suiteProgram.start(program, { QStringLiteral("-c"), QStringLiteral("sleep 60") });
#else
        QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("sleep")), program));
        suiteProgram.start(program, { QStringLiteral("60") });
#endif
        QVERIFY(suiteProgram.waitForStarted());
    } else if (setup == "immutable") {
#ifdef Q_OS_WIN
        // What Windows refuses to replace: a read-only file.
        QVERIFY(QFile::setPermissions(dll, QFileDevice::ReadOwner | QFileDevice::ReadUser));
#else
        if (QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("+i"), dll }) != 0)
            QSKIP("chattr +i is not available here");
#endif
    } else if (setup == "slow backup") {
#ifdef Q_OS_WIN
        QSKIP("the test shell can't stand in for the project management tool: it takes a script "
              "to run, not the tool's arguments");
#else
        // A tool whose backup (a child of its own) never ends in time.
        const QString tool = main + QStringLiteral("/platform/bin/db_manager.exe");
        QFile script(tool);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nsleep 60 &\necho $! > '" + pidFile.toUtf8() + "'\nwait\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
#endif
    } else if (setup == "no record") {
        QVERIFY(QFile::remove(install.recordPath()));
    }
    if (setup == "bad second record" || setup == "interrupted after commit") {
        QFile record(install.secondRecordPath());
        QVERIFY(record.open(QIODevice::WriteOnly) && record.write("garbage") == 7);
    }
    if (setup == "interrupted after commit") {
        // Killed ever later until the journal says committed.
        Journal::Contents contents;
        for (int n = 1; n < 40 && !contents.marks.contains(Journal::Mark::Committed); ++n) {
            if (Journal::exists(main))
                QCOMPARE(runInstaller(install.path(), { "--recover" }).code, 0);
            runInstaller(install.path(), { "--unattended", "--package", package }, n);
            QVERIFY(Journal::read(main, &contents, &error));
        }
        QVERIFY(contents.marks.contains(Journal::Mark::Committed));
        QVERIFY(QDir(main + QStringLiteral("/logs")).removeRecursively());
    } else if (setup.startsWith("interrupted")) {
        const Run killed
            = runInstaller(install.path(), { "--unattended", "--package", package }, 2);
        QVERIFY(killed.code != 0);
        QVERIFY(Journal::exists(main));
        QVERIFY(QDir(main + QStringLiteral("/logs")).removeRecursively());
    }

    if (setup == "fault injection asked")
        qputenv("UPGRADE_FAULT_AFTER", "1");
    QScopeGuard noFaults([] { qunsetenv("UPGRADE_FAULT_AFTER"); });
    if (setup.endsWith("locked"))
        QCOMPARE(lock.take(SuiteLayout::lockFile(main)), InstallationLock::Result::Taken);

    const QMap<QString, QByteArray> before = snapshot(install.path());
    const QString copy = install.path() + QStringLiteral("/copy.log");
    QFile earlier(copy); // what an earlier run left there is not kept
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("an earlier run\n") > 0);
    earlier.close();
    const QString result = install.path() + QStringLiteral("/result.json");
    const QStringList arguments
        = (options.contains("--recover")
                  ? options
                  : QStringList { "--unattended", "--package", package, "--log", copy } + options)
        + QStringList { "--result", result };
    const Run run = runInstaller(install.path(), arguments);
    QCOMPARE(run.code, code);
    QVERIFY2((run.out + run.err).contains(printed), qPrintable(run.out + run.err));
    // The result is the last line of its stream: standard error unless upgraded.
    const QString resultStream = code == 0 || code == 8 ? run.out : run.err;
    QVERIFY2(resultStream.trimmed().section(QLatin1Char('\n'), -1).startsWith("结果:"),
        qPrintable(resultStream));
    if (code == 1 || code == 2) { // a failed script and what followed are problems
        QVERIFY2(run.err.contains("1.bat 执行失败!") && run.err.contains("失败原因:"),
            qPrintable(run.err));
        QVERIFY2(!run.out.contains("执行失败!"), qPrintable(run.out));
    }
    if (options.contains("--quiet")) // the one line, CRLF on Windows
        QCOMPARE(run.out.trimmed(), printed);
    if (setup == "no record") // named as it is, wherever the installer was started
        QVERIFY2(
            run.err.contains(QDir::toNativeSeparators(install.recordPath())), qPrintable(run.err));
    const QJsonObject written = QJsonDocument::fromJson(readAll(result).toUtf8()).object();
    QCOMPARE(written.value("exitCode").toInt(-1), code);
    QVERIFY(QFile::remove(result));
    const QString log = readLog(copy);
    QFile::remove(copy);
#ifndef Q_OS_WIN
    if (setup == "slow backup") { // the tool's child ended with it
        const pid_t pid = pid_t(readAll(pidFile).trimmed().toInt());
        QVERIFY(pid > 0);
        QTRY_VERIFY(::kill(pid, 0) != 0);
    }
#endif
    if (unchanged)
        QCOMPARE(snapshot(install.path()), before);

    // The log stays: in the main directory (not for a dry run or without a
    // record) and where --log asked; each with what was upgraded and how it
    // ended.
    const QFileInfoList logs = QDir(main + QStringLiteral("/logs")).entryInfoList(QDir::Files);
    const bool mainLog = !options.contains("--dry-run") && setup != "no record";
    if (options.contains("--recover")) { // no package, no log
        QVERIFY(!Journal::exists(main));
        QCOMPARE(readAll(dll), QString(code == 8 ? "new" : "old"));
        return;
    }
    QCOMPARE(logs.size(), mainLog ? 1 : 0);
    if (mainLog)
        QCOMPARE(readLog(logs.value(0).absoluteFilePath()), log);
    QVERIFY2(log.contains(printed), qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("(退出码%1)\n").arg(code)), qPrintable(log));
    QVERIFY(!log.contains(QStringLiteral("an earlier run")));
    if (code <= 2) {
        QVERIFY(log.contains(QStringLiteral("升级包:") + QDir::toNativeSeparators(package)));
        QVERIFY(log.contains(QStringLiteral("当前安装版本:2.1.5")));
        QVERIFY(log.contains(QStringLiteral("升级前检查通过")));
        if (code == 1)
            QVERIFY(log.contains(QStringLiteral("    broken")));
        QVERIFY(QRegularExpression(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT[\\d:.]+ "), QRegularExpression::MultilineOption)
                    .match(log)
                    .hasMatch());
    }
}

void tst_Unattended::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("onStandardOutput");
    QTest::newRow("help") << QStringList { "--help" } << 0 << true;
    QTest::newRow("unknown option") << QStringList { "--quiet" } << 64 << false;
    QTest::newRow("missing value") << QStringList { "--unattended", "--package" } << 64 << false;
    QTest::newRow("recover, nothing to do") << QStringList { "--recover" } << 0 << true;
}

void tst_Unattended::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(bool, onStandardOutput);
    SampleInstallation install;
    QVERIFY(install.writeRecord());
    const Run run = runInstaller(install.path(), arguments);
    QCOMPARE(run.code, code);
    const bool usage = arguments.first() != "--recover";
    QCOMPARE((onStandardOutput ? run.out : run.err).contains(QStringLiteral("退出码:")), usage);
    QCOMPARE(run.out.isEmpty(), !onStandardOutput);
    QVERIFY(!QFileInfo::exists(install.mainPath() + "/logs")); // nothing to keep of these
}

#ifdef Q_OS_WIN
const QString device = QStringLiteral("NUL");
#else
const QString device = QStringLiteral("/dev/full");
#endif

void tst_Unattended::logCopy_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("printed"); // on standard output or error
    QTest::addColumn<bool>("named"); // the --log file on standard error
    // Refused before anything is opened: what recovery and the upgrade need.
    QTest::newRow("the package") << "package" << 64 << "升级包" << true;
    QTest::newRow("its signature") << "signature" << 64 << "升级包" << true;
    QTest::newRow("the installation record") << "record" << 64 << "安装信息" << true;
    QTest::newRow("the journal in the main directory") << "journal" << 64 << "logs" << true;
    QTest::newRow("a link") << "link" << 64 << "符号链接" << true;
    QTest::newRow("a named pipe") << "pipe" << 64 << "不是普通文件" << true;
    QTest::newRow("a device") << device << 64 << "不是普通文件" << true;
    // Written as a new file: another name of the same file stays as it was.
    QTest::newRow("a hard link is replaced")
        << "hard link" << 0 << "结果:试运行检查通过,未作任何改动(退出码0)" << false;
    QTest::newRow("in the logs folder") << "logs" << 0 << "检查通过" << false;
    QTest::newRow("its folder is missing: refused before anything starts")
        << "missing folder" << 64 << "选项--log指向的文件夹不存在" << false;
}

// What --log may name, and that a copy never destroys what it replaces.
void tst_Unattended::logCopy()
{
    QFETCH(QString, target);
    QFETCH(int, code);
    QFETCH(QString, printed);
    QFETCH(bool, named);
    SampleInstallation install;
    QVERIFY(install.writeRecord(7, QStringLiteral("2.1.5"), 0));
    const QString main = install.mainPath();
    QTemporaryDir outside;
    QString error;
    const QString package = TestPackage::build(outside.path(),
        { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.6", 0, 0) },
            { "upgrade/add/product/bin/new.dll", "new" } },
        &error);
    QVERIFY2(!package.isEmpty(), qPrintable(error));
    const QString precious = outside.filePath("precious.txt");
    QFile file(precious);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("precious") == 8);
    file.close();

    QString log = target == device ? target : outside.filePath(target + ".log");
    if (target == "package") {
        log = package;
    } else if (target == "signature") {
        log = package + ".minisig";
    } else if (target == "record") {
        log = install.recordPath();
    } else if (target == "journal") {
        log = SuiteLayout::journalFile(main);
        QFile journal(log);
        QVERIFY(journal.open(QIODevice::WriteOnly) && journal.write("a journal\n") > 0);
    } else if (target == "link") {
#ifdef Q_OS_WIN
        QString why;
        if (!makeSymLink(precious, log, &why))
            QSKIP(qPrintable(why));
#else
        QVERIFY(QFile::link(precious, log));
#endif
#ifdef Q_OS_WIN
    } else if (target == "pipe") {
        QSKIP("Windows makes named pipes only below \\\\.\\pipe\\, in no folder");
    } else if (target == "hard link") {
        QVERIFY(CreateHardLinkW(QDir::toNativeSeparators(log).toStdWString().c_str(),
            QDir::toNativeSeparators(precious).toStdWString().c_str(), nullptr));
#else
    } else if (target == "pipe" || target == "hard link") {
        QVERIFY(target == "pipe" ? ::mkfifo(QFile::encodeName(log).constData(), 0600) == 0
                                 : ::link(QFile::encodeName(precious).constData(),
                                       QFile::encodeName(log).constData())
                    == 0);
#endif
    } else if (target == "logs") {
        QVERIFY(QDir().mkpath(main + "/logs"));
        log = main + "/logs/copy.log";
    } else if (target == "missing folder") {
        log = outside.filePath("none/copy.log");
    }
    const QMap<QString, QByteArray> before = snapshot(install.path());
    const QByteArray packageBytes = readAll(package).toUtf8();

    const Run run = runInstaller(
        install.path(), { "--unattended", "--package", package, "--log", log, "--dry-run" });
    QCOMPARE(run.code, code);
    QVERIFY2((run.out + run.err).contains(printed), qPrintable(run.out + run.err));
    QCOMPARE(run.err.contains(QDir::toNativeSeparators(log)), named);
    QCOMPARE(snapshot(install.path()), before);
    QCOMPARE(readAll(package).toUtf8(), packageBytes);
    QCOMPARE(readAll(precious), QStringLiteral("precious"));
    if (code == 0 && !named)
        QVERIFY2(readAll(log).contains(printed), qPrintable(readAll(log)));
}

void tst_Unattended::terminationCancels_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

// A request to end the installer mid-upgrade cancels it: rolled back, exit 1,
// the log says why; a second one during the rollback changes nothing.
void tst_Unattended::terminationCancels()
{
#ifdef Q_OS_WIN
    QSKIP("signals are a Unix matter; Ctrl+Break needs a console shared with the installer, "
          "and this program under wine gets none (AllocConsole fails)");
#else
    QFETCH(int, signal);
    SampleInstallation install;
    QVERIFY(install.writeRecord(7, QStringLiteral("2.1.5"), 0));
    QVERIFY(install.writeSecondRecord());
    const QString main = install.mainPath();
    QTemporaryDir marks;
    const QByteArray running = QFile::encodeName(marks.path() + "/running");
    const QByteArray rolling = QFile::encodeName(marks.path() + "/rolling");
    QTemporaryDir packageDir;
    QString error;
    const QString package = TestPackage::build(packageDir.path(),
        { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.6", 0, 0) },
            { "upgrade/update/product/bin/app.dll", "new" },
            { "upgrade/shell/shell_after/1.bat", "touch '" + running + "'\nsleep 60\n" },
            { "upgrade/shell/shell_rollback/1.bat",
                "touch '" + rolling + "'\nsleep 1\necho rolled back\n" } },
        &error);
    QVERIFY2(!package.isEmpty(), qPrintable(error));
    const QMap<QString, QByteArray> before = snapshot(install.path());

    QProcess installer;
    installer.setWorkingDirectory(install.path());
    installer.start(QStringLiteral(UPGRADE_INSTALL), { "--unattended", "--package", package });
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QFile::decodeName(running)), 30000);
    ::kill(pid_t(installer.processId()), signal);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QFile::decodeName(rolling)), 30000);
    ::kill(pid_t(installer.processId()), signal);
    QVERIFY(installer.waitForFinished(60000));
    const QString out = QString::fromUtf8(installer.readAllStandardOutput());
    QCOMPARE(installer.exitStatus(), QProcess::NormalExit);
    QCOMPARE(installer.exitCode(), 1);
    QCOMPARE(snapshot(install.path()), before);
    QVERIFY(!Journal::exists(main));
    const QFileInfoList logs = QDir(main + QStringLiteral("/logs")).entryInfoList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    const QString log = readAll(logs.value(0).absoluteFilePath());
    QCOMPARE(log.count(QStringLiteral("收到终止信号,正在取消升级")), 1);
    QVERIFY2(log.contains(QStringLiteral("失败原因:升级已取消")), qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("(退出码1)")), qPrintable(log + out));
#endif
}

void tst_Unattended::progressLines_data()
{
    QTest::addColumn<QStringList>("reports"); // "ms|done|total|action"
    QTest::addColumn<QStringList>("printed");
    QTest::newRow("a step is said when it starts, not again within 5 s")
        << QStringList { "0|1|10|正在执行脚本 a.bat", "4999|2|10|正在执行脚本 a.bat" }
        << QStringList { "正在执行脚本 a.bat" };
    QTest::newRow("each script is a step")
        << QStringList { "0|1|10|正在执行脚本 a.bat", "10|2|10|正在执行脚本 b.bat" }
        << QStringList { "正在执行脚本 a.bat", "正在执行脚本 b.bat" };
    QTest::newRow("a long file step: a percentage every 5 s")
        << QStringList { "0|1|10|正在更新文件:a", "5000|3|10|正在更新文件:b",
               "6000|4|10|正在更新目录:c", "10000|5|8|正在更新文件:d", "10001|6|8|" }
        << QStringList { "正在更新文件:a", "[30%] 正在更新文件:b", "[62%] 正在更新文件:d" };
    QTest::newRow("the next file step") << QStringList {
        "0|1|10|正在删除文件:a", "10|2|10|正在更新文件:b", "20|3|10|正在升级数据库"
    } << QStringList { "正在删除文件:a", "正在更新文件:b", "正在升级数据库" };
}

void tst_Unattended::progressLines()
{
    QFETCH(QStringList, reports);
    QFETCH(QStringList, printed);
    qint64 now = 0;
    ProgressLines progress([&now] { return now; });
    QStringList lines;
    for (const QString &report : reports) {
        const QStringList parts = report.split('|');
        now = parts.at(0).toLongLong();
        const QString line = progress.take(parts.at(1).toInt(), parts.at(2).toInt(), parts.at(3));
        if (!line.isEmpty())
            lines << line;
    }
    QCOMPARE(lines, printed);
}

QTEST_GUILESS_MAIN(tst_Unattended)
#include "tst_unattended.moc"
