#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QElapsedTimer>
#include <QResource>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QUrl>

#include "ApplicationStyle.h"
#include "CReadmeDialog.h"
#include "CStatusForm.h"
#include "CUpgradeWorker.h"
#include "PackageFile.h"
#include "ProcessList.h"
#include "RecordLayout.h"
#include "SuiteGuard.h"
#include "UpgradeConstants.h"
#include "VersionText.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), worker(nullptr), upgrading(false),
      statusForm(nullptr)
{
    initUiResources();
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/res/sys_upgrade.ico")));
    ui->stackedWidget->setCurrentIndex(0);
    ui->textEdit_3->setReadOnly(true);
    ui->lineEdit_3->setReadOnly(true);
    ui->textEdit->setReadOnly(true);
    setAcceptDrops(true);
    ui->lineEdit_3->setAcceptDrops(false); // drops on the package field reach the window
    ui->pDetails->setEnabled(false);
    setOptionsEnabled(false);
    if (!statusForm) {
        statusForm = new CStatusForm(this);
        auto *layout = new QGridLayout(ui->widget_3);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(statusForm);
    }
    ui->widget_5->hide();
}

MainWindow::~MainWindow()
{
    delete ui;
    workerThread.quit();
    workerThread.wait();
    if (!packageData.isEmpty())
        QResource::unregisterResource(reinterpret_cast<const uchar *>(packageData.constData()));
}

bool MainWindow::init()
{
    installDir = UpgradeConstants::installDir();
    const QString recordPath =
        QStringLiteral("%1%2%3").arg(installDir, QDir::separator(), UpgradeConstants::recordFileName());
    if (readInstallationRecord(recordPath)) {
        showSystemInfo();
        createWorker();
        return true;
    }
    QMessageBox::warning(this, tr("警告"), tr("获取本地系统安装信息失败,程序自动退出"),
                         QMessageBox::Ok, QMessageBox::NoButton);
    return false;
}

void MainWindow::confirmExit()
{
    const auto answer = QMessageBox::question(this, tr("提醒"), tr("是否退出?"),
                                              QMessageBox::Yes | QMessageBox::No,
                                              QMessageBox::NoButton);
    if (answer == QMessageBox::Yes)
        QApplication::quit();
}

void MainWindow::setOptionsEnabled(bool enabled)
{
    ui->cAdd->setEnabled(enabled);
    ui->cUpdate->setEnabled(enabled);
    ui->cDelete->setEnabled(enabled);
    ui->cDb->setEnabled(enabled);
    ui->cShell->setEnabled(enabled);
}

// ---- installation record -------------------------------------------------

bool MainWindow::readInstallationRecord(const QString &path)
{
    RecordLayout::Entries entries;
    switch (RecordLayout::readFile(path, &entries)) {
    case RecordLayout::ReadResult::CannotOpen:
    case RecordLayout::ReadResult::ParseError:
        return false;
    case RecordLayout::ReadResult::WrongRoot:
        ui->textEdit_3->append(QStringLiteral("配置文件有误"));
        return false;
    case RecordLayout::ReadResult::Ok:
        break;
    }
    record.apply(entries);
    return true;
}

void MainWindow::showSystemInfo()
{
    const auto installed = [](int flag) { return flag == 1; };
    QTextEdit *info = ui->textEdit_3;
    info->clear();
    info->append(tr("ID:%1").arg(record.productId));
    const bool english = QLocale::system().language() == QLocale::English;
    info->append(tr("名称:%1").arg(english ? record.nameEn : record.nameZh));
    info->append(tr("版本:%1").arg(record.version));
    info->append(installed(record.isMain) ? tr("主程序:已安装") : tr("主程序:未安装"));
    info->append(installed(record.isDb) ? tr("数据库:已安装") : tr("数据库:未安装"));
    info->append(installed(record.isWeb) ? tr("Web:已安装") : tr("Web:未安装"));
    info->append(tr("路径:%1").arg(record.mainPath));
}

// ---- package loading -----------------------------------------------------

void MainWindow::on_pushButton_3_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("选择升级包"), QString(),
                                                      QStringLiteral("*.rcc"));
    if (!path.isEmpty())
        loadPackage(path);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!upgrading && event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        event->ignore();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    // The package is in use while an upgrade runs; it can't be replaced then.
    if (upgrading)
        return;
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty())
        return;
    const QString path = urls.first().toLocalFile();
    if (!path.endsWith(QLatin1String(".rcc")))
        return;
    const QRect field(ui->lineEdit_3->mapTo(this, QPoint(0, 0)), ui->lineEdit_3->size());
    if (field.contains(event->pos()))
        loadPackage(path);
    event->accept();
}

