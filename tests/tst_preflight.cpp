#include <QtTest>

#include <memory>

#include "support/EngineHarness.h"
#include "support/PlatformFiles.h"
#include "Preflight.h"
#include "SuiteLayout.h"

#ifdef Q_OS_WIN
#include "WinFileSystem.h"
#endif

#ifndef UPGRADE_INSTALL_HELPER
#define UPGRADE_INSTALL_HELPER ""
#endif

using EngineHarness::Tree;

namespace {

const char *const kindNames[] = { "InUse", "NotWritable", "DiskSpace", "PathTooLong", "NameTooLong",
    "HelperMissing", "HelperNotStartable", "BadExePath", "LinkOutside", "InstallerOwn" };

// "Kind path", the path below root, sorted: what a row expects.
QStringList listed(const QList<PreflightProblem> &problems, const QString &root)
{
    QStringList result;
    for (const PreflightProblem &problem : problems) {
        QString path = QDir::fromNativeSeparators(problem.path);
        if (path.startsWith(root + QLatin1Char('/')))
            path = path.mid(root.size() + 1);
        result << QStringLiteral("%1 %2").arg(QLatin1String(kindNames[problem.kind]), path);
    }
    result.sort();
    return result;
}

QStringList below(QStringList paths, const QString &root)
{
    for (QString &path : paths)
        path = QDir::fromNativeSeparators(path).mid(root.size() + 1);
    paths.sort();
    return paths;
}

// Puts a database helper at path: the suite's real one, a script without
// execute bits, or scripts that fail or never end. On Windows, where no file
// is a program for its bits or its "#!" line, the one that is no program is
// text, and this test program stands in for those that fail or never end
// (see main), told which by standInVariable.
const char *const standInVariable = "TST_PREFLIGHT_HELPER";

bool placeHelper(const QString &kind, const QString &path)
{
    if (kind.isEmpty())
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (kind == QLatin1String("real"))
        return QFile::copy(QStringLiteral(UPGRADE_INSTALL_HELPER), path);
#ifdef Q_OS_WIN
    if (kind == QLatin1String("not executable"))
        return EngineHarness::writeFile(path, "exit 0\n");
    qputenv(standInVariable, kind.toUtf8());
    return QFile::copy(QCoreApplication::applicationFilePath(), path);
#endif
    const QByteArray body = kind == QLatin1String("fails") ? "exit 3\n"
        : kind == QLatin1String("hangs")                   ? "exec sleep 60\n"
                                                           : "exit 0\n";
    if (!EngineHarness::writeFile(path, "#!/bin/sh\n" + body))
        return false;
    return kind == QLatin1String("not executable")
        || QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
}

// A small volume mounted over a folder for the object's lifetime.
class SmallVolume
{
public:
    explicit SmallVolume(const QString &folder)
        : folder(folder)
        , mounted(run({ "-t", "tmpfs", "-o", "size=1m", "tmpfs", folder }, "mount"))
    { }
    ~SmallVolume()
    {
        if (mounted)
            run({ folder }, "umount");
    }
    bool isMounted() const { return mounted; }

private:
    static bool run(const QStringList &arguments, const char *program)
    {
        QProcess process;
        process.start(QLatin1String(program), arguments);
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }
    QString folder;
    bool mounted;
};

} // namespace

// The check before an upgrade names every problem it can see, and changes
// nothing: the installation and what links lead to stay as they were.
class tst_Preflight : public QObject
{
    Q_OBJECT

private slots:
    void cleanPackage();
    void problems_data();
    void problems();
    void tooLittleSpace();
    void tooLongPaths();

private:
    // Checks the package built from tree against root/main; *trouble tells
    // when the package could not be built or the check changed root/main or
    // root/outside.
    static PreflightReport check(const QString &root, const Tree &package, QString *trouble,
        PreflightInput input = {}, bool aliased = false);
};

