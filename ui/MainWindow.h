#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QThread>

#include <memory>

#include "InstallationRecord.h"
#include "LoadedPackage.h"
#include "PackageDescriptor.h"
#include "PreflightRun.h"
#include "ResultSummary.h"

class CStatusForm;
class CUpgradeWorker;
class ProgressPanel;
class UpgradeLog;

namespace Ui {
class MainWindow;
}

// The installer's one window: selection page, progress page and result page.
// It owns the installation record, the chosen package and the worker thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    bool init();
    void confirmExit();
    void setOptionsEnabled(bool enabled);

    bool readInstallationRecord(const QString &path);
    void showSystemInfo();

    void loadPackage(const QString &path);
    void registerPackage(const QString &path);
    void releasePackage(const QString &path);
    bool readPackageDescriptor(const QString &path);

    // Whether the package fits the installation; a misfit's message goes on
    // the status line.
    bool checkPackage();

    const InstallationRecord &installationRecord() const { return record; }
    const PackageDescriptor &packageDescriptor() const { return package; }
    QString currentPackagePath() const { return packagePath; }
    QString currentPackageBaseName() const { return packageBaseName; }
    bool isUpgrading() const { return upgrading; }
    // A request from outside to end the program (SIGTERM, Ctrl+C): a running
    // upgrade is cancelled and rolled back, and the program ends after it
    // with its code; without one it ends at once.
    void terminationRequested();
    // The code the program ends with: the last upgrade's UpgradeOutcome, 0
    // when none ran.
    int exitCode() const { return qMax(0, outcome); }
    CStatusForm *statusLine() const { return statusForm; }

signals:
    void startCopyAll(QString sysConfigXmlPath, QString installPath);
    void startUpgrade(QString installPath);
    void sigFaildClear();

public slots:
    void addMsg(QString mess);
    void slotCopyAllEnd(bool success);
    void slotNextShow(bool show);
    void slotSuccess(bool success);
    void slotFaildClearEnd();
    void slotSuccessClearEnd();

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void on_pushButton_3_clicked();
    void on_pDetails_clicked();
    void on_pushButton_9_clicked();
    void on_pushButton_clicked();
    void on_pushButton_10_clicked();
    void on_pushButton_5_clicked();
    void on_pReselect_clicked();

private:
    void createWorker();
    void passUpgradeParameters();
    void startUpgradeSequence();
    void upgradeEnded(bool success);
    // The result page's line under the outcome, and the way back where a new
    // choice makes sense.
    void showOutcomeLine();
    // The selection page as at the start, the installation read again and
    // no package chosen: the last upgrade may have changed what fits.
    void backToSelection();
    // An upgrade or its pre-flight runs: the package can't be replaced.
    bool busy() const { return upgrading || preflight->isRunning(); }
    // Shows the admission's refusal (a misfit on the status line, the others
    // in a message box); true when there is none.
    bool admits(const UpgradeAdmission::Verdict &verdict);

    Ui::MainWindow *ui;
    InstallationRecord record;
    PackageDescriptor package;
    QString installDir;
    QString packagePath;
    QString packageBaseName;
    QThread workerThread;
    CUpgradeWorker *worker = nullptr;
    bool upgrading = false;
    CStatusForm *statusForm = nullptr;
    // The registered package's bytes and their registration.
    LoadedPackage loaded;
    ProgressPanel *progress = nullptr;
    PreflightRun *preflight = nullptr;
    // The running upgrade's log file, kept until the upgrade has ended.
    std::unique_ptr<UpgradeLog> upgradeLog;
    // How the last upgrade ended (an UpgradeOutcome); -1 before its end.
    int outcome = -1;
    bool endAfterUpgrade = false; // set by terminationRequested
    // The status line's refusal of the loaded package; empty when it was read.
    QString packageRefusal;
    // The running upgrade's failures, manual actions and cancel, for its end.
    ResultSummary summary;
};
