#include <QtTest>

#include "ChildProcess.h"

#include <csignal>

// A script's processes end with it, however it ends, also one that left its
// process group and session.
class tst_ChildProcess : public QObject
{
    Q_OBJECT
private slots:
    void nothingOutlivesTheScript_data();
    void nothingOutlivesTheScript();
};

namespace {

// A script that starts `setsid` child noting its pid in the file pid, waits
// for it, then ends as then says.
QString writeScript(const QString &folder, const QByteArray &then)
{
    const QString path = folder + QStringLiteral("/script.bat");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("setsid sh -c 'echo $$ > pid.new && mv pid.new pid && exec sleep 1000' &\n"
               "while [ ! -s pid ]; do sleep 0.05; done\n"
        + then + '\n');
    return path;
}

// Running, not just a zombie waiting to be reaped.
bool alive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int end = line.lastIndexOf(')');
    return end > 0 && line.size() > end + 2 && line.at(end + 2) != 'Z';
}

qint64 notedPid(const QString &folder)
{
    QFile file(folder + QStringLiteral("/pid"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

} // namespace

void tst_ChildProcess::nothingOutlivesTheScript_data()
{
    QTest::addColumn<QByteArray>("then"); // the script's end
    QTest::addColumn<int>("code"); // its exit code; -1: stopped

    QTest::newRow("ends") << QByteArray("exit 0") << 0;
    QTest::newRow("fails") << QByteArray("exit 3") << 3;
    QTest::newRow("time limit") << QByteArray("sleep 60") << -1;
    QTest::newRow("cancelled") << QByteArray("sleep 60") << -1;
    QTest::newRow("installer killed") << QByteArray("sleep 60") << -1;
}

void tst_ChildProcess::nothingOutlivesTheScript()
{
    QFETCH(QByteArray, then);
    QFETCH(int, code);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    QTemporaryDir dir;
    const QString script = writeScript(dir.path(), then);
    QVERIFY(!script.isEmpty());
    qint64 left = 0;
    QScopeGuard cleanUp([&left] {
        if (left > 0 && alive(left))
            ::kill(pid_t(left), SIGKILL);
    });

    if (tag == "installer killed") { // this program in the installer's place
        QProcess installer;
        installer.setWorkingDirectory(dir.path());
        installer.start(QCoreApplication::applicationFilePath(), { "--run", script });
        QTRY_VERIFY_WITH_TIMEOUT((left = notedPid(dir.path())) > 0, 10000);
        installer.kill();
        QVERIFY(installer.waitForFinished());
    } else {
        ChildProcess child;
        child.setWorkingDirectory(dir.path());
        child.setTimeLimit(tag == "time limit" ? 1 : 0);
        QSignalSpy finished(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        child.start(QStringLiteral("sh"), { script });
        QTRY_VERIFY_WITH_TIMEOUT((left = notedPid(dir.path())) > 0, 10000);
        if (tag == "cancelled")
            child.killTree();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1, code);
        QCOMPARE(child.timedOut(), tag == "time limit");
    }
    QTRY_VERIFY2_WITH_TIMEOUT(!alive(left), qPrintable(QString::number(left)), 5000);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qRegisterMetaType<QProcess::ExitStatus>();
    // The installer of "installer killed": runs the script until killed.
    if (argc == 3 && qstrcmp(argv[1], "--run") == 0) {
        ChildProcess child;
        child.start(QStringLiteral("sh"), { QString::fromLocal8Bit(argv[2]) });
        return app.exec();
    }
    tst_ChildProcess test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_childprocess.moc"
