#include "WindowParts.h"
#include "ui_MainWindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include "InstallationRecord.h"
#include "PackageDescriptor.h"
#include "Preflight.h"
#include "UpgradeDialogs.h"
#include "UpgradeLog.h"

namespace WindowParts {

void prepareForm(Ui::MainWindow *ui, QMainWindow *window)
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
}

bool noteRead(RecordLayout::ReadResult result, QTextEdit *info)
{
    if (result == RecordLayout::ReadResult::WrongRoot)
        info->append(QStringLiteral("配置文件有误"));
    return result == RecordLayout::ReadResult::Ok;
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

QString packageDroppedOn(QDropEvent *event, QWidget *window, QWidget *field)
{
    const QString path = UpgradeDialogs::droppedPackage(event->mimeData());
    if (path.isEmpty())
        return QString();
    event->accept();
    const QRect area(field->mapTo(window, QPoint(0, 0)), field->size());
    return area.contains(event->pos()) ? path : QString();
}

QStringList packageFacts(
    const QString &path, const PackageDescriptor &package, const QString &signature)
{
    const char *context = "MainWindow";
    QStringList lines { QCoreApplication::translate(context, "升级包:%1")
                            .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath())) };
    if (!package.versionFrom.isEmpty() || !package.versionTo.isEmpty()) {
        lines << QCoreApplication::translate(context, "适用版本:%1 至 %2")
                     .arg(package.versionFrom, package.versionTo)
              << QCoreApplication::translate(context, "升级后版本:%1").arg(package.versionTo);
    }
    if (!signature.isEmpty())
        lines << signature;
    return lines;
}

QString plainToolTip(const QStringList &lines)
{
    return lines.isEmpty()
        ? QString()
        : Qt::convertFromPlainText(lines.join(QLatin1Char('\n')), Qt::WhiteSpaceNoWrap);
}

void appendPlainLine(QTextEdit *edit, const QString &line)
{
    QTextCursor cursor(edit->document());
    cursor.movePosition(QTextCursor::End);
    if (!edit->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
}

std::unique_ptr<UpgradeLog> openUpgradeLog(const InstallationRecord &record,
    const PackageDescriptor &package, const QString &packagePath, const PreflightReport &report,
    CUpgradeWorker *worker, QString *error)
{
    auto log = std::make_unique<UpgradeLog>();
    if (!log->open(record.mainPath, QString(), error))
        return nullptr;
    log->writeHeader(packagePath, package.versionFrom, package.versionTo, record.version);
    log->writePreflight(report);
    log->follow(worker);
    return log;
}

QString logFileLine(const UpgradeLog *log)
{
    return log ? QCoreApplication::translate("MainWindow", "升级日志:%1")
                     .arg(QDir::toNativeSeparators(log->path()))
               : QString();
}

} // namespace WindowParts