PreflightReport tst_Preflight::check(
    const QString &root, const Tree &package, QString *trouble, PreflightInput input, bool aliased)
{
    const QString rcc = aliased ? EngineHarness::buildWithAliases(root, package, trouble)
                                : EngineHarness::buildPackage(root, package, trouble);
    EngineHarness::RegisteredPackage registered(rcc);
    if (!registered.isRegistered()) {
        trouble->prepend(QStringLiteral("no package: "));
        return {};
    }
    const Tree main = EngineHarness::snapshot(root + "/main");
    const Tree outside = EngineHarness::snapshot(root + "/outside");
    input.mainPath = root + "/main";
    const PreflightReport report = runPreflight(input);
    if (EngineHarness::snapshot(root + "/main") != main
        || EngineHarness::snapshot(root + "/outside") != outside)
        *trouble = QStringLiteral("the check changed files");
    return report;
}

void tst_Preflight::cleanPackage()
{
    QTemporaryDir tmp;
    const QString main = tmp.path() + "/main";
    QVERIFY(EngineHarness::writeTree(main,
        { { "product/bin/a.dll", "old" }, { "product/bin/gone.dll", "x" },
            { "product/legacy/x.txt", "x" }, { "readme.txt", "installed" } }));
    const Tree package { { "delete/product/bin/gone.dll", "" }, { "delete/product/legacy/", "" },
        { "delete/product/never.dll", "" }, { "update/product/bin/a.dll", "new" },
        { "update/product/bin/plugins/p.dll", "p" }, { "add/readme.txt", "ignored" },
        { "add/docs/guide.txt", "guide" } };
    QString trouble;
    const PreflightReport report = check(tmp.path(), package, &trouble);
    QVERIFY2(trouble.isEmpty(), qPrintable(trouble));
    QCOMPARE(listed(report.problems, tmp.path()), QStringList());
    // Empty folders reach the package through a placeholder file, which is
    // no change of its own; what is absent already or installed stays out.
    QCOMPARE(
        below(report.deletes, main), QStringList({ "product/bin/gone.dll", "product/legacy" }));
    QCOMPARE(below(report.updates, main), QStringList({ "product/bin/a.dll" }));
    QCOMPARE(below(report.adds, main),
        QStringList(
            { "docs", "docs/guide.txt", "product/bin/plugins", "product/bin/plugins/p.dll" }));
    QVERIFY(report.bytesNeeded > 64 * 1024 * 1024);
    QVERIFY(report.bytesAvailable >= report.bytesNeeded);
}

