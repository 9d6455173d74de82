#include <QtTest>

#include "UpgradeLog.h"

// The log files an upgrade leaves: which of them stay, and the copy.
class tst_UpgradeLog : public QObject
{
    Q_OBJECT
private slots:
    void keepsTheNewest_data();
    void keepsTheNewest();
    void copyIsThisRunsAlone();
    void writesOnlyInside_data();
    void writesOnlyInside();
};

void tst_UpgradeLog::keepsTheNewest_data()
{
    QTest::addColumn<QString>("stamp"); // of the 35 logs there before
    QTest::addColumn<QStringList>("gone");

    // Numbered logs of one second order by number, not by name ("-10" < "-2").
    QStringList oldest { "upgrade-20200101-000000.log" };
    for (int n = 2; n <= 6; ++n)
        oldest << QStringLiteral("upgrade-20200101-000000-%1.log").arg(n);
    QTest::newRow("many in one second") << "20200101-000000" << oldest;
    // A clock set back: this run's log sorts oldest, and stays all the same.
    QStringList later { "upgrade-20990101-000000.log" };
    for (int n = 2; n <= 6; ++n)
        later << QStringLiteral("upgrade-20990101-000000-%1.log").arg(n);
    QTest::newRow("clock set back") << "20990101-000000" << later;
}

void tst_UpgradeLog::keepsTheNewest()
{
    QFETCH(QString, stamp);
    QFETCH(QStringList, gone);
    QTemporaryDir main;
    QVERIFY(QDir(main.path()).mkpath("logs"));
    QStringList before;
    for (int n = 1; n <= 35; ++n) {
        before << (n == 1 ? QStringLiteral("upgrade-%1.log").arg(stamp)
                          : QStringLiteral("upgrade-%1-%2.log").arg(stamp).arg(n));
        QFile file(main.path() + "/logs/" + before.last());
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    UpgradeLog log;
    QString error;
    QVERIFY2(log.open(main.path(), QString(), &error), qPrintable(error));
    QVERIFY(QFileInfo::exists(log.path()));
    const QStringList left = QDir(main.path() + "/logs").entryList(QDir::Files);
    QCOMPARE(left.size(), UpgradeLog::keptLogs);
    for (const QString &name : before)
        QCOMPARE(left.contains(name), !gone.contains(name));
}

void tst_UpgradeLog::copyIsThisRunsAlone()
{
    QTemporaryDir dir;
    const QString copy = dir.filePath("copy.log");
    QFile earlier(copy);
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("an earlier run\n") > 0);
    earlier.close();
    {
        UpgradeLog log;
        QString error;
        QVERIFY2(log.open(QString(), copy, &error), qPrintable(error));
        log.write("this run");
    }
    QFile file(copy);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.endsWith(" this run\n"));
    QVERIFY(!text.contains("an earlier run"));
}

void tst_UpgradeLog::writesOnlyInside_data()
{
    QTest::addColumn<bool>("folderLinked"); // logs/ itself, or links at this run's names
    QTest::newRow("logs folder links outside") << true;
    QTest::newRow("links at this run's log names lead outside") << false;
}

void tst_UpgradeLog::writesOnlyInside()
{
    QFETCH(bool, folderLinked);
    QTemporaryDir tmp;
    const QString main = tmp.filePath("main"), outside = tmp.filePath("outside");
    QVERIFY(QDir().mkpath(main) && QDir().mkpath(outside));
    for (int day = 1; day <= UpgradeLog::keptLogs; ++day) {
        QFile old(outside
            + QStringLiteral("/upgrade-200001%1-000000.log").arg(day, 2, 10, QLatin1Char('0')));
        QVERIFY(old.open(QIODevice::WriteOnly));
    }
    if (folderLinked) {
        QVERIFY(QFile::link(outside, main + "/logs"));
    } else {
        QVERIFY(QDir().mkpath(main + "/logs"));
        const QDateTime now = QDateTime::currentDateTime();
        for (int second = 0; second < 2; ++second) {
            const QString stamp = now.addSecs(second).toString("yyyyMMdd-hhmmss");
            QVERIFY(QFile::link(outside + "/stolen" + QString::number(second),
                main + "/logs/upgrade-" + stamp + ".log"));
        }
    }

    UpgradeLog log;
    QString error;
    QCOMPARE(log.open(main, tmp.filePath("copy.log"), &error), !folderLinked);
    QVERIFY(QFileInfo::exists(tmp.filePath("copy.log"))); // written all the same
    QCOMPARE(error.contains("指向安装目录之外"), folderLinked);
    QCOMPARE(QDir(outside).entryList(QDir::Files).size(), UpgradeLog::keptLogs);
    if (!folderLinked)
        QVERIFY(!QFileInfo(log.path()).isSymLink());
}

QTEST_GUILESS_MAIN(tst_UpgradeLog)
#include "tst_upgradelog.moc"
