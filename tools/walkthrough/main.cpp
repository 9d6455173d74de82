// Drives the real installer window as an operator would, on the installation
// in the working directory: choose the package through the file dialog, open
// the details, press "升级" once while a folder stands where the package
// replaces a file (the pre-flight refuses; the file is put back), start the
// upgrade, confirm the backup question, wait for "继续", read the result page
// and finish. Saves a screenshot of every page and dialog (the progress page
// also while its bar is part-filled), prints the log, and exits non-zero when
// anything differs from what the operator should see.
//
//   upgrade_walkthrough --package FILE.rcc --screenshots DIR [--expect-failure]

#include <QApplication>
#include <QCommandLineParser>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextEdit>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <functional>
#include <memory>

#include "ApplicationStyle.h"
#include "CReadmeDialog.h"
#include "LogView.h"
#include "MainWindow.h"

namespace {

struct Step
{
    QString name;
    std::function<bool()> ready; // polled until true (or the step times out)
    std::function<void()> act;
    int timeoutMs = 10000;
};

class Walkthrough : public QObject
{
public:
    Walkthrough(MainWindow &window, QString package, QString shots, bool expectFailure)
        : window(window)
        , package(std::move(package))
        , shots(std::move(shots))
        , expectFailure(expectFailure)
    {
        poll.setInterval(30);
        connect(&poll, &QTimer::timeout, this, [this] { tick(); });
    }

    void run(QList<Step> plan)
    {
        steps = std::move(plan);
        current = 0;
        clock.start();
        poll.start();
    }

    int failures = 0;
    bool completed = false; // every step done, "完成" pressed
    bool barShot = false;
    bool lateBarShot = false;
    // The installed file the package replaces, kept aside while a folder
    // stands in its place.
    QString blocked;

    template <typename T> T *find(const char *name) const
    {
        return window.findChild<T *>(QString::fromLatin1(name));
    }

    void check(bool ok, const QString &what)
    {
        std::printf("%s %s\n", ok ? "ok  " : "FAIL", qPrintable(what));
        std::fflush(stdout);
        if (!ok)
            ++failures;
    }

    void shot(QWidget *widget, const QString &file)
    {
        const QString path = QDir(shots).filePath(file);
        // A widget shown or hidden just now is laid out at the next turn of
        // the event loop; the picture shows it in place already.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        const bool saved = widget->grab().save(path);
        check(saved, QStringLiteral("screenshot %1").arg(path));
    }

    static QMessageBox *messageBox()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        return box && box->isVisible() ? box : nullptr;
    }

    // Puts a folder where the package replaces its first file; the installed
    // file is moved aside. False when the package replaces none.
    bool blockUpdatedFile()
    {
        QDirIterator it(
            QStringLiteral(":/upgrade/update"), QDir::Files, QDirIterator::Subdirectories);
        if (!it.hasNext())
            return false;
        blocked = window.installationRecord().mainPath
            + it.next().mid(int(qstrlen(":/upgrade/update")));
        if (QFileInfo::exists(blocked)
            && !QFile::rename(blocked, blocked + QStringLiteral(".aside")))
            return false;
        return QDir().mkpath(blocked + QStringLiteral("/in the way"));
    }

    bool unblockUpdatedFile()
    {
        return QDir(blocked).removeRecursively()
            && (!QFileInfo::exists(blocked + QStringLiteral(".aside"))
                || QFile::rename(blocked + QStringLiteral(".aside"), blocked));
    }

    // Grabs the window while the bar is part-filled: called as its value
    // changes, after the action line took the new action. The first such
    // value is taken, and replaced by one past the half (the log has lines
    // by then) when the upgrade gets there.
    void watchProgressBar()
    {
        auto *bar = find<QProgressBar>("progressBar");
        connect(bar, &QProgressBar::valueChanged, this, [this, bar](int value) {
            const bool pastHalf = 2 * value >= bar->maximum();
            if (value <= 0 || value >= bar->maximum() || (barShot && (!pastHalf || lateBarShot)))
                return;
            barShot = true;
            lateBarShot = pastHalf;
            // The worker's lines already sent are delivered first, then the
            // picture waits for the log to show them: the bar, the action and
            // the log's last lines then tell of the same step.
            QTimer::singleShot(0, this, [this] { shotWhenLogDrained(); });
        });
    }

