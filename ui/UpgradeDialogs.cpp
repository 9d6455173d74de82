#include "UpgradeDialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>

#include "InstallationRecord.h"

namespace UpgradeDialogs {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

} // namespace

BackupAnswer askBackup(QWidget *parent)
{
    // Three choices in a fixed order; the same role keeps the button box from
    // reordering them, and without a reject role there is no escape button.
    QMessageBox question(
        QMessageBox::Question, tr("警告"), tr("请注意备份工程数据"), QMessageBox::NoButton, parent);
    QPushButton *proceed = question.addButton(tr("继续升级"), QMessageBox::ActionRole);
    QPushButton *backup = question.addButton(tr("去备份"), QMessageBox::ActionRole);
    question.addButton(tr("取消升级"), QMessageBox::ActionRole);
    question.setDefaultButton(proceed);
    question.exec();
    if (question.clickedButton() == proceed)
        return BackupAnswer::Proceed;
    return question.clickedButton() == backup ? BackupAnswer::Backup : BackupAnswer::Cancel;
}

void warnRunning(QWidget *parent, const QString &program)
{
    QMessageBox::warning(
        parent, tr("提示"), tr("进程%1正在运行，无法开始升级!").arg(program), QMessageBox::Ok);
}

void warnPreflightRefused(QWidget *parent, const QStringList &problems)
{
    constexpr int shownLines = 15;
    QString text = tr("无法开始升级,升级前检查发现以下问题:") + QLatin1Char('\n')
        + problems.mid(0, shownLines).join(QLatin1Char('\n'));
    if (problems.size() > shownLines)
        text += QLatin1Char('\n') + tr("……共%1项,其余见详细信息").arg(problems.size());
    QMessageBox box(QMessageBox::Warning, tr("提示"), text, QMessageBox::Ok, parent);
    // Paths come from the package and the installation: never read as markup.
    box.setTextFormat(Qt::PlainText);
    if (problems.size() > shownLines)
        box.setDetailedText(problems.join(QLatin1Char('\n')));
    box.exec();
}

void warnNoProjectTool(QWidget *parent)
{
    QMessageBox::warning(parent, tr("警告"), tr("工程管理工具不存在,无法打开"), QMessageBox::Ok);
}

void openProjectTool(QWidget *parent, const QString &tool)
{
    if (!QFile::exists(tool)) {
        warnNoProjectTool(parent);
        return;
    }
    QProcess::startDetached(tool, QStringList());
}

void warnNoRecord(QWidget *parent, const QString &recordPath)
{
    QMessageBox box(QMessageBox::Warning, tr("警告"), tr("获取本地系统安装信息失败,程序自动退出"),
        QMessageBox::Ok, parent);
    // Which file, as the unattended refusal names it: absolute, native separators.
    box.setInformativeText(
        tr("安装信息文件:%1")
            .arg(QDir::toNativeSeparators(QFileInfo(recordPath).absoluteFilePath())));
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool askExit(QWidget *parent)
{
    return QMessageBox::question(parent, tr("提醒"), tr("是否退出?"),
               QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton)
        == QMessageBox::Yes;
}

bool askCancel(QWidget *parent)
{
    return QMessageBox::question(parent, tr("提醒"),
               tr("是否取消升级?已做的改动将全部撤销,安装恢复到升级前的版本。"),
               QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

QString droppedPackage(const QMimeData *data)
{
    const QList<QUrl> urls = data->urls();
    if (urls.isEmpty())
        return QString();
    const QString path = urls.first().toLocalFile();
    return path.endsWith(QLatin1String(".rcc")) ? path : QString();
}

} // namespace UpgradeDialogs
