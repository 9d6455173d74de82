#include <QtTest>

#include "FileTree.h"
#include "FolderCopy.h"
#include "TreeRemoval.h"
#include "support/EngineHarness.h"
#include "support/PlatformFiles.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace EngineHarness;

namespace {

// Modes are compared through the owner, group and other bits: the "user"
// bits tell what the running user may do, and root may do nearly anything.
const int mode0644 = 0x6044;
const int executeBits = 0x1011;
const int readOnly = 0x4044;

int modeOf(const QString &path)
{
    return int(QFile::permissions(path)) & ~0x0700;
}

QStringList relativePaths(const QList<QFileInfo> &entries, const QString &root)
{
    QStringList paths;
    // Every entry must carry the folder that was passed in, then "/".
    for (const QFileInfo &entry : entries)
        paths << (entry.filePath().startsWith(root + '/') ? entry.filePath().mid(root.length() + 1)
                                                          : "<outside: " + entry.filePath() + ">");
    return paths;
}

// Windows hides an entry by its attribute, not by a leading dot: the entries
// of a tree named with one are given the attribute there.
void hideDotEntries(const QString &root)
{
    QDirIterator it(
        root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName().startsWith('.'))
            markHidden(path);
    }
}

} // namespace

// The file tree helpers of the upgrade engine, on temporary folders.
class tst_FileTree : public QObject
{
    Q_OBJECT

private slots:
    void copyFolder_data();
    void copyFolder();
    void copyFolder_modes_data();
    void copyFolder_modes();
    void copyFolderList_data();
    void copyFolderList();
    void findFilesNamed();
    void listLeafEntries();
    void removeFolder_data();
    void removeFolder();
    void removeFolder_unremovableEntry();
    void deleteFile_data();
    void deleteFile();
};

void tst_FileTree::copyFolder_data()
{
    QTest::addColumn<Tree>("source"); // "@link" entries link to outside/<content>
    QTest::addColumn<Tree>("installed"); // below tmp
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<bool>("result");
    QTest::addColumn<Tree>("after"); // everything below tmp but source/ and outside/

    const Tree source { { "same.txt", "new" }, { "missing.txt", "fresh" },
        { "sub/deep.txt", "deep new" } };
    const Tree installed { { "target/same.txt", "installed" }, { "target/own.txt", "own" },
        { "target/sub/deep.txt", "deep installed" } };
    QTest::newRow("overwrite replaces the installed files, keeps the others")
        << source << installed << "target" << true << true
        << Tree { { "target/same.txt", "new" }, { "target/missing.txt", "fresh" },
               { "target/own.txt", "own" }, { "target/sub/deep.txt", "deep new" } };
    QTest::newRow("no overwrite keeps the installed files")
        << source << installed << "target" << false << true
        << Tree { { "target/same.txt", "installed" }, { "target/missing.txt", "fresh" },
               { "target/own.txt", "own" }, { "target/sub/deep.txt", "deep installed" } };
    QTest::newRow("the target's parent chain is created")
        << Tree { { "a.txt", "a" }, { "empty/", {} } } << Tree() << "x/y/z" << true << true
        << Tree { { "x/y/z/a.txt", "a" }, { "x/y/z/empty/", {} } };
    QTest::newRow("missing source creates nothing")
        << Tree() << Tree() << "target/deep" << true << false << Tree();
    QTest::newRow("hidden entries skipped, links followed")
        << Tree { { "plain.txt", "p" }, { ".hidden.txt", "h" }, { ".hiddendir/x.txt", "x" },
               { "dir/.inner", "i" }, { "filelink.txt@", "linked.txt" }, { "dirlink@", "folder" } }
        << Tree() << "target" << true << true
        << Tree { { "target/plain.txt", "p" }, { "target/dir/", {} },
               { "target/filelink.txt", "l" }, { "target/dirlink/f.txt", "f" } };
    // A failed entry fails the copy; everything else is copied all the same,
    // and the folder in the way stays.
    const Tree five { { "a.txt", "a" }, { "b.txt", "b" }, { "c.txt", "c" }, { "sub/c.txt", "sc" },
        { "sub/d.txt", "sd" } };
    QTest::newRow("folder where a file goes, overwrite")
        << five << Tree { { "target/b.txt/keep.txt", "kept" } } << "target" << true << false
        << Tree { { "target/a.txt", "a" }, { "target/b.txt/keep.txt", "kept" },
               { "target/c.txt", "c" }, { "target/sub/c.txt", "sc" },
               { "target/sub/d.txt", "sd" } };
    QTest::newRow("folder where a nested file goes, overwrite")
        << five << Tree { { "target/sub/c.txt/keep.txt", "kept" } } << "target" << true << false
        << Tree { { "target/a.txt", "a" }, { "target/b.txt", "b" }, { "target/c.txt", "c" },
               { "target/sub/c.txt/keep.txt", "kept" }, { "target/sub/d.txt", "sd" } };
    QTest::newRow("folder where a file goes, no overwrite: skipped, not failed")
        << five << Tree { { "target/b.txt/keep.txt", "kept" } } << "target" << false << true
        << Tree { { "target/a.txt", "a" }, { "target/b.txt/keep.txt", "kept" },
               { "target/c.txt", "c" }, { "target/sub/c.txt", "sc" },
               { "target/sub/d.txt", "sd" } };
    // The folder holding a name with backslashes is refused whole; nothing
    // lands beside it, and nothing escapes.
    QTest::newRow("unsafe name") << Tree { { "a.txt", "a" }, { "sub/ok.txt", "ok" },
        { "sub/x\\..\\..\\escape.txt", "x" } }
                                 << Tree() << "target" << true << false
                                 << Tree { { "target/a.txt", "a" }, { "target/sub/", {} } };
}

