#pragma once

#include <QString>

// The version every program of this project reports: the project's version,
// given to the build as UPGRADE_PROGRAM_VERSION.
namespace ProgramVersion {

inline QString number()
{
    return QStringLiteral(UPGRADE_PROGRAM_VERSION);
}

// "upgrade_install 1.1.0": what --version prints.
inline QString line(const QString &program)
{
    return program + QLatin1Char(' ') + number();
}

} // namespace ProgramVersion