void MainWindow::loadPackage(const QString &path)
{
    if (upgrading)
        return;
    if (!packagePath.isEmpty())
        releasePackage(packagePath);
    // Start from a blank descriptor, so nothing of an earlier package is judged.
    package = PackageDescriptor();
    packagePath = path;
    packageBaseName = QFileInfo(path).fileName().split(QLatin1Char('.'), Qt::KeepEmptyParts).first();
    ui->lineEdit_3->setText(packageBaseName);
    registerPackage(packagePath);
}

void MainWindow::registerPackage(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ui->pDetails->setEnabled(false);
        statusForm->showErrorTip(tr("无法读取升级包文件"));
        return;
    }
    // Read once: the bytes that are checked are the bytes that get registered.
    QByteArray data = file.readAll();
    file.close();
    const PackageFile::Verdict verdict = PackageFile::validate(data);
    if (verdict == PackageFile::Verdict::Damaged) {
        ui->pDetails->setEnabled(false);
        statusForm->showErrorTip(tr("升级包文件已损坏"));
        return;
    }
    if (verdict == PackageFile::Verdict::Valid) {
        packageData = data;
        QResource::registerResource(reinterpret_cast<const uchar *>(packageData.constData()));
    }
    ui->pDetails->setEnabled(readPackageDescriptor(UpgradeConstants::packageDescriptorPath()));
    checkPackage();
}

void MainWindow::releasePackage(const QString &path)
{
    Q_UNUSED(path)
    if (!packageData.isEmpty()) {
        // Qt refuses to unregister a tree that is still in use (an open file
        // of it, say); its bytes must then outlive the registration.
        if (!QResource::unregisterResource(reinterpret_cast<const uchar *>(packageData.constData())))
            retiredPackageData.append(packageData);
        packageData.clear();
    }
    ui->pDetails->setEnabled(false);
    package.productId = -1;
}

bool MainWindow::readPackageDescriptor(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    RecordLayout::Entries entries;
    const RecordLayout::ReadResult result = RecordLayout::readDevice(&file, &entries);
    file.close();
    if (result == RecordLayout::ReadResult::WrongRoot)
        ui->textEdit_3->append(QStringLiteral("配置文件有误"));
    if (result != RecordLayout::ReadResult::Ok)
        return false;
    package.apply(entries);
    return true;
}

// ---- applicability checks -------------------------------------------------

bool MainWindow::checkPackage()
{
    return checkSelected() && checkProductId() && checkVersion();
}

bool MainWindow::checkSelected()
{
    if (package.productId != -1 && record.productId != -1)
        return true;
    statusForm->showErrorTip(tr("未选择升级包"));
    return false;
}

bool MainWindow::checkProductId()
{
    if (record.productId == package.productId)
        return true;
    statusForm->showErrorTip(tr("产品ID不匹配"));
    return false;
}

bool MainWindow::checkVersion()
{
    switch (judgeVersion(record.version, package.versionFrom, package.versionTo,
                         package.upgradeType)) {
    case VersionVerdict::Fits:
        return true;
    case VersionVerdict::BadInstalledVersion:
        statusForm->showErrorTip(tr("系统版本格式有误"));
        return false;
    case VersionVerdict::BadFromVersion:
        statusForm->showErrorTip(tr("升级包开始版本格式有误"));
        return false;
    case VersionVerdict::BadToVersion:
        statusForm->showErrorTip(tr("升级包结束版本格式有误"));
        return false;
    case VersionVerdict::BelowRange:
    case VersionVerdict::AboveRange:
    case VersionVerdict::UnknownUpgradeType:
        break;
    }
    statusForm->showErrorTip(tr("此升级包不适用于本系统升级"));
    return false;
}

// ---- pre-upgrade guard ----------------------------------------------------

void MainWindow::on_pushButton_clicked()
{
    if (!checkSelected() || !checkProductId() || !checkVersion())
        return;

    const QString running = findRunningSuiteProcess();
    if (!running.isEmpty()) {
        QMessageBox::warning(this, tr("提示"), tr("进程%1正在运行，无法开始升级!").arg(running),
                             QMessageBox::Ok);
        return;
    }

    // Three choices in a fixed order; the same role keeps the button box from
    // reordering them, and without a reject role there is no escape button.
    QMessageBox question(QMessageBox::Question, tr("警告"), tr("请注意备份工程数据"),
                         QMessageBox::NoButton, this);
    QPushButton *proceed = question.addButton(tr("继续升级"), QMessageBox::ActionRole);
    QPushButton *backup = question.addButton(tr("去备份"), QMessageBox::ActionRole);
    question.addButton(tr("取消升级"), QMessageBox::ActionRole);
    question.setDefaultButton(proceed);
    question.exec();

    if (question.clickedButton() == proceed)
        startUpgradeSequence();
    else if (question.clickedButton() == backup)
        openProjectTool();
}

