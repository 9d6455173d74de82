#include <QtTest>

#include "ProcessList.h"
#include "ProgramClosing.h"
#include "support/SampleInstallation.h"
#include "support/TestPackage.h"

// --close-programs as an administrator's tool runs it: which of the suite's
// running programs are asked to end, and what the run says and ends with.
class tst_ProgramClosing : public QObject
{
    Q_OBJECT
private slots:
    void closePrograms_data();
    void closePrograms();
    void neverAsksOutsideTheSuite();
};

namespace {

// A program started from a copy at path: "ends" ends when asked, "stubborn"
// ignores the request.
struct Started
{
    QString path;
    QSharedPointer<QProcess> process = QSharedPointer<QProcess>::create();
    qint64 pid = 0;

    bool start(const QString &kind)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QStringList arguments;
#ifdef Q_OS_WIN
        // A window that ends on WM_CLOSE; the test shell (no windows) ignores it.
        const QString program = kind == "ends"
            ? QFileInfo(QStringLiteral(CLOSE_WINDOW)).absoluteFilePath()
            : QStandardPaths::findExecutable("sh");
        if (kind != "ends")
            arguments << "-c"
                      << "sleep 60";
#else
        const QString program = kind == "ends" ? "/bin/sleep" : "/bin/sh";
        arguments << (kind == "ends"
                ? QStringList { "60" }
                : QStringList { "-c", "trap '' TERM; while :; do sleep 1; done" });
#endif
        if (!QFile::copy(program, path))
            return false;
        process->start(path, arguments);
        pid = process->waitForStarted() ? process->processId() : 0;
        return pid > 0;
    }
    bool runs() const
    {
        QString now;
        return ProcessList::imagePath(pid, &now)
            && now == QDir::toNativeSeparators(QFileInfo(path).canonicalFilePath());
    }
    QString line() const // how a refusal names it
    {
        const QFileInfo file(path);
        return QStringLiteral("    %1 (PID %2, %3, 用户 ")
                   .arg(file.fileName())
                   .arg(pid)
                   .arg(QDir::toNativeSeparators(file.canonicalFilePath()))
#ifndef Q_OS_WIN
            + file.owner() + ')'
#endif
            ;
    }
};

} // namespace

void tst_ProgramClosing::closePrograms_data()
{
    QTest::addColumn<QStringList>("programs"); // "kind:path" below the install root
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("said"); // %0, %1: the programs' "name (PID n)"
    // Still running afterwards; a refusal names exactly those.
    QTest::addColumn<QList<bool>>("stillRunning");

    const QStringList close { "--close-programs" };
    QTest::newRow("ends when asked: upgraded")
        << QStringList { "ends:suite main/platform/bin/app.exe" } << close << 0
        << QStringList { "正在请套件程序退出:%0", "套件程序已退出:%0", "结果:升级成功" }
        << QList<bool> { false };
    QTest::newRow("one ends, one ignores the request: refused naming that one")
        << QStringList { "ends:suite main/platform/bin/app.exe",
               "stubborn:suite main/product/bin/stubborn.exe" }
        << close + QStringList { "--wait-programs", "1" } << 4
        << QStringList { "正在请套件程序退出:%0", "正在请套件程序退出:%1", "套件程序已退出:%0",
               "等待1秒后仍有套件程序在运行", "进程stubborn.exe正在运行，无法开始升级!" }
        << QList<bool> { false, true };
    QTest::newRow("the same name outside the suite is never asked")
        << QStringList { "ends:suite main/platform/bin/app.exe", "ends:elsewhere/app.exe" } << close
        << 0 << QStringList { "套件程序已退出:%0" } << QList<bool> { false, true };
    QTest::newRow("without --close-programs each is named, none asked")
        << QStringList { "ends:suite main/platform/bin/app.exe",
               "stubborn:suite main/product/bin/stubborn.exe" }
        << QStringList {} << 4 << QStringList { "进程app.exe正在运行，无法开始升级!" }
        << QList<bool> { true, true };
}

