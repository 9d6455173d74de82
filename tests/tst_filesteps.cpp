#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "CUpgradeWorker.h"
#include "UpgradeConstants.h"
#include "support/EngineHarness.h"

using EngineHarness::buildPackage;
using EngineHarness::readFile;
using EngineHarness::RegisteredPackage;
using EngineHarness::snapshot;
using EngineHarness::Tree;
using EngineHarness::WorkerRun;
using EngineHarness::WorkingDirectory;
using EngineHarness::writeFile;
using EngineHarness::writeTree;

namespace {

// Modes through the owner, group and other bits (the "user" bits say what
// the running user, often root here, may do).
QFileDevice::Permissions modeOf(const QString &path)
{
    return QFile::permissions(path)
        & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

const QFileDevice::Permissions mode0644 = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ReadGroup | QFileDevice::ReadOther;
const QFileDevice::Permissions mode0755
    = mode0644 | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;

// The progress lines of the delete, update and add steps, in order.
QStringList progressLines(const QStringList &lines)
{
    static const QRegularExpression progress(
        QStringLiteral("^(正在)?(删除|更新|添加)(文件|目录):"));
    return lines.filter(progress);
}

// Both lines of one entry: before the operation and its outcome.
QStringList entryLines(const QString &verb, bool folder, const QString &target, bool done = true)
{
    const QString kind = folder ? QStringLiteral("目录") : QStringLiteral("文件");
    return { QStringLiteral("正在") + verb + kind + QLatin1Char(':') + target,
        verb + kind + QLatin1Char(':') + target
            + (done ? QStringLiteral("成功") : QStringLiteral("失败")) };
}

// One upgrade of an installation in tmp/suite with a package built from
// tree, run to its end like the window runs it.
struct Upgrade
{
    QTemporaryDir tmp;
    QString installPath = tmp.path() + QStringLiteral("/suite");
    QString error;
    WorkerRun run;

    bool execute(const Tree &package)
    {
        const QString rcc = buildPackage(tmp.path(), package, &error);
        if (rcc.isEmpty())
            return false;
        RegisteredPackage registered(rcc);
        if (!registered.isRegistered()) {
            error = QStringLiteral("cannot register ") + rcc;
            return false;
        }
        QDir().mkpath(installPath);
        WorkingDirectory cwd(tmp.path());
        run.startCopyAll(installPath);
        if (!run.waitForEnd() || !run.flush()) {
            error = QStringLiteral("the upgrade did not end: ") + run.events.join(" | ");
            return false;
        }
        run.stop();
        return true;
    }

    QString target(const QString &relative) const
    {
        return installPath + QDir::separator() + relative;
    }
};

} // namespace

class tst_FileSteps : public QObject
{
    Q_OBJECT

private slots:
    void deleteStep();
    void updateStep();
    void addStep();
    void topLevelLinksIgnored();
    void failedOperationsEndTheUpgrade_data();
    void failedOperationsEndTheUpgrade();
    void stepFolders_data();
    void stepFolders();
    void installationVanishes();
};

void tst_FileSteps::deleteStep()
{
    Upgrade upgrade;
    QVERIFY(writeTree(upgrade.installPath,
        { { "product/old.dll", "old" }, { "product/olddir/a.txt", "a" },
            { "product/olddir/.hidden", "h" }, { "product/olddir/ro.txt", "r" },
            { "product/olddir/sub/.deep/x", "x" }, { "product/olddir/empty/", {} },
            { "product/stays/file.txt", "s" }, { "other.txt", "o" } }));
    QVERIFY(QFile::setPermissions(
        upgrade.installPath + "/product/olddir/ro.txt", QFileDevice::ReadOwner));
    QVERIFY(QFile::setPermissions(upgrade.installPath + "/product/olddir/sub/.deep/x",
        QFileDevice::ReadOwner | QFileDevice::ReadGroup));

    QVERIFY2(upgrade.execute({ { "delete/product/old.dll", "x" }, { "delete/product/olddir/", {} },
                 { "delete/product/stays/absent.txt", "x" }, { "delete/missing.dll", "x" },
                 { "delete/gonedir/", {} } }),
        qPrintable(upgrade.error));

    QCOMPARE(progressLines(upgrade.run.statusLines()),
        entryLines("删除", false, upgrade.target("missing.dll"))
            + entryLines("删除", true, upgrade.target("gonedir"))
            + entryLines("删除", false, upgrade.target("product/old.dll"))
            + entryLines("删除", true, upgrade.target("product/olddir"))
            + entryLines("删除", false, upgrade.target("product/stays/absent.txt")));
    // The folder of a deleted file stays, also when it ends up empty.
    QCOMPARE(snapshot(upgrade.installPath),
        (Tree { { "product/", {} }, { "product/stays/", {} }, { "product/stays/file.txt", "s" },
            { "other.txt", "o" } }));
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigSuccessClearEnd" }));
}

void tst_FileSteps::updateStep()
{
    Upgrade upgrade;
    QVERIFY(writeTree(upgrade.installPath,
        { { "app.exe", "old app" }, { "conf.ini", "old conf" }, { "lib/a.dll", "old a" },
            { "lib/own.dll", "own" }, { "lib/sub/x", "old x" },
            { ".hidden.dll", "installed hidden" } }));
    QVERIFY(QFile::setPermissions(upgrade.installPath + "/app.exe", mode0755));
    QVERIFY(QFile::setPermissions(
        upgrade.installPath + "/conf.ini", QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    QVERIFY2(upgrade.execute({ { "update/app.exe", "new app" }, { "update/conf.ini", "new conf" },
                 { "update/Beta.txt", "beta" }, { "update/lib/a.dll", "new a" },
                 { "update/lib/b.dll", "new b" }, { "update/lib/sub/x", "new x" },
                 { "update/lib/.secret", "s" }, { "update/newdir/deep/n.txt", "n" },
                 { "update/.hidden.dll", "package hidden" }, { "update/.hiddendir/h.txt", "h" } }),
        qPrintable(upgrade.error));

    QCOMPARE(progressLines(upgrade.run.statusLines()),
        entryLines("更新", false, upgrade.target("app.exe"))
            + entryLines("更新", false, upgrade.target("Beta.txt"))
            + entryLines("更新", false, upgrade.target("conf.ini"))
            + entryLines("更新", true, upgrade.target("lib"))
            + entryLines("更新", true, upgrade.target("newdir")));
    QCOMPARE(snapshot(upgrade.installPath),
        (Tree { { "app.exe", "new app" }, { "Beta.txt", "beta" }, { "conf.ini", "new conf" },
            { "lib/", {} }, { "lib/a.dll", "new a" }, { "lib/b.dll", "new b" },
            { "lib/own.dll", "own" }, { "lib/sub/", {} }, { "lib/sub/x", "new x" },
            { "newdir/", {} }, { "newdir/deep/", {} }, { "newdir/deep/n.txt", "n" },
            { ".hidden.dll", "installed hidden" } }));
#ifndef Q_OS_WIN
    // An updated program stays runnable; every replaced file is readable and
    // writable by its owner and by nobody else.
    QCOMPARE(modeOf(upgrade.installPath + "/app.exe"), mode0755);
    QCOMPARE(modeOf(upgrade.installPath + "/conf.ini"), mode0644);
    QCOMPARE(modeOf(upgrade.installPath + "/lib/a.dll"), mode0644);
#endif
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigSuccessClearEnd" }));
}

void tst_FileSteps::addStep()
{
    Upgrade upgrade;
    QVERIFY(writeTree(
        upgrade.installPath, { { "app.exe", "installed app" }, { "lib/a.dll", "installed a" } }));
    const QFileDevice::Permissions installedMode = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
    QVERIFY(QFile::setPermissions(upgrade.installPath + "/app.exe", installedMode));

    QVERIFY2(upgrade.execute({ { "add/app.exe", "new app" }, { "add/lib/a.dll", "new a" },
                 { "add/lib/b.dll", "new b" }, { "add/new.txt", "new" },
                 { "add/newdir/deep/d.txt", "d" }, { "add/.hidden", "h" } }),
        qPrintable(upgrade.error));

    QCOMPARE(progressLines(upgrade.run.statusLines()),
        entryLines("添加", false, upgrade.target("app.exe"))
            + entryLines("添加", true, upgrade.target("lib"))
            + entryLines("添加", false, upgrade.target("new.txt"))
            + entryLines("添加", true, upgrade.target("newdir")));
    QCOMPARE(snapshot(upgrade.installPath),
        (Tree { { "app.exe", "installed app" }, { "lib/", {} }, { "lib/a.dll", "installed a" },
            { "lib/b.dll", "new b" }, { "new.txt", "new" }, { "newdir/", {} },
            { "newdir/deep/", {} }, { "newdir/deep/d.txt", "d" } }));
    QCOMPARE(modeOf(upgrade.installPath + "/app.exe"), installedMode);
#ifndef Q_OS_WIN
    QCOMPARE(modeOf(upgrade.installPath + "/new.txt"), mode0644);
#endif
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigSuccessClearEnd" }));
}

void tst_FileSteps::topLevelLinksIgnored()
{
#ifdef Q_OS_WIN
    QSKIP("the script making the links is a shell script");
#else
    // Packages carry no links; a before script can put some into the staged
    // step folders, and the update and add steps pass over them.
    Upgrade upgrade;
    const QByteArray script
        = "mkdir -p ../elsewhere/dir\n"
          "echo e > ../elsewhere/dir/e.txt\n"
          "echo f > ../elsewhere/f.txt\n"
          "ln -s \"$PWD/../elsewhere/dir\" upgrade_temp/upgrade/update/dirlink\n"
          "ln -s \"$PWD/../elsewhere/f.txt\" upgrade_temp/upgrade/add/filelink\n";
    QVERIFY2(upgrade.execute({ { "shell/shell_before/links.bat", script }, { "update/u.txt", "u" },
                 { "add/a.txt", "a" } }),
        qPrintable(upgrade.error));
    QCOMPARE(progressLines(upgrade.run.statusLines()),
        entryLines("更新", false, upgrade.target("u.txt"))
            + entryLines("添加", false, upgrade.target("a.txt")));
    QCOMPARE(snapshot(upgrade.installPath), (Tree { { "u.txt", "u" }, { "a.txt", "a" } }));
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigSuccessClearEnd" }));
#endif
}

void tst_FileSteps::failedOperationsEndTheUpgrade_data()
{
    QTest::addColumn<Tree>("installed");
    QTest::addColumn<Tree>("package");
    QTest::addColumn<QStringList>("lines"); // verb, kind ("f"/"d"), target, outcome ("ok"/"fail")
    QTest::addColumn<int>("failures");

    QTest::newRow("delete: a folder where a file is expected")
        << Tree { { "x.dll/inside.txt", "in" }, { "y.dll", "y" } }
        << Tree { { "delete/x.dll", "x" }, { "delete/y.dll", "y" } }
        << QStringList { "删除 f x.dll fail", "删除 f y.dll ok" } << 1;
    QTest::newRow("update: a folder where a file is expected")
        << Tree { { "x.dll/inside.txt", "in" } }
        << Tree { { "update/x.dll", "x" }, { "update/z.txt", "z" } }
        << QStringList { "更新 f x.dll fail", "更新 f z.txt ok" } << 1;
    QTest::newRow("update: a file of a folder cannot be copied")
        << Tree { { "lib/a.dll/inside.txt", "in" } }
        << Tree { { "update/lib/a.dll", "a" }, { "update/lib/b.dll", "b" } }
        << QStringList { "更新 d lib fail" } << 1;
    QTest::newRow("add: a file where a folder is needed")
        << Tree { { "new", "a file" } }
        << Tree { { "add/new/deep.txt", "d" }, { "add/other.txt", "o" } }
        << QStringList { "添加 d new fail", "添加 f other.txt ok" } << 1;
    QTest::newRow("failures in all three steps")
        << Tree { { "x.dll/inside.txt", "in" }, { "u/a/inside.txt", "in" }, { "n", "file" } }
        << Tree { { "delete/x.dll", "x" }, { "update/u/a", "a" }, { "add/n/f.txt", "f" } }
        << QStringList { "删除 f x.dll fail", "更新 d u fail", "添加 d n fail" } << 3;
}

void tst_FileSteps::failedOperationsEndTheUpgrade()
{
    QFETCH(Tree, installed);
    QFETCH(Tree, package);
    QFETCH(QStringList, lines);
    QFETCH(int, failures);
    Upgrade upgrade;
    QVERIFY(writeTree(upgrade.installPath, installed));
    Tree full = package;
    full.insert("shell/shell_after/after.bat", "echo ran > after_ran.txt\n");

    QVERIFY2(upgrade.execute(full), qPrintable(upgrade.error));

    QStringList expected;
    for (const QString &line : lines) {
        const QStringList parts = line.split(' ');
        expected += entryLines(
            parts.at(0), parts.at(1) == "d", upgrade.target(parts.at(2)), parts.at(3) == "ok");
    }
    const QStringList status = upgrade.run.statusLines();
    QCOMPARE(progressLines(status), expected);
    // Every entry ran; then one line sums up, and nothing runs after it.
    QCOMPARE(status.last(), QStringLiteral("%1项文件操作失败,升级终止").arg(failures));
    QCOMPARE(status.at(status.size() - 2), expected.last());
    QVERIFY(!QFileInfo::exists(upgrade.installPath + "/after_ran.txt"));
    QVERIFY(!QFileInfo::exists(upgrade.installPath + "/upgrade_temp"));
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigFaildClearEnd" }));
    // What was in the way is untouched.
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        if (it.key().endsWith("inside.txt"))
            QCOMPARE(readFile(upgrade.installPath + "/" + it.key()), it.value());
    }
}

void tst_FileSteps::stepFolders_data()
{
    QTest::addColumn<Tree>("package");
    QTest::addColumn<QStringList>("traced"); // step folders written to the debug log
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("empty step folders")
        << Tree { { "delete/", {} }, { "update/", {} }, { "add/", {} } }
        << QStringList { "slotExeDeleteFile delete", "slotExeUpdateFile update",
               "slotExeAddFile add" }
        << QStringList();
    QTest::newRow("no update folder")
        << Tree { { "delete/d.txt", "d" }, { "add/a.txt", "a" } }
        << QStringList { "slotExeDeleteFile delete", "slotExeAddFile add" }
        << QStringList { "删除 f d.txt", "添加 f a.txt" };
    QTest::newRow("no step folder at all")
        << Tree { { "shell/shell_before/", {} } } << QStringList() << QStringList();
}

void tst_FileSteps::stepFolders()
{
    QFETCH(Tree, package);
    QFETCH(QStringList, traced);
    QFETCH(QStringList, lines);
    Upgrade upgrade;
    QVERIFY(writeTree(upgrade.installPath, { { "u.txt", "installed" } }));
    for (const QString &trace : traced) {
        const QStringList parts = trace.split(' ');
        const QString message
            = QStringLiteral("void CUpgradeWorker::%1() %2/upgrade_temp/upgrade/%3")
                  .arg(parts.at(0), upgrade.installPath, parts.at(1));
        QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    }

    QVERIFY2(upgrade.execute(package), qPrintable(upgrade.error));

    QStringList expected;
    for (const QString &line : lines) {
        const QStringList parts = line.split(' ');
        expected += entryLines(parts.at(0), parts.at(1) == "d", upgrade.target(parts.at(2)));
    }
    QCOMPARE(progressLines(upgrade.run.statusLines()), expected);
    QCOMPARE(readFile(upgrade.installPath + "/u.txt"), QByteArray("installed"));
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigSuccessClearEnd" }));
}

void tst_FileSteps::installationVanishes()
{
#ifdef Q_OS_WIN
    QSKIP("the script removing the installation is a shell script");
#else
    Upgrade upgrade;
    QVERIFY2(upgrade.execute({ { "shell/shell_before/remove.bat", "rm -rf \"$PWD\"\n" },
                 { "add/a.txt", "a" } }),
        qPrintable(upgrade.error));
    // The script succeeded; the delete step finds no installation and the
    // upgrade ends through the failure clean-up.
    QCOMPARE(upgrade.run.statusLines().last(),
        upgrade.installPath + "/upgrade_temp/upgrade/shell/shell_before/remove.bat 执行成功!");
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigFaildClearEnd" }));
    QVERIFY(!QFileInfo::exists(upgrade.installPath));
#endif
}

QTEST_GUILESS_MAIN(tst_FileSteps)
#include "tst_filesteps.moc"
