#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include "FileTree.h"
#include "support/EngineHarness.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using EngineHarness::readFile;
using EngineHarness::snapshot;
using EngineHarness::Tree;
using EngineHarness::writeFile;
using EngineHarness::writeTree;

namespace {

// Modes are compared through the owner, group and other bits: the "user"
// bits tell what the running user may do, and root may do nearly anything.
const QFileDevice::Permissions mode0644 = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ReadGroup | QFileDevice::ReadOther;
const QFileDevice::Permissions executeBits
    = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
const QFileDevice::Permissions readOnly
    = QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;

QFileDevice::Permissions modeOf(const QString &path)
{
    return QFile::permissions(path)
        & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

QStringList relativePaths(const QList<QFileInfo> &entries, const QString &root)
{
    QStringList paths;
    for (const QFileInfo &entry : entries) {
        // Every entry must carry the folder that was passed in, then "/".
        if (!entry.filePath().startsWith(root + QLatin1Char('/')))
            paths << QStringLiteral("<outside: %1>").arg(entry.filePath());
        else
            paths << entry.filePath().mid(root.length() + 1);
    }
    return paths;
}

} // namespace

class tst_FileTree : public QObject
{
    Q_OBJECT

private slots:
    void copyFolder_existingTarget_data();
    void copyFolder_existingTarget();
    void copyFolder_createsParentChain();
    void copyFolder_missingSourceCreatesNothing();
    void copyFolder_skipsHiddenFollowsLinks();
    void copyFolder_failure_data();
    void copyFolder_failure();
    void copyFolder_unsafeName();
    void copyFolderList_data();
    void copyFolderList();
    void findFilesNamed();
    void listLeafEntries_order();
    void listLeafEntries_hiddenAndLinks();
    void removeFolder_missingIsRemoved();
    void removeFolder_everything();
    void removeFolder_linkToOutsideFolder();
    void removeFolder_pathItselfALink();
    void removeFolder_unremovableEntry();
    void deleteFile_data();
    void deleteFile();
    void updateFile_data();
    void updateFile();
    void updateFile_folderInTheWay();
    void addFile_data();
    void addFile();
};

void tst_FileTree::copyFolder_existingTarget_data()
{
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("overwrite replaces the installed file") << true << QByteArray("new");
    QTest::newRow("no overwrite keeps the installed file") << false << QByteArray("installed");
}

void tst_FileTree::copyFolder_existingTarget()
{
    QFETCH(bool, overwrite);
    QFETCH(QByteArray, expected);
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source";
    const QString target = tmp.path() + "/target";
    QVERIFY(writeTree(source,
        { { "same.txt", "new" }, { "missing.txt", "fresh" }, { "sub/deep.txt", "deep new" } }));
    QVERIFY(writeTree(target,
        { { "same.txt", "installed" }, { "own.txt", "own" },
            { "sub/deep.txt", "deep installed" } }));
    const QFileDevice::Permissions installedMode
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    QVERIFY(QFile::setPermissions(target + "/same.txt", installedMode));

    QVERIFY(FileTree::copyFolder(source, target, overwrite));

    QCOMPARE(readFile(target + "/same.txt"), expected);
    QCOMPARE(readFile(target + "/sub/deep.txt"),
        overwrite ? QByteArray("deep new") : QByteArray("deep installed"));
    QCOMPARE(readFile(target + "/missing.txt"), QByteArray("fresh"));
    QCOMPARE(readFile(target + "/own.txt"), QByteArray("own"));
#ifndef Q_OS_WIN
    QCOMPARE(modeOf(target + "/same.txt"), overwrite ? mode0644 : installedMode);
    QCOMPARE(modeOf(target + "/missing.txt"), mode0644);
#endif
}

void tst_FileTree::copyFolder_createsParentChain()
{
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source";
    QVERIFY(writeTree(source, { { "a.txt", "a" }, { "empty/", {} } }));
    const QString target = tmp.path() + "/x/y/z";
    QVERIFY(FileTree::copyFolder(source, target, true));
    QCOMPARE(snapshot(target), (Tree { { "a.txt", "a" }, { "empty/", {} } }));
}

void tst_FileTree::copyFolder_missingSourceCreatesNothing()
{
    QTemporaryDir tmp;
    QVERIFY(!FileTree::copyFolder(tmp.path() + "/nothing", tmp.path() + "/target/deep", true));
    QVERIFY(snapshot(tmp.path()).isEmpty());
}

void tst_FileTree::copyFolder_skipsHiddenFollowsLinks()
{
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source";
    QVERIFY(writeTree(source,
        { { "plain.txt", "p" }, { ".hidden.txt", "h" }, { ".hiddendir/x.txt", "x" },
            { "dir/.inner", "i" } }));
    QVERIFY(writeTree(tmp.path() + "/outside", { { "linked.txt", "l" }, { "folder/f.txt", "f" } }));
    QVERIFY(QFile::link(tmp.path() + "/outside/linked.txt", source + "/filelink.txt"));
    QVERIFY(QFile::link(tmp.path() + "/outside/folder", source + "/dirlink"));

    const QString target = tmp.path() + "/target";
    QVERIFY(FileTree::copyFolder(source, target, true));
    QCOMPARE(snapshot(target),
        (Tree { { "plain.txt", "p" }, { "dir/", {} }, { "filelink.txt", "l" }, { "dirlink/", {} },
            { "dirlink/f.txt", "f" } }));
}

void tst_FileTree::copyFolder_failure_data()
{
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<QString>("blocker");
    QTest::addColumn<bool>("expected");

    QTest::newRow("folder where a file goes, overwrite") << true << "b.txt" << false;
    QTest::newRow("folder where a nested file goes, overwrite") << true << "sub/c.txt" << false;
    QTest::newRow("folder where a file goes, no overwrite: skipped, not failed")
        << false << "b.txt" << true;
}

void tst_FileTree::copyFolder_failure()
{
    QFETCH(bool, overwrite);
    QFETCH(QString, blocker);
    QFETCH(bool, expected);
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source";
    const QString target = tmp.path() + "/target";
    QVERIFY(writeTree(source,
        { { "a.txt", "a" }, { "b.txt", "b" }, { "c.txt", "c" }, { "sub/c.txt", "sc" },
            { "sub/d.txt", "sd" } }));
    QVERIFY(writeFile(target + "/" + blocker + "/keep.txt", "kept"));

    QCOMPARE(FileTree::copyFolder(source, target, overwrite), expected);

    // Everything else is copied all the same, and the folder in the way stays.
    QCOMPARE(readFile(target + "/" + blocker + "/keep.txt"), QByteArray("kept"));
    QCOMPARE(readFile(target + "/a.txt"), QByteArray("a"));
    QCOMPARE(readFile(target + "/c.txt"), QByteArray("c"));
    QCOMPARE(readFile(target + "/sub/d.txt"), QByteArray("sd"));
}

void tst_FileTree::copyFolder_unsafeName()
{
#ifdef Q_OS_WIN
    QSKIP("Windows does not allow backslashes in names");
#else
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source";
    QVERIFY(writeTree(source, { { "a.txt", "a" }, { "sub/ok.txt", "ok" } }));
    QVERIFY(writeFile(source + "/sub/x\\..\\..\\escape.txt", "x"));
    const QString target = tmp.path() + "/target";

    QVERIFY(!FileTree::copyFolder(source, target, true));
    // The folder holding the bad name is refused whole; nothing lands beside it.
    QVERIFY(!QFile::exists(target + "/sub/ok.txt"));
    QVERIFY(!QFile::exists(target + "/sub/x\\..\\..\\escape.txt"));
    QCOMPARE(snapshot(tmp.path()).keys().filter("escape").size(), 1);
#endif
}

void tst_FileTree::copyFolderList_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("copied");