void MainWindow::openProjectTool()
{
    const QString sep = QDir::separator();
    const QString tool = record.mainPath + sep + QStringLiteral("platform") + sep + package.exePath
        + sep + UpgradeConstants::projectToolName();
    if (!QFile::exists(tool)) {
        QMessageBox::warning(this, tr("警告"), tr("工程管理工具不存在,无法打开"), QMessageBox::Ok);
        return;
    }
    QProcess::startDetached(tool, QStringList());
}

QString MainWindow::findRunningSuiteProcess()
{
    const QStringList names = listSuiteExecutables();
    const QString platformDir =
        SuiteGuard::programFolder(record.mainPath, QStringLiteral("platform"), package.exePath);
    const QString productDir =
        SuiteGuard::programFolder(record.mainPath, QStringLiteral("product"), package.exePath);
    QList<ProcessEntry> processes;
    if (!ProcessList::snapshot(&processes))
        return QString();
    return SuiteGuard::findBlockingProcess(processes, names, platformDir, productDir,
                                           [this](qint64 pid, QString *path) {
                                               char16_t buffer[260];
                                               const bool known = processImagePath(pid, buffer);
                                               *path = QString::fromUtf16(buffer);
                                               return known;
                                           });
}

QStringList MainWindow::listSuiteExecutables()
{
    return SuiteGuard::listSuiteExecutables(record.mainPath, package.exePath);
}

QStringList MainWindow::listExecutables(const QString &dir)
{
    return SuiteGuard::listExecutables(dir);
}

bool MainWindow::processImagePath(qint64 processId, char16_t *buffer)
{
    // The buffer holds 260 UTF-16 code units, the platform's path limit.
    constexpr int capacity = 260;
    buffer[0] = 0;
    QString path;
    if (!ProcessList::imagePath(processId, &path) || path.size() >= capacity)
        return false;
    std::copy(path.utf16(), path.utf16() + path.size(), reinterpret_cast<ushort *>(buffer));
    buffer[path.size()] = 0;
    return true;
}

// ---- details, exit and page buttons --------------------------------------

void MainWindow::on_pDetails_clicked()
{
    CReadmeDialog dialog(packageBaseName, this);
    dialog.exec();
}

void MainWindow::on_pushButton_9_clicked()
{
    confirmExit();
}

void MainWindow::on_pushButton_10_clicked()
{
    upgrading = false;
    ui->stackedWidget->setCurrentIndex(2);
}

void MainWindow::on_pushButton_5_clicked()
{
    QApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    event->ignore();
    if (upgrading)
        statusForm->showTip(tr("升级过程中无法退出"));
    else
        confirmExit();
}

// ---- worker wiring --------------------------------------------------------

void MainWindow::createWorker()
{
    if (worker)
        return;
    worker = new CUpgradeWorker();
    worker->moveToThread(&workerThread);
    connect(&workerThread, &QThread::finished, worker, &QObject::deleteLater);
    connect(this, &MainWindow::startCopyAll, worker, &CUpgradeWorker::doStartCopyAll);
    connect(this, &MainWindow::startUpgrade, worker, &CUpgradeWorker::doStartUpgrade);
    connect(worker, &CUpgradeWorker::sigCopyAllEnd, this, &MainWindow::slotCopyAllEnd);
    connect(worker, &CUpgradeWorker::status, this, &MainWindow::addMsg);
    connect(worker, &CUpgradeWorker::sigSuccess, this, &MainWindow::slotSuccess);
    connect(this, &MainWindow::sigFaildClear, worker, &CUpgradeWorker::slotFaildClear);
    connect(worker, &CUpgradeWorker::sigFaildClearEnd, this, &MainWindow::slotFaildClearEnd);
    connect(worker, &CUpgradeWorker::sigSuccessClearEnd, this, &MainWindow::slotSuccessClearEnd);
    workerThread.start(QThread::InheritPriority);
}

void MainWindow::passUpgradeParameters()
{
    worker->setDbFlags(record.isDb, package.ifUpgradeDb);
    worker->setExePath(package.exePath);
    worker->setVersions(record.version, package.versionTo);
}

