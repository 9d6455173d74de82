#include "StartupRecovery.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>

#include "InterruptedUpgrade.h"

namespace StartupRecovery {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

} // namespace

RecoveryResult run(QWidget *parent, const QString &mainPath)
{
    InterruptedUpgrade interrupted(mainPath);
    if (!interrupted.isPending())
        return RecoveryResult::NothingToDo;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const InterruptedUpgrade::Ending ending = interrupted.finish();
    QApplication::restoreOverrideCursor();

    QString text;
    QMessageBox::Icon icon = QMessageBox::Information;
    if (ending.result == RecoveryResult::Busy) {
        icon = QMessageBox::Warning;
        text = tr("另一个升级程序正在处理本安装,请等它结束。");
    } else if (ending.result == RecoveryResult::Incomplete) {
        icon = QMessageBox::Warning;
        text = tr("上次中断的升级未能完全恢复,请查看详细信息。");
    } else if (ending.result == RecoveryResult::RolledForward) {
        text = tr("上次升级被中断,现已完成升级。");
    } else {
        text = tr("上次升级被中断,已撤销,安装已恢复到升级前的版本。");
    }
    // The recovery leaves a log beside the upgrades' logs, like any upgrade.
    interrupted.writeLog(ending, text);
    QMessageBox box(icon, tr("提示"), text, QMessageBox::Ok, parent);
    box.setDetailedText(ending.lines.join(QLatin1Char('\n')));
    box.exec();
    return ending.result;
}

} // namespace StartupRecovery
