#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/EngineHarness.h"

using namespace EngineHarness;

// The delete, update and add steps, run through the worker on a package.
class tst_FileSteps : public QObject
{
    Q_OBJECT

private slots:
    void fileSteps_data();
    void fileSteps();
    void installationVanishes();
    void stagingVanishes_data();
    void stagingVanishes();
    void executeBitsKept_data();
    void executeBitsKept();
};

void tst_FileSteps::fileSteps_data()
{
    QTest::addColumn<Tree>("installed"); // files whose content starts "ro " are read-only
    QTest::addColumn<Tree>("package");
    // One entry per line pair: verb, "f"/"d" (file or folder), target, and
    // "fail" where that entry fails.
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("failures");
    QTest::addColumn<Tree>("after"); // the installation afterwards, folders implied

    // Delete entries come in the order of the package's leaves: a folder's
    // files and empty folders, then its sub-folders. A deleted file's folder
    // stays even when it ends up empty; absent targets count as deleted.
    QTest::newRow("delete: files and whole folders, hidden and read-only files too")
        << Tree { { "product/old.dll", "old" }, { "product/olddir/a.txt", "a" },
               { "product/olddir/.hidden", "h" }, { "product/olddir/ro.txt", "ro r" },
               { "product/olddir/sub/.deep/x", "ro x" }, { "product/olddir/empty/", {} },
               { "product/stays/file.txt", "s" }, { "other.txt", "o" } }
        << Tree { { "delete/product/old.dll", "x" }, { "delete/product/olddir/", {} },
               { "delete/product/stays/absent.txt", "x" }, { "delete/missing.dll", "x" },
               { "delete/gonedir/", {} } }
        << QStringList { "删除 f missing.dll", "删除 d gonedir", "删除 f product/old.dll",
               "删除 d product/olddir", "删除 f product/stays/absent.txt" }
        << 0 << Tree { { "product/stays/file.txt", "s" }, { "other.txt", "o" } };
    // Top-level files one by one, top-level folders merged into the installed
    // ones; hidden entries at the top and hidden files below are passed over.
#ifdef Q_OS_WIN
    // Windows refuses to replace a read-only file (a row below shows it).
    const QByteArray installedConf = "old conf";
#else
    const QByteArray installedConf = "ro old conf";
#endif
    QTest::newRow("update: replaces files, merges folders")
        << Tree { { "app.exe", "old app" }, { "conf.ini", installedConf }, { "lib/a.dll", "old a" },
               { "lib/own.dll", "own" }, { "lib/sub/x", "old x" },
               { ".hidden.dll", "installed hidden" } }
        << Tree { { "update/app.exe", "new app" }, { "update/conf.ini", "new conf" },
               { "update/Beta.txt", "beta" }, { "update/lib/a.dll", "new a" },
               { "update/lib/b.dll", "new b" }, { "update/lib/sub/x", "new x" },
               { "update/lib/.secret", "s" }, { "update/newdir/deep/n.txt", "n" },
               { "update/.hidden.dll", "package hidden" }, { "update/.hiddendir/h.txt", "h" } }
        << QStringList { "更新 f app.exe", "更新 f Beta.txt", "更新 f conf.ini", "更新 d lib",
               "更新 d newdir" }
        << 0
        << Tree { { "app.exe", "new app" }, { "Beta.txt", "beta" }, { "conf.ini", "new conf" },
               { "lib/a.dll", "new a" }, { "lib/b.dll", "new b" }, { "lib/own.dll", "own" },
               { "lib/sub/x", "new x" }, { "newdir/deep/n.txt", "n" },
               { ".hidden.dll", "installed hidden" } };
    QTest::newRow("add: keeps installed files, adds the missing ones")
        << Tree { { "app.exe", "ro installed app" }, { "lib/a.dll", "installed a" } }
        << Tree { { "add/app.exe", "new app" }, { "add/lib/a.dll", "new a" },
               { "add/lib/b.dll", "new b" }, { "add/new.txt", "new" },
               { "add/newdir/deep/d.txt", "d" }, { "add/.hidden", "h" } }
        << QStringList { "添加 f app.exe", "添加 d lib", "添加 f new.txt", "添加 d newdir" } << 0
        << Tree { { "app.exe", "ro installed app" }, { "lib/a.dll", "installed a" },
               { "lib/b.dll", "new b" }, { "new.txt", "new" }, { "newdir/deep/d.txt", "d" } };
    // Packages carry no links; a before script can put some at the top of
    // the staged step folders, and the update and add steps pass over them.
    QTest::newRow("links at the top of the step folders are ignored")
        << Tree()
        << Tree { { "shell/shell_before/links.bat",
                      "mkdir -p ../elsewhere/dir\necho e > ../elsewhere/dir/e.txt\n"
                      "echo f > ../elsewhere/f.txt\n"
                      "ln -s \"$PWD/../elsewhere/dir\" upgrade_temp/upgrade/update/dirlink\n"
                      "ln -s \"$PWD/../elsewhere/f.txt\" upgrade_temp/upgrade/add/filelink\n" },
               { "update/u.txt", "u" }, { "add/a.txt", "a" } }
        << QStringList { "更新 f u.txt", "添加 f a.txt" } << 0
        << Tree { { "u.txt", "u" }, { "a.txt", "a" } };
    QTest::newRow("empty step folders")
        << Tree { { "u.txt", "installed" } }
        << Tree { { "delete/", {} }, { "update/", {} }, { "add/", {} } } << QStringList() << 0
        << Tree { { "u.txt", "installed" } };
    QTest::newRow("no step folder at all")
        << Tree { { "u.txt", "installed" } } << Tree { { "shell/shell_before/", {} } }
        << QStringList() << 0 << Tree { { "u.txt", "installed" } };

    // A failed entry is logged, the others still run; then one line counts
    // the failures, the upgrade ends there, and what the steps changed is
    // undone.
    QTest::newRow("delete: a folder where a file is expected")
        << Tree { { "x.dll/inside.txt", "in" }, { "y.dll", "y" } }
        << Tree { { "delete/x.dll", "x" }, { "delete/y.dll", "y" } }
        << QStringList { "删除 f x.dll fail", "删除 f y.dll" } << 1
        << Tree { { "x.dll/inside.txt", "in" }, { "y.dll", "y" } };
    QTest::newRow("update: a folder where a file is expected")
        << Tree { { "x.dll/inside.txt", "in" } }
        << Tree { { "update/x.dll", "x" }, { "update/z.txt", "z" } }
        << QStringList { "更新 f x.dll fail", "更新 f z.txt" } << 1
        << Tree { { "x.dll/inside.txt", "in" } };
    QTest::newRow("update: a file of a folder cannot be copied")
        << Tree { { "lib/a.dll/inside.txt", "in" } }
        << Tree { { "update/lib/a.dll", "a" }, { "update/lib/b.dll", "b" } }
        << QStringList { "更新 d lib fail" } << 1 << Tree { { "lib/a.dll/inside.txt", "in" } };
#ifdef Q_OS_WIN
    QTest::newRow("update: a read-only file on Windows")
        << Tree { { "a.txt", "old a" }, { "conf.ini", "ro old conf" } }
        << Tree { { "update/a.txt", "a" }, { "update/conf.ini", "new conf" } }
        << QStringList { "更新 f a.txt", "更新 f conf.ini fail" } << 1
        << Tree { { "a.txt", "old a" }, { "conf.ini", "ro old conf" } };
#endif
    QTest::newRow("add: a file where a folder is needed")
        << Tree { { "new", "a file" } }
        << Tree { { "add/new/deep.txt", "d" }, { "add/other.txt", "o" } }
        << QStringList { "添加 d new fail", "添加 f other.txt" } << 1
        << Tree { { "new", "a file" } };
    QTest::newRow("failures in all three steps")
        << Tree { { "x.dll/inside.txt", "in" }, { "u/a/inside.txt", "in" }, { "n", "file" } }
        << Tree { { "delete/x.dll", "x" }, { "update/u/a", "a" }, { "add/n/f.txt", "f" } }
        << QStringList { "删除 f x.dll fail", "更新 d u fail", "添加 d n fail" } << 3
        << Tree { { "x.dll/inside.txt", "in" }, { "u/a/inside.txt", "in" }, { "n", "file" } };
}

