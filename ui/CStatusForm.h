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

    // A status line (a child of parent) filling container through a grid
    // layout without margins.
    static CStatusForm *placeIn(QWidget *container, QWidget *parent);

    // The wall clock the age of a message is measured on (milliseconds since
    // the epoch); tests put their own in its place. Null restores the real one.
    using Clock = qint64 (*)();
    static void setClock(Clock now);

    void showTip(const QString &mess);
    void showErrorTip(const QString &mess);
    void stopCheck();
    // Clears the line and wipes messages again, as before stopCheck().
    void resumeCheck();

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
