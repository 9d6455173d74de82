#include <QtTest>

#include "Journal.h"
#include "SuiteLayout.h"
#include "WorkerDriver.h"

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#endif

namespace {

bool writeJournal(const QString &main, const QByteArray &text)
{
    QFile file(SuiteLayout::journalFile(main));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

const QByteArray head = "tessaron-upgrade-journal 1\nheader\t2.1.5\t2.1.9\tbin\t1\t0\n";

} // namespace

// The journal as the recovery reads it back: every path exactly as written,
// and a line it can't read named, never passed over.
class tst_Journal : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void readsEarlierJournals();
    void unreadableLineStopsRecovery_data();
    void unreadableLineStopsRecovery();
    void fullDiskIsNamed();
    void cutOffBeforeItsHeader_data();
    void cutOffBeforeItsHeader();
};

void tst_Journal::roundTrip_data()
{
    QTest::addColumn<QString>("name"); // of the changed file and of the program folder
    QTest::newRow("tab") << "a\tb.dll";
    QTest::newRow("line ends") << "a\nb\r\nc.dll";
    QTest::newRow("escape look-alike") << "report%09final.dll";
    QTest::newRow("escaped escape look-alike") << "%2509%0A%25.dll";
    QTest::newRow("percent at the end") << "100%";
    QTest::newRow("non-ASCII and blanks") << QStringLiteral("程序 文件/😀 ü.dll");
}

void tst_Journal::roundTrip()
{
    QFETCH(QString, name);
    QTemporaryDir main;
    const QString target = main.filePath(name);
    FileChange change;
    change.kind = FileChange::Replace;
    change.target = target;
    change.source = main.filePath("upgrade_temp/" + name);
    change.backup = main.filePath("upgrade_backup/" + name);
    QString error;
    {
        Journal journal;
        QVERIFY2(journal.begin(main.path(), { "2.1.5", name, name, 1, 0 }, &error)
                && journal.record({ change }, &error)
                && journal.mark(Journal::Mark::FilesDone, &error),
            qPrintable(error));
        journal.close();
    }
    // A crash while the next change was written: its line is cut off.
    QFile file(SuiteLayout::journalFile(main.path()));
    QVERIFY(file.open(QIODevice::Append) && file.write("change\tmove-away\t/x%2") > 0);
    file.close();

    Journal::Contents contents;
    QVERIFY2(Journal::read(main.path(), &contents, &error), qPrintable(error));
    QCOMPARE(contents.header.versionTo, name);
    QCOMPARE(contents.header.exePath, name);
    QCOMPARE(contents.changes.size(), 1);
    QCOMPARE(contents.changes.at(0).kind, FileChange::Replace);
    QCOMPARE(contents.changes.at(0).target, change.target);
    QCOMPARE(contents.changes.at(0).source, change.source);
    QCOMPARE(contents.changes.at(0).backup, change.backup);
    QCOMPARE(contents.marks, QSet<Journal::Mark> { Journal::Mark::FilesDone });
}

// Journals left by the previous version: header fields URL-encoded, paths
// with only "%", tab and line ends escaped.
void tst_Journal::readsEarlierJournals()
{
    QTemporaryDir main;
    QVERIFY(writeJournal(main.path(),
        "tessaron-upgrade-journal 1\nheader\t2.1.5\t2.1.9\tbin%2F%E7%A8%8B%E5%BA%8F%20a\t1\t0\n"
        "change\tmove-away\t/s/a%2509b\t\t/s/upgrade_backup/a%2509b\n"
        "change\tmove-in\t/s/程序 x%09y%0A\t/s/t/程序 x%09y%0A\t\nmark\tchain-started\n"));
    Journal::Contents contents;
    QString error;
    QVERIFY2(Journal::read(main.path(), &contents, &error), qPrintable(error));
    QCOMPARE(contents.header.exePath, QStringLiteral("bin/程序 a"));
    QCOMPARE(contents.changes.size(), 2);
    QCOMPARE(contents.changes.at(0).target, QStringLiteral("/s/a%09b"));
    QCOMPARE(contents.changes.at(1).source, QStringLiteral("/s/t/程序 x\ty\n"));
}

