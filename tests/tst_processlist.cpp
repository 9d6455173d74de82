#include <QtTest>

#include <cstdio>

#include "ProcessList.h"

#ifdef Q_OS_LINUX
#include <sys/wait.h>
#include <unistd.h>

#include "ProcFsProcessList.h"
#endif

namespace {

// The entry of pid in a process list, or an empty name when it isn't listed.
QString listedName(qint64 pid, const QString &procRoot = QString())
{
    QList<ProcessEntry> processes;
#ifdef Q_OS_LINUX
    if (!procRoot.isEmpty() ? !ProcFsProcessList::snapshot(procRoot, &processes)
                            : !ProcessList::snapshot(&processes))
        return QStringLiteral("<no list>");
#else
    Q_UNUSED(procRoot)
    if (!ProcessList::snapshot(&processes))
        return QStringLiteral("<no list>");
#endif
    for (const ProcessEntry &process : qAsConst(processes)) {
        if (process.pid == pid)
            return process.name;
    }
    return QString();
}

#ifdef Q_OS_LINUX
// One process directory of a prepared /proc tree; an empty exe target means
// no readable exe link (another user's process), a null stat no stat file.
bool makeProcess(const QString &root, qint64 pid, const QByteArray &stat, const QByteArray &cmdline,
    const QByteArray &comm, const QString &exeTarget)
{
    const QString dir = root + '/' + QString::number(pid);
    const auto write = [&dir](const char *name, const QByteArray &bytes) {
        QFile file(dir + '/' + name);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    return QDir().mkpath(dir) && (stat.isNull() || write("stat", stat)) && write("cmdline", cmdline)
        && write("comm", comm + '\n')
        && (exeTarget.isEmpty() || QFile::link(exeTarget, dir + "/exe"));
}

QByteArray statLine(
    qint64 pid, const QByteArray &comm, char state, unsigned long flags = 0x00400100UL)
{
    const QByteArray p = QByteArray::number(pid);
    return p + " (" + comm + ") " + state + " 1 " + p + ' ' + p + " 0 -1 "
        + QByteArray::number(qulonglong(flags)) + " 100 0 0 0 1 2 0 0 20 0 1 0 12345 1000000 100\n";
}
#endif

} // namespace

// The process list: names and program paths of the running processes.
class tst_ProcessList : public QObject
{
    Q_OBJECT

private slots:
    void findsItselfAndChildren_data();
    void findsItselfAndChildren();
    void unknownProcessHasNoPath();
#ifdef Q_OS_LINUX
    void zombieIsNotListed();
    void preparedProcTree_data();
    void preparedProcTree();
    void preparedProcTreeOrderAndStrays();
#endif
};

void tst_ProcessList::findsItselfAndChildren_data()
{
    QTest::addColumn<QString>("program"); // a copy of a harmless program, or empty: this test
    QTest::newRow("this test program") << "";
    QTest::newRow("child in a plain folder") << "platform/bin/suiteapp.exe";
    QTest::newRow("child in a folder with spaces and Chinese") << "套件 目录/platform/suiteapp.exe";
    QTest::newRow("child with a Chinese name") << "p/工程.exe";
}

// Listed by name with the program's path, links resolved; once ended and
// reaped, neither.
void tst_ProcessList::findsItselfAndChildren()
{
    QFETCH(QString, program);
    QTemporaryDir dir;
    QProcess child;
    qint64 pid = QCoreApplication::applicationPid();
    // As started by ctest: argv[0] names this test program.
    QString path = QFileInfo(QCoreApplication::arguments().first()).canonicalFilePath();
    if (!program.isEmpty()) {
        path = dir.filePath(program);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
#ifdef Q_OS_WIN
        // A copy of this program that waits (see main).
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), path));
        const QStringList arguments { "--hold" };
#else
        QVERIFY(QFile::copy("/bin/sleep", path));
        const QStringList arguments { "30" };
#endif
        QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner));
        path = QFileInfo(path).canonicalFilePath();
        child.start(path, arguments);
        QVERIFY2(child.waitForStarted(10000), qPrintable(child.errorString()));
#ifdef Q_OS_WIN
        // Started is not yet loaded under wine: its path is known once it runs.
        QVERIFY(child.waitForReadyRead(10000));
#endif
        pid = child.processId();
    }
    QCOMPARE(listedName(pid), QFileInfo(path).fileName());
    QString image;
    QVERIFY(ProcessList::imagePath(pid, &image));
    QCOMPARE(image, QDir::toNativeSeparators(path)); // as SuiteGuard compares it
    if (program.isEmpty())
        return;
    child.kill();
    QVERIFY(child.waitForFinished(5000));
    QCOMPARE(listedName(pid), QString());
    QVERIFY(!ProcessList::imagePath(pid, &image));
    QVERIFY(image.isEmpty());
}

void tst_ProcessList::unknownProcessHasNoPath()
{
    for (const qint64 pid : { qint64(0x7FFFFFF0), qint64(-1) }) {
        QString path = "left over";
        QVERIFY(!ProcessList::imagePath(pid, &path));
        QVERIFY(path.isEmpty());
    }
}

#ifdef Q_OS_LINUX

