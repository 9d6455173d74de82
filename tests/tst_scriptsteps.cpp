#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "CUpgradeWorker.h"
#include "UpgradeConstants.h"
#include "support/EngineHarness.h"

using EngineHarness::buildPackage;
using EngineHarness::readFile;
using EngineHarness::RegisteredPackage;
using EngineHarness::Tree;
using EngineHarness::WorkerRun;
using EngineHarness::WorkingDirectory;
using EngineHarness::writeFile;

namespace {

// A script that notes its name in order.txt of the working directory (the
// installation folder) and ends with the given code.
QByteArray script(const QString &name, int exitCode = 0)
{
    return QStringLiteral("echo %1 >> order.txt\nexit %2\n").arg(name).arg(exitCode).toUtf8();
}

QString scriptPath(const QString &installPath, const QString &folder, const QString &name)
{
    return installPath + QStringLiteral("/upgrade_temp/upgrade/shell/") + folder + QLatin1Char('/')
        + name;
}

QString succeeded(const QString &path)
{
    return path + QStringLiteral(" 执行成功!");
}

QString failed(const QString &path)
{
    return path + QStringLiteral(" 执行失败!");
}

const QString reasonPrefix = QStringLiteral("失败原因:");

// Script lines and the lines that show where the file steps ran, in order;
// a reason line is reduced to its prefix.
QStringList scriptAndStepLines(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines) {
        if (line.startsWith(reasonPrefix))
            result << reasonPrefix;
        else if (line.contains(QStringLiteral(" 执行")) || line.startsWith(QStringLiteral("正在")))
            result << line;
    }
    return result;
}

} // namespace

class tst_ScriptSteps : public QObject
{
    Q_OBJECT

private slots:
    void scriptsRunInNameOrder_data();
    void scriptsRunInNameOrder();
    void failingScriptStopsTheChain_data();
    void failingScriptStopsTheChain();
    void noScripts_data();
    void noScripts();
    void shMissingFromPath();
};

void tst_ScriptSteps::scriptsRunInNameOrder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("suiteName");
    QTest::newRow("before scripts") << "shell_before"
                                    << "suite";
    QTest::newRow("after scripts") << "shell_after"
                                   << "suite";
    QTest::newRow("installation path with a blank") << "shell_before"
                                                    << "my suite";
}

