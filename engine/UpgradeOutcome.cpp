#include "UpgradeOutcome.h"

void registerOutcomeTypes()
{
    qRegisterMetaType<UpgradeOutcome>();
    qRegisterMetaType<RecoveryResult>();
}