    QTest::newRow("empty list") << QStringList() << true << QStringList();
    QTest::newRow("all present") << QStringList { "one", "two" } << true
                                 << QStringList { "one/", "one/1.txt", "two/", "two/2.txt" };
    QTest::newRow("stops at the first missing folder")
        << QStringList { "one", "none", "two" } << false << QStringList { "one/", "one/1.txt" };
}

void tst_FileTree::copyFolderList()
{
    QFETCH(QStringList, names);
    QFETCH(bool, expected);
    QFETCH(QStringList, copied);
    QTemporaryDir tmp;
    QVERIFY(writeTree(tmp.path() + "/source", { { "one/1.txt", "1" }, { "two/2.txt", "2" } }));
    QCOMPARE(FileTree::copyFolderList(tmp.path() + "/source", names, tmp.path() + "/target", true),
        expected);
    QCOMPARE(snapshot(tmp.path() + "/target").keys(), copied);
}

void tst_FileTree::findFilesNamed()
{
    QTemporaryDir tmp;
    const QString name = "mark.txt";
    QVERIFY(writeTree(tmp.path(),
        { { "mark.txt", {} }, { "b/mark.txt", {} }, { "b/c/d/mark.txt", {} }, { "b/MARK.txt", {} },
            { "Mark.txt/x", {} }, { ".hidden/mark.txt", {} }, { "other.txt", {} } }));
    const QList<QFileInfo> found = FileTree::findFilesNamed(tmp.path(), name);
    // Files of a folder ahead of its sub-folders' files; a name differing in
    // case is another file; hidden folders are not entered.
    QCOMPARE(relativePaths(found, tmp.path()),
        (QStringList { "mark.txt", "b/mark.txt", "b/c/d/mark.txt" }));
}

