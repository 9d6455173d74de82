#include "StartupRecovery.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>

#include "Journal.h"
#include "UpgradeLog.h"
#include "WorkerDriver.h"

namespace StartupRecovery {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

} // namespace

RecoveryResult run(QWidget *parent, const QString &mainPath)
{
    if (mainPath.isEmpty() || !Journal::exists(mainPath))
        return RecoveryResult::NothingToDo;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    WorkerDriver driver;
    const WorkerDriver::Recovery result = driver.recover(mainPath);
    QApplication::restoreOverrideCursor();

    QString text;
    QMessageBox::Icon icon = QMessageBox::Information;
    if (result.result == RecoveryResult::Busy) {
        icon = QMessageBox::Warning;
        text = tr("另一个升级程序正在处理本安装,请等它结束。");
    } else if (result.result == RecoveryResult::Incomplete) {
        icon = QMessageBox::Warning;
        text = tr("上次中断的升级未能完全恢复,请查看详细信息。");
    } else if (result.result == RecoveryResult::RolledForward) {
        text = tr("上次升级被中断,现已完成升级。");
    } else {
        text = tr("上次升级被中断,已撤销,安装已恢复到升级前的版本。");
    }
    // The recovery leaves a log beside the upgrades' logs, like any upgrade.
    UpgradeLog log;
    QString error;
    if (log.open(mainPath, QString(), &error)) {
        for (const QString &line : qAsConst(result.lines))
            log.write(line);
        log.write(tr("结果:%1").arg(text));
    }
    QMessageBox box(icon, tr("提示"), text, QMessageBox::Ok, parent);
    box.setDetailedText(result.lines.join(QLatin1Char('\n')));
    box.exec();
    return result.result;
}

} // namespace StartupRecovery
