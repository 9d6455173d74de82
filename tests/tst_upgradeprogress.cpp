#include <QtTest>

#include "UpgradeProgress.h"
#include "support/EngineHarness.h"

using namespace EngineHarness;

// What the progress bar counts, and how often it hears.
class tst_UpgradeProgress : public QObject
{
    Q_OBJECT

private slots:
    void units_data();
    void units();
    void reports();
};

void tst_UpgradeProgress::units_data()
{
    QTest::addColumn<Tree>("staged"); // below upgrade_temp/upgrade
    QTest::addColumn<int>("expected");
    // The extraction, the database step and the records: 3. The descriptor
    // and readme are staged, but no step touches them.
    const Tree plain { { "upgrade_config.xml", "x" }, { "readme.txt", "x" } };
    QTest::newRow("nothing to do") << plain << 3;
    Tree files = plain;
    files.insert("update/a.dll", "x");
    files.insert("add/sub/b.dll", "x");
    files.insert("delete/c.dll", "");
    QTest::newRow("a unit per file of the file steps") << files << 6;
    Tree scripts = plain;
    scripts.insert("shell/shell_before/1.bat", "x");
    scripts.insert("shell/shell_after/2.BAT", "x"); // counted as the listing finds it
    scripts.insert("shell/shell_after/notes.txt", "x");
    scripts.insert("db/db_before/1.sql", "x");
    QTest::newRow("a unit per script, none for SQL or other files") << scripts << 5;
}

void tst_UpgradeProgress::units()
{
    QFETCH(Tree, staged);
    QTemporaryDir dir;
    QVERIFY(writeTree(dir.filePath("upgrade_temp/upgrade"), staged));
    QTEST(UpgradeProgress::units(dir.path(), staged.size()), "expected");
}

// A new action goes out at once, counting alone at most every tenth of a
// second, and the end always.
void tst_UpgradeProgress::reports()
{
    QStringList heard;
    UpgradeProgress progress([&heard](int done, int total, const QString &action) {
        heard << QStringLiteral("%1/%2 %3").arg(done).arg(total).arg(action);
    });
    QTemporaryDir dir;
    QVERIFY(writeTree(
        dir.filePath("upgrade_temp/upgrade"), { { "update/a", "" }, { "update/b", "" } }));
    progress.start(dir.path(), 2);
    progress.progressed("scripts", 0);
    progress.progressed(QString()); // within the tenth: kept back
    progress.progressed("files", 0);
    progress.complete();
    progress.progressed(QString(), 10); // never past the total
    QCOMPARE(heard, QStringList({ "1/5 scripts", "2/5 files", "5/5 files", "5/5 files" }));
}

QTEST_GUILESS_MAIN(tst_UpgradeProgress)
#include "tst_upgradeprogress.moc"
