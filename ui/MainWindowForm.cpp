#include "MainWindowForm.h"
#include "ui_MainWindow.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDropEvent>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include "UpgradeDialogs.h"

namespace MainWindowForm {

void prepare(Ui::MainWindow *ui, QMainWindow *window)
{
    window->setWindowIcon(QIcon(QStringLiteral(":/res/sys_upgrade.ico")));
    ui->stackedWidget->setCurrentIndex(0);
    ui->textEdit_3->setReadOnly(true);
    ui->lineEdit_3->setReadOnly(true);
    ui->textEdit->setReadOnly(true);
    window->setAcceptDrops(true);
    ui->lineEdit_3->setAcceptDrops(false); // drops on the package field reach the window
    ui->pDetails->setEnabled(false);
    ui->widget_5->hide();
    ui->pReselect->hide();
    // The result page's log path opens the log.
    QObject::connect(ui->label_log, &ElidedLabel::linkClicked, window,
        [](const QUrl &url) { QDesktopServices::openUrl(url); });
}

QString packageDroppedOn(QDropEvent *event, QWidget *window, QWidget *field)
{
    const QString path = UpgradeDialogs::droppedPackage(event->mimeData());
    if (path.isEmpty())
        return QString();
    event->accept();
    const QRect area(field->mapTo(window, QPoint(0, 0)), field->size());
    return area.contains(event->pos()) ? path : QString();
}

bool noteRead(RecordLayout::ReadResult result, QTextEdit *info)
{
    if (result == RecordLayout::ReadResult::WrongRoot)
        info->append(QStringLiteral("配置文件有误"));
    return result == RecordLayout::ReadResult::Ok;
}

void appendPlainLine(QTextEdit *edit, const QString &line)
{
    QTextCursor cursor(edit->document());
    cursor.movePosition(QTextCursor::End);
    if (!edit->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
}

void notePackageProblems(QTextEdit *info, const QStringList &problems, const QString &detail)
{
    for (const QString &line : problems)
        appendPlainLine(info, line);
    const QString tip = QCoreApplication::translate("MainWindow", "详细信息:%1").arg(detail);
    info->setToolTip(detail.isEmpty() ? QString() : Qt::convertFromPlainText(tip));
}

void showResult(QLabel *text, QLabel *image, bool success)
{
    const char *context = "MainWindow";
    if (success) {
        text->setText(QCoreApplication::translate(context, "升级成功"));
        image->setStyleSheet(QStringLiteral("border-image:url(:/res/升级_成功.png);"));
    } else {
        text->setText(QCoreApplication::translate(context, "升级失败"));
        image->setStyleSheet(QStringLiteral("border-image:url(:/res/升级_失败.png);"));
    }
}

} // namespace MainWindowForm
