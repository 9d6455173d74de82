#include <QtTest>

#include "ContainedTree.h"
#include "FileMoves.h"
#include "support/PlatformFiles.h"

namespace {

bool write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
        && file.write(content) == content.size();
}

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

#ifdef Q_OS_WIN
DWORD attributesOf(const QString &path)
{
    return GetFileAttributesW(reinterpret_cast<const wchar_t *>(
        QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).utf16()));
}
#endif

} // namespace

// The renames a transactional upgrade is made of, on the platform's own file
// system: what Windows refuses, what it keeps, and paths past its old limit.
class tst_FileMoves : public QObject
{
    Q_OBJECT

private slots:
    void replaceKeeping_data();
    void replaceKeeping();
    void folderWithAnOpenFile();
    void moveNewIn_data();
    void moveNewIn();
    void longPaths();
    void flushes();
};

void tst_FileMoves::replaceKeeping_data()
{
    QTest::addColumn<QString>("target"); // how the installed file is
    QTest::addColumn<bool>("done");
    QTest::newRow("plain file") << "plain" << true;
#ifdef Q_OS_WIN
    // ReplaceFileW needs write access to the replaced file.
    QTest::newRow("read-only file: refused, both as they were") << "read-only" << false;
    QTest::newRow("hidden file: the replacement is hidden too") << "hidden" << true;
    QTest::newRow("file open in another program: refused") << "open" << false;
#endif
}

void tst_FileMoves::replaceKeeping()
{
    QFETCH(QString, target);
    QFETCH(bool, done);
    QTemporaryDir tmp;
    const QString installed = tmp.filePath("x.dll"), staged = tmp.filePath("x.dll.new"),
                  backup = tmp.filePath("backup/1");
    QVERIFY(
        write(installed, "old") && write(staged, "new") && QDir().mkpath(tmp.filePath("backup")));
    if (target == "read-only")
        QVERIFY(QFile::setPermissions(installed, QFile::ReadOwner | QFile::ReadOther));
    QFile open(installed); // Qt shares reading and writing, not deletion
    if (target == "open")
        QVERIFY(open.open(QIODevice::ReadOnly));
#ifdef Q_OS_WIN
    if (target == "hidden")
        QVERIFY(SetFileAttributesW(
            reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(installed).utf16()),
            FILE_ATTRIBUTE_HIDDEN));
#endif

    // As an update does it: the installed file's attributes, then the replacement.
    QString reason;
    QVERIFY2(FileMoves::keepAttributes(installed, staged, &reason), qPrintable(reason));
    const FileMoves::Result result = FileMoves::replaceKeeping(installed, staged, backup, &reason);
    QCOMPARE(result == FileMoves::Result::Done, done);
    open.close();
    if (!done) {
        QVERIFY(!reason.isEmpty());
        QCOMPARE(read(installed), QByteArray("old"));
        QCOMPARE(read(staged), QByteArray("new"));
        QFile::setPermissions(installed, QFile::ReadOwner | QFile::WriteOwner);
        return;
    }
    QCOMPARE(read(installed), QByteArray("new"));
    QCOMPARE(read(backup), QByteArray("old"));
#ifdef Q_OS_WIN
    QCOMPARE(bool(attributesOf(installed) & FILE_ATTRIBUTE_HIDDEN), target == "hidden");
#endif
}

// Windows refuses to rename a folder while a file in it is open: the move
// fails with the system's reason and nothing moves.
void tst_FileMoves::folderWithAnOpenFile()
{
#ifndef Q_OS_WIN
    QSKIP("only Windows refuses to rename a folder that holds an open file");
#endif
    if (underWine())
        QSKIP("wine renames a folder that holds an open file, as Unix does");
    QTemporaryDir tmp;
    QVERIFY(write(tmp.filePath("dir/sub/x.dll"), "x"));
    QFile open(tmp.filePath("dir/sub/x.dll"));
    QVERIFY(open.open(QIODevice::ReadOnly));
    QString reason;
    QCOMPARE(FileMoves::moveNew(tmp.filePath("dir"), tmp.filePath("moved"), &reason),
        FileMoves::Result::Failed);
    QVERIFY(!reason.isEmpty());
    open.close();
    QCOMPARE(read(tmp.filePath("dir/sub/x.dll")), QByteArray("x"));
    QVERIFY(!QFileInfo::exists(tmp.filePath("moved")));
}

