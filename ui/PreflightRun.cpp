#include "PreflightRun.h"

#include <QApplication>
#include <QEventLoop>
#include <QThread>
#include <QWidget>

#include "CStatusForm.h"
#include "UpgradeDialogs.h"

PreflightRun::PreflightRun(QWidget *window, const QList<QWidget *> &locked, CStatusForm *status)
    : QObject(window)
    , window(window)
    , locked(locked)
    , status(status)
{ }

PreflightRun::~PreflightRun()
{
    if (thread)
        thread->wait();
}

bool PreflightRun::isRunning() const
{
    return thread && !thread->isFinished();
}

bool PreflightRun::passes(const PreflightInput &input)
{
    if (isRunning())
        return false;
    QList<QWidget *> disabled;
    for (QWidget *widget : qAsConst(locked)) {
        if (widget->isEnabled())
            disabled << widget;
        widget->setEnabled(false);
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    status->showTip(tr("正在进行升级前检查,请稍候"));
    const bool finished = runAndWait(input);
    QApplication::restoreOverrideCursor();
    status->showTip(QString());
    for (QWidget *widget : qAsConst(disabled))
        widget->setEnabled(true);
    if (!finished)
        return false;
    if (last.ok())
        return true;
    QStringList problems;
    for (const PreflightProblem &problem : qAsConst(last.problems))
        problems << problem.text();
    UpgradeDialogs::warnPreflightRefused(window, problems);
    return false;
}

// False when the local loop ended before the check did: the application is
// quitting (QCoreApplication::exit ends every loop of the thread).
bool PreflightRun::runAndWait(const PreflightInput &input)
{
    auto result = std::make_shared<PreflightReport>();
    thread.reset(QThread::create([input, result] { *result = runPreflight(input); }));
    QEventLoop loop;
    bool done = false;
    connect(thread.get(), &QThread::finished, &loop, [&loop, &done] {
        done = true;
        loop.quit();
    });
    thread->start();
    loop.exec();
    if (!done)
        return false;
    thread->wait();
    last = *result;
    return true;
}
