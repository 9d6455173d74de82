#pragma once

#include <QList>
#include <QObject>

#include <memory>

#include "Preflight.h"

class CStatusForm;
class QThread;
class QWidget;

// The pre-flight behind "升级": runs the check on a thread of its own and
// waits for it in a local event loop, so the window keeps painting and
// answering while files are probed and the database helper is asked. The
// given controls are disabled meanwhile (a second click can't start a second
// check, no other package can be chosen), a wait cursor and a status tip say
// that something runs. A refusal is shown in a message box listing every
// problem.
class PreflightRun : public QObject
{
    Q_OBJECT
public:
    PreflightRun(QWidget *window, const QList<QWidget *> &locked, CStatusForm *status);
    // Waits for a check still running (one the application quit during).
    ~PreflightRun() override;

    bool isRunning() const;

    // True when the check passed. False when it found problems (shown to the
    // operator) or when the wait was broken off because the application is
    // quitting.
    bool passes(const PreflightInput &input);
    // The last finished check's report.
    const PreflightReport &report() const { return last; }

private:
    bool runAndWait(const PreflightInput &input);

    QWidget *window;
    QList<QWidget *> locked;
    CStatusForm *status;
    std::unique_ptr<QThread> thread;
    PreflightReport last;
};