void tst_FileTree::copyFolder()
{
    QFETCH(Tree, source);
    QFETCH(Tree, installed);
    QFETCH(QString, target);
    QFETCH(bool, overwrite);
    QFETCH(Tree, after);
#ifdef Q_OS_WIN
    if (QByteArray(QTest::currentDataTag()) == "unsafe name")
        QSKIP("a backslash separates names on Windows: no entry name can hold one");
#endif
    QTemporaryDir tmp;
    QVERIFY(writeTree(tmp.path() + "/outside", { { "linked.txt", "l" }, { "folder/f.txt", "f" } }));
    QString why;
    for (auto it = source.cbegin(); it != source.cend(); ++it) {
        const QString path = tmp.path() + "/source/" + it.key();
        if (!it.key().endsWith('@'))
            QVERIFY(writeTree(tmp.path() + "/source", { { it.key(), it.value() } }));
        else if (!makeSymLink(tmp.path() + "/outside/" + it.value(), path.chopped(1), &why))
            QSKIP(qPrintable(why));
    }
    hideDotEntries(tmp.path() + "/source");
    QVERIFY(writeTree(tmp.path(), installed));

    QTEST(FolderCopy::copyFolder(tmp.path() + "/source", tmp.path() + "/" + target, overwrite),
        "result");
    Tree now = snapshot(tmp.path());
    for (const QString &key : now.keys()) {
        if (key.startsWith("source") || key.startsWith("outside"))
            now.remove(key);
    }
    QCOMPARE(now, withFolders(after));
}

// A copied file ends readable and writable; a replaced program keeps its
// execute bits, so it stays startable.
void tst_FileTree::copyFolder_modes_data()
{
    QTest::addColumn<int>("installedMode"); // 0: nothing installed
    QTest::addColumn<int>("expectedMode"); // 0: the copy fails
    const int rw = 0x6000;
    QTest::newRow("absent target is created") << 0 << mode0644;
    QTest::newRow("owner-only file becomes 0644") << rw << mode0644;
#ifdef Q_OS_WIN
    // Windows refuses to remove a read-only file, and the copy doesn't clear
    // the attribute: the file stays as it was.
    QTest::newRow("read-only file stays, failure") << readOnly << 0;
#else
    QTest::newRow("read-only file is replaced") << readOnly << mode0644;
#endif
    QTest::newRow("program keeps its execute bits")
        << (mode0644 | executeBits) << (mode0644 | executeBits);
    QTest::newRow("owner-only program keeps the owner's execute bit")
        << (rw | 0x1000) << (mode0644 | 0x1000);
}