    void shotWhenLogDrained()
    {
        auto *log = find<LogView>("textEdit");
        auto take = [this] { shot(&window, QStringLiteral("06-progress-bar.png")); };
        if (!log->hasPending()) {
            take();
            return;
        }
        auto once = std::make_shared<QMetaObject::Connection>();
        *once = connect(log, &LogView::drained, this, [take, once] {
            QObject::disconnect(*once);
            take();
        });
    }

    static QAbstractButton *buttonWithText(QMessageBox *box, const QString &text)
    {
        for (QAbstractButton *button : box->buttons()) {
            if (button->text() == text)
                return button;
        }
        return nullptr;
    }

    MainWindow &window;
    QString package;
    QString shots;
    bool expectFailure;

private:
    void tick()
    {
        if (current >= steps.size()) {
            poll.stop();
            return;
        }
        Step &step = steps[current];
        if (!step.ready()) {
            if (clock.elapsed() > step.timeoutMs) {
                check(false, QStringLiteral("%1 (timed out)").arg(step.name));
                poll.stop();
                abandon();
            }
            return;
        }
        std::printf("---- %s\n", qPrintable(step.name));
        ++current;
        clock.restart();
        step.act();
    }

    // Leaves whatever dialog is open and ends the program.
    void abandon()
    {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
        }
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(1); });
    }

    QTimer poll;
    QList<Step> steps;
    int current = 0;
    QElapsedTimer clock;
};

// The package's name in its field, no verdict against it, "详情" enabled.
Step packageChosenStep(Walkthrough &w)
{
    const QString baseName = QFileInfo(w.package).fileName().section(QLatin1Char('.'), 0, 0);
    auto statusText = [&w] {
        auto *tip = w.window.findChild<QLabel *>(QStringLiteral("tip"));
        return tip ? tip->text() : QString();
    };
    return Step { QStringLiteral("package chosen"),
        [&w] {
            return !QApplication::activeModalWidget()
                && !w.find<QLineEdit>("lineEdit_3")->text().isEmpty();
        },
        [&w, baseName, statusText] {
            w.check(w.find<QLineEdit>("lineEdit_3")->text() == baseName,
                QStringLiteral("package field shows \"%1\"").arg(baseName));
            w.check(statusText().isEmpty(),
                QStringLiteral("no verdict against the package (status line: \"%1\")")
                    .arg(statusText()));
            w.check(
                w.find<QPushButton>("pDetails")->isEnabled(), QStringLiteral("\"详情\" enabled"));
            w.shot(&w.window, QStringLiteral("03-package-chosen.png"));
            QTimer::singleShot(0, w.find<QPushButton>("pDetails"), &QPushButton::click);
        } };
}

// Choosing the package through the file dialog.
QList<Step> choosingSteps(Walkthrough &w)
{
    auto *pages = w.find<QStackedWidget>("stackedWidget");
    QList<Step> steps;

    steps << Step { QStringLiteral("selection page"), [] { return true; },
        [&w, pages] {
            w.check(pages->currentIndex() == 0, QStringLiteral("selection page shown"));
            const QString info = w.find<QTextEdit>("textEdit_3")->toPlainText();
            w.check(info.split(QLatin1Char('\n')).size() == 7,
                QStringLiteral("seven information lines"));
            std::printf("%s\n", qPrintable(info));
            w.check(!w.find<QPushButton>("pDetails")->isEnabled(),
                QStringLiteral("\"详情\" disabled before a package is chosen"));
            w.shot(&w.window, QStringLiteral("01-selection-page.png"));
            QTimer::singleShot(0, w.find<QPushButton>("pushButton_3"), &QPushButton::click);
        } };

    steps << Step { QStringLiteral("file dialog"),
        [] {
            auto *d = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            return d && d->isVisible();
        },
        [&w] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            w.check(dialog->windowTitle() == QStringLiteral("选择升级包"),
                QStringLiteral("file dialog caption \"选择升级包\""));
            w.check(dialog->nameFilters().join(QLatin1Char(';')).contains(QLatin1String("*.rcc")),
                QStringLiteral("file dialog filters *.rcc"));
            dialog->setDirectory(QFileInfo(w.package).absolutePath());
            // Typed into the file name field, as an operator would.
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            w.check(name != nullptr, QStringLiteral("file name field"));
            if (name)
                name->setText(w.package);
            w.shot(dialog, QStringLiteral("02-file-dialog.png"));
            static_cast<QDialog *>(dialog)->accept();
        } };

    steps << packageChosenStep(w);

    return steps;
}

