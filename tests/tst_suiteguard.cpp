#include <QtTest>

#include "SuiteGuard.h"
#include "support/EngineHarness.h"

namespace {

// Creates every entry of a layout below root: "a/b/" is a folder, anything
// else a file.
bool makeLayout(const QString &root, const QStringList &entries)
{
    EngineHarness::Tree tree;
    for (const QString &entry : entries)
        tree.insert(entry, entry.endsWith('/') ? QByteArray() : QByteArray("x"));
    return EngineHarness::writeTree(root, tree);
}

// Process list and image paths as a test wants them: "name|path", or "name"
// alone for a process whose path can't be read (another user's).
struct FakeProcesses
{
    explicit FakeProcesses(const QStringList &processes)
    {
        for (const QString &process : processes) {
            list.append({ list.size() + 100, process.section('|', 0, 0) });
            if (process.contains('|'))
                paths.insert(list.last().pid, QDir::toNativeSeparators(process.section('|', 1)));
        }
    }
    QString findBlocking(
        const QStringList &names, const QString &platform, const QString &product) const
    {
        return SuiteGuard::findBlockingProcess(
            list, names, platform, product, [this](qint64 pid, QString *path) {
                *path = paths.value(pid);
                return paths.contains(pid);
            });
    }
    QList<ProcessEntry> list;
    QHash<qint64, QString> paths;
};

} // namespace

// Which running programs keep an upgrade from starting.
class tst_SuiteGuard : public QObject
{
    Q_OBJECT

private slots:
    void programFolder_data();
    void programFolder();
    void listExecutables_data();
    void listExecutables();
    void listSuiteExecutables();
    void findBlockingProcess_data();
    void findBlockingProcess();
    void mainDirectoryThroughLink();
    void runningProgramsNamed();
};

void tst_SuiteGuard::programFolder_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("top");
    QTest::addColumn<QString>("exePath");
    QTest::addColumn<QString>("expected"); // relative to the main directory
    QTest::newRow("both steps down") << QStringList { "platform/x64/", "product/x64/" }
                                     << "platform" << QString("x64") << "platform/x64";
    QTest::newRow("product folder") << QStringList { "platform/x64/", "product/x64/" } << "product"
                                    << QString("x64") << "product/x64";
    QTest::newRow("no exe folder: the platform folder itself")
        << QStringList { "platform/other/" } << "platform" << QString("x64") << "platform";
    QTest::newRow("no platform folder: the main directory")
        << QStringList { "product/x64/" } << "platform" << QString("x64") << "";
    QTest::newRow("no platform folder, exe folder in the main directory")
        << QStringList { "x64/", "product/" } << "platform" << QString("x64") << "x64";
    QTest::newRow("empty exe path adds no step")
        << QStringList { "platform/x64/" } << "platform" << QString() << "platform";
    QTest::newRow("a file where the exe folder should be is not entered")
        << QStringList { "platform/x64" } << "platform" << QString("x64") << "platform";
    QTest::newRow("exe path is taken as a name below the folder")
        << QStringList { "platform/x64/bin/" } << "platform" << QString("x64/bin")
        << "platform/x64/bin";
}

void tst_SuiteGuard::programFolder()
{
    QFETCH(QStringList, layout);
    QFETCH(QString, top);
    QFETCH(QString, exePath);
    QFETCH(QString, expected);
    QTemporaryDir main;
    QVERIFY(makeLayout(main.path(), layout));
    QCOMPARE(SuiteGuard::programFolder(main.path(), top, exePath),
        QDir::cleanPath(main.path() + '/' + expected));
}

void tst_SuiteGuard::listExecutables_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("one letter and the extension counts, four characters don't")
        << QStringList { "a.exe", "bexe", "cexe.txt" } << QStringList { "a.exe" };
    QTest::newRow("the dot isn't required")
        << QStringList { "suiteexe", "exe" } << QStringList { "suiteexe" };
#ifdef Q_OS_WIN
    QTest::newRow("capital extension counts on Windows")
        << QStringList { "APP.EXE", "b.Exe" } << QStringList { "APP.EXE", "b.Exe" };
#else
    QTest::newRow("capital extension doesn't count")
        << QStringList { "APP.EXE", "b.Exe", "c.exe" } << QStringList { "c.exe" };
