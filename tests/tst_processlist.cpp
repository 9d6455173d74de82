#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "ProcessList.h"

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ProcFsProcessList.h"
#endif

namespace {

const ProcessEntry *findPid(const QList<ProcessEntry> &processes, qint64 pid)
{
    for (const ProcessEntry &process : processes) {
        if (process.pid == pid)
            return &process;
    }
    return nullptr;
}

bool listed(qint64 pid)
{
    QList<ProcessEntry> processes;
    return ProcessList::snapshot(&processes) && findPid(processes, pid);
}

// A copy of a real, harmless program under a suite-like name.
bool copySleeper(const QString &target)
{
    QDir().mkpath(QFileInfo(target).absolutePath());
    return QFile::copy(QStringLiteral("/bin/sleep"), target)
        && QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner);
}

// Ends a started child however the test ends.
class ChildGuard
{
public:
    explicit ChildGuard(QProcess *process)
        : process_(process)
    { }
    ~ChildGuard()
    {
        if (process_->state() != QProcess::NotRunning) {
            process_->kill();
            process_->waitForFinished(5000);
        }
    }

private:
    QProcess *process_;
};

} // namespace

class tst_ProcessList : public QObject
{
    Q_OBJECT

private slots:
    void findsItselfByNameAndPath();
    void findsChildByNameAndPath_data();
    void findsChildByNameAndPath();
    void unknownProcessHasNoPath();
#ifdef Q_OS_LINUX
    void deletedProgramKeepsItsPath();
    void zombieIsNotListed();
    void kernelThreadIsNotListed();
    void preparedProcTree_data();
    void preparedProcTree();
    void preparedProcTreeOrderAndStrays();
    void missingProcRoot();
#endif
};

void tst_ProcessList::findsItselfByNameAndPath()
{
    // As started by ctest: argv[0] names this test program.
    const QFileInfo self(QCoreApplication::arguments().first());
    const QString expectedPath = self.canonicalFilePath();
    QVERIFY(!expectedPath.isEmpty());

    QList<ProcessEntry> processes;
    QVERIFY(ProcessList::snapshot(&processes));
    const ProcessEntry *entry = findPid(processes, QCoreApplication::applicationPid());
    QVERIFY2(entry, "this test program isn't in the process list");
    QCOMPARE(entry->name, QFileInfo(expectedPath).fileName());

    QString path;
    QVERIFY(ProcessList::imagePath(QCoreApplication::applicationPid(), &path));
    QCOMPARE(path, expectedPath);
}

void tst_ProcessList::findsChildByNameAndPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");

    QTest::newRow("plain folder") << QStringLiteral("platform/bin")
                                  << QStringLiteral("suiteapp.exe");
    QTest::newRow("folder with spaces and Chinese")
        << QStringLiteral("套件 目录/platform") << QStringLiteral("suiteapp.exe");
    QTest::newRow("Chinese program name") << QStringLiteral("p") << QStringLiteral("工程.exe");
}

void tst_ProcessList::findsChildByNameAndPath()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(folder + QLatin1Char('/') + name);
    QVERIFY(copySleeper(program));

    QProcess child;
    ChildGuard guard(&child);
    child.start(program, { QStringLiteral("30") });
    QVERIFY2(child.waitForStarted(10000), qPrintable(child.errorString()));
    const qint64 pid = child.processId();

    QList<ProcessEntry> processes;
    QVERIFY(ProcessList::snapshot(&processes));
    const ProcessEntry *entry = findPid(processes, pid);
    QVERIFY2(entry, "the started child isn't in the process list");
    QCOMPARE(entry->name, name);

    QString path;
    QVERIFY(ProcessList::imagePath(pid, &path));
    QCOMPARE(path, QFileInfo(program).canonicalFilePath());

    child.kill();
    QVERIFY(child.waitForFinished(5000));
    // Reaped: gone from the list, its path no longer readable.
    QVERIFY(!listed(pid));
    QVERIFY(!ProcessList::imagePath(pid, &path));
    QVERIFY(path.isEmpty());
}

void tst_ProcessList::unknownProcessHasNoPath()
{
    QString path = QStringLiteral("left over");
    QVERIFY(!ProcessList::imagePath(0x7FFFFFF0, &path));
    QVERIFY(path.isEmpty());
    path = QStringLiteral("left over");
    QVERIFY(!ProcessList::imagePath(-1, &path));
    QVERIFY(path.isEmpty());
}

#ifdef Q_OS_LINUX

