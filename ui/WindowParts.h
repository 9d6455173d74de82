#pragma once

#include <QString>

class QDropEvent;
class QLabel;
class QMainWindow;
class QWidget;

namespace Ui {
class MainWindow;
}

// Pieces of the main window's behaviour that need no state of its own: the
// form as the window shows it at first, the result page, a dropped package.
namespace WindowParts {

// Icon, first page, read-only views, drops reaching the window rather than
// the package field, details disabled, the hidden option row.
void prepareForm(Ui::MainWindow *ui, QMainWindow *window);

// "升级成功" or "升级失败" with its image.
void showResult(QLabel *text, QLabel *image, bool success);

// The package dropped at the event's position when it lands on field (its
// rectangle in window coordinates, edges included); the event is accepted for
// any ".rcc" file. Empty for anything else.
QString packageDroppedOn(QDropEvent *event, QWidget *window, QWidget *field);

} // namespace WindowParts
