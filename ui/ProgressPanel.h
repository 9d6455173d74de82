#pragma once

#include <QObject>
#include <QString>

class CUpgradeWorker;
class ElidedLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class QWidget;

// The progress page around its log: the bar counting steps and files done out
// of all, the line saying what runs now (for a few seconds with a note to the
// operator beside it), and the button that cancels the running upgrade, shown while it
// runs, asking once before it asks the worker.
class ProgressPanel : public QObject
{
    Q_OBJECT
public:
    ProgressPanel(
        QPushButton *cancel, QProgressBar *bar, ElidedLabel *action, QWidget *dialogParent);

    static constexpr int noteMs = 4000;

    // Follows the worker's progress; a confirmed cancel goes to it.
    void follow(CUpgradeWorker *worker);

    void upgradeStarted();
    // The end state: the bar full for an upgrade that went through, left where
    // it stopped otherwise; the line says how it ended (an UpgradeOutcome).
    // busyLine, when given, says why a Busy upgrade did nothing (another
    // installer runs, or has upgraded meanwhile).
    void upgradeEnded(int outcome, const QString &busyLine = QString());
    // Shows note beside the current action for noteMs (or the time set);
    // actions coming meanwhile are shown with it.
    void showNote(const QString &note);
    void setNoteMs(int ms);

public slots:
    void showProgress(int done, int total, const QString &action);

signals:
    // The operator confirmed: the upgrade is to stop and be rolled back.
    void cancelRequested();

private:
    void askCancel();
    void showAction(const QString &text);
    void refreshAction();

    QPushButton *cancel;
    QProgressBar *bar;
    ElidedLabel *action;
    QWidget *dialogParent;
    QTimer *noteTimer;
    QString current; // the action shown
    QString note; // shown beside it while noteTimer runs
};