void tst_FileTree::listLeafEntries_order()
{
    QTemporaryDir tmp;
    const QString root = QDir(tmp.path()).absolutePath();
    QVERIFY(writeTree(root, { { "a", "a" }, { "s/b", "b" }, { "e/", {} } }));
    const QList<QFileInfo> entries = FileTree::listLeafEntries(root);
    QCOMPARE(relativePaths(entries, root), (QStringList { "a", "e", "s/b" }));
    QVERIFY(entries.at(1).isDir());

    QVERIFY(writeTree(
        root, { { "B.txt", {} }, { "s/t/u/", {} }, { "s/t/z.txt", {} }, { "S2/x/", {} } }));
    QCOMPARE(relativePaths(FileTree::listLeafEntries(root), root),
        (QStringList { "a", "B.txt", "e", "s/b", "s/t/z.txt", "s/t/u", "S2/x" }));
}

void tst_FileTree::listLeafEntries_hiddenAndLinks()
{
    QTemporaryDir tmp;
    const QString root = QDir(tmp.path()).absolutePath();
    QVERIFY(writeTree(root,
        { { "f.txt", {} }, { ".hidden.txt", {} }, { "onlyhidden/.x", {} },
            { ".hiddendir/y.txt", {} }, { "target/t.txt", {} } }));
    QVERIFY(QFile::link(root + "/target", root + "/dirlink"));
    QVERIFY(QFile::link(root + "/f.txt", root + "/filelink"));
    QCOMPARE(relativePaths(FileTree::listLeafEntries(root), root),
        (QStringList { "f.txt", "onlyhidden", "target/t.txt" }));
}

void tst_FileTree::removeFolder_missingIsRemoved()
{
    QTemporaryDir tmp;
    QVERIFY(FileTree::removeFolder(tmp.path() + "/nothing"));
}

void tst_FileTree::removeFolder_everything()
{
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/folder";
    QVERIFY(writeTree(folder,
        { { "a.txt", "a" }, { ".hidden", "h" }, { "sub/ro.txt", "r" }, { ".hiddendir/deep/x", "x" },
            { "empty/", {} } }));
    QVERIFY(QFile::setPermissions(folder + "/sub/ro.txt", readOnly));
    QVERIFY(QFile::setPermissions(folder + "/a.txt", readOnly));
    QVERIFY(QFile::link(folder + "/nowhere", folder + "/dangling"));
#ifndef Q_OS_WIN
    QVERIFY(::mkfifo(QFile::encodeName(folder + "/fifo").constData(), 0644) == 0);
#endif
    QVERIFY(FileTree::removeFolder(folder));
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(QFileInfo::exists(tmp.path()));
}

