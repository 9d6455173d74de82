#include <QtTest>

#include "ChangePlan.h"

// The changes a step will make, worked out before any step runs.
class tst_ChangePlan : public QObject
{
    Q_OBJECT

private slots:
    void afterTheDeleteStep_data();
    void afterTheDeleteStep();
    void whatIsInstalled_data();
    void whatIsInstalled();
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

void tst_ChangePlan::whatIsInstalled_data()
{
    // What lies at main/x where update/x (a file) or update/d (a folder)
    // arrives, and the change planned ("refused" for none).
    QTest::addColumn<QString>("installed"); // none, file, folder, link:<target>
    QTest::addColumn<QString>("entry"); // x or d
    QTest::addColumn<QString>("planned");
    QTest::newRow("file onto nothing") << "none"
                                       << "x"
                                       << "MoveIn";
    QTest::newRow("file onto a file") << "file"
                                      << "x"
                                      << "Replace";
    QTest::newRow("file onto a folder") << "folder"
                                        << "x"
                                        << "refused";
    QTest::newRow("folder onto nothing") << "none"
                                         << "d"
                                         << "MoveIn";
    QTest::newRow("folder onto a file") << "file"
                                        << "d"
                                        << "refused";
#ifdef Q_OS_UNIX
    QTest::newRow("file onto a link to a file") << "link:other"
                                                << "x"
                                                << "Replace";
    QTest::newRow("file onto a dangling link") << "link:missing"
                                               << "x"
                                               << "Replace";
    QTest::newRow("file onto a link to a folder") << "link:sub"
                                                  << "x"
                                                  << "Replace";
    QTest::newRow("folder onto a dangling link") << "link:missing"
                                                 << "d"
                                                 << "refused";
#endif
}

void tst_ChangePlan::whatIsInstalled()
{
    QFETCH(QString, installed);
    QFETCH(QString, entry);
    QFETCH(QString, planned);
    QTemporaryDir tmp;
    const QString main = tmp.filePath("main"), staged = tmp.filePath("update");
    QVERIFY(QDir().mkpath(main + "/sub") && QDir().mkpath(staged + "/d"));
    for (const QString &file : { main + "/other", staged + "/x", staged + "/d/y" }) {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
    }
    const QString target = main + "/" + entry;
    if (installed == "file")
        QVERIFY(QFile::copy(main + "/other", target));
    else if (installed == "folder")
        QVERIFY(QDir().mkdir(target));
    else if (installed.startsWith("link:"))
        QVERIFY(QFile::link(main + "/" + installed.mid(5), target));
    int backup = 1;
    const QList<PlannedEntry> plan
        = ChangePlan::plan(ChangePlan::Step::Update, staged, main, tmp.filePath("backup"), &backup);
    const auto it = std::find_if(plan.begin(), plan.end(),
        [&](const PlannedEntry &p) { return p.entry.fileName() == entry; });
    QVERIFY(it != plan.end());
    QString got = QStringLiteral("refused");
    if (it->refusals.isEmpty() && !it->changes.isEmpty())
        got = it->changes.first().kind == FileChange::Replace ? "Replace" : "MoveIn";
    QCOMPARE(got, planned);
}

QTEST_GUILESS_MAIN(tst_ChangePlan)
#include "tst_changeplan.moc"