void tst_FileTree::copyFolder_modes()
{
    QFETCH(int, installedMode);
    QFETCH(int, expectedMode);
    QTemporaryDir tmp;
    const QString source = tmp.path() + "/source/file.bin";
    const QString target = tmp.path() + "/target/file.bin";
    QVERIFY(writeFile(source, "new content"));
    QVERIFY(QFile::setPermissions(source, QFileDevice::Permissions(readOnly)));
    if (installedMode) {
        QVERIFY(writeFile(target, "old"));
        QVERIFY(QFile::setPermissions(target, QFileDevice::Permissions(installedMode)));
    }
    const int before = modeOf(target);

    QCOMPARE(FolderCopy::copyFolder(tmp.path() + "/source", tmp.path() + "/target", true),
        expectedMode != 0);
    QCOMPARE(readFile(target), QByteArray(expectedMode ? "new content" : "old"));
    if (expectedMode == 0)
        QCOMPARE(modeOf(target), before);
#ifndef Q_OS_WIN
    else
        QCOMPARE(modeOf(target), expectedMode);
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
    QFETCH(QStringList, copied);
    QTemporaryDir tmp;
    QVERIFY(writeTree(tmp.path() + "/source", { { "one/1.txt", "1" }, { "two/2.txt", "2" } }));
    QTEST(FolderCopy::copyFolderList(tmp.path() + "/source", names, tmp.path() + "/target", true),
        "expected");
    QCOMPARE(snapshot(tmp.path() + "/target").keys(), copied);
}

// Files of a folder ahead of its sub-folders' files; a name differing in
// case is another file (where names differing in case can be there at
// once); hidden folders are not entered.
void tst_FileTree::findFilesNamed()
{
    QTemporaryDir tmp;
    QVERIFY(writeTree(tmp.path(),
        { { "mark.txt", {} }, { "b/mark.txt", {} }, { "b/c/d/mark.txt", {} },
            { ".hidden/mark.txt", {} }, { "other.txt", {} } }));
#ifndef Q_OS_WIN
    QVERIFY(writeTree(tmp.path(), { { "b/MARK.txt", {} }, { "Mark.txt/x", {} } }));
#endif
    hideDotEntries(tmp.path());
    QCOMPARE(relativePaths(FileTree::findFilesNamed(tmp.path(), "mark.txt"), tmp.path()),
        (QStringList { "mark.txt", "b/mark.txt", "b/c/d/mark.txt" }));
}

// A folder's files and empty folders, then its sub-folders' entries, each
// level in name order; hidden entries and links are passed over.
void tst_FileTree::listLeafEntries()
{
    QTemporaryDir tmp;
    const QString root = QDir(tmp.path()).absolutePath();
    QVERIFY(writeTree(root, { { "a", "a" }, { "s/b", "b" }, { "e/", {} } }));
    const QList<QFileInfo> entries = FileTree::listLeafEntries(root);
    QCOMPARE(relativePaths(entries, root), (QStringList { "a", "e", "s/b" }));
    QVERIFY(entries.at(1).isDir());

    QVERIFY(writeTree(root,
        { { "B.txt", {} }, { "s/t/u/", {} }, { "s/t/z.txt", {} }, { "S2/x/", {} },
            { ".hidden.txt", {} }, { "onlyhidden/.x", {} }, { ".hiddendir/y.txt", {} } }));
    hideDotEntries(root);
    // Links that can't be made here can't be listed either.
    QString why;
    if (makeSymLink(root + "/s", root + "/dirlink", &why))
        QVERIFY(makeSymLink(root + "/a", root + "/filelink", &why));
    QCOMPARE(relativePaths(FileTree::listLeafEntries(root), root),
        (QStringList { "a", "B.txt", "e", "onlyhidden", "s/b", "s/t/z.txt", "s/t/u", "S2/x" }));
}

void tst_FileTree::removeFolder_data()
{
    QTest::addColumn<QString>("folder"); // below tmp; outside/ is never to be touched
    QTest::newRow("missing folder counts as removed") << "nothing";
    QTest::newRow("everything: read-only, hidden, empty, dangling link, pipe") << "folder";
    QTest::newRow("the path itself a link: only the link goes") << "link";
}

