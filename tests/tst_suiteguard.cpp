#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>
#include <QtTest>

#include "SuiteGuard.h"

namespace {

bool makeFile(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

// Creates every entry of a layout below root: "a/b/" is a folder, anything
// else a file.
bool makeLayout(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const QString path = root + QLatin1Char('/') + entry;
        const bool ok = entry.endsWith(QLatin1Char('/')) ? QDir().mkpath(path) : makeFile(path);
        if (!ok)
            return false;
    }
    return true;
}

// Process list and image paths as a test wants them; pids without a path
// behave like another user's process.
struct FakeProcesses
{
    QList<ProcessEntry> list;
    QHash<qint64, QString> paths;

    void add(const QString &name, const QString &path)
    {
        const qint64 pid = list.size() + 100;
        list.append({ pid, name });
        if (!path.isNull())
            paths.insert(pid, path);
    }

    SuiteGuard::ImagePathFunction imagePath()
    {
        return [this](qint64 pid, QString *path) {
            *path = paths.value(pid);
            return paths.contains(pid);
        };
    }
};

} // namespace

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
};

void tst_SuiteGuard::programFolder_data()
{
    QTest::addColumn<QStringList>("layout");
    QTest::addColumn<QString>("top");
    QTest::addColumn<QString>("exePath");
    QTest::addColumn<QString>("expected"); // relative to the main directory

    const QString platform = QStringLiteral("platform");
    const QString product = QStringLiteral("product");
    const QString x64 = QStringLiteral("x64");

    QTest::newRow("both steps down") << QStringList { "platform/x64/", "product/x64/" } << platform
                                     << x64 << QStringLiteral("platform/x64");
    QTest::newRow("product folder") << QStringList { "platform/x64/", "product/x64/" } << product
                                    << x64 << QStringLiteral("product/x64");
    QTest::newRow("no exe folder: the platform folder itself")
        << QStringList { "platform/other/" } << platform << x64 << QStringLiteral("platform");
    QTest::newRow("no platform folder: the main directory")
        << QStringList { "product/x64/" } << platform << x64 << QString();
    QTest::newRow("no platform folder, exe folder in the main directory")
        << QStringList { "x64/", "product/" } << platform << x64 << QStringLiteral("x64");
    QTest::newRow("empty exe path adds no step")
        << QStringList { "platform/x64/" } << platform << QString() << QStringLiteral("platform");
    QTest::newRow("a file where the exe folder should be is not entered")
        << QStringList { "platform/x64" } << platform << x64 << QStringLiteral("platform");
    QTest::newRow("exe path is taken as a name below the folder")
        << QStringList { "platform/x64/bin/" } << platform << QStringLiteral("x64/bin")
        << QStringLiteral("platform/x64/bin");
}

void tst_SuiteGuard::programFolder()
{
    QFETCH(QStringList, layout);
    QFETCH(QString, top);
    QFETCH(QString, exePath);
    QFETCH(QString, expected);
    QTemporaryDir main;
    QVERIFY(main.isValid());
    QVERIFY(makeLayout(main.path(), layout));

    const QString want = QDir::cleanPath(main.path() + QLatin1Char('/') + expected);
    QCOMPARE(SuiteGuard::programFolder(main.path(), top, exePath), want);
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
    QTest::newRow("sorted by name ignoring case") << QStringList { "b.exe", "A.exe", "c.exe",
        "B2.exe" } << QStringList { "A.exe", "b.exe", "B2.exe", "c.exe" };
    QTest::newRow("no sub-folders, no hidden files, nothing below") << QStringList { "tool.exe/",
        ".hidden.exe", "sub/inner.exe", "main.exe" } << QStringList { "main.exe" };
    QTest::newRow("Chinese names")
        << QStringList { "工程管理.exe", "说明.txt" } << QStringList { "工程管理.exe" };
    QTest::newRow("empty folder") << QStringList {} << QStringList {};
}

void tst_SuiteGuard::listExecutables()
{
    QFETCH(QStringList, layout);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(makeLayout(dir.path(), layout));
    QCOMPARE(SuiteGuard::listExecutables(dir.path()), expected);
    QVERIFY(SuiteGuard::listExecutables(dir.filePath(QStringLiteral("missing"))).isEmpty());
}

void tst_SuiteGuard::listSuiteExecutables()
{
    QTemporaryDir main;
    QVERIFY(main.isValid());
    QVERIFY(makeLayout(main.path(),
        { "platform/x64/z.exe", "platform/x64/db_manager.exe", "platform/top.exe",
            "product/x64/a.exe", "product/x64/z.exe", "top.exe" }));
    // Platform folder first, then product; a name in both is listed twice.
    QCOMPARE(SuiteGuard::listSuiteExecutables(main.path(), QStringLiteral("x64")),
        QStringList({ "db_manager.exe", "z.exe", "a.exe", "z.exe" }));
    // Without the exe folder both searches stay one level up.
    QCOMPARE(SuiteGuard::listSuiteExecutables(main.path(), QStringLiteral("arm")),
        QStringList({ "top.exe" }));
}

