#pragma once

#include <QWidget>

class QTimer;

namespace Ui {
class CStatusForm;
}

// One-line message area that wipes each message about two seconds after it was
// set, until stopCheck() freezes it for good.
class CStatusForm : public QWidget
{
    Q_OBJECT
public:
    explicit CStatusForm(QWidget *parent = nullptr);
    ~CStatusForm() override;

    void showTip(const QString &mess);
    void showErrorTip(const QString &mess);
    void stopCheck();

signals:
    void stopTimer();

public slots:
    void check();

private:
    void setTip(const QString &styleSheet, const QString &mess);

    Ui::CStatusForm *ui;
    qint64 lastTipTime;
    QTimer *timer;
};
