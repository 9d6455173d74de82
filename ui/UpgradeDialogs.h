#pragma once

#include <QString>
#include <QStringList>

class QMimeData;
class QWidget;

// The message boxes of the guard behind "升级", each modal over parent.
namespace UpgradeDialogs {

enum class BackupAnswer { Proceed, Backup, Cancel };

// "请注意备份工程数据": "继续升级" (the default), "去备份", "取消升级", in this
// order, without an escape button.
BackupAnswer askBackup(QWidget *parent);

// "进程%1正在运行，无法开始升级!"
void warnRunning(QWidget *parent, const QString &program);

// "无法开始升级,升级前检查发现以下问题:" and the problems, one a line; a
// long list shows its first lines and keeps all in the detailed text.
void warnPreflightRefused(QWidget *parent, const QStringList &problems);

// "工程管理工具不存在,无法打开"
void warnNoProjectTool(QWidget *parent);

// Starts the project management tool at tool (it backs up the project data),
// or says it is missing.
void openProjectTool(QWidget *parent, const QString &tool);

// "获取本地系统安装信息失败,程序自动退出", before the program ends; below it
// the sentence that names the record file at recordPath.
void warnNoRecord(QWidget *parent, const QString &recordPath);

// "是否退出?": true when the operator answers Yes.
bool askExit(QWidget *parent);

// "是否取消升级?...": true when the operator answers Yes.
bool askCancel(QWidget *parent);

// The path of a dropped package file: the first URL's local file when it
// ends in ".rcc" (letter case counts); empty otherwise.
QString droppedPackage(const QMimeData *data);

} // namespace UpgradeDialogs
