#pragma once

#include <QMetaType>

// How an upgrade ended, as the exit codes the installer documents for them.
enum class UpgradeOutcome {
    Upgraded = 0,
    Restored = 1, // the upgrade failed, the installation is as it was
    NotRestored = 2, // the upgrade failed, and not everything could be put back
    Busy = 5 // another upgrade runs on this installation: nothing was done
};

// How bringing an interrupted upgrade to an end went.
enum class RecoveryResult {
    NothingToDo, // no interrupted upgrade
    RolledBack, // undone: the installation is as before it
    RolledForward, // finished: the installation is upgraded
    Incomplete, // not everything could be put back, or the journal can't be read
    Busy // another upgrade holds the installation: nothing was done
};

Q_DECLARE_METATYPE(UpgradeOutcome)
Q_DECLARE_METATYPE(RecoveryResult)

// Registers both for queued connections; called by the worker's constructor.
void registerOutcomeTypes();
