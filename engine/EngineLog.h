#pragma once

#include <QLoggingCategory>

// Debug traces of the upgrade engine (the step folders, the helper's command
// line, why a record was not rewritten): silent unless asked for, e.g. with
// QT_LOGGING_RULES="upgrade.engine.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcEngine)
