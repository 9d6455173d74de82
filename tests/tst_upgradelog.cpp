#include <QtTest>

#include "UpgradeLog.h"
#include "support/PlatformFiles.h"

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
    void outsideTextStaysOnItsLine_data();
    void outsideTextStaysOnItsLine();
    void stampIsLocalTime();
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
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text)); // CRLF on Windows
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
    QString why;
    if (folderLinked) {
        if (!makeSymLink(outside, main + "/logs", &why))
            QSKIP(qPrintable(why));
    } else {
        QVERIFY(QDir().mkpath(main + "/logs"));
        const QDateTime now = QDateTime::currentDateTime();
        for (int second = 0; second < 2; ++second) {
            const QString stamp = now.addSecs(second).toString("yyyyMMdd-hhmmss");
            if (!makeSymLink(outside + "/stolen" + QString::number(second),
                    main + "/logs/upgrade-" + stamp + ".log", &why))
                QSKIP(qPrintable(why));
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

// A file name or a script's output can't end its line nor start one that
// looks like the log's own: every line written is one line with its time.
void tst_UpgradeLog::outsideTextStaysOnItsLine_data()
{
    QTest::addColumn<QString>("text"); // a line with text from outside
    QTest::addColumn<QString>("shown"); // how the line shows it
    QTest::newRow("forged outcome after a line feed")
        << QStringLiteral("a\n2024-01-01T00:00:00.000 结果:升级成功(退出码0)")
        << QStringLiteral("a\\n2024-01-01T00:00:00.000 结果:升级成功(退出码0)");
    QTest::newRow("carriage return overwriting the line")
        << QStringLiteral("失败\r结果:升级成功") << QStringLiteral("失败\\r结果:升级成功");
    QTest::newRow("terminal escape") << QStringLiteral("\x1b[1A\x1b[2K") << "\\x1B[1A\\x1B[2K";
    QTest::newRow("next-line control and line separator")
        << QString("a") + QChar(0x85) + "b" + QChar(0x2028) + "c"
        << "a\\x85b\\u2028c";
    QTest::newRow("right-to-left override")
        << QStringLiteral("abc\u202Eexe.txt") << "abc\\u202Eexe.txt";
}

void tst_UpgradeLog::outsideTextStaysOnItsLine()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QTemporaryDir dir;
    {
        UpgradeLog log;
        QString error;
        QVERIFY2(log.open(QString(), dir.filePath("copy.log"), &error), qPrintable(error));
        log.write("before");
        log.write(text);
    }
    QFile file(dir.filePath("copy.log"));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text)); // CRLF on Windows
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    QCOMPARE(lines.size(), 3); // nothing after the last line feed
    const QRegularExpression stamped("^\\d{4}-\\d\\d-\\d\\dT[^\\x00-\\x1f\\x7f-\\x9f\\x{2028}]*$");
    QVERIFY2(stamped.match(lines.at(0)).hasMatch() && stamped.match(lines.at(1)).hasMatch(),
        qPrintable(lines.join('|')));
    QVERIFY2(lines.at(1).endsWith(" " + shown), qPrintable(lines.at(1)));
}

void tst_UpgradeLog::stampIsLocalTime()
{
    QTemporaryDir dir;
    QDateTime before, after;
    {
        UpgradeLog log;
        QString error;
        QVERIFY2(log.open(QString(), dir.filePath("copy.log"), &error), qPrintable(error));
        before = QDateTime::currentDateTime();
        for (int i = 0; i < 2000; ++i) // across a second's turn, mostly
            log.write("line");
        after = QDateTime::currentDateTime();
    }
    QFile file(dir.filePath("copy.log"));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    QDateTime previous = before;
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)) {
        const QString stamp = line.section(' ', 0, 0);
        const QDateTime at = QDateTime::fromString(stamp, Qt::ISODateWithMs);
        QVERIFY2(stamp.size() == 23 && at.timeSpec() == Qt::LocalTime, qPrintable(line));
        QVERIFY2(previous <= at && at <= after, qPrintable(line));
        previous = at;
    }
}

QTEST_GUILESS_MAIN(tst_UpgradeLog)
#include "tst_upgradelog.moc"
