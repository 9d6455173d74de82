#pragma once

#include <QObject>

class QPushButton;
class QWidget;

// The progress page beside its log: the button that cancels the running
// upgrade, shown while it runs, asking once before it asks the worker.
class ProgressPanel : public QObject
{
    Q_OBJECT
public:
    ProgressPanel(QPushButton *cancel, QWidget *dialogParent);

    void upgradeStarted();
    void upgradeEnded();

signals:
    // The operator confirmed: the upgrade is to stop and be rolled back.
    void cancelRequested();

private:
    void askCancel();

    QPushButton *cancel;
    QWidget *dialogParent;
};
