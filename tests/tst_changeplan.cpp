#include <QtTest>

#include "ChangePlan.h"

// The changes a step will make, worked out before any step runs.
class tst_ChangePlan : public QObject
{
    Q_OBJECT

private slots:
    void afterTheDeleteStep_data();
    void afterTheDeleteStep();
};

void tst_ChangePlan::afterTheDeleteStep_data()
{
    QTest::addColumn<QString>("gone"); // moved away by the delete step, below main
    QTest::addColumn<int>("kind"); // of update/product/bin/x.dll's change
    QTest::newRow("installed file stays: replaced") << "product/other" << int(FileChange::Replace);
    QTest::newRow("its folder moved away: moved in") << "product/bin" << int(FileChange::MoveIn);
#ifdef Q_OS_WIN
    QTest::newRow("its folder moved away, named in other case and with backslashes")
        << "Product\\Bin" << int(FileChange::MoveIn);
#endif
}

void tst_ChangePlan::afterTheDeleteStep()
{
    QFETCH(QString, gone);
    QFETCH(int, kind);
    QTemporaryDir tmp;
    const QString main = tmp.filePath("main"), staged = tmp.filePath("update");
    for (const QString &file : { main + "/product/bin/x.dll", staged + "/product/bin/x.dll" }) {
        QFile out(file);
        QVERIFY(QDir().mkpath(QFileInfo(file).path()) && out.open(QIODevice::WriteOnly));
    }
    int backup = 1;
    const QList<PlannedEntry> plan = ChangePlan::plan(ChangePlan::Step::Update, staged, main,
        tmp.filePath("backup"), &backup, { main + QDir::separator() + gone });
    QCOMPARE(plan.size(), 1);
    QCOMPARE(plan.first().changes.size(), 1);
    QCOMPARE(int(plan.first().changes.first().kind), kind);
}

QTEST_GUILESS_MAIN(tst_ChangePlan)
#include "tst_changeplan.moc"
