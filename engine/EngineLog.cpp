#include "EngineLog.h"

Q_LOGGING_CATEGORY(lcEngine, "upgrade.engine", QtInfoMsg)