#endif
    QTest::newRow("sorted by name ignoring case")
        << QStringList { "b.exe", "A.exe", "c.exe", "B2.exe", "工程管理.exe" }
        << QStringList { "A.exe", "b.exe", "B2.exe", "c.exe", "工程管理.exe" };
    QTest::newRow("no sub-folders, no hidden files, nothing below") << QStringList { "tool.exe/",
        ".hidden.exe", "sub/inner.exe", "main.exe" } << QStringList { "main.exe" };
    QTest::newRow("empty folder") << QStringList {} << QStringList {};
}

void tst_SuiteGuard::listExecutables()
{
    QFETCH(QStringList, layout);
    QTemporaryDir dir;
    QVERIFY(makeLayout(dir.path(), layout));
    QTEST(SuiteGuard::listExecutables(dir.path()), "expected");
    QVERIFY(SuiteGuard::listExecutables(dir.filePath("missing")).isEmpty());
}

void tst_SuiteGuard::listSuiteExecutables()
{
    QTemporaryDir main;
    QVERIFY(makeLayout(main.path(),
        { "platform/x64/z.exe", "platform/x64/db_manager.exe", "platform/top.exe",
            "product/x64/a.exe", "product/x64/z.exe", "top.exe" }));
    // Platform folder first, then product; a name in both is listed twice.
    QCOMPARE(SuiteGuard::listSuiteExecutables(main.path(), "x64"),
        QStringList({ "db_manager.exe", "z.exe", "a.exe", "z.exe" }));
    // Without the exe folder both searches stay one level up.
    QCOMPARE(SuiteGuard::listSuiteExecutables(main.path(), "arm"), QStringList({ "top.exe" }));
}

void tst_SuiteGuard::findBlockingProcess_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("processes");
    QTest::addColumn<QString>("expected");

    const QStringList suite { "app.exe", "upgrade_install_helper.exe", "upgrade_install.exe",
        "server.exe" };
    QTest::newRow("nothing running") << suite << QStringList {} << "";
    QTest::newRow("suite program in the platform folder blocks")
        << suite << QStringList { "bash|/bin/bash", "app.exe|/suite/platform/x64/app.exe" }
        << "app.exe";
    QTest::newRow("suite program in the product folder blocks")
        << suite << QStringList { "server.exe|/suite/product/x64/server.exe" } << "server.exe";
    QTest::newRow("same name started elsewhere doesn't block")
        << suite << QStringList { "app.exe|/home/op/app.exe" } << "";
    QTest::newRow("same name one folder up doesn't block")
        << suite << QStringList { "app.exe|/suite/platform/app.exe" } << "";
    QTest::newRow("path that can't be read blocks")
        << suite << QStringList { "app.exe" } << "app.exe";
    QTest::newRow("name not on the list never blocks")
        << suite << QStringList { "other.exe|/suite/platform/x64/other.exe", "other.exe" } << "";
    QTest::newRow("helper programs in the suite folders, or unknown, don't block")
        << suite
        << QStringList { "upgrade_install_helper.exe|/suite/product/x64/upgrade_install_helper.exe",
               "upgrade_install.exe|/suite/platform/x64/upgrade_install.exe",
               "upgrade_install_helper.exe" }
        << "";
    QTest::newRow("first blocking process in list order")
        << suite
        << QStringList { "app.exe|/elsewhere/app.exe", "server.exe",
               "app.exe|/suite/platform/x64/app.exe" }
        << "server.exe";
#ifndef Q_OS_WIN
    QTest::newRow("name case differs: not on the list")
        << suite << QStringList { "App.exe|/suite/platform/x64/App.exe", "APP.EXE" } << "";
    QTest::newRow("path case differs: another folder")
        << suite << QStringList { "app.exe|/Suite/platform/x64/app.exe" } << "";
#else
    QTest::newRow("name case differs: same file on Windows")
        << suite << QStringList { "App.exe|/suite/platform/x64/App.exe" } << "App.exe";
    QTest::newRow("path case differs: same folder on Windows")
        << suite << QStringList { "app.exe|/Suite/platform/x64/app.exe" } << "app.exe";
