#include <QtTest>

#include "ScriptRunner.h"

// One step's scripts, run one after another with sh.
class tst_ScriptRunner : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
};

void tst_ScriptRunner::run_data()
{
#ifdef Q_OS_WIN
    const QString killed = "1"; // the job ends it with exit code 1: a normal end there
#else
    const QString killed = "-1"; // a crash: no exit code of its own
#endif
    QTest::addColumn<QStringList>("bodies"); // one script each
    QTest::addColumn<int>("timeLimit");
    QTest::addColumn<bool>("cancel"); // stop the first script as a cancel would
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QStringList>("codes"); // each started script's reported exit code
    QTest::addColumn<QStringList>("lines"); // <n>: the n-th script's path

    QTest::newRow("none: ends at once")
        << QStringList() << 0 << false << true << QStringList() << QStringList();
    QTest::newRow("all in order") << QStringList { "echo a", "echo b" } << 0 << false << true
                                  << QStringList { "0", "0" }
                                  << QStringList { "<0> 执行成功!", "<1> 执行成功!" };
    QTest::newRow("a failure stops the rest, with its error output")
        << QStringList { "exit 0", "echo no such table >&2\nexit 3", "touch ran" } << 0 << false
        << false << QStringList { "0", "3" }
        << QStringList { "<0> 执行成功!", "<1> 执行失败!", "失败原因:退出码为3",
               "错误输出:no such table" };
    QTest::newRow("over the time limit")
        << QStringList { "sleep 20" } << 1 << false << false << QStringList { killed }
        << QStringList { "<0> 执行失败!", "失败原因:超过时间限制(1秒),已终止" };
    QTest::newRow("stopped by a cancel")
        << QStringList { "sleep 20", "touch ran" } << 0 << true << false << QStringList { killed }
        << QStringList { "<0> 执行失败!", "失败原因:升级已取消" };
}

void tst_ScriptRunner::run()
{
    QFETCH(QStringList, bodies);
    QFETCH(int, timeLimit);
    QFETCH(bool, cancel);
    QTemporaryDir dir;
    QStringList scripts;
    for (int i = 0; i < bodies.size(); ++i) {
        QFile file(dir.filePath(QStringLiteral("%1.bat").arg(i)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bodies.at(i).toUtf8() + '\n') > 0);
        scripts << file.fileName();
    }
    ScriptRunner runner;
    runner.setCancelled([cancel] { return cancel; });
    QStringList codes, lines;
    connect(&runner, &ScriptRunner::scriptReport, this,
        [&codes](const QString &, int code) { codes << QString::number(code); });
    connect(&runner, &ScriptRunner::line, this, [&](QString line) {
        for (int i = 0; i < scripts.size(); ++i)
            line.replace(QDir::toNativeSeparators(scripts.at(i)), QStringLiteral("<%1>").arg(i));
        lines << line;
    });
    QSignalSpy finished(&runner, &ScriptRunner::finished);
    runner.start(scripts, dir.path(), timeLimit, [](const QString &path) { return path; });
    if (cancel) {
        QTRY_VERIFY(runner.isRunning());
        runner.stop();
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
    QTEST(finished.first().first().toBool(), "succeeds");
    QTEST(codes, "codes");
    QTEST(lines, "lines");
    QVERIFY(!QFileInfo::exists(dir.filePath("ran")));
}

QTEST_GUILESS_MAIN(tst_ScriptRunner)
#include "tst_scriptrunner.moc"