void tst_ProcessList::deletedProgramKeepsItsPath()
{
    // A program file removed (or replaced by an upgrade) while it runs: the
    // process still runs it from that place and is judged by that place.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(QStringLiteral("platform/suiteapp.exe"));
    QVERIFY(copySleeper(program));
    const QString canonical = QFileInfo(program).canonicalFilePath();

    QProcess child;
    ChildGuard guard(&child);
    child.start(program, { QStringLiteral("30") });
    QVERIFY(child.waitForStarted(10000));
    QVERIFY(QFile::remove(program));

    QList<ProcessEntry> processes;
    QVERIFY(ProcessList::snapshot(&processes));
    const ProcessEntry *entry = findPid(processes, child.processId());
    QVERIFY(entry);
    QCOMPARE(entry->name, QStringLiteral("suiteapp.exe"));
    QString path;
    QVERIFY(ProcessList::imagePath(child.processId(), &path));
    QCOMPARE(path, canonical);
}

void tst_ProcessList::zombieIsNotListed()
{
    const pid_t pid = ::fork();
    QVERIFY(pid >= 0);
    if (pid == 0)
        ::_exit(0); // ends at once; not reaped until below
    struct Reaper
    {
        pid_t pid;
        ~Reaper()
        {
            if (pid > 0) // never kill(-1, ...): that would signal every process
                ::waitpid(pid, nullptr, 0);
        }
    } reaper { pid };

    const QString statPath = QStringLiteral("/proc/%1/stat").arg(pid);
    const auto isZombie = [&statPath] {
        QFile stat(statPath);
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray line = stat.readAll();
        const int close = line.lastIndexOf(')');
        return close >= 0 && line.mid(close + 1).trimmed().startsWith('Z');
    };
    QTRY_VERIFY_WITH_TIMEOUT(isZombie(), 10000);

    QVERIFY2(!listed(pid), "an ended, unreaped child is listed");
    QString path;
    QVERIFY(!ProcessList::imagePath(pid, &path));

    QCOMPARE(::waitpid(pid, nullptr, 0), pid);
    reaper.pid = 0;
    QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
}

void tst_ProcessList::kernelThreadIsNotListed()
{
    // Process 2 is the kernel's thread starter where kernel threads are visible.
    QFile comm(QStringLiteral("/proc/2/comm"));
    if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "kthreadd")
        QSKIP("no kernel threads visible here");
    QVERIFY(!listed(2));
}