// The details dialog: title, the package's facts, its readme.
QList<Step> detailsSteps(Walkthrough &w)
{
    const QString baseName = QFileInfo(w.package).fileName().section(QLatin1Char('.'), 0, 0);
    QList<Step> steps;
    steps << Step { QStringLiteral("details dialog"),
        [] { return qobject_cast<CReadmeDialog *>(QApplication::activeModalWidget()) != nullptr; },
        [&w, baseName] {
            auto *dialog = qobject_cast<CReadmeDialog *>(QApplication::activeModalWidget());
            w.check(dialog->windowTitle() == QStringLiteral("%1 详情").arg(baseName),
                QStringLiteral("details title \"%1 详情\"").arg(baseName));
            auto *text = dialog->findChild<QTextEdit *>(QStringLiteral("readmeTextEdit"));
            w.check(text && !text->toPlainText().isEmpty(), QStringLiteral("readme shown"));
            auto *facts = dialog->findChild<QLabel *>(QStringLiteral("factsLabel"));
            w.check(facts
                    && facts->text().startsWith(
                        QStringLiteral("升级包:") + QDir::toNativeSeparators(w.package)),
                QStringLiteral("details name the package file"));
            w.shot(dialog, QStringLiteral("04-details-dialog.png"));
            dialog->accept();
        } };

    return steps;
}

// "升级" with a folder where the package replaces a file: the pre-flight
// refuses and nothing starts; the file is put back and "升级" pressed again.
QList<Step> refusalSteps(Walkthrough &w)
{
    auto *pages = w.find<QStackedWidget>("stackedWidget");
    QList<Step> steps;
    steps << Step { QStringLiteral("upgrade button, a file blocked"),
        [] { return !QApplication::activeModalWidget(); },
        [&w] {
            w.check(w.blockUpdatedFile(),
                QStringLiteral("a folder put where the package replaces a file"));
            QTimer::singleShot(0, w.find<QPushButton>("pushButton"), &QPushButton::click);
        } };

    steps << Step { QStringLiteral("pre-flight refusal"),
        [] { return Walkthrough::messageBox() != nullptr; },
        [&w] {
            QMessageBox *box = Walkthrough::messageBox();
            w.check(box->text().startsWith(QStringLiteral("无法开始升级")),
                QStringLiteral("pre-flight refuses \"%1\"").arg(box->text()));
            w.check(box->text().contains(QDir::toNativeSeparators(w.blocked)),
                QStringLiteral("the refusal names the blocked file"));
            w.shot(box, QStringLiteral("03-preflight-refused.png"));
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->done(0);
        } };

    steps << Step { QStringLiteral("upgrade button"),
        [] { return !QApplication::activeModalWidget(); },
        [&w, pages] {
            w.check(pages->currentIndex() == 0 && !w.window.isUpgrading(),
                QStringLiteral("nothing started after the refusal"));
            w.check(w.unblockUpdatedFile(), QStringLiteral("the blocked file put back"));
            QTimer::singleShot(0, w.find<QPushButton>("pushButton"), &QPushButton::click);
        } };

    return steps;
}

// The result as expected, the log file named, the exit code; then "完成".
Step resultPageStep(Walkthrough &w, QStackedWidget *pages)
{
    return Step { QStringLiteral("result page"), [pages] { return pages->currentIndex() == 2; },
        [&w] {
            const QString expected
                = w.expectFailure ? QStringLiteral("升级失败") : QStringLiteral("升级成功");
            const QString shown = w.find<QLabel>("label_text")->text();
            w.check(shown == expected,
                QStringLiteral("result \"%1\" (expected \"%2\")").arg(shown, expected));
            w.check(!w.window.isUpgrading(), QStringLiteral("no longer upgrading"));
            const QString logLine = w.find<QLabel>("label_log")->text();
            const QString logFile = logLine.section(QLatin1Char(':'), 1);
            w.check(logLine.startsWith(QStringLiteral("升级日志:")) && QFileInfo(logFile).isFile(),
                QStringLiteral("result names the log file \"%1\"").arg(logFile));
            w.check((w.window.exitCode() != 0) == w.expectFailure,
                QStringLiteral("exit code %1").arg(w.window.exitCode()));
            w.shot(&w.window, QStringLiteral("08-result-page.png"));
            w.completed = true;
            if (w.failures == 0)
                QTimer::singleShot(0, w.find<QPushButton>("pushButton_5"), &QPushButton::click);
            else
                QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(1); });
        } };
}

