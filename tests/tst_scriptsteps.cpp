#include <QtTest>

#include "support/EngineHarness.h"

using namespace EngineHarness;

namespace {

// A script that notes its name in order.txt of the working directory (the
// installation folder) and ends with the given code.
QByteArray script(const QString &name, int exitCode = 0)
{
    return QStringLiteral("echo %1 >> order.txt\nexit %2\n").arg(name).arg(exitCode).toUtf8();
}

const QString reasonPrefix = QStringLiteral("失败原因:");

// The script lines and the lines that show where the file steps ran, in
// order; a script's staged path is cut to "<folder>/<name>", a reason line to
// its prefix. The lines name paths natively (with '\' on Windows).
QStringList scriptAndStepLines(const Upgrade &upgrade)
{
    const QString shell = QDir::toNativeSeparators(
        upgrade.installPath + QStringLiteral("/upgrade_temp/upgrade/shell/"));
    const QString install = QDir::toNativeSeparators(upgrade.installPath + QLatin1Char('/'));
    QStringList result;
    for (QString line : upgrade.run.statusLines()) {
        if (line.startsWith(reasonPrefix))
            result << reasonPrefix;
        else if (line.contains(QStringLiteral(" 执行")))
            result << line.replace(shell, QString());
        else if (line.startsWith(QStringLiteral("正在")))
            result << line.replace(install, QString());
    }
    return result;
}

} // namespace

// The scripts of shell/shell_before and shell/shell_after.
class tst_ScriptSteps : public QObject
{
    Q_OBJECT

private slots:
    void scriptsRunInNameOrder_data();
    void scriptsRunInNameOrder();
    void failingScriptStopsTheChain_data();
    void failingScriptStopsTheChain();
    void shMissingFromPath();
    void failureReason_data();
    void failureReason();
};

void tst_ScriptSteps::scriptsRunInNameOrder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("suiteName");
    QTest::newRow("before scripts") << "shell_before" << QString("suite");
    QTest::newRow("after scripts") << "shell_after" << QString("suite");
    QTest::newRow("installation path with a blank") << "shell_before" << QString("my suite");
}

void tst_ScriptSteps::scriptsRunInNameOrder()
{
    QFETCH(QString, folder);
    QFETCH(QString, suiteName);
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
        // Before scripts run ahead of the delete step, after scripts behind the add step.
        { "delete/gone.txt", "x" },
        { "add/added.txt", "new" },
    };
    Upgrade upgrade;
    upgrade.installPath = upgrade.tmp.path() + "/" + suiteName;
    QVERIFY(writeFile(upgrade.installPath + "/gone.txt", "installed"));

    QVERIFY2(upgrade.execute(package), qPrintable(upgrade.error));

    QCOMPARE(readFile(upgrade.installPath + "/order.txt"), QByteArray("A\nb\nc\nd\n"));
    QStringList scripts;
    for (const char *name : { "A.bat", "b.bat", "c.BAT", "d_reads.bat" })
        scripts << QDir::toNativeSeparators(folder + "/" + QLatin1String(name)) + " 执行成功!";
    const QStringList steps { "正在删除文件:gone.txt", "正在添加文件:added.txt" };
    QCOMPARE(
        scriptAndStepLines(upgrade), folder == "shell_before" ? scripts + steps : steps + scripts);
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigSuccessClearEnd" }));
    QVERIFY(!QFileInfo::exists(upgrade.staging()));
}

void tst_ScriptSteps::failingScriptStopsTheChain_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("secondScript");
    const QByteArray crash = "echo b >> order.txt\nkill -9 $$\n";
    QTest::newRow("before script exits with 1") << "shell_before" << script("b", 1);
    QTest::newRow("after script exits with 1") << "shell_after" << script("b", 1);
    QTest::newRow("before script crashes") << "shell_before" << crash;
    QTest::newRow("after script crashes") << "shell_after" << crash;
}