void tst_ScriptSteps::scriptsRunInNameOrder()
{
    QFETCH(QString, folder);
    QFETCH(QString, suiteName);
    QTemporaryDir tmp;
    const QString base = "shell/" + folder + "/";
    const Tree package {
        { base + "b.bat", script("b") },
        { base + "A.bat", script("A") },
        { base + "c.BAT", script("c") },
        { base + "notes.txt", script("txt") },
        { base + "1.sql", script("sql") },
        { base + "sub/d.bat", script("d") },
        // Waiting for input must not hold the chain: the script reads end of file.
        { base + "d_reads.bat", "read line\necho d >> order.txt\nexit 0\n" },
        // Before scripts run ahead of the delete step, after scripts behind
        // the add step.
        { "delete/gone.txt", "x" },
        { "add/added.txt", "new" },
    };
    QString error;
    const QString rcc = buildPackage(tmp.path(), package, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    const QString installPath = tmp.path() + "/" + suiteName;
    QVERIFY(writeFile(installPath + "/gone.txt", "installed"));
    WorkingDirectory cwd(tmp.path());

    WorkerRun run;
    run.startCopyAll(installPath);
    QVERIFY(run.waitForEnd());
    QVERIFY(run.flush());
    run.stop();

    QCOMPARE(readFile(installPath + "/order.txt"), QByteArray("A\nb\nc\nd\n"));
    const QStringList scripts {
        succeeded(scriptPath(installPath, folder, "A.bat")),
        succeeded(scriptPath(installPath, folder, "b.bat")),
        succeeded(scriptPath(installPath, folder, "c.BAT")),
        succeeded(scriptPath(installPath, folder, "d_reads.bat")),
    };
    const QStringList steps {
        "正在删除文件:" + installPath + "/gone.txt",
        "正在添加文件:" + installPath + "/added.txt",
    };
    QCOMPARE(scriptAndStepLines(run.statusLines()),
        folder == "shell_before" ? scripts + steps : steps + scripts);
    QCOMPARE(run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigSuccessClearEnd" }));
    QVERIFY(!QFileInfo::exists(installPath + "/upgrade_temp"));
}

void tst_ScriptSteps::failingScriptStopsTheChain_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("secondScript");

    QTest::newRow("before script exits with 1") << "shell_before" << script("b", 1);
    QTest::newRow("after script exits with 1") << "shell_after" << script("b", 1);
    QTest::newRow("before script crashes")
        << "shell_before" << QByteArray("echo b >> order.txt\nkill -9 $$\n");
    QTest::newRow("after script crashes")
        << "shell_after" << QByteArray("echo b >> order.txt\nkill -9 $$\n");
}

void tst_ScriptSteps::failingScriptStopsTheChain()
{
    QFETCH(QString, folder);
    QFETCH(QByteArray, secondScript);
    QTemporaryDir tmp;
    const QString base = "shell/" + folder + "/";
    const Tree package {
        { base + "a.bat", script("a") },
        { base + "b.bat", secondScript },
        { base + "c.bat", script("c") },
        { "delete/gone.txt", "x" },
        { "update/updated.txt", "new" },
    };
    QString error;
    const QString rcc = buildPackage(tmp.path(), package, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    const QString installPath = tmp.path() + "/suite";
    QVERIFY(writeFile(installPath + "/gone.txt", "installed"));
    QVERIFY(writeFile(installPath + "/updated.txt", "old"));
    WorkingDirectory cwd(tmp.path());

    WorkerRun run;
    run.startCopyAll(installPath);
    QVERIFY(run.waitForEnd());
    QVERIFY(run.flush());
    run.stop();

    // The third script never ran; nothing after the failure ran either.
    QCOMPARE(readFile(installPath + "/order.txt"), QByteArray("a\nb\n"));
    QStringList expected { succeeded(scriptPath(installPath, folder, "a.bat")),
        failed(scriptPath(installPath, folder, "b.bat")), reasonPrefix };
    const bool after = folder == "shell_after";
    if (after) {
        expected.prepend("正在更新文件:" + installPath + "/updated.txt");
        expected.prepend("正在删除文件:" + installPath + "/gone.txt");
    }
    QCOMPARE(scriptAndStepLines(run.statusLines()), expected);
    const QStringList lines = run.statusLines();
    // The reason line carries the process's error text and ends the log.
    QVERIFY(lines.last().startsWith(reasonPrefix));
    QVERIFY(lines.last().size() > reasonPrefix.size());
    QCOMPARE(run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigFaildClearEnd" }));
    QVERIFY(!QFileInfo::exists(installPath + "/upgrade_temp"));
    // What the file steps did before an after script failed stays so.
    QCOMPARE(QFileInfo::exists(installPath + "/gone.txt"), !after);
    QCOMPARE(readFile(installPath + "/updated.txt"), after ? QByteArray("new") : QByteArray("old"));
}

void tst_ScriptSteps::noScripts_data()
{
    QTest::addColumn<Tree>("package");
    QTest::newRow("no shell folder") << Tree { { "add/added.txt", "new" } };
    QTest::newRow("empty script folders") << Tree { { "add/added.txt", "new" },
        { "shell/shell_before/", {} }, { "shell/shell_after/", {} } };
    QTest::newRow("only other files")
        << Tree { { "add/added.txt", "new" }, { "shell/shell_before/run.sh", script("sh") },
               { "shell/shell_after/bat.txt", script("txt") } };
}

void tst_ScriptSteps::noScripts()
{
    QFETCH(Tree, package);
    QTemporaryDir tmp;
    QString error;
    const QString rcc = buildPackage(tmp.path(), package, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    const QString installPath = tmp.path() + "/suite";
    QVERIFY(QDir().mkpath(installPath));
    WorkingDirectory cwd(tmp.path());

    WorkerRun run;
    run.startCopyAll(installPath);
    QVERIFY(run.waitForEnd());
    QVERIFY(run.flush());
    run.stop();

    QCOMPARE(scriptAndStepLines(run.statusLines()),
        QStringList { "正在添加文件:" + installPath + "/added.txt" });
    QVERIFY(!QFileInfo::exists(installPath + "/order.txt"));
    QCOMPARE(run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigSuccessClearEnd" }));
}

void tst_ScriptSteps::shMissingFromPath()
{
    QTemporaryDir tmp;
    const Tree package {
        { "shell/shell_before/a.bat", script("a") },
        { "shell/shell_before/b.bat", script("b") },
        { "delete/gone.txt", "x" },
    };
    QString error;
    const QString rcc = buildPackage(tmp.path(), package, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    RegisteredPackage registered(rcc);
    QVERIFY(registered.isRegistered());
    const QString installPath = tmp.path() + "/suite";
    QVERIFY(writeFile(installPath + "/gone.txt", "installed"));
    const QString emptyBin = tmp.path() + "/empty-bin";
    QVERIFY(QDir().mkpath(emptyBin));
    WorkingDirectory cwd(tmp.path());

    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(emptyBin));
    WorkerRun run;
    run.startCopyAll(installPath);
    const bool ended = run.waitForEnd();
    qputenv("PATH", path);
    QVERIFY(ended);
    QVERIFY(run.flush());
    run.stop();

    QCOMPARE(scriptAndStepLines(run.statusLines()),
        (QStringList { failed(scriptPath(installPath, "shell_before", "a.bat")), reasonPrefix }));
    const QString reason = run.statusLines().last();
    QVERIFY2(reason.size() > reasonPrefix.size(), qPrintable(reason));
    QCOMPARE(run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigFaildClearEnd" }));
    QCOMPARE(readFile(installPath + "/gone.txt"), QByteArray("installed"));
    QVERIFY(!QFileInfo::exists(installPath + "/upgrade_temp"));
}

QTEST_GUILESS_MAIN(tst_ScriptSteps)
#include "tst_scriptsteps.moc"
