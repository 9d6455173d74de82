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

void tst_StatusForm::timing()
{
    QFETCH(QString, kind);
    CStatusForm form(nullptr);
    auto *tip = form.findChild<QLabel *>("tip");
    QElapsedTimer clock;
    if (kind == "stopped") {
        form.stopCheck();
        form.stopCheck(); // harmless twice
    }
    form.showErrorTip("first");
    clock.start();
    if (kind == "restart") {
        QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 1500, 5000);
        form.showErrorTip("second");
        clock.restart();
    }
    const QString shown = kind == "restart" ? "second" : "first";
    if (kind == "stopped") {
        QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 3200, 6000);
        QCOMPARE(tip->text(), shown);
        form.showTip("next");
        QCOMPARE(tip->text(), QStringLiteral("next"));
        return;
    }
    // Still up just before two seconds have passed, gone at the first tick
    // after them; the colour stays.
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 1900, 5000);
    QCOMPARE(tip->text(), shown);
    QTRY_VERIFY_WITH_TIMEOUT(tip->text().isEmpty(), 2000);
    QVERIFY2(clock.elapsed() >= 2000 && clock.elapsed() <= 2500 + 400,
        qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(tip->styleSheet(), QStringLiteral("QLabel{color:red}"));
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