void tst_FileSteps::fileSteps()
{
    QFETCH(Tree, installed);
    QFETCH(Tree, package);
    QFETCH(QStringList, entries);
    QFETCH(int, failures);
    QFETCH(Tree, after);
#ifdef Q_OS_WIN
    if (package.contains("shell/shell_before/links.bat"))
        QSKIP("a Windows program under wine can make no symbolic link");
#endif
    Upgrade upgrade;
    QVERIFY(writeTree(upgrade.installPath, installed));
    for (auto it = installed.cbegin(); it != installed.cend(); ++it) {
        if (it.value().startsWith("ro "))
            QVERIFY(QFile::setPermissions(
                upgrade.installPath + "/" + it.key(), QFileDevice::ReadOwner));
    }
    if (failures > 0)
        package.insert("shell/shell_after/after.bat", "echo ran > after_ran.txt\n");

    QVERIFY2(upgrade.execute(package), qPrintable(upgrade.error));

    QStringList expected;
    for (const QString &entry : entries) {
        const QStringList parts = entry.split(' ');
        const QString what = parts.at(0) + (parts.at(1) == "d" ? "目录:" : "文件:")
            + QDir::toNativeSeparators(upgrade.target(parts.at(2)));
        expected << "正在" + what << what + (parts.value(3) == "fail" ? "失败" : "成功");
    }
    const QStringList status = upgrade.run.statusLines();
    QCOMPARE(status.filter(QRegularExpression("^(正在)?(删除|更新|添加)(文件|目录):")), expected);
    QCOMPARE(snapshot(upgrade.installPath), withFolders(after));
    if (failures == 0) {
        QCOMPARE(
            upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigSuccessClearEnd" }));
        return;
    }
    // Every failed entry is followed by the reason, naming what failed; then
    // one line sums up, and nothing runs after it.
    for (int i = 0; i < status.size(); ++i) {
        if (status.at(i).endsWith("失败") && !status.at(i).startsWith("正在")) {
            const QString reason = status.value(i + 1);
            QVERIFY2(reason.startsWith("失败原因:" + QDir::toNativeSeparators(upgrade.installPath)),
                qPrintable(reason));
        }
    }
    const int count = status.indexOf(QStringLiteral("%1项文件操作失败,升级终止").arg(failures));
    QVERIFY(count > 0);
    const int lastEntry = status.lastIndexOf(expected.last());
    QVERIFY(lastEntry == count - 1
        || (lastEntry == count - 2 && status.at(count - 1).startsWith("失败原因:")));
    // After it, only the undoing of what the steps changed.
    const QStringList rest = status.mid(count + 1);
    QVERIFY2(
        rest.isEmpty() || rest == QStringList({ "正在恢复升级前的文件", "已恢复到升级前的版本" }),
        qPrintable(rest.join('\n')));
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigFaildClearEnd" }));
}

void tst_FileSteps::installationVanishes()
{
    // The script succeeds; the delete step then finds no installation and the
    // upgrade ends through the failure clean-up.
#ifdef Q_OS_WIN
    QSKIP("Windows can't remove the installation while the upgrade holds its lock open");
#endif
    Upgrade upgrade;
    QVERIFY2(upgrade.execute({ { "shell/shell_before/remove.bat", "rm -rf \"$PWD\"\n" },
                 { "add/a.txt", "a" } }),
        qPrintable(upgrade.error));
    QCOMPARE(upgrade.run.statusLines().mid(upgrade.run.statusLines().size() - 2),
        (QStringList {
            QDir::toNativeSeparators(upgrade.staging() + "/upgrade/shell/shell_before/remove.bat")
                + " 执行成功!",
            QStringLiteral("安装目录%1不存在,升级终止")
                .arg(QDir::toNativeSeparators(upgrade.installPath)) }));
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigFaildClearEnd" }));
    QVERIFY(!QFileInfo::exists(upgrade.installPath));
}

void tst_FileSteps::stagingVanishes_data()
{
    QTest::addColumn<QString>("script"); // its folder below shell/, then its text
    QTest::addColumn<int>("isDb");
    QTest::newRow("before script removes the staging folder")
        << "shell_before/rm.bat rm -rf upgrade_temp" << 0;
    QTest::newRow("before script removes the staged package")
        << "shell_before/rm.bat rm -rf upgrade_temp/upgrade" << 0;
    QTest::newRow("after script removes it, database step pending")
        << "shell_after/rm.bat rm -rf upgrade_temp" << 1;
}

// A step that finds no staged package fails instead of doing nothing and
// letting the upgrade end as a success.
void tst_FileSteps::stagingVanishes()
{
    QFETCH(QString, script);
    QFETCH(int, isDb);
    Upgrade upgrade;
    QVERIFY(writeTree(upgrade.installPath, { { "a.dll", "old" }, { "gone.dll", "g" } }));
    upgrade.run.object()->setDbFlags(isDb, 0);
    const int blank = script.indexOf(' ');
    QVERIFY2(upgrade.execute({ { "shell/" + script.left(blank), script.mid(blank + 1).toUtf8() },
                 { "delete/gone.dll", "" }, { "update/a.dll", "new" },
                 { "db/db_after/1.sql", "select 1;" } }),
        qPrintable(upgrade.error));

    QVERIFY(upgrade.run.statusLines().contains(
        QStringLiteral("升级临时目录%1不存在,升级终止")
            .arg(QDir::toNativeSeparators(upgrade.staging() + "/upgrade"))));
    QVERIFY(upgrade.run.statusLines().filter("版本信息").isEmpty());
    QCOMPARE(upgrade.run.outcomes(), (QStringList { "sigCopyAllEnd(true)", "sigFaildClearEnd" }));
    if (isDb == 0)
        QCOMPARE(snapshot(upgrade.installPath), Tree({ { "a.dll", "old" }, { "gone.dll", "g" } }));
}

// A replaced file keeps its whole mode and, where the installer may set
// them, its owner and group.
void tst_FileSteps::executeBitsKept_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("mode");
    QTest::newRow("top-level file") << "helper.exe" << 0755;
    QTest::newRow("file in an updated folder") << "product/bin/upgrade_install_helper.exe" << 0755;
    QTest::newRow("file deep in an updated folder") << "product/bin/tools/x/run.sh" << 0755;
    QTest::newRow("private file stays private") << "product/common/secret.key" << 0600;
    QTest::newRow("group-readable only") << "product/common/db.conf" << 0640;
    QTest::newRow("set-group-ID program") << "product/bin/tool" << 02750;
    // A link's own mode (0777) is no file's: the new file gets the package's.
    QTest::newRow("a link replaced by a file") << "product/lib/libx.so" << -1;
}