void MainWindow::startUpgradeSequence()
{
    passUpgradeParameters();
    upgrading = true;
    ui->stackedWidget->setCurrentIndex(1);
    slotNextShow(false);
    statusForm->stopCheck();
    emit startCopyAll(installDir, record.mainPath);
}

namespace {

// How long lines may wait before they are appended, and how much time one
// batch may take before the event loop gets its turn again.
const int logFlushDelayMs = 30;
const qint64 logFlushBudgetNs = 20 * 1000 * 1000;

} // namespace

// The worker sends up to thousands of lines a second. Appended one by one,
// each line lays out the document and updates the view, which kept the event
// loop from running for most of a second at a time. The lines are collected
// here instead and appended in batches shortly after.
void MainWindow::addMsg(QString mess)
{
    pendingLog.append(mess);
    if (!logFlushTimer) {
        logFlushTimer = new QTimer(this);
        logFlushTimer->setSingleShot(true);
        connect(logFlushTimer, &QTimer::timeout, this, [this] { flushLog(); });
        // "继续" follows the worker's last line; the log has to be complete
        // before it appears (see eventFilter).
        ui->pushButton_10->installEventFilter(this);
    }
    if (!logFlushTimer->isActive())
        logFlushTimer->start(logFlushDelayMs);
}

// Appends as many waiting lines as fit the time budget; the rest follow at
// the next turn of the event loop. Most of a batch's time goes into laying out
// the new paragraphs when the batch closes, so the size that fits is learnt
// from the time the previous batch took as a whole.
void MainWindow::flushLog()
{
    if (!pendingLog.isEmpty()) {
        QTextEdit *log = ui->textEdit;
        QScrollBar *bar = log->verticalScrollBar();
        // As QTextEdit::append decides it for a read-only view.
        const bool atBottom = bar->value() >= bar->maximum();
        const int count = qMin(pendingLog.size(), logBatchLines);
        QElapsedTimer clock;
        clock.start();
        {
            // Each line goes through QTextEdit::append, so it becomes one
            // paragraph and a line that looks like rich text is taken as
            // such, exactly as before. The enclosing edit block makes the
            // document lay out and report its change once for the batch.
            QTextCursor batch(log->document());
            batch.beginEditBlock();
            for (int i = 0; i < count; ++i)
                log->append(pendingLog.at(i));
            batch.endEditBlock();
        }
        const qint64 perLineNs = qMax<qint64>(1, clock.nsecsElapsed() / count);
        logBatchLines = int(qBound<qint64>(16, logFlushBudgetNs / perLineNs, 100000));
        pendingLog.erase(pendingLog.begin(), pendingLog.begin() + count);
        // append kept the view at the bottom against the size before the batch.
        if (atBottom)
            bar->setValue(bar->maximum());
    }
    if (!pendingLog.isEmpty()) {
        logFlushTimer->start(0);
    } else if (continueHeldBack) {
        continueHeldBack = false;
        ui->pushButton_10->show();
    }
}

// "继续" comes after the worker's last line, as it always did. When the
// worker has run ahead of the view, appending the rest at once would freeze
// the window; instead "继续" is taken back, before it is ever drawn, until
// the remaining batches are in. (The window hides it only when an upgrade
// starts, before any line, so nothing else can want it hidden meanwhile.)
bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->pushButton_10 && event->type() == QEvent::ShowToParent
        && !pendingLog.isEmpty()) {
        flushLog();
        if (!pendingLog.isEmpty()) {
            continueHeldBack = true;
            ui->pushButton_10->hide();
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::slotCopyAllEnd(bool success)
{
    if (success)
        emit startUpgrade(record.mainPath);
    else
        emit sigFaildClear();
}

void MainWindow::slotNextShow(bool show)
{
    ui->pushButton_10->setHidden(!show);
}

void MainWindow::slotSuccess(bool success)
{
    if (success) {
        ui->label_text->setText(tr("升级成功"));
        ui->label_icon->setStyleSheet(QStringLiteral("border-image:url(:/res/升级_成功.png);"));
    } else {
        ui->label_text->setText(tr("升级失败"));
        ui->label_icon->setStyleSheet(QStringLiteral("border-image:url(:/res/升级_失败.png);"));
    }
}

void MainWindow::slotFaildClearEnd()
{
    slotSuccess(false);
    slotNextShow(true);
}

void MainWindow::slotSuccessClearEnd()
{
    slotSuccess(true);
    slotNextShow(true);
}
