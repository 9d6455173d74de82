#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "ElidedLabel.h"
#include "ProgressPanel.h"
#include "UpgradeOutcome.h"

// The progress page's bar, action line and cancel button, driven as the
// window drives them.
class tst_ProgressPanel : public QObject
{
    Q_OBJECT
private slots:
    void endStates_data();
    void endStates();
    void noteHoldsTheLine();
};

namespace {

struct Panel
{
    Panel()
        : panel(&cancel, &bar, &action, &parent)
    { }
    QWidget parent;
    QPushButton cancel;
    QProgressBar bar;
    ElidedLabel action;
    ProgressPanel panel;
};

} // namespace

void tst_ProgressPanel::endStates_data()
{
    QTest::addColumn<int>("done"); // progress reported before the end; 0: none
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<QString>("line");
    QTest::newRow("upgraded: full") << 3 << int(UpgradeOutcome::Upgraded) << 8 << 8 << "升级完成";
    QTest::newRow("restored: where it stopped")
        << 3 << int(UpgradeOutcome::Restored) << 3 << 8 << "升级失败,已恢复到升级前的版本";
    QTest::newRow("not restored") << 5 << int(UpgradeOutcome::NotRestored) << 5 << 8
                                  << "升级失败,未能完全恢复";
    QTest::newRow("busy before any progress: the moving bar stops")
        << 0 << int(UpgradeOutcome::Busy) << 0 << 1 << "另一个升级程序正在运行,未作任何改动";
}

void tst_ProgressPanel::endStates()
{
    QFETCH(int, done);
    QFETCH(int, outcome);
    Panel p;
    p.panel.upgradeStarted();
    QCOMPARE(p.bar.maximum(), 0); // the total is not known yet
    QVERIFY(!p.cancel.isHidden());
    if (done > 0)
        p.panel.showProgress(done, 8, QStringLiteral("正在更新 a.dll"));
    p.panel.upgradeEnded(outcome);
    QTEST(p.bar.value(), "value");
    QTEST(p.bar.maximum(), "maximum");
    QTEST(p.action.text(), "line");
    QVERIFY(p.cancel.isHidden());
}

// A note stands beside the action for its time, never in its place: actions
// coming meanwhile are shown with it, then the action is alone again.
void tst_ProgressPanel::noteHoldsTheLine()
{
    Panel p;
    p.panel.setNoteMs(200);
    p.panel.upgradeStarted();
    p.panel.showProgress(1, 8, QStringLiteral("正在执行脚本 00_slow.bat"));
    p.panel.showNote(QStringLiteral("升级过程中无法退出"));
    QCOMPARE(p.action.text(), QStringLiteral("正在执行脚本 00_slow.bat(升级过程中无法退出)"));
    p.panel.showProgress(2, 8, QStringLiteral("正在执行脚本 01.bat"));
    p.panel.showProgress(3, 8, QString()); // counting alone keeps the action
    QCOMPARE(p.action.text(), QStringLiteral("正在执行脚本 01.bat(升级过程中无法退出)"));
    QCOMPARE(p.bar.value(), 3);
    QTRY_COMPARE_WITH_TIMEOUT(p.action.text(), QStringLiteral("正在执行脚本 01.bat"), 5000);
}

QTEST_MAIN(tst_ProgressPanel)
#include "tst_progresspanel.moc"
