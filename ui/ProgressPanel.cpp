#include "ProgressPanel.h"

#include <QPushButton>

#include "UpgradeDialogs.h"

ProgressPanel::ProgressPanel(QPushButton *cancel, QWidget *dialogParent)
    : QObject(dialogParent)
    , cancel(cancel)
    , dialogParent(dialogParent)
{
    cancel->hide();
    connect(cancel, &QPushButton::clicked, this, &ProgressPanel::askCancel);
}

void ProgressPanel::upgradeStarted()
{
    cancel->setEnabled(true);
    cancel->show();
}

void ProgressPanel::upgradeEnded()
{
    cancel->hide();
}

void ProgressPanel::askCancel()
{
    if (!UpgradeDialogs::askCancel(dialogParent))
        return;
    // Asked once: the worker stops what runs and rolls the upgrade back.
    cancel->setEnabled(false);
    emit cancelRequested();
}
