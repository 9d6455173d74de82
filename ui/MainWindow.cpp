#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QCloseEvent>
#include <QDragEnterEvent> // and QDropEvent
#include <QFileDialog>
#include <QMimeData>
#include <QCheckBox>
#include <QUrl>

#include "ApplicationStyle.h"
#include "CReadmeDialog.h"
#include "CStatusForm.h"
#include "CUpgradeWorker.h"
#include "MainWindowForm.h"
#include "PackageFacts.h"
#include "PreflightRun.h"
#include "ProgressPanel.h"
#include "StartupRecovery.h"
#include "SuiteLayout.h"
#include "UpgradeAdmission.h"
#include "UpgradeConstants.h"
#include "UpgradeDialogs.h"
#include "UpgradeLog.h"
#include "UpgradeLogFile.h"
#include "UpgradeRequest.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    initUiResources();
    ui->setupUi(this);
    MainWindowForm::prepare(ui, this);
    setOptionsEnabled(false);
    statusForm = CStatusForm::placeIn(ui->widget_3, this);
    // "继续" follows the worker's last line: the log must be complete first.
    ui->textEdit->holdBackUntilDrained(ui->pushButton_10);
    progress = new ProgressPanel(ui->pCancelUpgrade, ui->progressBar, ui->label_action, this);
    preflight = new PreflightRun(this, { ui->pushButton, ui->pushButton_3 }, statusForm);
}

MainWindow::~MainWindow()
{
    delete ui;
    workerThread.quit();
    workerThread.wait();
}

bool MainWindow::init()
{
    installDir = UpgradeConstants::installDir();
    const QString recordPath = SuiteLayout::installationRecord(installDir);
    if (readInstallationRecord(recordPath)) {
        // An interrupted upgrade is brought to an end first; the record then
        // says what is installed now.
        if (StartupRecovery::run(this, record.mainPath) != RecoveryResult::NothingToDo)
            readInstallationRecord(recordPath);
        loaded.setTrustedKeysFolder(SuiteLayout::trustedKeysFolder(record.mainPath));
        showSystemInfo();
        createWorker();
        return true;
    }
    UpgradeDialogs::warnNoRecord(this, recordPath);
    return false;
}

void MainWindow::confirmExit()
{
    if (UpgradeDialogs::askExit(this))
        QCoreApplication::exit(exitCode());
}

void MainWindow::setOptionsEnabled(bool enabled)
{
    for (QCheckBox *option : { ui->cAdd, ui->cUpdate, ui->cDelete, ui->cDb, ui->cShell })
        option->setEnabled(enabled);
}

bool MainWindow::readInstallationRecord(const QString &path)
{
    return MainWindowForm::noteRead(record.read(path), ui->textEdit_3);
}

void MainWindow::showSystemInfo()
{
    ui->textEdit_3->clear();
    for (const QString &line : record.summary())
        ui->textEdit_3->append(line);
}

void MainWindow::on_pushButton_3_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("选择升级包"), QString(),
        QStringLiteral("*.rcc"), nullptr, fileDialogOptions(QLocale::system()));
    if (!path.isEmpty())
        loadPackage(path);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!busy() && event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        event->ignore();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    // The package is in use while an upgrade runs; it can't be replaced then.
    const QString path
        = busy() ? QString() : MainWindowForm::packageDroppedOn(event, this, ui->lineEdit_3);
    if (!path.isEmpty())
        loadPackage(path);
}

void MainWindow::loadPackage(const QString &path)
{
    if (busy())
        return;
    if (!packagePath.isEmpty())
        releasePackage(packagePath);
    // Start from a blank descriptor, so nothing of an earlier package is judged.
    package = PackageDescriptor();
    packagePath = path;
    packageBaseName = LoadedPackage::baseName(path);
    ui->lineEdit_3->setText(packageBaseName);
    packageRefusal.clear();
    // The information box tells the system and this package, nothing of an
    // earlier one.
    showSystemInfo();
    MainWindowForm::notePackageProblems(ui->textEdit_3, QStringList(), QString());
    registerPackage(packagePath);
}