void tst_Preflight::problems_data()
{
    QTest::addColumn<Tree>("installed"); // below main
    QTest::addColumn<Tree>("package");
    QTest::addColumn<QStringList>("links"); // "link>target" below the root; "@out": root/outside
    QTest::addColumn<QString>("immutable"); // below the root
    QTest::addColumn<QString>("exePath");
    QTest::addColumn<bool>("databaseInstalled");
    QTest::addColumn<bool>("upgradeDatabase");
    QTest::addColumn<QString>("helper"); // what sits at product/<exe>/upgrade_install_helper.exe
    QTest::addColumn<QStringList>("expected");

    const Tree bin { { "product/bin/a.dll", "old" }, { "readme.txt", "r" } };
    const QString helper = "main/product/bin/upgrade_install_helper.exe";

    QTest::newRow("file to replace is immutable")
        << bin << Tree { { "update/product/bin/a.dll", "new" } } << QStringList()
        << "main/product/bin/a.dll"
        << "bin" << false << false << "" << QStringList { "NotWritable main/product/bin/a.dll" };
    QTest::newRow("folder to receive files is immutable")
        << bin << Tree { { "add/product/bin/new.dll", "n" }, { "add/product/bin/a.dll", "n" } }
        << QStringList() << "main/product/bin"
        << "bin" << false << false << "" << QStringList { "NotWritable main/product/bin" };
    QTest::newRow("file to delete in an immutable folder")
        << bin << Tree { { "delete/product/bin/a.dll", "" } } << QStringList() << "main/product/bin"
        << "bin" << false << false << "" << QStringList { "NotWritable main/product/bin" };
    QTest::newRow("main directory immutable")
        << bin << Tree { { "update/readme.txt", "new" } } << QStringList() << "main"
        << "bin" << false << false << "" << QStringList { "NotWritable main" };
    QTest::newRow("folder where a file is expected")
        << Tree { { "product/bin/a.dll/", "" } } << Tree { { "update/product/bin/a.dll", "new" } }
        << QStringList() << ""
        << "bin" << false << false << "" << QStringList { "NotWritable main/product/bin/a.dll" };

    QTest::newRow("a file that becomes a folder: the delete step makes way")
        << Tree { { "product/tool", "file" } }
        << Tree { { "delete/product/tool", "" }, { "add/product/tool/run.exe", "x" } }
        << QStringList() << ""
        << "bin" << false << false << "" << QStringList();
    QTest::newRow("a folder that becomes a file: the delete step makes way")
        << Tree { { "product/tool/run.exe", "x" } }
        << Tree { { "delete/product/tool/", "" }, { "update/product/tool", "file" } }
        << QStringList() << ""
        << "bin" << false << false << "" << QStringList();

    QTest::newRow("helper missing")
        << bin << Tree { { "update/product/bin/a.dll", "new" } } << QStringList() << ""
        << "bin" << true << true << "" << QStringList { "HelperMissing " + helper };
    QTest::newRow("helper missing, needed for SQL scripts alone")
        << bin << Tree { { "db/db_after/001_fix.SQL", "select 1;" } } << QStringList() << ""
        << "bin" << true << false << "" << QStringList { "HelperMissing " + helper };
    QTest::newRow("helper missing, no database")
        << bin << Tree { { "readme.txt", "r" } } << QStringList() << ""
        << "bin" << false << true << "" << QStringList();
    QTest::newRow("helper missing, nothing for it to do")
        << bin << Tree { { "db/db_after/notes.txt", "n" } } << QStringList() << ""
        << "bin" << true << false << "" << QStringList();
    QTest::newRow("helper without execute bits")
        << bin << Tree { { "readme.txt", "r" } } << QStringList() << ""
        << "bin" << true << true << "not executable"
        << QStringList { "HelperNotStartable " + helper };
    QTest::newRow("helper answering with exit code 3")
        << bin << Tree { { "readme.txt", "r" } } << QStringList() << ""
        << "bin" << true << true << "fails" << QStringList { "HelperNotStartable " + helper };
    QTest::newRow("helper that never ends is stopped")
        << bin << Tree { { "readme.txt", "r" } } << QStringList() << ""
        << "bin" << true << true << "hangs" << QStringList { "HelperNotStartable " + helper };
    QTest::newRow("the real helper") << bin << Tree { { "readme.txt", "r" } } << QStringList() << ""
                                     << "bin" << true << true << "real" << QStringList();
    QTest::newRow("the real helper, empty exe_path")
        << bin << Tree { { "readme.txt", "r" } } << QStringList() << ""
        << "" << true << true << "real" << QStringList();

    // A bad exe_path stops the check before anything else is looked at.
    // (Listed with '/' for the system's separator, as paths are.)
    for (const char *exePath : { "../..", "/abs", "C:x", "a/b", "a\\b", " bin", ".", "bin." })
        QTest::newRow(qPrintable(QStringLiteral("exe_path '%1'").arg(exePath)))
            << bin << Tree { { "update/product/bin/a.dll/", "" } } << QStringList() << "" << exePath
            << true << true << ""
            << QStringList { "BadExePath " + QDir::fromNativeSeparators(exePath) };

    const Tree linked { { "product/real/x.dll", "x" }, { "product/real/old.dll", "o" } };
    const QStringList out { "main/product/plugins>@out" };
    QTest::newRow("outside link on the way to a delete target")
        << linked << Tree { { "delete/product/plugins/old.dll", "" } } << out << ""
        << "bin" << false << false << "" << QStringList { "LinkOutside main/product/plugins" };
    QTest::newRow("outside link on the way to an update target")
        << linked << Tree { { "update/product/plugins/x.dll", "new" } } << out << ""
        << "bin" << false << false << "" << QStringList { "LinkOutside main/product/plugins" };
    QTest::newRow("outside link as the folder of an add target")
        << linked << Tree { { "add/product/plugins/new.dll", "n" } } << out << ""
        << "bin" << false << false << "" << QStringList { "LinkOutside main/product/plugins" };
    QTest::newRow("outside link as the staging folder")
        << linked << Tree { { "add/new.dll", "n" } } << QStringList { "main/upgrade_temp>@out" }
        << ""
        << "bin" << false << false << "" << QStringList { "LinkOutside main/upgrade_temp" };
    QTest::newRow("outside links as the backup folder, the journal and the lock file")
        << linked << Tree { { "add/new.dll", "n" } }
        << QStringList { "main/upgrade_backup>@out", "main/upgrade_journal.txt>../outside/x.dll",
               "main/upgrade.lock>../outside/gone" }
        << ""
        << "bin" << false << false << ""
        << QStringList { "LinkOutside main/upgrade.lock", "LinkOutside main/upgrade_backup",
               "LinkOutside main/upgrade_journal.txt" };
    QTest::newRow("the upgrade's own lock, journal and backups as targets, there or not yet")
        << Tree { { "upgrade_journal.txt", "j" } }
        << Tree { { "delete/upgrade.lock", "" }, { "update/upgrade_journal.txt", "garbage" },
               { "add/upgrade_backup/x.dll", "x" } }
        << QStringList() << ""
        << "bin" << false << false << ""
        << QStringList { "InstallerOwn main/upgrade.lock", "InstallerOwn main/upgrade_backup",
               "InstallerOwn main/upgrade_journal.txt" };
    QTest::newRow("links that stay inside")
        << linked
        << Tree { { "delete/product/alias/old.dll", "" }, { "update/product/alias/x.dll", "n" },
               { "add/product/alias/new.dll", "n" } }
        << QStringList { "main/product/alias>real" } << ""
        << "bin" << false << false << "" << QStringList();
}

