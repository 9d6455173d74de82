#pragma once

#include <QList>
#include <QObject>

#include <memory>
#include <optional>

#include "UpgradeAdmission.h"

class CStatusForm;
class QThread;
class QWidget;

// The slow part of the admission behind "升级" (exe_path, running programs,
// pre-flight): runs on a thread of its own and is waited for in a local
// event loop, so the window keeps painting and answering while processes are
// listed, files probed and the database helper asked. The given controls are
// disabled meanwhile (a second click can't start a second check, no other
// package can be chosen), a wait cursor and a status tip say that something
// runs.
class PreflightRun : public QObject
{
    Q_OBJECT
public:
    PreflightRun(QWidget *window, const QList<QWidget *> &locked, CStatusForm *status);
    // Waits for a check still running (one the application quit during).
    ~PreflightRun() override;

    bool isRunning() const;

    // The verdict of admission.checkInstallation(); nothing when the wait was
    // broken off because the application is quitting, or a check runs already.
    std::optional<UpgradeAdmission::Verdict> run(const UpgradeAdmission &admission);
    // The last finished check's pre-flight report.
    const PreflightReport &report() const { return verdict.report; }

private:
    bool runAndWait(const UpgradeAdmission &admission);

    QList<QWidget *> locked;
    CStatusForm *status;
    std::unique_ptr<QThread> thread;
    UpgradeAdmission::Verdict verdict; // the last finished check's
};