#endif
    QTest::newRow("empty list: nothing blocks")
        << QStringList {} << QStringList { "app.exe", "app.exe|/suite/platform/x64/app.exe" } << "";
}

void tst_SuiteGuard::findBlockingProcess()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, processes);
    QTEST(FakeProcesses(processes).findBlocking(names, "/suite/platform/x64", "/suite/product/x64"),
        "expected");
}

// The record names the main directory through a link; the process list
// reports the program's path with links resolved.
void tst_SuiteGuard::mainDirectoryThroughLink()
{
#ifdef Q_OS_WIN
    QSKIP("links are resolved by the process list only on Linux");
#else
    QTemporaryDir dir;
    QVERIFY(makeLayout(dir.path(), { "real/platform/x64/app.exe", "real/product/x64/" }));
    const QString linked = dir.filePath("linked");
    QVERIFY(QFile::link(dir.filePath("real"), linked));
    const QString platform = SuiteGuard::programFolder(linked, "platform", "x64");
    const QString product = SuiteGuard::programFolder(linked, "product", "x64");
    const QStringList names = SuiteGuard::listSuiteExecutables(linked, "x64");
    QCOMPARE(names, QStringList { "app.exe" });
    const QString resolved
        = QFileInfo(dir.filePath("real/platform/x64/app.exe")).canonicalFilePath();
    QCOMPARE(FakeProcesses({ "app.exe|" + resolved }).findBlocking(names, platform, product),
        QStringLiteral("app.exe"));
    QCOMPARE(FakeProcesses({ "app.exe|" + dir.filePath("app.exe") })
                 .findBlocking(names, platform, product),
        QString());
#endif
}

// Every blocking program, with its PID, path and user: real processes, one in
// each suite folder and a same-named one elsewhere; and one whose path can't
// be read.
void tst_SuiteGuard::runningProgramsNamed()
{
    QTemporaryDir dir;
    QVERIFY(makeLayout(dir.path(), { "main/platform/bin/", "main/product/bin/", "other/" }));
    const QStringList programs { "main/platform/bin/app.exe", "main/product/bin/srv.exe",
        "other/app.exe" };
    QList<QSharedPointer<QProcess>> running;
    for (const QString &program : programs) {
        running.append(QSharedPointer<QProcess>::create());
#ifdef Q_OS_WIN
        QVERIFY(QFile::copy(QStandardPaths::findExecutable("sh"), dir.filePath(program)));
        running.last()->start(dir.filePath(program), { "-c", "sleep 60" });
#else
        QVERIFY(QFile::copy("/bin/sleep", dir.filePath(program)));
        running.last()->start(dir.filePath(program), { "60" });
#endif
        QVERIFY(running.last()->waitForStarted());
    }
    auto found = SuiteGuard::findRunningSuitePrograms(dir.filePath("main"), "bin");
    const QList<qint64> pids { running.at(0)->processId(), running.at(1)->processId() };
    for (const QSharedPointer<QProcess> &process : running) {
        process->kill();
        process->waitForFinished();
    }
    QCOMPARE(found.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(found.at(i).name, QFileInfo(programs.at(i)).fileName());
        QCOMPARE(found.at(i).pid, pids.at(i));
        QCOMPARE(found.at(i).path,
            QDir::toNativeSeparators(QFileInfo(dir.filePath(programs.at(i))).canonicalFilePath()));
#ifdef Q_OS_WIN
        QVERIFY2(
            found.at(i).user.endsWith('\\' + qEnvironmentVariable("USERNAME"), Qt::CaseInsensitive),
            qPrintable(found.at(i).user));
#else
        QCOMPARE(found.at(i).user, QFileInfo(dir.filePath(programs.at(i))).owner());
#endif
    }
    found = SuiteGuard::findBlockingPrograms(
        { { 7, "app.exe" } }, { "app.exe" }, "/p", "/q", [](qint64, QString *) { return false; },
        [](qint64 pid) { return QString::number(pid); });
    QCOMPARE(found.size(), 1);
    QVERIFY(found.first().path.isEmpty());
    QCOMPARE(found.first().user, QStringLiteral("7"));
}

QTEST_GUILESS_MAIN(tst_SuiteGuard)
#include "tst_suiteguard.moc"
