#pragma once

#include <QString>

#include "UpgradeOutcome.h"

class QWidget;

// At start-up, before anything else: an upgrade of the installation that was
// interrupted (killed, crashed, a power cut) is undone, or finished when it
// was past its database step, and the operator is told which, with the lines
// of what was done.
namespace StartupRecovery {

// Nothing when no upgrade was interrupted; no window is shown then.
RecoveryResult run(QWidget *parent, const QString &mainPath);

} // namespace StartupRecovery