void tst_ProgramClosing::closePrograms()
{
    QFETCH(QStringList, programs);
    QFETCH(QStringList, options);
    QFETCH(QStringList, said);
    QFETCH(QList<bool>, stillRunning);
    QFETCH(int, code);

    SampleInstallation install;
    QVERIFY(install.writeRecord(7, QStringLiteral("2.1.5"), 0) && install.writeSecondRecord());
    QVERIFY(TestPackage::writeTree(install.mainPath(), { { "product/bin/app.dll", "old" } }));
    QTemporaryDir packageDir;
    const QString package = TestPackage::build(packageDir.path(),
        { { "upgrade/upgrade_config.xml",
              TestPackage::descriptor(7, "2.1.0", "2.1.6", 0, 0, "bin") },
            { "upgrade/update/product/bin/app.dll", "new" } });
    QVERIFY(!package.isEmpty());
    QList<Started> started;
    const auto stopAll = qScopeGuard([&started] {
        for (const Started &program : qAsConst(started)) {
            program.process->kill();
            program.process->waitForFinished();
        }
    });
    for (const QString &program : programs) {
        started.append({ install.path() + '/' + program.section(':', 1) });
        QVERIFY(started.last().start(program.section(':', 0, 0)));
    }
    QProcess installer;
    installer.start(QFileInfo(QStringLiteral(UPGRADE_INSTALL)).absoluteFilePath(),
        QStringList { "--unattended", "--package", package } + options);
    QVERIFY(installer.waitForFinished(120000));
    const QString output
        = QString::fromUtf8(installer.readAllStandardOutput() + installer.readAllStandardError());
    QVERIFY2(installer.exitCode() == code, qPrintable(output));
    for (QString line : said) {
        for (int i = 0; i < started.size(); ++i)
            line.replace('%' + QString::number(i),
                QStringLiteral("%1 (PID %2)")
                    .arg(QFileInfo(started.at(i).path).fileName())
                    .arg(started.at(i).pid));
        QVERIFY2(output.contains(line), qPrintable(line + "\n" + output));
    }
    for (int i = 0; i < started.size(); ++i) {
        QVERIFY2(output.contains(started.at(i).line()) == (code == 4 && stillRunning.at(i)),
            qPrintable(output));
        QCOMPARE(started.at(i).runs(), stillRunning.at(i));
    }
}

// Whatever list it is given, a program outside the suite's folders, or whose
// path is unknown, is never asked; the refusal stands as it was.
void tst_ProgramClosing::neverAsksOutsideTheSuite()
{
    SampleInstallation install;
    Started outside { install.path() + "/elsewhere/app.exe" };
    QVERIFY(outside.start("ends"));
    const auto stop = qScopeGuard([&outside] {
        outside.process->kill();
        outside.process->waitForFinished();
    });
    // Under wine a process just started may not show its path yet.
    QTRY_VERIFY(outside.runs());
    const QString path = QDir::toNativeSeparators(QFileInfo(outside.path).canonicalFilePath());
    UpgradeAdmission::Verdict verdict;
    verdict.refusal = UpgradeAdmission::Refusal::SuiteRunning;
    verdict.running = { { "app.exe", outside.pid, path, "op", false },
        { "app.exe", outside.pid, QString(), QString(), false } };
    QStringList said;
    const UpgradeAdmission::Verdict after = ProgramClosing(install.mainPath(), "bin")
                                                .closeAndCheck(UpgradeAdmission({}, {}), verdict, 1,
                                                    [&said](const QString &line) { said << line; });
    const QString pid = QString::number(outside.pid);
    QCOMPARE(said,
        QStringList({ "无法请套件程序退出:app.exe (PID " + pid + "):程序不在套件的程序目录中",
            "无法请套件程序退出:app.exe (PID " + pid + "):程序路径未知" }));
    QCOMPARE(after.refusal, UpgradeAdmission::Refusal::SuiteRunning);
    QCOMPARE(after.running.size(), 2);
    QVERIFY(outside.runs());
}

QTEST_GUILESS_MAIN(tst_ProgramClosing)
#include "tst_programclosing.moc"