namespace {

QByteArray statLine(qint64 pid, const QByteArray &comm, char state, unsigned long flags)
{
    return QByteArray::number(pid) + " (" + comm + ") " + state + " 1 " + QByteArray::number(pid)
        + ' ' + QByteArray::number(pid) + " 0 -1 " + QByteArray::number(qulonglong(flags))
        + " 100 0 0 0 1 2 0 0 20 0 1 0 12345 1000000 100\n";
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// One process directory of a prepared /proc tree; an empty exe target means
// no readable exe link (another user's process).
bool makeProcess(const QString &root, qint64 pid, const QByteArray &stat, const QByteArray &cmdline,
    const QByteArray &comm, const QString &exeTarget)
{
    const QString dir = root + QLatin1Char('/') + QString::number(pid);
    if (!QDir().mkpath(dir))
        return false;
    if (!stat.isNull() && !writeFile(dir + QStringLiteral("/stat"), stat))
        return false;
    if (!writeFile(dir + QStringLiteral("/cmdline"), cmdline)
        || !writeFile(dir + QStringLiteral("/comm"), comm + '\n'))
        return false;
    return exeTarget.isEmpty() || QFile::link(exeTarget, dir + QStringLiteral("/exe"));
}

constexpr unsigned long normalFlags = 0x00400100UL;
constexpr unsigned long kernelThreadFlags = 0x00208040UL;

} // namespace

void tst_ProcessList::preparedProcTree_data()
{
    QTest::addColumn<QByteArray>("stat");
    QTest::addColumn<QByteArray>("cmdline");
    QTest::addColumn<QByteArray>("comm");
    QTest::addColumn<QString>("exeTarget");
    QTest::addColumn<bool>("isListed");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("pathKnown");
    QTest::addColumn<QString>("path");

    const QByteArray argv = QByteArray("/opt/suite/platform/x/suiteapp.exe\0--quiet\0", 44);
    const QString program = QStringLiteral("/opt/suite/platform/x/suiteapp.exe");

    QTest::newRow("readable exe link: name and path from it")
        << statLine(42, "suiteapp.exe", 'S', normalFlags) << QByteArray("renamed\0", 8)
        << QByteArray("other") << program << true << QStringLiteral("suiteapp.exe") << true
        << program;
    QTest::newRow("program file deleted while running: path without the mark")
        << statLine(42, "suiteapp.exe", 'S', normalFlags) << argv << QByteArray("suiteapp.exe")
        << program + QStringLiteral(" (deleted)") << true << QStringLiteral("suiteapp.exe") << true
        << program;
    QTest::newRow("another user's process: name from argv[0], path unknown")
        << statLine(42, "suiteapp.exe", 'S', normalFlags) << argv << QByteArray("suiteapp.exe")
        << QString() << true << QStringLiteral("suiteapp.exe") << false << QString();
    QTest::newRow("another user's process started by bare name")
        << statLine(42, "suiteapp.exe", 'R', normalFlags) << QByteArray("suiteapp.exe\0", 13)
        << QByteArray("suiteapp.exe") << QString() << true << QStringLiteral("suiteapp.exe")
        << false << QString();
    QTest::newRow("another user's process with empty argv: the kernel's name")
        << statLine(42, "suiteapp.exe", 'S', normalFlags) << QByteArray()
        << QByteArray("suiteapp.exe") << QString() << true << QStringLiteral("suiteapp.exe")
        << false << QString();
    QTest::newRow("name with spaces and parentheses in stat")
        << statLine(42, "a) (b", 'S', normalFlags) << argv << QByteArray("a) (b") << QString()
        << true << QStringLiteral("suiteapp.exe") << false << QString();
    QTest::newRow("zombie: not listed")
        << statLine(42, "suiteapp.exe", 'Z', normalFlags) << QByteArray()
        << QByteArray("suiteapp.exe") << QString() << false << QString() << false << QString();
    QTest::newRow("dead task: not listed")
        << statLine(42, "suiteapp.exe", 'X', normalFlags) << QByteArray()
        << QByteArray("suiteapp.exe") << QString() << false << QString() << false << QString();
    QTest::newRow("kernel thread: not listed")
        << statLine(42, "suiteapp.exe", 'I', kernelThreadFlags) << QByteArray()
        << QByteArray("suiteapp.exe") << QString() << false << QString() << false << QString();
    QTest::newRow("ended while listed (no stat): not listed")
        << QByteArray() << argv << QByteArray("suiteapp.exe") << QString() << false << QString()
        << false << QString();
}

void tst_ProcessList::preparedProcTree()
{
    QFETCH(QByteArray, stat);
    QFETCH(QByteArray, cmdline);
    QFETCH(QByteArray, comm);
    QFETCH(QString, exeTarget);
    QFETCH(bool, isListed);
    QFETCH(QString, name);
    QFETCH(bool, pathKnown);
    QFETCH(QString, path);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(makeProcess(root.path(), 42, stat, cmdline, comm, exeTarget));

    QList<ProcessEntry> processes;
    QVERIFY(ProcFsProcessList::snapshot(root.path(), &processes));
    const ProcessEntry *entry = findPid(processes, 42);
    QCOMPARE(entry != nullptr, isListed);
    if (entry)
        QCOMPARE(entry->name, name);

    QString readPath = QStringLiteral("left over");
    QCOMPARE(ProcFsProcessList::imagePath(root.path(), 42, &readPath), pathKnown);
    QCOMPARE(readPath, path);
}

void tst_ProcessList::preparedProcTreeOrderAndStrays()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    for (const qint64 pid : { 100, 9, 10 }) {
        const QByteArray name = "app" + QByteArray::number(pid) + ".exe";
        QVERIFY(makeProcess(root.path(), pid, statLine(pid, name, 'S', normalFlags), name + '\0',
            name, QStringLiteral("/suite/") + QString::fromLatin1(name)));
    }
    // Entries that aren't processes.
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("sys")));
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("1a")));
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("-5")));
    QVERIFY(writeFile(root.filePath(QStringLiteral("77")), "a file, not a process\n"));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("9")), root.filePath(QStringLiteral("self"))));

    QList<ProcessEntry> processes;
    QVERIFY(ProcFsProcessList::snapshot(root.path(), &processes));
    QStringList seen;
    for (const ProcessEntry &process : qAsConst(processes))
        seen << QStringLiteral("%1:%2").arg(process.pid).arg(process.name);
    QCOMPARE(seen,
        QStringList({ QStringLiteral("9:app9.exe"), QStringLiteral("10:app10.exe"),
            QStringLiteral("100:app100.exe") }));
}

void tst_ProcessList::missingProcRoot()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QList<ProcessEntry> processes { ProcessEntry() };
    QVERIFY(!ProcFsProcessList::snapshot(dir.filePath(QStringLiteral("none")), &processes));
    QVERIFY(processes.isEmpty());
}

#endif // Q_OS_LINUX

QTEST_GUILESS_MAIN(tst_ProcessList)
#include "tst_processlist.moc"