// Every move, and the flush, on paths of more than 260 characters.
void tst_FileMoves::moveNewIn_data()
{
    QTest::addColumn<bool>("folder"); // what moves: a folder, else a file
    QTest::addColumn<bool>("taken"); // the destination's name exists already
    QTest::newRow("file") << false << false;
    QTest::newRow("folder") << true << false;
    QTest::newRow("file onto an existing file: refused, both kept") << false << true;
    QTest::newRow("folder onto an existing file: refused, both kept") << true << true;
}

// A move between two folders held by their handles, as the file steps make it.
void tst_FileMoves::moveNewIn()
{
    QFETCH(bool, folder);
    QFETCH(bool, taken);
    QTemporaryDir dir;
    const QString from = dir.filePath("staged/entry"), to = dir.filePath("installed/entry");
    QVERIFY(folder ? QDir().mkpath(from) : write(from, "new"));
    QVERIFY(taken ? write(to, "old") : QDir().mkpath(QFileInfo(to).path()));
    ContainedTree tree(dir.path());
    const ContainedTree::Parent source = tree.parentOf(from), target = tree.parentOf(to);
    QVERIFY(source.ready() && target.ready());
    QCOMPARE(FileMoves::moveNewIn(source.folderHandle(), source.entryName(), target.folderHandle(),
                 target.entryName(), source.entry(), target.entry()),
        taken ? FileMoves::Result::Exists : FileMoves::Result::Done);
    QCOMPARE(QFileInfo::exists(from), taken);
    QCOMPARE(QFileInfo(to).isDir(), folder && !taken);
    if (taken)
        QCOMPARE(read(to), QByteArray("old"));
}

void tst_FileMoves::longPaths()
{
    QTemporaryDir tmp;
    const QString deep = tmp.path() + '/' + QString(120, 'a') + '/' + QString(120, 'b') + '/';
    QVERIFY(deep.size() > 260);
    QVERIFY(write(deep + "x.dll", "old") && write(deep + "y.dll", "new")
        && write(deep + "z.dll", "newer"));
    QString reason;
    QCOMPARE(FileMoves::moveNew(deep + "y.dll", deep + "y2.dll", &reason), FileMoves::Result::Done);
    QCOMPARE(FileMoves::replaceKeeping(deep + "x.dll", deep + "y2.dll", deep + "x.bak", &reason),
        FileMoves::Result::Done);
    QCOMPARE(
        FileMoves::moveReplacing(deep + "z.dll", deep + "x.dll", &reason), FileMoves::Result::Done);
    QVERIFY2(reason.isEmpty(), qPrintable(reason));
    QCOMPARE(read(deep + "x.dll"), QByteArray("newer"));
    QCOMPARE(read(deep + "x.bak"), QByteArray("old"));
    QVERIFY(FileMoves::syncEntry(deep + "x.dll"));
}

// The staged files are written to disk before the database step and the
// commit rely on them: each file's and folder's flush, and the whole tree's,
// succeed; a read-only file's too (Windows flushes only a file open for
// writing), which stays read-only.
void tst_FileMoves::flushes()
{
    QTemporaryDir tmp;
    QVERIFY(write(tmp.filePath("a.txt"), "a") && write(tmp.filePath("sub/b.txt"), "b")
        && write(tmp.filePath("sub/ro.txt"), "r"));
    QVERIFY(QFile::setPermissions(tmp.filePath("sub/ro.txt"), QFile::ReadOwner));
    QVERIFY(FileMoves::syncEntry(tmp.filePath("a.txt")));
    QVERIFY(FileMoves::syncEntry(tmp.filePath("sub")));
    QVERIFY(FileMoves::syncEntry(tmp.filePath("sub/ro.txt")));
    QVERIFY(FileMoves::syncFileSystem(tmp.path()));
#ifdef Q_OS_WIN
    QVERIFY(!QFileInfo(tmp.filePath("sub/ro.txt")).isWritable());
#endif
    QFile::setPermissions(tmp.filePath("sub/ro.txt"), QFile::ReadOwner | QFile::WriteOwner);
}

QTEST_GUILESS_MAIN(tst_FileMoves)
#include "tst_filemoves.moc"
