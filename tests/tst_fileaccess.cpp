#include <QtTest>

#include "FileAccess.h"

// What the pre-flight learns of the installation's files before anything
// changes: here, what Windows would refuse in the middle of an upgrade.
class tst_FileAccess : public QObject
{
    Q_OBJECT

private slots:
    void checkRemovable_data();
    void checkRemovable();
};

void tst_FileAccess::checkRemovable_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("replacing");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("atFault"); // below the folder; empty: none
    QTest::newRow("folder with its files closed")
        << "closed" << false << int(FileAccess::Verdict::Ok) << QString();
#ifdef Q_OS_WIN
    // The folder can't be renamed away while a file in it is open.
    QTest::newRow("folder holding a file open in a program")
        << "open" << false << int(FileAccess::Verdict::InUse) << "sub/x.dll";
    QTest::newRow("read-only file to be replaced")
        << "read-only" << true << int(FileAccess::Verdict::Refused) << "sub/x.dll";
#endif
}

void tst_FileAccess::checkRemovable()
{
    QFETCH(QString, situation);
    QFETCH(bool, replacing);
    QFETCH(QString, atFault);
    QTemporaryDir tmp;
    const QString file = tmp.filePath("dir/sub/x.dll");
    QFile open(file);
    QVERIFY(QDir().mkpath(tmp.filePath("dir/sub")) && open.open(QIODevice::WriteOnly));
    if (situation != "open")
        open.close();
    if (situation == "read-only")
        QVERIFY(QFile::setPermissions(file, QFile::ReadOwner));

    const FileAccess::Verdict verdict
        = FileAccess::checkRemovable(replacing ? file : tmp.filePath("dir"), replacing);
    QTEST(int(verdict.kind), "kind");
    QCOMPARE(verdict.path, atFault.isEmpty() ? QString() : tmp.filePath("dir/" + atFault));
    QCOMPARE(verdict.reason.isEmpty(), verdict.kind != FileAccess::Verdict::Refused);
    open.close();
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
}

QTEST_GUILESS_MAIN(tst_FileAccess)
#include "tst_fileaccess.moc"
