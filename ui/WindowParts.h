#pragma once

#include <QString>
#include <QStringList>

#include <memory>

#include "RecordLayout.h"

class CUpgradeWorker;
struct InstallationRecord;
struct PackageDescriptor;
class QDropEvent;
class QLabel;
class QMainWindow;
class QTextEdit;
class QWidget;
class UpgradeLog;
struct PreflightReport;

namespace Ui {
class MainWindow;
}

// Pieces of the main window's behaviour that need no state of its own: the
// form as the window shows it at first, the result page, a dropped package.
namespace WindowParts {

// Icon, first page, read-only views, drops reaching the window rather than
// the package field, details disabled, the hidden option row.
void prepareForm(Ui::MainWindow *ui, QMainWindow *window);

// The result of reading the record or a descriptor; a wrong top element adds
// "配置文件有误" to the information box. True when it was read.
bool noteRead(RecordLayout::ReadResult result, QTextEdit *info);

// "升级成功" or "升级失败" with its image.
void showResult(QLabel *text, QLabel *image, bool success);

// The package dropped at the event's position when it lands on field (its
// rectangle in window coordinates, edges included); the event is accepted for
// any ".rcc" file. Empty for anything else.
QString packageDroppedOn(QDropEvent *event, QWidget *window, QWidget *field);

// What the package brings, one fact a line: its file (native, absolute), when
// its descriptor was read the versions it applies to and installs, and the
// signature line when one is given.
QStringList packageFacts(
    const QString &path, const PackageDescriptor &package, const QString &signature = QString());

// The facts as a tooltip, shown as plain text whatever the path holds; empty
// for no facts.
QString plainToolTip(const QStringList &lines);

// Appends a line that is shown as written, markup and all.
void appendPlainLine(QTextEdit *edit, const QString &line);

// Opens the upgrade's log file below the record's main directory, writes what
// is upgraded with what and the pre-flight's verdict, and lets it follow the
// worker. Null, with the reason in *error, when it can't be written.
std::unique_ptr<UpgradeLog> openUpgradeLog(const InstallationRecord &record,
    const PackageDescriptor &package, const QString &packagePath, const PreflightReport &report,
    CUpgradeWorker *worker, QString *error);

// "升级日志:<path>" for the result page; empty without a log.
QString logFileLine(const UpgradeLog *log);

} // namespace WindowParts
