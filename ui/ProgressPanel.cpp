#include "ProgressPanel.h"

#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "CUpgradeWorker.h"
#include "ElidedLabel.h"
#include "UpgradeDialogs.h"
#include "UpgradeOutcome.h"

ProgressPanel::ProgressPanel(
    QPushButton *cancel, QProgressBar *bar, ElidedLabel *action, QWidget *dialogParent)
    : QObject(dialogParent)
    , cancel(cancel)
    , bar(bar)
    , action(action)
    , dialogParent(dialogParent)
    , noteTimer(new QTimer(this))
{
    cancel->hide();
    connect(cancel, &QPushButton::clicked, this, &ProgressPanel::askCancel);
    noteTimer->setSingleShot(true);
    noteTimer->setInterval(noteMs);
    connect(noteTimer, &QTimer::timeout, this, [this] {
        note.clear();
        refreshAction();
    });
    bar->setFormat(QStringLiteral("%v/%m"));
}

void ProgressPanel::follow(CUpgradeWorker *worker)
{
    connect(worker, &CUpgradeWorker::sigProgress, this, &ProgressPanel::showProgress);
    // requestCancel is thread-safe: called directly, it reaches a busy worker.
    connect(
        this, &ProgressPanel::cancelRequested, worker, [worker] { worker->requestCancel(); },
        Qt::DirectConnection);
}

void ProgressPanel::upgradeStarted()
{
    cancel->setEnabled(true);
    cancel->show();
    // Until the package is staged the total is unknown: the bar just moves.
    bar->setRange(0, 0);
    bar->setValue(0);
    showAction(tr("正在拷贝升级包信息"));
}

void ProgressPanel::showProgress(int done, int total, const QString &text)
{
    if (total <= 0)
        return;
    // The line first: whoever watches the bar sees the action it counts.
    if (!text.isEmpty())
        showAction(text);
    bar->setRange(0, total);
    bar->setValue(qBound(0, done, total));
}

void ProgressPanel::upgradeEnded(int outcome, const QString &busyLine)
{
    cancel->hide();
    // The end is said alone: a note about the running upgrade is past.
    noteTimer->stop();
    note.clear();
    if (bar->maximum() == 0)
        bar->setRange(0, 1);
    switch (UpgradeOutcome(outcome)) {
    case UpgradeOutcome::Upgraded:
        bar->setValue(bar->maximum());
        showAction(tr("升级完成"));
        break;
    case UpgradeOutcome::Restored:
        showAction(tr("升级失败,已恢复到升级前的版本"));
        break;
    case UpgradeOutcome::NotRestored:
        showAction(tr("升级失败,未能完全恢复"));
        break;
    case UpgradeOutcome::Busy:
        showAction(busyLine.isEmpty() ? tr("另一个升级程序正在运行,未作任何改动") : busyLine);
        break;
    }
}

void ProgressPanel::showNote(const QString &text)
{
    note = text;
    noteTimer->start();
    refreshAction();
}

void ProgressPanel::setNoteMs(int ms)
{
    noteTimer->setInterval(ms);
}

void ProgressPanel::showAction(const QString &text)
{
    current = text;
    refreshAction();
}

// The action, with the note after it while there is one: the line's middle
// is what gives way when it is too long, so both stay readable.
void ProgressPanel::refreshAction()
{
    if (note.isEmpty() || current.isEmpty())
        action->setFullText(note.isEmpty() ? current : note);
    else
        action->setFullText(tr("%1(%2)").arg(current, note));
}

void ProgressPanel::askCancel()
{
    if (!UpgradeDialogs::askCancel(dialogParent))
        return;
    // Asked once: the worker stops what runs and rolls the upgrade back.
    cancel->setEnabled(false);
    emit cancelRequested();
}