void tst_Preflight::problems()
{
    QFETCH(Tree, installed);
    QFETCH(Tree, package);
    QFETCH(QStringList, links);
    QFETCH(QString, immutable);
    QFETCH(QString, exePath);
    QFETCH(bool, databaseInstalled);
    QFETCH(bool, upgradeDatabase);
    QFETCH(QString, helper);
    QFETCH(QStringList, expected);

    QTemporaryDir tmp;
    const QString root = tmp.path();
    QVERIFY(EngineHarness::writeTree(root + "/main", installed));
    QVERIFY(EngineHarness::writeTree(root + "/outside", { { "x.dll", "x" }, { "old.dll", "o" } }));
    for (const QString &link : qAsConst(links)) {
        const QStringList parts = link.split('>');
        const QString target = parts.at(1) == "@out" ? root + "/outside" : parts.at(1);
#ifdef Q_OS_WIN
        QString why;
        if (!makeSymLink(target, root + '/' + parts.at(0), &why))
            QSKIP(qPrintable(why));
#else
        QVERIFY(QFile::link(target, root + '/' + parts.at(0)));
#endif
    }
    const auto noStandIn = qScopeGuard([] { qunsetenv(standInVariable); });
    if (helper == "real" && !QFile::exists(QStringLiteral(UPGRADE_INSTALL_HELPER)))
        QSKIP("the database helper is not built");
    QVERIFY(placeHelper(helper, SuiteLayout::helperProgram(root + "/main", exePath)));
    std::unique_ptr<EngineHarness::Immutable> locked;
#ifdef Q_OS_WIN
    // What Windows refuses to change without a try: a read-only file to be
    // replaced. A folder that takes no new entries needs access rights.
    const QString readOnly = root + '/' + immutable;
    const auto writable = qScopeGuard([&] {
        if (!immutable.isEmpty())
            QFile::setPermissions(readOnly, QFile::permissions(readOnly) | QFile::WriteOwner);
    });
    if (!immutable.isEmpty() && QFileInfo(readOnly).isDir())
        QSKIP("a folder that takes no new entries needs access rights, which wine doesn't enforce");
    if (!immutable.isEmpty())
        QVERIFY(QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ReadUser));
