#pragma once

#include <QString>
#include <QStringList>

#include "RecordLayout.h"

class QDropEvent;
class QLabel;
class QMainWindow;
class QTextEdit;
class QWidget;

namespace Ui {
class MainWindow;
}

// The main window's form: as the window shows it at first, where a package
// is dropped on it, its information box and its result page.
namespace MainWindowForm {

// Icon, first page, read-only views, drops reaching the window rather than
// the package field, details disabled, the hidden option row.
void prepare(Ui::MainWindow *ui, QMainWindow *window);

// The package dropped at the event's position when it lands on field (its
// rectangle in window coordinates, edges included); the event is accepted for
// any ".rcc" file. Empty for anything else.
QString packageDroppedOn(QDropEvent *event, QWidget *window, QWidget *field);

// The result of reading the record or a descriptor; a wrong top element adds
// "配置文件有误" to the information box. True when it was read.
bool noteRead(RecordLayout::ReadResult result, QTextEdit *info);

// Appends a line that is shown as written, markup and all.
void appendPlainLine(QTextEdit *edit, const QString &line);

// Appends a package's problems, one a line as written; its technical detail
// (English) becomes the box's tooltip, "详细信息:" and the detail, which an
// empty detail clears.
void notePackageProblems(QTextEdit *info, const QStringList &problems, const QString &detail);

// "升级成功" or "升级失败" with its image.
void showResult(QLabel *text, QLabel *image, bool success);

} // namespace MainWindowForm