void tst_ScriptSteps::failingScriptStopsTheChain()
{
    QFETCH(QString, folder);
    QFETCH(QByteArray, secondScript);
    const QString base = "shell/" + folder + "/";
    Upgrade upgrade;
    QVERIFY(
        writeTree(upgrade.installPath, { { "gone.txt", "installed" }, { "updated.txt", "old" } }));

    QVERIFY2(upgrade.execute({ { base + "a.bat", script("a") }, { base + "b.bat", secondScript },
                 { base + "c.bat", script("c") }, { "delete/gone.txt", "x" },
                 { "update/updated.txt", "new" } }),
        qPrintable(upgrade.error));

    // The third script never ran; nothing after the failure ran either.
    QCOMPARE(readFile(upgrade.installPath + "/order.txt"), QByteArray("a\nb\n"));
    const bool after = folder == "shell_after";
    const QStringList steps { "正在删除文件:gone.txt", "正在更新文件:updated.txt" };
    const QStringList scripts { QDir::toNativeSeparators(folder + "/a.bat") + " 执行成功!",
        QDir::toNativeSeparators(folder + "/b.bat") + " 执行失败!", reasonPrefix };
    // What the file steps did before an after script failed is undone.
    const QStringList undone { "正在恢复升级前的文件" };
    QCOMPARE(scriptAndStepLines(upgrade), after ? steps + scripts + undone : scripts);
    // The reason line carries the process's error text and ends the script's lines.
    const QStringList lines = upgrade.run.statusLines();
    const QString reason = lines.at(lines.indexOf(QRegularExpression("^失败原因:.*")));
    QVERIFY2(
        reason.startsWith(reasonPrefix) && reason.size() > reasonPrefix.size(), qPrintable(reason));
    QCOMPARE(lines.last(), after ? QStringLiteral("已恢复到升级前的版本") : reason);
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigFaildClearEnd" }));
    QVERIFY(!QFileInfo::exists(upgrade.staging()));
    QVERIFY(QFileInfo::exists(upgrade.installPath + "/gone.txt"));
    QCOMPARE(readFile(upgrade.installPath + "/updated.txt"), QByteArray("old"));
}

void tst_ScriptSteps::shMissingFromPath()
{
    Upgrade upgrade;
    QVERIFY(writeFile(upgrade.installPath + "/gone.txt", "installed"));
    const QString emptyBin = upgrade.tmp.path() + "/empty-bin";
    QVERIFY(QDir().mkpath(emptyBin));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(emptyBin));
    const bool ran = upgrade.execute({ { "shell/shell_before/a.bat", script("a") },
        { "shell/shell_before/b.bat", script("b") }, { "delete/gone.txt", "x" } });
    qputenv("PATH", path);
    QVERIFY2(ran, qPrintable(upgrade.error));

    QCOMPARE(scriptAndStepLines(upgrade),
        (QStringList {
            QDir::toNativeSeparators("shell_before/a.bat") + " 执行失败!", reasonPrefix }));
    const QString reason = upgrade.run.statusLines().last();
    QVERIFY2(reason.size() > reasonPrefix.size(), qPrintable(reason));
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigFaildClearEnd" }));
    QCOMPARE(readFile(upgrade.installPath + "/gone.txt"), QByteArray("installed"));
    QVERIFY(!QFileInfo::exists(upgrade.staging()));
}

void tst_ScriptSteps::failureReason_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("expected"); // the lines after "… 执行失败!"
    QTest::newRow("exit code, then the error output")
        << QByteArray("echo progress\necho 'cannot stop service' >&2\necho '' >&2\nexit 3\n")
        << QStringList { "失败原因:退出码为3", "错误输出:cannot stop service" };
    QTest::newRow("no error output: the exit code alone")
        << QByteArray("exit 1\n") << QStringList { "失败原因:退出码为1" };
    // Megabytes on both channels: only the last lines are kept, each cut.
    // (One echo a line, no loop: the Windows tests' stand-in shell runs no loops.)
    QStringList last { "失败原因:退出码为2" };
    for (int i = 3; i <= 12; ++i)
        last << QStringLiteral("错误输出:line %1").arg(i);
    last[10] = "错误输出:" + QString(500, 'y') + "…";
    QByteArray flood = "head -c 20000000 /dev/zero | tr '\\0' x\n"
                       "head -c 20000000 /dev/zero | tr '\\0' x >&2\necho >&2\n";
    for (int i = 1; i <= 11; ++i)
        flood += QByteArray("echo \"line ") + QByteArray::number(i) + "\" >&2\n";
    flood += "head -c 9000 /dev/zero | tr '\\0' y >&2\nexit 2\n";
    QTest::newRow("a flood of output, bounded") << flood << last;
}

// The reason line says why a script that ran failed: its exit code and the
// last lines of its error output, not the process object's "Unknown error".
void tst_ScriptSteps::failureReason()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, expected);
    Upgrade upgrade;
    QVERIFY2(upgrade.execute({ { "shell/shell_before/a.bat", body } }), qPrintable(upgrade.error));
    const QStringList lines = upgrade.run.statusLines();
    const int failed = lines.indexOf(QRegularExpression(".*a.bat 执行失败!"));
    QVERIFY2(failed >= 0, qPrintable(lines.join('\n')));
    QCOMPARE(QStringList(lines.mid(failed + 1)), expected);
}

QTEST_GUILESS_MAIN(tst_ScriptSteps)
#include "tst_scriptsteps.moc"