#else
    if (!immutable.isEmpty()) {
        locked.reset(new EngineHarness::Immutable(root + '/' + immutable));
        if (!locked->isSet())
            QSKIP("chattr +i does not work here");
    }
#endif

    PreflightInput input;
    input.exePath = exePath;
    input.databaseInstalled = databaseInstalled;
    input.upgradeDatabase = upgradeDatabase;
    QString trouble;
    const PreflightReport report = check(root, package, &trouble, input);
    QVERIFY2(trouble.isEmpty(), qPrintable(trouble));
    QCOMPARE(listed(report.problems, root), expected);
    QCOMPARE(report.ok(), expected.isEmpty());
}

void tst_Preflight::tooLittleSpace()
{
    QTemporaryDir tmp;
    const QString main = tmp.path() + "/main";
    QVERIFY(QDir().mkpath(main));
#ifdef Q_OS_WIN
    QSKIP("needs a small volume mounted over a folder, which a Windows program can't do "
          "(wine's drives are Unix folders)");
#endif
    SmallVolume volume(main);
    if (!volume.isMounted())
        QSKIP("a small tmpfs can't be mounted here");
    QVERIFY(EngineHarness::writeTree(main, { { "product/bin/a.dll", "old" } }));
    QString trouble;
    const PreflightReport report
        = check(tmp.path(), { { "update/product/bin/a.dll", "new" } }, &trouble);
    QVERIFY2(trouble.isEmpty(), qPrintable(trouble));
    QCOMPARE(listed(report.problems, tmp.path()), QStringList { "DiskSpace main" });
    QVERIFY(report.bytesAvailable < report.bytesNeeded);
    QVERIFY2(report.problems.at(0).text().contains("MiB,可用"),
        qPrintable(report.problems.at(0).text()));
}

void tst_Preflight::tooLongPaths()
{
    QTemporaryDir tmp;
    const QString main = tmp.path() + "/main";
    QVERIFY(QDir().mkpath(main));
    QString deep;
#ifdef Q_OS_WIN
    // Folders of 100-character names and a file whose target path stays 4
    // characters below the limit (MAX_PATH, or 32767 with long paths), while
    // its staged path (25 more) reaches it.
    const int limit = WinFileSystem::longPathsEnabled() ? 32767 : MAX_PATH;
    const int room = limit - 1 - QDir::toNativeSeparators(main).size() - 1 - 4;
    for (int level = 0; room - deep.size() > 201; ++level)
        deep += QString(100, QChar('a' + level % 26)) + '/';
    deep += QString(room - deep.size(), 'f');
#else
    // 15 folders of 255-byte names and a file whose target path stays at
    // 4091 bytes, while its staged path (29 bytes more) goes past 4095.
    for (int level = 0; level < 15; ++level)
        deep += QString(255, QChar('a' + level)) + '/';
    deep += QString(250 - QFile::encodeName(main).size(), 'f');
#endif
    const QString longName = QString(300, 'n') + ".dll";
    QString trouble;
    const PreflightReport report = check(tmp.path(),
        { { "add/" + deep, "deep" }, { "add/product/" + longName, "n" } }, &trouble, {}, true);
    QVERIFY2(trouble.isEmpty(), qPrintable(trouble));
    QCOMPARE(listed(report.problems, tmp.path()),
        QStringList({ "NameTooLong main/product/" + longName,
            "NameTooLong main/upgrade_temp/upgrade/add/product/" + longName,
            "PathTooLong main/upgrade_temp/upgrade/add/" + deep }));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
#ifdef Q_OS_WIN
    // The stand-in helper (placeHelper): asked for its usage, it fails or
    // never ends.
    if (QFileInfo(QCoreApplication::applicationFilePath()).fileName()
        == QLatin1String("upgrade_install_helper.exe")) {
        if (qgetenv(standInVariable) == "hangs")
            QThread::sleep(60);
        return 3;
    }
#endif
    tst_Preflight test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_preflight.moc"