void MainWindow::registerPackage(const QString &path)
{
    const LoadedPackage::Result result = loaded.load(path);
    const QString refusal = LoadedPackage::message(result);
    if (!refusal.isEmpty()) {
        packageRefusal = refusal;
        ui->pDetails->setEnabled(false);
        ui->lineEdit_3->setToolTip(QString());
        statusForm->showErrorTip(refusal);
        // The status line holds the verdict, the information box what is
        // wrong with which file.
        MainWindowForm::notePackageProblems(ui->textEdit_3,
            LoadedPackage::problems(result, path, loaded.manifestResult()), loaded.detail());
        return;
    }
    ui->pDetails->setEnabled(readPackageDescriptor(UpgradeConstants::packageDescriptorPath()));
    ui->lineEdit_3->setToolTip(PackageFacts::toolTip(PackageFacts::lines(path, package)));
    checkPackage();
}

void MainWindow::releasePackage(const QString &path)
{
    Q_UNUSED(path)
    loaded.release();
    ui->pDetails->setEnabled(false);
    ui->lineEdit_3->setToolTip(QString());
    package.productId = -1;
}

bool MainWindow::readPackageDescriptor(const QString &path)
{
    return MainWindowForm::noteRead(package.read(path), ui->textEdit_3);
}

bool MainWindow::checkPackage()
{
    return admits(UpgradeAdmission(record, package).checkFit());
}

bool MainWindow::admits(const UpgradeAdmission::Verdict &verdict)
{
    switch (verdict.refusal) {
    case UpgradeAdmission::Refusal::None:
        return true;
    case UpgradeAdmission::Refusal::DoesNotFit:
        statusForm->showErrorTip(verdict.detail);
        break;
    case UpgradeAdmission::Refusal::UpToDate:
        statusForm->showTip(verdict.detail);
        break;
    case UpgradeAdmission::Refusal::SuiteRunning:
        UpgradeDialogs::warnRunning(this, verdict.detail);
        break;
    case UpgradeAdmission::Refusal::PreflightFailed:
        UpgradeDialogs::warnPreflightRefused(this, verdict.problemLines());
        break;
    }
    return false;
}

void MainWindow::on_pushButton_clicked()
{
    // The fit first, on this thread for the status line; the rest of the
    // admission on a thread of its own. A refused package is named again,
    // not taken for no package at all.
    if (busy())
        return;
    if (!packageRefusal.isEmpty()) {
        statusForm->showErrorTip(packageRefusal);
        return;
    }
    if (!checkPackage())
        return;
    const std::optional<UpgradeAdmission::Verdict> verdict
        = preflight->run(UpgradeAdmission(record, package));
    if (!verdict || !admits(*verdict))
        return;
    const UpgradeDialogs::BackupAnswer answer = UpgradeDialogs::askBackup(this);
    if (answer == UpgradeDialogs::BackupAnswer::Proceed)
        startUpgradeSequence();
    else if (answer == UpgradeDialogs::BackupAnswer::Backup)
        UpgradeDialogs::openProjectTool(
            this, SuiteLayout::projectTool(record.mainPath, package.exePath));
}

void MainWindow::on_pDetails_clicked()
{
    CReadmeDialog dialog(packageBaseName, this);
    dialog.showFacts(PackageFacts::lines(packagePath, package, loaded.signatureSummary()));
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
    QCoreApplication::exit(exitCode());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    event->ignore();
    if (!upgrading)
        return confirmExit();
    statusForm->showTip(tr("升级过程中无法退出"));
    progress->showNote(tr("升级过程中无法退出"));
}

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
    connect(worker, &CUpgradeWorker::sigOutcome, this,
        [this](UpgradeOutcome ended) { outcome = int(ended); });
    connect(worker, &CUpgradeWorker::sigFailure, this,
        [this](const QString &kind, const QString &target, const QString &reason) {
            summary.noteFailure(kind, target, reason);
        });
    connect(worker, &CUpgradeWorker::sigManualAction, this,
        [this](const QString &line) { summary.noteManualAction(line); });
    connect(progress, &ProgressPanel::cancelRequested, this, [this] { summary.noteCancel(); });
    progress->follow(worker);
    workerThread.start(QThread::InheritPriority);
}