void tst_FileSteps::executeBitsKept()
{
#ifdef Q_OS_WIN
    QSKIP("modes and owners are a Unix matter");
#else
    QFETCH(QString, path);
    QFETCH(int, mode);
    Upgrade upgrade;
    QVERIFY(writeTree(upgrade.installPath, { { path, "old" } }));
    const QByteArray installed = QFile::encodeName(upgrade.target(path));
    const QByteArray real = installed + ".1";
    if (mode < 0) {
        QVERIFY(::rename(installed.constData(), real.constData()) == 0);
        QVERIFY(::chmod(real.constData(), 0600) == 0);
        QVERIFY(::symlink(real.constData(), installed.constData()) == 0);
    }
    // Given away where the test may (as root): the replacement takes the owner.
    const bool givenAway = ::lchown(installed.constData(), 4321, 4321) == 0;
    QVERIFY(mode < 0 || ::chmod(installed.constData(), mode_t(mode)) == 0);

    QVERIFY2(upgrade.execute({ { "update/" + path, "new" } }), qPrintable(upgrade.error));

    QCOMPARE(readFile(QFile::decodeName(installed)), QByteArray("new"));
    struct stat info;
    QVERIFY(::stat(installed.constData(), &info) == 0);
    if (mode < 0) {
        QVERIFY(S_ISREG(info.st_mode) && (info.st_mode & 07777) == 0644 && info.st_uid != 4321);
        QVERIFY(::stat(real.constData(), &info) == 0 && (info.st_mode & 07777) == 0600);
        return;
    }
    QCOMPARE(int(info.st_mode & 07777), mode);
    if (givenAway)
        QVERIFY(info.st_uid == 4321 && info.st_gid == 4321);
#endif
}

QTEST_GUILESS_MAIN(tst_FileSteps)
#include "tst_filesteps.moc"