void tst_FileTree::removeFolder()
{
    QFETCH(QString, folder);
    QTemporaryDir tmp;
    const QString outside = tmp.path() + "/outside";
    QVERIFY(writeTree(outside, { { "keep.txt", "keep" }, { "sub/deep.txt", "deep" } }));
    const Tree outsideBefore = snapshot(outside);
    const QString f = tmp.path() + "/folder";
    QVERIFY(writeTree(f,
        { { "a.txt", "a" }, { ".hidden", "h" }, { "sub/ro.txt", "r" }, { ".hiddendir/deep/x", "x" },
            { "empty/", {} } }));
    QVERIFY(QFile::setPermissions(f + "/sub/ro.txt", QFileDevice::Permissions(readOnly)));
    QVERIFY(QFile::setPermissions(f + "/a.txt", QFileDevice::Permissions(readOnly)));
    hideDotEntries(f);
    // Links to an outside folder and file: removed, what they point at stays.
    QString why;
    if (makeSymLink(f + "/nowhere", f + "/dangling", &why)) {
        QVERIFY(makeSymLink(outside, f + "/link", &why));
        QVERIFY(makeSymLink(outside + "/keep.txt", f + "/filelink", &why));
        QVERIFY(makeSymLink(outside, tmp.path() + "/link", &why));
    } else if (folder == "link") {
        QSKIP(qPrintable(why));
    }
#ifndef Q_OS_WIN
    QVERIFY(::mkfifo(QFile::encodeName(f + "/fifo").constData(), 0644) == 0);
#endif
    const int outsideMode = modeOf(outside + "/keep.txt");

    QVERIFY(TreeRemoval::removeFolder(tmp.path() + "/" + folder));
    QVERIFY(!QFileInfo(tmp.path() + "/" + folder).exists()
        && !QFileInfo(tmp.path() + "/" + folder).isSymLink());
    QCOMPARE(snapshot(outside), outsideBefore);
    QCOMPARE(modeOf(outside + "/keep.txt"), outsideMode);
}

void tst_FileTree::removeFolder_unremovableEntry()
{
    // Root may remove any file, but not one marked immutable.
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/folder";
    QVERIFY(writeTree(folder,
        { { "a.txt", "a" }, { "sub/b.txt", "b" }, { "stuck.txt", "s" }, { "z.txt", "z" } }));
    Immutable stuck(folder + "/stuck.txt");
    if (!stuck.isSet())
        QSKIP("chattr +i does not work here");

    QVERIFY(!TreeRemoval::removeFolder(folder));
    // Everything else went; the entry and so the folder remain.
    QVERIFY(QFileInfo::exists(folder + "/stuck.txt"));
    QVERIFY(QFileInfo(folder).isDir());
    for (const char *gone : { "/a.txt", "/z.txt", "/sub" })
        QVERIFY2(!QFileInfo::exists(folder + gone), gone);
}

void tst_FileTree::deleteFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("expected");
    QTest::newRow("file") << "file" << true;
    QTest::newRow("read-only file") << "read-only" << true;
    QTest::newRow("absent file counts as deleted") << "absent" << true;
    QTest::newRow("dangling link") << "dangling" << true;
    QTest::newRow("link to an outside file: only the link goes") << "link" << true;
    QTest::newRow("folder where a file is expected") << "folder" << false;
#ifdef Q_OS_WIN
    QTest::newRow("file open in a program: refused, it stays") << "open" << false;
#endif
}

void tst_FileTree::deleteFile()
{
    QFETCH(QString, kind);
    QFETCH(bool, expected);
    QTemporaryDir tmp;
    const QString target = tmp.path() + "/target";
    const QString outside = tmp.path() + "/outside.txt";
    QVERIFY(writeFile(outside, "outside"));
    QVERIFY(QFile::setPermissions(outside, QFileDevice::Permissions(readOnly)));
    if (kind == "file" || kind == "read-only" || kind == "open")
        QVERIFY(writeFile(target, "x"));
    QFile open(target); // Qt shares reading and writing, not deletion
    if (kind == "open")
        QVERIFY(open.open(QIODevice::ReadOnly));
    if (kind == "read-only")
        QVERIFY(QFile::setPermissions(target, QFileDevice::Permissions(readOnly)));
    QString why;
    if ((kind == "dangling" || kind == "link")
        && !makeSymLink(kind == "link" ? outside : tmp.path() + "/nowhere", target, &why))
        QSKIP(qPrintable(why));
    if (kind == "folder")
        QVERIFY(writeFile(target + "/inside.txt", "in"));

    FileTree::Failures failures;
    QCOMPARE(FileTree::deleteFile(target, &failures), expected);
    QCOMPARE(failures.isEmpty(), expected); // a refusal says why
    QCOMPARE(QFileInfo(target).exists() || QFileInfo(target).isSymLink(), !expected);
    QCOMPARE(readFile(outside), QByteArray("outside"));
    QCOMPARE(modeOf(outside), readOnly);
    if (kind == "folder")
        QCOMPARE(readFile(target + "/inside.txt"), QByteArray("in"));
}

QTEST_GUILESS_MAIN(tst_FileTree)
#include "tst_filetree.moc"
