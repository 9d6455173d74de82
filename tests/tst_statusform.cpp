#include <QElapsedTimer>
#include <QLabel>
#include <QLayout>
#include <QtTest>

#include "CStatusForm.h"

class tst_StatusForm : public QObject
{
    Q_OBJECT
private slots:
    void form();
    void colours_data();
    void colours();
    void wipedAfterTwoSeconds();
    void newMessageRestartsTheTime();
    void emptyMessage();
    void stopCheckFreezes();

private:
    static QLabel *tip(CStatusForm &form) { return form.findChild<QLabel *>(QStringLiteral("tip")); }
};

void tst_StatusForm::form()
{
    CStatusForm form(nullptr);
    QCOMPARE(form.objectName(), QStringLiteral("CStatusForm"));
    QCOMPARE(form.size(), QSize(353, 30));
    QCOMPARE(form.windowTitle(), QStringLiteral("Form"));
    QVERIFY(tip(form));
    QVERIFY(tip(form)->text().isEmpty());
    QCOMPARE(form.layout()->contentsMargins(), QMargins(0, 0, 0, 0));
}

void tst_StatusForm::colours_data()
{
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("style");
    QTest::newRow("tip is black") << false << "QLabel{color:black}";
    QTest::newRow("error is red") << true << "QLabel{color:red}";
}

void tst_StatusForm::colours()
{
    QFETCH(bool, error);
    CStatusForm form(nullptr);
    // The other colour first: each message sets its own colour.
    if (error)
        form.showTip(QStringLiteral("a"));
    else
        form.showErrorTip(QStringLiteral("a"));
    if (error)
        form.showErrorTip(QStringLiteral("产品ID不匹配"));
    else
        form.showTip(QStringLiteral("升级过程中无法退出"));
    QTEST(tip(form)->styleSheet(), "style");
    QVERIFY(!tip(form)->text().isEmpty());
}

void tst_StatusForm::wipedAfterTwoSeconds()
{
    CStatusForm form(nullptr);
    QElapsedTimer clock;
    form.showErrorTip(QStringLiteral("未选择升级包"));
    clock.start();
    // Still up just before two seconds have passed...
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 1900, 5000);
    QCOMPARE(tip(form)->text(), QStringLiteral("未选择升级包"));
    // ...and gone at the first tick after them, about 2.5 s at the latest.
    QTRY_VERIFY_WITH_TIMEOUT(tip(form)->text().isEmpty(), 2000);
    QVERIFY2(clock.elapsed() >= 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(clock.elapsed() <= 2500 + 400, qPrintable(QString::number(clock.elapsed())));
    // The colour style stays after the wipe.
    QCOMPARE(tip(form)->styleSheet(), QStringLiteral("QLabel{color:red}"));
}

void tst_StatusForm::newMessageRestartsTheTime()
{
    CStatusForm form(nullptr);
    QElapsedTimer clock;
    form.showTip(QStringLiteral("first"));
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 1500, 5000);
    form.showTip(QStringLiteral("second"));
    clock.restart();
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 1900, 5000);
    QCOMPARE(tip(form)->text(), QStringLiteral("second"));
    QTRY_VERIFY_WITH_TIMEOUT(tip(form)->text().isEmpty(), 2000);
}

void tst_StatusForm::emptyMessage()
{
    CStatusForm form(nullptr);
    form.showTip(QString());
    QVERIFY(tip(form)->text().isEmpty());
    form.check(); // an empty line is left alone
    QVERIFY(tip(form)->text().isEmpty());
}

void tst_StatusForm::stopCheckFreezes()
{
    CStatusForm form(nullptr);
    form.stopCheck();
    form.stopCheck(); // harmless twice
    form.showTip(QStringLiteral("升级过程中无法退出"));
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 3200, 6000);
    QCOMPARE(tip(form)->text(), QStringLiteral("升级过程中无法退出"));
    form.showErrorTip(QStringLiteral("next"));
    QCOMPARE(tip(form)->text(), QStringLiteral("next"));
}

QTEST_MAIN(tst_StatusForm)
#include "tst_statusform.moc"