void tst_FileTree::removeFolder_linkToOutsideFolder()
{
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/folder";
    const QString outside = tmp.path() + "/outside";
    QVERIFY(writeTree(folder, { { "a.txt", "a" } }));
    QVERIFY(writeTree(outside, { { "keep.txt", "keep" }, { "sub/deep.txt", "deep" } }));
    const QFileDevice::Permissions outsideMode = modeOf(outside + "/keep.txt");
    QVERIFY(QFile::link(outside, folder + "/link"));
    QVERIFY(QFile::link(outside + "/keep.txt", folder + "/filelink"));

    QVERIFY(FileTree::removeFolder(folder));
    QVERIFY(!QFileInfo::exists(folder));
    QCOMPARE(snapshot(outside),
        (Tree { { "keep.txt", "keep" }, { "sub/", {} }, { "sub/deep.txt", "deep" } }));
    QCOMPARE(modeOf(outside + "/keep.txt"), outsideMode);
}

void tst_FileTree::removeFolder_pathItselfALink()
{
    QTemporaryDir tmp;
    const QString outside = tmp.path() + "/outside";
    QVERIFY(writeTree(outside, { { "keep.txt", "keep" } }));
    QVERIFY(QFile::link(outside, tmp.path() + "/link"));
    QVERIFY(FileTree::removeFolder(tmp.path() + "/link"));
    QVERIFY(!QFileInfo(tmp.path() + "/link").isSymLink());
    QCOMPARE(readFile(outside + "/keep.txt"), QByteArray("keep"));
}

void tst_FileTree::removeFolder_unremovableEntry()
{
#ifdef Q_OS_WIN
    QSKIP("provoked through file name bytes, which only Unix systems allow");
#else
    // Root may remove any file, but not one whose name the program cannot
    // spell: bytes that are no valid text in the file name encoding come back
    // from the listing as a different name.
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/folder";
    QVERIFY(writeTree(folder, { { "a.txt", "a" }, { "sub/b.txt", "b" }, { "z.txt", "z" } }));
    const QByteArray badName = QFile::encodeName(folder) + "/bad\xff\xfe.txt";
    const int fd = ::open(badName.constData(), O_CREAT | O_WRONLY, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);
    // Removed by name bytes at the end, or the temporary folder would stay.
    struct Unlink
    {
        QByteArray path;
        ~Unlink() { ::unlink(path.constData()); }
    } unlinkLater { badName };
    for (const QString &name : QDir(folder).entryList(
             QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (name.startsWith("bad") && QFileInfo::exists(folder + "/" + name))
            QSKIP("this system's file name encoding spells every byte");
    }

    QVERIFY(!FileTree::removeFolder(folder));
    // Everything else went; the entry and so the folder remain.
    QVERIFY(QFileInfo(folder).isDir());
    QVERIFY(::access(badName.constData(), F_OK) == 0);
    QVERIFY(!QFileInfo::exists(folder + "/a.txt"));
    QVERIFY(!QFileInfo::exists(folder + "/z.txt"));
    QVERIFY(!QFileInfo::exists(folder + "/sub"));
#endif
}

void tst_FileTree::deleteFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<bool>("gone");

    QTest::newRow("file") << "file" << true << true;
    QTest::newRow("read-only file") << "read-only" << true << true;
    QTest::newRow("absent file counts as deleted") << "absent" << true << true;
    QTest::newRow("dangling link") << "dangling" << true << true;
    QTest::newRow("link to an outside file: only the link goes") << "link" << true << true;
    QTest::newRow("folder where a file is expected") << "folder" << false << false;
}

void tst_FileTree::deleteFile()
{
    QFETCH(QString, kind);
    QFETCH(bool, expected);
    QFETCH(bool, gone);
    QTemporaryDir tmp;
    const QString target = tmp.path() + "/target";
    const QString outside = tmp.path() + "/outside.txt";
    QVERIFY(writeFile(outside, "outside"));
    const QFileDevice::Permissions outsideMode = readOnly;
    QVERIFY(QFile::setPermissions(outside, outsideMode));
    if (kind == "file" || kind == "read-only")
        QVERIFY(writeFile(target, "x"));
    if (kind == "read-only")
        QVERIFY(QFile::setPermissions(target, readOnly));
    if (kind == "dangling")
        QVERIFY(QFile::link(tmp.path() + "/nowhere", target));
    if (kind == "link")
        QVERIFY(QFile::link(outside, target));
    if (kind == "folder")
        QVERIFY(writeFile(target + "/inside.txt", "in"));

    QCOMPARE(FileTree::deleteFile(target), expected);
    const QFileInfo info(target);
    QCOMPARE(!info.exists() && !info.isSymLink(), gone);
    QCOMPARE(readFile(outside), QByteArray("outside"));
    QCOMPARE(modeOf(outside), outsideMode);
    if (kind == "folder")
        QCOMPARE(readFile(target + "/inside.txt"), QByteArray("in"));
}

