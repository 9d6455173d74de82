#pragma once

// How an upgrade or a recovery ended, as the exit codes the installer
// documents for them.
enum class UpgradeOutcome {
    Upgraded = 0, // also: a recovery left the installation consistent
    Restored = 1, // the upgrade failed, the installation is as it was
    NotRestored = 2, // the upgrade failed, and not everything could be put back
    Busy = 5 // another upgrade runs on this installation: nothing was done
};

// What a recovery at start-up did.
enum class RecoveryAction {
    Nothing, // no interrupted upgrade
    RolledBack, // undone: the installation is as before it
    RolledForward // finished: the installation is upgraded
};
