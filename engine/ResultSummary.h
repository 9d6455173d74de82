#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "UpgradeOutcome.h"

// What an upgrade's end says to the operator in one line: the outcome with its
// cause (the first failure, a cancel, another installer) and what is left to
// do by hand. Filled from the worker's signals while the upgrade runs.
class ResultSummary
{
public:
    struct Failure
    {
        QString kind; // "file", "script", "database", "record"
        QString target; // the file, script or program concerned
        QString reason;
    };

    // An upgrade of the installation in mainPath starts: the last one's
    // failures, manual actions and cancel are forgotten.
    void start(const QString &mainPath);
    void noteFailure(const QString &kind, const QString &target, const QString &reason);
    void noteManualAction(const QString &line);
    // The operator asked to stop the upgrade.
    void noteCancel() { cancelled = true; }

    // The line for the outcome; installedBefore is the version the upgrade
    // started from, installedNow the one the record names after it (they
    // differ when another installer upgraded meanwhile). Empty for a plain
    // success.
    QString line(
        UpgradeOutcome outcome, const QString &installedBefore, const QString &installedNow) const;
    // Whether choosing a package again makes sense: the installation is as it
    // was and nothing waits for a restart.
    static bool allowsRetry(UpgradeOutcome outcome);
    // A failure in a few words: "脚本 00_a.bat 执行失败", a file below
    // mainPath named from there.
    static QString cause(const Failure &failure, const QString &mainPath);

private:
    QString manualLine() const;

    QString mainPath;
    QList<Failure> failures;
    QStringList manualActions;
    bool cancelled = false;
};