void tst_FileTree::updateFile_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<int>("installedMode");
    QTest::addColumn<int>("expectedMode");

    const int rw = int(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QTest::newRow("absent target is created") << "" << 0 << int(mode0644);
    QTest::newRow("owner-only file becomes 0644") << "old" << rw << int(mode0644);
    QTest::newRow("read-only file is replaced") << "old" << int(readOnly) << int(mode0644);
    QTest::newRow("program keeps its execute bits")
        << "old" << int(mode0644 | executeBits) << int(mode0644 | executeBits);
    QTest::newRow("owner-only program keeps the owner's execute bit")
        << "old" << int(rw | QFileDevice::ExeOwner) << int(mode0644 | QFileDevice::ExeOwner);
}

void tst_FileTree::updateFile()
{
    QFETCH(QString, installed);
    QFETCH(int, installedMode);
    QFETCH(int, expectedMode);
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source.bin";
    const QString target = tmp.path() + "/target.bin";
    QVERIFY(writeFile(source, "new content"));
    QVERIFY(QFile::setPermissions(source, readOnly));
    if (!installed.isEmpty()) {
        QVERIFY(writeFile(target, installed.toUtf8()));
        QVERIFY(QFile::setPermissions(target, QFileDevice::Permissions(installedMode)));
    }

    QVERIFY(FileTree::updateFile(source, target));
    QCOMPARE(readFile(target), QByteArray("new content"));
#ifndef Q_OS_WIN
    QCOMPARE(int(modeOf(target)), expectedMode);
#else
    Q_UNUSED(expectedMode)
    QVERIFY(QFileInfo(target).isWritable());
#endif
}

void tst_FileTree::updateFile_folderInTheWay()
{
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source.bin";
    const QString target = tmp.path() + "/target";
    QVERIFY(writeFile(source, "new"));
    QVERIFY(writeFile(target + "/inside.txt", "in"));
    const QFileDevice::Permissions folderMode = modeOf(target);

    QVERIFY(!FileTree::updateFile(source, target));
    QVERIFY(QFileInfo(target).isDir());
    QCOMPARE(modeOf(target), folderMode);
    QCOMPARE(readFile(target + "/inside.txt"), QByteArray("in"));
}

void tst_FileTree::addFile_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("absent target is copied") << "absent" << true << QByteArray("new");
    QTest::newRow("installed file stays") << "installed" << true << QByteArray("installed");
    QTest::newRow("folder in the way counts as present") << "folder" << true << QByteArray();
    QTest::newRow("missing parent folder") << "no parent" << false << QByteArray();
}

void tst_FileTree::addFile()
{
    QFETCH(QString, situation);
    QFETCH(bool, expected);
    QFETCH(QByteArray, content);
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source.bin";
    QString target = tmp.path() + "/target.bin";
    QVERIFY(writeFile(source, "new"));
    QVERIFY(QFile::setPermissions(source, readOnly));
    const QFileDevice::Permissions installedMode = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
    if (situation == "installed") {
        QVERIFY(writeFile(target, "installed"));
        QVERIFY(QFile::setPermissions(target, installedMode));
    }
    if (situation == "folder")
        QVERIFY(QDir().mkpath(target));
    if (situation == "no parent")
        target = tmp.path() + "/missing/target.bin";

    QCOMPARE(FileTree::addFile(source, target), expected);
    if (situation == "absent") {
        QCOMPARE(readFile(target), content);
#ifndef Q_OS_WIN
        QCOMPARE(modeOf(target), mode0644);
#endif
    }
    if (situation == "installed") {
        QCOMPARE(readFile(target), content);
        QCOMPARE(modeOf(target), installedMode);
    }
    if (situation == "folder")
        QVERIFY(QFileInfo(target).isDir());
    if (situation == "no parent")
        QVERIFY(!QFileInfo::exists(tmp.path() + "/missing"));
}

QTEST_GUILESS_MAIN(tst_FileTree)
#include "tst_filetree.moc"