void MainWindow::passUpgradeParameters()
{
    // The worker's own setters, in their order, then the time limits.
    const UpgradeRequest request = UpgradeRequest::of(record, package);
    worker->setDbFlags(request.databaseInstalled, request.upgradeDatabase);
    worker->setExePath(request.exePath);
    worker->setVersions(request.version, request.versionTo);
    worker->setTimeouts(request.scriptTimeoutSeconds, request.dbTimeoutSeconds);
}

void MainWindow::startUpgradeSequence()
{
    passUpgradeParameters();
    upgrading = true;
    outcome = -1;
    summary.start(record.mainPath);
    ui->stackedWidget->setCurrentIndex(1);
    slotNextShow(false);
    progress->upgradeStarted();
    statusForm->stopCheck();
    // The log stays when the window has closed; without it the upgrade still runs.
    QString error;
    upgradeLog
        = UpgradeLogFile::open(record, package, packagePath, preflight->report(), worker, &error);
    if (!upgradeLog)
        addMsg(tr("无法写入升级日志:%1").arg(error));
    ui->label_log->setFullText(UpgradeLogFile::resultLine(upgradeLog.get()));
    ui->label_log->setLink(upgradeLog ? QUrl::fromLocalFile(upgradeLog->path()) : QUrl());
    emit startCopyAll(installDir, record.mainPath);
}

void MainWindow::addMsg(QString mess)
{
    ui->textEdit->appendLine(mess);
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
    // Both pages say the same of an upgrade that another installer kept from
    // doing anything.
    if (show)
        progress->upgradeEnded(
            outcome, outcome == int(UpgradeOutcome::Busy) ? ui->label_cause->text() : QString());
}

void MainWindow::slotSuccess(bool success)
{
    MainWindowForm::showResult(ui->label_text, ui->label_icon, success);
}

void MainWindow::slotFaildClearEnd()
{
    upgradeEnded(false);
}

void MainWindow::slotSuccessClearEnd()
{
    upgradeEnded(true);
}

void MainWindow::upgradeEnded(bool success)
{
    // Told by the worker just before; a failure without that word isn't taken for undone.
    if (outcome < 0)
        outcome = int(success ? UpgradeOutcome::Upgraded : UpgradeOutcome::NotRestored);
    upgradeLog.reset(); // the outcome line is written: the log is complete
    slotSuccess(success);
    showOutcomeLine();
    slotNextShow(true);
    if (endAfterUpgrade)
        QCoreApplication::exit(exitCode());
}

void MainWindow::terminationRequested()
{
    if (!upgrading) {
        QCoreApplication::exit(exitCode());
        return;
    }
    if (endAfterUpgrade)
        return;
    endAfterUpgrade = true;
    summary.noteCancel();
    addMsg(tr("收到终止信号,正在取消升级"));
    worker->requestCancel();
}

void MainWindow::showOutcomeLine()
{
    const auto ended = UpgradeOutcome(outcome);
    // Refused as busy: the record tells whether another installer has
    // upgraded meanwhile or still runs.
    QString installedNow = record.version;
    if (ended == UpgradeOutcome::Busy) {
        InstallationRecord now;
        const bool read
            = now.read(SuiteLayout::installationRecord(installDir)) == RecordLayout::ReadResult::Ok;
        installedNow = read ? now.version : QString();
    }
    ui->label_cause->setFullText(summary.line(ended, record.version, installedNow));
    ui->pReselect->setVisible(ResultSummary::allowsRetry(ended) && !endAfterUpgrade);
}

void MainWindow::on_pReselect_clicked()
{
    backToSelection();
}

void MainWindow::backToSelection()
{
    if (busy())
        return;
    if (!packagePath.isEmpty())
        releasePackage(packagePath);
    package = PackageDescriptor();
    packagePath.clear();
    packageBaseName.clear();
    ui->lineEdit_3->clear();
    if (readInstallationRecord(SuiteLayout::installationRecord(installDir)))
        showSystemInfo();
    ui->textEdit->clear();
    ui->label_cause->setFullText(QString());
    ui->label_log->setFullText(QString());
    ui->label_log->setLink(QUrl());
    ui->pReselect->hide();
    statusForm->resumeCheck();
    ui->stackedWidget->setCurrentIndex(0);
}