// The backup question, the progress page, the result page and "完成".
QList<Step> upgradeSteps(Walkthrough &w)
{
    auto *pages = w.find<QStackedWidget>("stackedWidget");
    QList<Step> steps;
    steps << Step { QStringLiteral("backup question"),
        [] { return Walkthrough::messageBox() != nullptr; },
        [&w] {
            QMessageBox *box = Walkthrough::messageBox();
            w.check(box->text() == QStringLiteral("请注意备份工程数据"),
                QStringLiteral("backup question \"%1\"").arg(box->text()));
            QAbstractButton *proceed = Walkthrough::buttonWithText(box, QStringLiteral("继续升级"));
            w.check(proceed && box->defaultButton() == proceed,
                QStringLiteral("\"继续升级\" is the default button"));
            w.shot(box, QStringLiteral("05-backup-question.png"));
            w.watchProgressBar();
            if (proceed)
                proceed->click();
            else
                box->done(0);
        } };

    // Once the log shows the first lines it was sent, as the action line does.
    steps << Step { QStringLiteral("upgrade running"),
        [&w, pages] {
            auto *log = w.find<LogView>("textEdit");
            return pages->currentIndex() == 1 && !log->document()->isEmpty() && !log->hasPending();
        },
        [&w] {
            w.check(w.window.isUpgrading(), QStringLiteral("upgrading"));
            w.shot(&w.window, QStringLiteral("06-progress-page.png"));
        } };

    Step finished { QStringLiteral("continue shown"),
        [&w] { return w.find<QPushButton>("pushButton_10")->isVisible(); },
        [&w] {
            const QString log = w.find<QTextEdit>("textEdit")->toPlainText();
            std::printf("---- log\n%s\n---- end of log\n", qPrintable(log));
            w.check(w.barShot, QStringLiteral("progress bar seen part-filled"));
            w.shot(&w.window, QStringLiteral("07-upgrade-finished.png"));
            QTimer::singleShot(0, w.find<QPushButton>("pushButton_10"), &QPushButton::click);
        } };
    finished.timeoutMs = 300000;
    steps << finished;

    steps << resultPageStep(w, pages);
    return steps;
}

QList<Step> operatorSteps(Walkthrough &w)
{
    return choosingSteps(w) + detailsSteps(w) + refusalSteps(w) + upgradeSteps(w);
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's own file dialog, which the walkthrough can fill in; a native one
    // (Windows) would be out of its reach.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    // As the program: Qt's own buttons in Chinese, whatever the machine's language.
    installProgramLanguage(app);
    installApplicationStyle(app);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Drives the installer window through one upgrade."));
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("package"), QStringLiteral("The package to choose."),
        QStringLiteral("file") });
    parser.addOption({ QStringLiteral("screenshots"), QStringLiteral("Folder for the screenshots."),
        QStringLiteral("dir"), QStringLiteral("screenshots") });
    parser.addOption(
        { QStringLiteral("expect-failure"), QStringLiteral("The upgrade is meant to fail.") });
    parser.process(app);
    if (!parser.isSet(QStringLiteral("package"))) {
        std::fprintf(stderr, "upgrade_walkthrough: --package is required\n");
        return 2;
    }
    const QString package = QFileInfo(parser.value(QStringLiteral("package"))).absoluteFilePath();
    const QString shots = QFileInfo(parser.value(QStringLiteral("screenshots"))).absoluteFilePath();
    QDir().mkpath(shots);

    MainWindow window;
    window.show();
    if (!window.init()) {
        std::printf("FAIL the installation record could not be read\n");
        return 1;
    }

    Walkthrough walkthrough(window, package, shots, parser.isSet(QStringLiteral("expect-failure")));
    walkthrough.run(operatorSteps(walkthrough));
    // "完成" ends the program with the upgrade's code; the walkthrough's own
    // verdict is whether every step went as it should.
    const int code = app.exec();
    const int result
        = code == window.exitCode() && walkthrough.completed && walkthrough.failures == 0 ? 0 : 1;
    std::printf("walkthrough %s\n", result == 0 ? "passed" : "FAILED");
    return result;
}
