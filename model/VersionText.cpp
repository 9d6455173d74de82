#include "VersionText.h"

#include <QStringList>

VersionText VersionText::parse(const QString &text)
{
    VersionText version;
    const int dash = text.indexOf(QLatin1Char('-'));
    const QString core = dash < 0 ? text : text.left(dash);
    const QStringList parts = core.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() < 3)
        return version;
    version.valid = true;
    version.first = parts.at(0);
    version.second = parts.at(1);
    bool ok = false;
    const long long number = parts.at(2).toLongLong(&ok, 10);
    version.third = ok ? number : 0;
    return version;
}

bool VersionText::sameSeries(const VersionText &other) const
{
    return first == other.first && second == other.second;
}

VersionVerdict judgeVersion(
    const QString &installed, const QString &from, const QString &to, int upgradeType)
{
    const VersionText system = VersionText::parse(installed);
    if (!system.valid)
        return VersionVerdict::BadInstalledVersion;
    const VersionText lower = VersionText::parse(from);
    if (!lower.valid)
        return VersionVerdict::BadFromVersion;
    const VersionText upper = VersionText::parse(to);
    if (!upper.valid)
        return VersionVerdict::BadToVersion;
    if (!system.sameSeries(lower) || system.third < lower.third)
        return VersionVerdict::BelowRange;
    if (!system.sameSeries(upper) || system.third > upper.third)
        return VersionVerdict::AboveRange;
    if (upgradeType != 0 && upgradeType != 1)
        return VersionVerdict::UnknownUpgradeType;
    return VersionVerdict::Fits;
}