void tst_SuiteGuard::findBlockingProcess_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("processes"); // "name|path"; no "|" = path unknown
    QTest::addColumn<QString>("expected");

    const QString platform = QStringLiteral("/suite/platform/x64");
    const QString product = QStringLiteral("/suite/product/x64");
    const QStringList suite { "app.exe", "upgrade_install_helper.exe", "upgrade_install.exe",
        "server.exe" };

    QTest::newRow("nothing running") << suite << QStringList {} << QString();
    QTest::newRow("suite program in the platform folder blocks")
        << suite << QStringList { "bash|/bin/bash", "app.exe|/suite/platform/x64/app.exe" }
        << QStringLiteral("app.exe");
    QTest::newRow("suite program in the product folder blocks")
        << suite << QStringList { "server.exe|/suite/product/x64/server.exe" }
        << QStringLiteral("server.exe");
    QTest::newRow("same name started elsewhere doesn't block")
        << suite << QStringList { "app.exe|/home/op/app.exe" } << QString();
    QTest::newRow("same name one folder up doesn't block")
        << suite << QStringList { "app.exe|/suite/platform/app.exe" } << QString();
    QTest::newRow("path that can't be read blocks")
        << suite << QStringList { "app.exe" } << QStringLiteral("app.exe");
    QTest::newRow("name not on the list never blocks")
        << suite << QStringList { "other.exe|/suite/platform/x64/other.exe", "other.exe" }
        << QString();
    QTest::newRow("helper program in the suite folder doesn't block")
        << suite
        << QStringList { "upgrade_install_helper.exe|/suite/product/x64/upgrade_install_helper.exe",
               "upgrade_install.exe|/suite/platform/x64/upgrade_install.exe" }
        << QString();
    QTest::newRow("helper program with unknown path doesn't block")
        << suite << QStringList { "upgrade_install_helper.exe" } << QString();
    QTest::newRow("first blocking process in list order")
        << suite
        << QStringList { "app.exe|/elsewhere/app.exe", "server.exe",
               "app.exe|/suite/platform/x64/app.exe" }
        << QStringLiteral("server.exe");
#ifndef Q_OS_WIN
    QTest::newRow("name case differs: not on the list")
        << suite << QStringList { "App.exe|/suite/platform/x64/App.exe", "APP.EXE" } << QString();
    QTest::newRow("path case differs: another folder")
        << suite << QStringList { "app.exe|/Suite/platform/x64/app.exe" } << QString();
#else
    QTest::newRow("name case differs: same file on Windows")
        << suite << QStringList { "App.exe|/suite/platform/x64/App.exe" }
        << QStringLiteral("App.exe");
    QTest::newRow("path case differs: same folder on Windows")
        << suite << QStringList { "app.exe|/Suite/platform/x64/app.exe" }
        << QStringLiteral("app.exe");
#endif
    QTest::newRow("empty list: nothing blocks")
        << QStringList {} << QStringList { "app.exe", "app.exe|/suite/platform/x64/app.exe" }
        << QString();
}

void tst_SuiteGuard::findBlockingProcess()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, processes);
    QFETCH(QString, expected);

    FakeProcesses fake;
    for (const QString &process : processes) {
        const int bar = process.indexOf(QLatin1Char('|'));
        if (bar < 0)
            fake.add(process, QString());
        else
            fake.add(process.left(bar), QDir::toNativeSeparators(process.mid(bar + 1)));
    }
    const QString found
        = SuiteGuard::findBlockingProcess(fake.list, names, QStringLiteral("/suite/platform/x64"),
            QStringLiteral("/suite/product/x64"), fake.imagePath());
    QCOMPARE(found, expected);
}

void tst_SuiteGuard::mainDirectoryThroughLink()
{
#ifdef Q_OS_WIN
    QSKIP("links are resolved by the process list only on Linux");
#else
    // The installation record names the main directory through a link; the
    // process list reports the program's path with links resolved.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(makeLayout(dir.path(), { "real/platform/x64/app.exe", "real/product/x64/" }));
    const QString linked = dir.filePath(QStringLiteral("linked"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("real")), linked));
    const QString resolved
        = QFileInfo(dir.filePath(QStringLiteral("real/platform/x64/app.exe"))).canonicalFilePath();

    const QString platformDir
        = SuiteGuard::programFolder(linked, QStringLiteral("platform"), QStringLiteral("x64"));
    const QString productDir
        = SuiteGuard::programFolder(linked, QStringLiteral("product"), QStringLiteral("x64"));
    const QStringList names = SuiteGuard::listSuiteExecutables(linked, QStringLiteral("x64"));
    QCOMPARE(names, QStringList { QStringLiteral("app.exe") });

    FakeProcesses running;
    running.add(QStringLiteral("app.exe"), resolved);
    QCOMPARE(SuiteGuard::findBlockingProcess(
                 running.list, names, platformDir, productDir, running.imagePath()),
        QStringLiteral("app.exe"));

    FakeProcesses elsewhere;
    elsewhere.add(QStringLiteral("app.exe"), dir.filePath(QStringLiteral("app.exe")));
    QCOMPARE(SuiteGuard::findBlockingProcess(
                 elsewhere.list, names, platformDir, productDir, elsewhere.imagePath()),
        QString());
#endif
}

QTEST_GUILESS_MAIN(tst_SuiteGuard)
#include "tst_suiteguard.moc"