void tst_ProcessList::zombieIsNotListed()
{
    const pid_t pid = ::fork();
    QVERIFY(pid >= 0);
    if (pid == 0)
        ::_exit(0); // ends at once; not reaped until below
    // Never kill(-1, ...): that would signal every process.
    const auto reap = qScopeGuard([pid] { ::waitpid(pid, nullptr, WNOHANG); });
    const auto isZombie = [pid] {
        QFile stat(QString("/proc/%1/stat").arg(pid));
        const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        return line.mid(line.lastIndexOf(')') + 1).trimmed().startsWith('Z');
    };
    QTRY_VERIFY_WITH_TIMEOUT(isZombie(), 10000);
    QCOMPARE(listedName(pid), QString());
    QString path;
    QVERIFY(!ProcessList::imagePath(pid, &path));
    QCOMPARE(::waitpid(pid, nullptr, 0), pid);
}

void tst_ProcessList::preparedProcTree_data()
{
    QTest::addColumn<QByteArray>("stat");
    QTest::addColumn<QByteArray>("cmdline");
    QTest::addColumn<QString>("exeTarget");
    QTest::addColumn<QString>("name"); // empty: not listed
    QTest::addColumn<QString>("path"); // empty: unknown

    const QByteArray argv("/opt/suite/platform/x/suiteapp.exe\0--quiet\0", 44);
    const QString program = "/opt/suite/platform/x/suiteapp.exe";
    const QByteArray stat = statLine(42, "suiteapp.exe", 'S');
    QTest::newRow("readable exe link: name and path from it")
        << statLine(42, "other", 'S') << QByteArray("renamed\0", 8) << program << "suiteapp.exe"
        << program;
    QTest::newRow("program file deleted while running: path without the mark")
        << stat << argv << program + " (deleted)"
        << "suiteapp.exe" << program;
    QTest::newRow("unreadable exe link: name from argv[0], path unknown")
        << stat << argv << "" << QString("suiteapp.exe") << "";
    QTest::newRow("started by bare name")
        << stat << QByteArray("suiteapp.exe\0", 13) << "" << QString("suiteapp.exe") << "";
    QTest::newRow("empty argv: the kernel's name")
        << stat << QByteArray() << "" << QString("suiteapp.exe") << "";
    QTest::newRow("name with spaces and parentheses in stat")
        << statLine(42, "a) (b", 'S') << argv << "" << QString("suiteapp.exe") << "";
    QTest::newRow("zombie: not listed")
        << statLine(42, "suiteapp.exe", 'Z') << QByteArray() << "" << QString() << "";
    QTest::newRow("dead task: not listed")
        << statLine(42, "suiteapp.exe", 'X') << QByteArray() << "" << QString() << "";
    QTest::newRow("kernel thread: not listed")
        << statLine(42, "suiteapp.exe", 'I', 0x00208040UL) << QByteArray() << "" << QString() << "";
    QTest::newRow("ended while listed (no stat): not listed")
        << QByteArray() << argv << "" << QString() << "";
}

void tst_ProcessList::preparedProcTree()
{
    QFETCH(QByteArray, stat);
    QFETCH(QByteArray, cmdline);
    QFETCH(QString, exeTarget);
    QFETCH(QString, path);
    QTemporaryDir root;
    QVERIFY(makeProcess(
        root.path(), 42, stat, cmdline, stat.mid(4, stat.lastIndexOf(") ") - 4), exeTarget));
    QTEST(listedName(42, root.path()), "name");
    QString readPath = "left over";
    QCOMPARE(ProcFsProcessList::imagePath(root.path(), 42, &readPath), !path.isEmpty());
    QCOMPARE(readPath, path);
}

// Processes in the order of their numbers; entries that aren't processes
// are passed over; a missing root gives no list.
void tst_ProcessList::preparedProcTreeOrderAndStrays()
{
    QTemporaryDir root;
    for (const qint64 pid : { 100, 9, 10 }) {
        const QByteArray name = "app" + QByteArray::number(pid) + ".exe";
        QVERIFY(makeProcess(
            root.path(), pid, statLine(pid, name, 'S'), name + '\0', name, "/suite/" + name));
    }
    for (const char *stray : { "sys", "1a", "-5" })
        QVERIFY(QDir(root.path()).mkpath(stray));
    QFile file(root.filePath("77"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("a file, not a process\n") > 0);
    QVERIFY(QFile::link(root.filePath("9"), root.filePath("self")));
    QList<ProcessEntry> processes;
    QVERIFY(ProcFsProcessList::snapshot(root.path(), &processes));
    QStringList seen;
    for (const ProcessEntry &process : qAsConst(processes))
        seen << QString("%1:%2").arg(process.pid).arg(process.name);
    QCOMPARE(seen, (QStringList { "9:app9.exe", "10:app10.exe", "100:app100.exe" }));

    processes = { ProcessEntry() };
    QVERIFY(!ProcFsProcessList::snapshot(root.filePath("none"), &processes));
    QVERIFY(processes.isEmpty());
}

#endif // Q_OS_LINUX

#ifdef Q_OS_WIN
// "--hold": the harmless child of findsItselfAndChildren, which says it runs
// and waits until its input closes or it is killed.
int main(int argc, char *argv[])
{
    if (argc == 2 && qstrcmp(argv[1], "--hold") == 0) {
        std::puts("running");
        std::fflush(stdout);
        while (std::getchar() != EOF) { }
        return 0;
    }
    QCoreApplication app(argc, argv);
    tst_ProcessList test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#else
QTEST_GUILESS_MAIN(tst_ProcessList)
#endif
#include "tst_processlist.moc"