void tst_Journal::unreadableLineStopsRecovery_data()
{
    QTest::addColumn<QByteArray>("line"); // the journal's third line
    QTest::newRow("unknown kind of change") << QByteArray("change\tcopy\t/s/a\t/s/b\t");
    QTest::newRow("change missing a field") << QByteArray("change\tmove-in\t/s/a\t/s/b");
    QTest::newRow("change without a target") << QByteArray("change\tmove-away\t\t\t/s/b");
    QTest::newRow("broken escape") << QByteArray("change\tmove-away\t/s/a%G1\t\t/s/b");
    QTest::newRow("escape cut short") << QByteArray("change\tmove-away\t/s/a\t\t/s/b%4");
    QTest::newRow("bytes that are no UTF-8") << QByteArray("change\tmove-away\t/s/%FF\t\t/s/b");
    QTest::newRow("unknown mark") << QByteArray("mark\tfiles-half-done");
    QTest::newRow("second header") << QByteArray("header\t2.1.5\t2.1.9\tbin\t1\t0");
    QTest::newRow("empty line") << QByteArray();
}

void tst_Journal::unreadableLineStopsRecovery()
{
    QFETCH(QByteArray, line);
    QTemporaryDir main;
    const QString kept = main.filePath("kept.dll");
    QVERIFY(writeJournal(main.path(),
        head + line + "\nchange\tmove-in\t" + kept.toUtf8() + "\t"
            + main.filePath("upgrade_temp/kept.dll").toUtf8() + "\t\n"));
    QFile file(kept);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    Journal::Contents contents;
    QString error;
    QVERIFY(!Journal::read(main.path(), &contents, &error));
    QVERIFY2(error.contains(QStringLiteral("第3行")), qPrintable(error));

    // The recovery undoes nothing and keeps the journal for a person to see.
    WorkerDriver driver;
    const WorkerDriver::Recovery recovery = driver.recover(main.path());
    QCOMPARE(recovery.result, RecoveryResult::Incomplete);
    QVERIFY2(recovery.lines.join('\n').contains(QStringLiteral("无法读取升级日志文件")),
        qPrintable(recovery.lines.join('\n')));
    QVERIFY(Journal::exists(main.path()));
    QVERIFY(QFileInfo::exists(kept));
}

// The changes don't fit on the disk: the reason is the system's, not
// "Unknown error".
void tst_Journal::fullDiskIsNamed()
{
#ifndef Q_OS_LINUX
    QSKIP("needs a tmpfs mount");
#else
    QTemporaryDir main;
    if (::mount("tmpfs", QFile::encodeName(main.path()).constData(), "tmpfs", 0, "size=4k") != 0)
        QSKIP("no tmpfs can be mounted here (needs root)");
    const auto unmount = qScopeGuard(
        [&main] { ::umount2(QFile::encodeName(main.path()).constData(), MNT_DETACH); });
    FileChange change;
    change.target = main.filePath(QString(100, 'x'));
    change.backup = change.target + "_backup";
    QString error;
    Journal journal;
    QVERIFY2(
        journal.begin(main.path(), { "2.1.5", "2.1.9", "bin", 1, 0 }, &error), qPrintable(error));
    const QList<FileChange> changes = QVector<FileChange>(40, change).toList(); // some 9 KB
    QVERIFY(!journal.record(changes, &error));
    QCOMPARE(error, qt_error_string(ENOSPC));
#endif
}

QTEST_GUILESS_MAIN(tst_Journal)
// A journal cut off before its header was on disk stands for an upgrade that
// changed nothing: the recovery removes it and says so. One that is no file
// (a named pipe) is refused at once, not waited on.
void tst_Journal::cutOffBeforeItsHeader_data()
{
    QTest::addColumn<QByteArray>("text"); // "pipe": a named pipe in its place
    QTest::addColumn<bool>("unstarted");
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("first line cut off") << QByteArray("tessaron-upg") << true;
    QTest::newRow("first line alone") << QByteArray("tessaron-upgrade-journal 1\n") << true;
    QTest::newRow("header cut off") << QByteArray("tessaron-upgrade-journal 1\nhea") << true;
    QTest::newRow("something else") << QByteArray("hello\n") << false;
    QTest::newRow("a named pipe") << QByteArray("pipe") << false;
}

void tst_Journal::cutOffBeforeItsHeader()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, unstarted);
    QTemporaryDir main;
    if (text == "pipe") {
#ifdef Q_OS_WIN
        QSKIP("named pipes among files are a Unix matter");
#else
        QVERIFY(::mkfifo(QFile::encodeName(SuiteLayout::journalFile(main.path())).constData(), 0600)
            == 0);
#endif
    } else {
        QVERIFY(writeJournal(main.path(), text));
    }
    const WorkerDriver::Recovery recovery = WorkerDriver().recover(main.path());
    QCOMPARE(recovery.result, unstarted ? RecoveryResult::NothingToDo : RecoveryResult::Incomplete);
    QCOMPARE(Journal::exists(main.path()), !unstarted);
    QVERIFY2(recovery.lines.join('\n').contains(unstarted ? "未写完" : "无法读取升级日志文件"),
        qPrintable(recovery.lines.join('\n')));
}

#include "tst_journal.moc"
