#include <QLabel>
#include <QtTest>

#include "CStatusForm.h"

// The status line: a tip in black or an error in red, wiped two seconds after
// it was shown (checked about every half second) unless the checks stopped.
class tst_StatusForm : public QObject
{
    Q_OBJECT
private slots:
    void colours_data();
    void colours();
    void timing_data();
    void timing();
    void emptyMessage();
};

void tst_StatusForm::colours_data()
{
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("style");
    QTest::newRow("tip is black") << false << "QLabel{color:black}";
    QTest::newRow("error is red") << true << "QLabel{color:red}";
}

// Each message sets its own colour: the other kind comes first.
void tst_StatusForm::colours()
{
    QFETCH(bool, error);
    CStatusForm form(nullptr);
    auto *tip = form.findChild<QLabel *>("tip");
    QVERIFY(tip->text().isEmpty());
    error ? form.showTip("a") : form.showErrorTip("a");
    error ? form.showErrorTip("产品ID不匹配") : form.showTip("升级过程中无法退出");
    QTEST(tip->styleSheet(), "style");
    QCOMPARE(
        tip->text(), error ? QStringLiteral("产品ID不匹配") : QStringLiteral("升级过程中无法退出"));
}

void tst_StatusForm::timing_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("wiped after 2 s, by 2.5 s") << "plain";
    QTest::newRow("a new message restarts the time") << "restart";
    QTest::newRow("stopCheck freezes the line") << "stopped";
}

namespace {

// The simulated wall clock, in milliseconds since the epoch.
qint64 simulatedNow = 1700000000000;
qint64 simulatedClock()
{
    return simulatedNow;
}

qint64 nextTick = 0;

// Time goes on by ms; the form's timer ticks every 500 ms from when the form
// was made, and each tick of the running timer checks the line, as the
// timer's own would.
void advance(CStatusForm &form, qint64 ms)
{
    auto *timer = form.findChild<QTimer *>();
    const qint64 until = simulatedNow + ms;
    for (; nextTick <= until; nextTick += 500) {
        simulatedNow = nextTick;
        if (timer && timer->isActive())
            form.check();
    }
    simulatedNow = until;
}

} // namespace

void tst_StatusForm::timing()
{
    QFETCH(QString, kind);
    CStatusForm::setClock(&simulatedClock);
    CStatusForm form(nullptr);
    nextTick = simulatedNow + 500;
    auto *tip = form.findChild<QLabel *>("tip");
    const auto elapsedSince = [](qint64 start) { return simulatedNow - start; };
    if (kind == "stopped") {
        form.stopCheck();
        form.stopCheck(); // harmless twice
    }
    form.showErrorTip("first");
    qint64 start = simulatedNow;
    if (kind == "restart") {
        advance(form, 1500);
        QVERIFY(elapsedSince(start) >= 1500);
        form.showErrorTip("second");
        start = simulatedNow;
    }
    const QString shown = kind == "restart" ? "second" : "first";
    if (kind == "stopped") {
        advance(form, 3200);
        QVERIFY(elapsedSince(start) >= 3200);
        QCOMPARE(tip->text(), shown);
        form.showTip("next");
        QCOMPARE(tip->text(), QStringLiteral("next"));
        CStatusForm::setClock(nullptr);
        return;
    }
    // Still up just before two seconds have passed, gone at the first tick
    // after them; the colour stays.
    advance(form, 1900);
    QVERIFY(elapsedSince(start) >= 1900);
    QCOMPARE(tip->text(), shown);
    while (!tip->text().isEmpty() && elapsedSince(start) < 1900 + 2000)
        advance(form, 100);
    QVERIFY(tip->text().isEmpty());
    QVERIFY2(elapsedSince(start) >= 2000 && elapsedSince(start) <= 2500 + 400,
        qPrintable(QString::number(elapsedSince(start))));
    QCOMPARE(tip->styleSheet(), QStringLiteral("QLabel{color:red}"));
    CStatusForm::setClock(nullptr);
}

void tst_StatusForm::emptyMessage()
{
    CStatusForm form(nullptr);
    form.showTip(QString());
    form.check(); // an empty line is left alone
    QVERIFY(form.findChild<QLabel *>("tip")->text().isEmpty());
}

QTEST_MAIN(tst_StatusForm)
#include "tst_statusform.moc"
