#pragma once

#include <QString>

// A version text: at least three dot-separated parts, optionally followed by
// "-" and a suffix that is ignored. Parts one and two compare as text, part
// three as a base-10 number (non-numbers count as 0); later parts are ignored.
struct VersionText
{
    bool valid = false;
    QString first;
    QString second;
    long long third = 0;

    static VersionText parse(const QString &text);

    // Same series: first and second parts equal as text.
    bool sameSeries(const VersionText &other) const;
};

// Outcome of comparing an installed version with a package's range and type.
enum class VersionVerdict {
    Fits,
    BadInstalledVersion,
    BadFromVersion,
    BadToVersion,
    BelowRange, // below the lower bound or in another series
    AboveRange, // above the upper bound or in another series
    UnknownUpgradeType
};

VersionVerdict judgeVersion(
    const QString &installed, const QString &from, const QString &to, int upgradeType);
