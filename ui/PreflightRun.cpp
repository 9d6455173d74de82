#include "PreflightRun.h"

#include <QApplication>
#include <QEventLoop>
#include <QThread>
#include <QWidget>

#include "CStatusForm.h"

PreflightRun::PreflightRun(QWidget *window, const QList<QWidget *> &locked, CStatusForm *status)
    : QObject(window)
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

std::optional<UpgradeAdmission::Verdict> PreflightRun::run(const UpgradeAdmission &admission)
{
    if (isRunning())
        return std::nullopt;
    QList<QWidget *> disabled;
    for (QWidget *widget : qAsConst(locked)) {
        if (widget->isEnabled())
            disabled << widget;
        widget->setEnabled(false);
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    status->showTip(tr("正在进行升级前检查,请稍候"));
    const bool finished = runAndWait(admission);
    QApplication::restoreOverrideCursor();
    status->showTip(QString());
    for (QWidget *widget : qAsConst(disabled))
        widget->setEnabled(true);
    if (!finished)
        return std::nullopt;
    return verdict;
}

// False when the local loop ended before the check did: the application is
// quitting (QCoreApplication::exit ends every loop of the thread).
bool PreflightRun::runAndWait(const UpgradeAdmission &admission)
{
    auto result = std::make_shared<UpgradeAdmission::Verdict>();
    thread.reset(QThread::create([admission, result] { *result = admission.checkInstallation(); }));
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
    verdict = *result;
    return true;
}
