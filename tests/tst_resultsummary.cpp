#include <QtTest>

#include "ResultSummary.h"

// The result page's line: which outcome, cause and manual work it names.
class tst_ResultSummary : public QObject
{
    Q_OBJECT
private slots:
    void line_data();
    void line();
};

void tst_ResultSummary::line_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QStringList>("failures"); // kind|target|reason, in the order reported
    QTest::addColumn<QStringList>("manual");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("now"); // the recorded version after the end; it was 2.1.5
    QTest::addColumn<QString>("expected");
    const int upgraded = int(UpgradeOutcome::Upgraded), restored = int(UpgradeOutcome::Restored);
    const int notRestored = int(UpgradeOutcome::NotRestored), busy = int(UpgradeOutcome::Busy);
    const QString restoredWithCause = "升级失败,安装已恢复到升级前的版本(原因:%1)";
    QTest::newRow("plain success: no line")
        << upgraded << QStringList() << QStringList() << false << "2.1.9" << QString();
    QTest::newRow("cancel wins over the killed script's failure")
        << restored << QStringList { "script|00_a.bat|已取消" } << QStringList() << true << "2.1.5"
        << "升级已取消,安装已恢复到升级前的版本";
    QTest::newRow("failed script: the first failure is the cause")
        << restored
        << QStringList { "script|/suite/upgrade_temp/shell_before/00_a.bat|退出码3",
               "file|/suite/product/x.dll|拒绝访问" }
        << QStringList() << false << "2.1.5" << restoredWithCause.arg("脚本 00_a.bat 执行失败");
    QTest::newRow("failed file below the main folder: named from there")
        << restored << QStringList { "file|/suite/product/x.dll|拒绝访问" } << QStringList()
        << false << "2.1.5"
        << restoredWithCause.arg("文件 " + QDir::toNativeSeparators("product/x.dll") + " 无法写入");
    QTest::newRow("failed file elsewhere: named whole")
        << restored << QStringList { "file|/suitex/x.dll|拒绝访问" } << QStringList() << false
        << "2.1.5" << restoredWithCause.arg("文件 /suitex/x.dll 无法写入");
    QTest::newRow("failed database helper")
        << restored << QStringList { "database|bin/helper.exe|退出码2" } << QStringList() << false
        << "2.1.5" << restoredWithCause.arg("数据库升级失败");
    QTest::newRow("failed without a reported failure: no cause")
        << restored << QStringList() << QStringList() << false << "2.1.5"
        << "升级失败,安装已恢复到升级前的版本";
    QTest::newRow("not restored, cancelled or not")
        << notRestored << QStringList { "file|a|b" } << QStringList() << true << "2.1.5"
        << "升级失败,部分文件未能恢复,请重新启动升级程序完成恢复";
    QTest::newRow("busy, another installer upgraded meanwhile")
        << busy << QStringList() << QStringList() << false << "2.1.7"
        << "安装已由另一个升级程序升级到2.1.7,本次未作改动";
    QTest::newRow("busy, the record unchanged: another one runs")
        << busy << QStringList() << QStringList() << false << "2.1.5"
        << "另一个升级程序正在升级本安装,本次未作改动";
    QTest::newRow("busy, the record unreadable")
        << busy << QStringList() << QStringList() << false << QString()
        << "另一个升级程序正在升级本安装,本次未作改动";
    QTest::newRow("success, two version records to fix by hand")
        << upgraded << QStringList { "record|C:/a.xml|只读", "record|D:/b.xml|只读" }
        << QStringList { "请手动修改!", "请手动修改!" } << false << "2.1.9"
        << "升级成功,但需要手动修改C:/a.xml、D:/b.xml版本信息";
    QTest::newRow("success, another manual line")
        << upgraded << QStringList() << QStringList { "请手动删除 tmp" } << false << "2.1.9"
        << "升级成功,但需要手动处理:请手动删除 tmp";
}

void tst_ResultSummary::line()
{
    QFETCH(int, outcome);
    QFETCH(QStringList, failures);
    QFETCH(QStringList, manual);
    QFETCH(bool, cancelled);
    QFETCH(QString, now);
    ResultSummary summary;
    // What an earlier upgrade left is forgotten.
    summary.noteFailure("script", "old.bat", "old");
    summary.noteCancel();
    summary.start("/suite");
    for (const QString &failure : failures) {
        const QStringList parts = failure.split('|');
        summary.noteFailure(parts.at(0), parts.at(1), parts.at(2));
    }
    for (const QString &line : manual)
        summary.noteManualAction(line);
    if (cancelled)
        summary.noteCancel();
    QTEST(summary.line(UpgradeOutcome(outcome), "2.1.5", now), "expected");
}

QTEST_MAIN(tst_ResultSummary)
#include "tst_resultsummary.moc"
