// Window responsiveness: the real window (offscreen) runs an upgrade with the
// package of 20,000 small files, whose update step logs more than 20,000
// lines. A 10 ms timer on the GUI thread measures the longest time the event
// loop did not run, from startCopyAll until the log is complete; and the time
// from the worker emitting sigSuccessClearEnd until the last log line is in
// the log view.
//
//   bench_window --work DIR [--runs N] [--settle SECONDS]
//
// Every run is a fresh process (a child of this one) on a fresh installation.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMetaMethod>
#include <QMutex>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>

#include "ApplicationStyle.h"
#include "BenchSupport.h"
#include "CUpgradeWorker.h"
#include "MainWindow.h"
#include "MessageBoxDriver.h"

// Qt's hook for watching every signal emission (QtTest's signal dumper uses
// it); the window keeps its worker to itself, and this is how the benchmark
// sees the worker's signals at the moment they are emitted, on its thread.
struct QSignalSpyCallbackSet
{
    typedef void (*BeginCallback)(QObject *caller, int signal_or_method_index, void **argv);
    typedef void (*EndCallback)(QObject *caller, int signal_or_method_index);
    BeginCallback signal_begin_callback, slot_begin_callback;
    EndCallback signal_end_callback, slot_end_callback;
};
void Q_CORE_EXPORT qt_register_signal_spy_callbacks(QSignalSpyCallbackSet *callback_set);

namespace {

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What the worker emitted, seen from its own thread.
struct WorkerSignals
{
    int statusIndex = -1;
    int successEndIndex = -1;
    int failureEndIndex = -1;
    QMutex mutex;
    QStringList lines; // every status line, in emission order
    std::atomic<qint64> endNs { 0 };
    std::atomic<bool> succeeded { false };
};
WorkerSignals workerSignals;

// Index among the class's signals (inherited ones first), as the hook reports it.
int signalIndex(const QMetaObject &meta, const char *signature)
{
    const int method = meta.indexOfSignal(signature);
    int index = 0;
    for (int i = 0; i < method; ++i) {
        if (meta.method(i).methodType() == QMetaMethod::Signal)
            ++index;
    }
    return index;
}

void signalBegin(QObject *caller, int index, void **argv)
{
    if (caller->metaObject() != &CUpgradeWorker::staticMetaObject)
        return;
    if (index == workerSignals.statusIndex) {
        const QString line = *reinterpret_cast<const QString *>(argv[1]);
        QMutexLocker lock(&workerSignals.mutex);
        workerSignals.lines.append(line);
    } else if (index == workerSignals.successEndIndex || index == workerSignals.failureEndIndex) {
        workerSignals.succeeded = index == workerSignals.successEndIndex;
        workerSignals.endNs = nowNs();
    }
}

QSignalSpyCallbackSet spyCallbacks { signalBegin, nullptr, nullptr, nullptr };

// Checks that the hook reports the worker's signals under the indexes
// computed above.
bool hookWorks()
{
    CUpgradeWorker probe;
    emit probe.status(QStringLiteral("probe"));
    emit probe.sigSuccessClearEnd();
    QMutexLocker lock(&workerSignals.mutex);
    const bool ok = workerSignals.lines == QStringList(QStringLiteral("probe"))
        && workerSignals.endNs > 0 && workerSignals.succeeded;
    workerSignals.lines.clear();
    workerSignals.endNs = 0;
    workerSignals.succeeded = false;
    return ok;
}

// Makes the hook report the worker's signals; false when it doesn't.
bool watchWorkerSignals()
{
    workerSignals.statusIndex = signalIndex(CUpgradeWorker::staticMetaObject, "status(QString)");
    workerSignals.successEndIndex
        = signalIndex(CUpgradeWorker::staticMetaObject, "sigSuccessClearEnd()");
    workerSignals.failureEndIndex
        = signalIndex(CUpgradeWorker::staticMetaObject, "sigFaildClearEnd()");
    qt_register_signal_spy_callbacks(&spyCallbacks);
    if (!hookWorks()) {
        Bench::fail(QStringLiteral("cannot watch the worker's signals"));
        return false;
    }
    return true;
}

// Shows the window with the package chosen; false when it can't upgrade.
bool openWindow(MainWindow *window, const QString &package)
{
    window->show();
    if (!window->init()) {
        Bench::fail(QStringLiteral("the installation record could not be read"));
        return false;
    }
    window->loadPackage(package);
    auto *details = window->findChild<QPushButton *>(QStringLiteral("pDetails"));
    if (!details || !details->isEnabled()) {
        Bench::fail(QStringLiteral("the package was not accepted"));
        return false;
    }
    return true;
}

// What the GUI thread's ticks saw from startCopyAll on.
struct GuiTimes
{
    qint64 startNs = 0; // startCopyAll emitted
    qint64 lastTickNs = 0;
    qint64 longestGapNs = 0;
    qint64 longestGapAtNs = 0; // when the longest gap ended, from the start
    int longestGapBlocks = 0; // paragraphs in the log then
    int blocksAtEnd = -1; // paragraphs in the log at the first tick after the worker's end
    qint64 logCompleteNs = 0;
    int ticks = 0;

    // Complete when the worker has ended and the view holds as many
    // paragraphs as it sent lines (every line here is one plain paragraph).
    void checkComplete(const QTextDocument *document)
    {
        if (logCompleteNs || workerSignals.endNs == 0)
            return;
        int expected = 0;
        {
            QMutexLocker lock(&workerSignals.mutex);
            expected = workerSignals.lines.size();
        }
        if (document->blockCount() >= expected)
            logCompleteNs = nowNs();
    }

    void tick(const QTextDocument *document)
    {
        const qint64 now = nowNs();
        if (startNs) {
            if (qEnvironmentVariableIsSet("BENCH_TRACE") && now - lastTickNs > 30000000)
                Bench::fail(
                    QStringLiteral(
                        "gap %1 ms ending at %2 ms, %3 lines shown, %4 sent, worker end %5")
                        .arg((now - lastTickNs) / 1e6, 0, 'f', 1)
                        .arg((now - startNs) / 1e6, 0, 'f', 0)
                        .arg(document->blockCount())
                        .arg(workerSignals.lines.size())
                        .arg(workerSignals.endNs ? (workerSignals.endNs - startNs) / 1e6 : -1.0, 0,
                            'f', 0));
            if (now - lastTickNs > longestGapNs) {
                longestGapNs = now - lastTickNs;
                longestGapAtNs = now - startNs;
                longestGapBlocks = document->blockCount();
            }
            ++ticks;
        }
        lastTickNs = now;
        if (blocksAtEnd < 0 && workerSignals.endNs > 0)
            blocksAtEnd = document->blockCount();
        checkComplete(document);
    }
};

// Starts the upgrade as the operator does, answering its question, and runs
// the event loop until it is over (at most 10 minutes).
int runUpgrade(QApplication *app, MainWindow *window, QTimer *ticker)
{
    MessageBoxDriver driver;
    driver.answer(QStringLiteral("继续升级"));
    ticker->start();
    QTimer::singleShot(
        0, window->findChild<QPushButton *>(QStringLiteral("pushButton")), &QPushButton::click);
    QTimer::singleShot(10 * 60 * 1000, app, [app] {
        Bench::fail(QStringLiteral("the upgrade did not finish within 10 minutes"));
        app->exit(1);
    });
    return app->exec();
}

// What the operator sees must be exactly what the worker said. sent gets
// what the worker said.
bool logIsSent(const QTextDocument *document, QStringList *sent)
{
    {
        QMutexLocker lock(&workerSignals.mutex);
        *sent = workerSignals.lines;
    }
    QStringList shown;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        shown << block.text();
    const bool identical = shown == *sent;
    if (!identical)
        Bench::fail(QStringLiteral("the log differs from the lines sent (%1 shown, %2 sent)")
                        .arg(shown.size())
                        .arg(sent->size()));
    return identical;
}

void printResults(const GuiTimes &times, int lines)
{
    Bench::print(QStringLiteral("result stall_ms %1").arg(times.longestGapNs / 1e6, 0, 'f', 1));
    Bench::print(QStringLiteral("result stall_where %1 ms after the start, %2 lines in the log, "
                                "worker ended at %3 ms")
                     .arg(times.longestGapAtNs / 1e6, 0, 'f', 0)
                     .arg(times.longestGapBlocks)
                     .arg((workerSignals.endNs - times.startNs) / 1e6, 0, 'f', 0));
    Bench::print(QStringLiteral("result lines_at_end %1").arg(times.blocksAtEnd));
    Bench::print(
        QStringLiteral("result log_after_end_ms %1")
            .arg(qMax<qint64>(0, times.logCompleteNs - workerSignals.endNs) / 1e6, 0, 'f', 1));
    Bench::print(QStringLiteral("result worker_ms %1")
                     .arg((workerSignals.endNs - times.startNs) / 1e6, 0, 'f', 0));
    Bench::print(QStringLiteral("result lines %1").arg(lines));
    Bench::print(QStringLiteral("result ticks %1").arg(times.ticks));
}

int runChild(const QString &work, const QString &package)
{
    const QString runDir = Bench::prepareWindowRun(work, QStringLiteral("window-run"));
    int argc = 1;
    char name[] = "bench_window";
    char *argv[] = { name, nullptr };
    QApplication app(argc, argv);
    installApplicationStyle(app);
    if (!watchWorkerSignals())
        return 1;

    MainWindow window;
    if (!openWindow(&window, package))
        return 1;
    auto *log = window.findChild<QTextEdit *>(QStringLiteral("textEdit"));
    auto *next = window.findChild<QPushButton *>(QStringLiteral("pushButton_10"));
    QTextDocument *document = log->document();

    GuiTimes times;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(10);
    QObject::connect(document, &QTextDocument::blockCountChanged, &window,
        [&times, document] { times.checkComplete(document); });
    QObject::connect(&ticker, &QTimer::timeout, &window, [&] {
        times.tick(document);
        if (times.logCompleteNs && next->isVisible())
            app.quit();
    });
    QObject::connect(&window, &MainWindow::startCopyAll, &window, [&times] {
        times.startNs = nowNs();
        times.lastTickNs = times.startNs;
    });

    if (runUpgrade(&app, &window, &ticker) != 0)
        return 1;
    ticker.stop();
    qt_register_signal_spy_callbacks(nullptr);

    QStringList sent;
    const bool identical = logIsSent(document, &sent);
    auto *result = window.findChild<QLabel *>(QStringLiteral("label_text"));
    const bool succeeded
        = workerSignals.succeeded && result && result->text() == QStringLiteral("升级成功");
    printResults(times, sent.size());
    QDir::setCurrent(work);
    QDir(runDir).removeRecursively();
    return identical && succeeded ? 0 : 1;
}

// The medians of the runs against their targets, and every run.
void printSummary(const QVector<double> &stalls, const QVector<double> &lags,
    const QVector<double> &workerTimes, const QString &lines, int runs)
{
    const double stall = Bench::median(stalls);
    const double lag = Bench::median(lags);
    Bench::print(
        QStringLiteral("window: longest GUI stall %1 (target <= 50 ms) %2")
            .arg(Bench::ms(stall), stall <= 50 ? QStringLiteral("MET") : QStringLiteral("MISSED")));
    Bench::print(
        QStringLiteral("window: log complete %1 after the worker's end (target <= 1000 ms) %2")
            .arg(Bench::ms(lag), lag <= 1000 ? QStringLiteral("MET") : QStringLiteral("MISSED")));
    Bench::print(
        QStringLiteral("      (%1 log lines; medians of %2 runs; runs in ms: stall %3 / log "
                       "after end %4 / worker %5)")
            .arg(lines)
            .arg(runs)
            .arg(Bench::runsList(stalls), Bench::runsList(lags), Bench::runsList(workerTimes)));
}

} // namespace

int main(int argc, char *argv[])
{
    const QStringList args = Bench::arguments(argc, argv);
    const QString work = Bench::workFolder(args);
    if (args.contains(QStringLiteral("--child"))) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return runChild(work, Bench::option(args, QStringLiteral("--package"), QString()));
    }

    QCoreApplication app(argc, argv);
    const int runs
        = qMax(1, Bench::option(args, QStringLiteral("--runs"), QStringLiteral("3")).toInt());
    const int settle = Bench::option(args, QStringLiteral("--settle"), QStringLiteral("6")).toInt();
    QDir().mkpath(work);
    Bench::touchMemory(qint64(2) << 30);
    QString error;
    const QString package = Bench::ensurePackage(work, Bench::manySmallFiles(), false, &error);
    if (package.isEmpty()) {
        Bench::fail(error);
        return 1;
    }
    Bench::warmFile(package);

    QVector<double> stalls, lags, workerTimes;
    QString lines;
    for (int run = 0; run < runs; ++run) {
        // Same start for every run: the page cache given back, the package
        // read in again, nothing waiting to be written (see bench_apply).
        Bench::dropPageCache();
        Bench::warmFile(package);
        Bench::syncDisks();
        QThread::sleep(static_cast<unsigned long>(settle));
        const QMap<QString, QString> result
            = Bench::runChild({ QStringLiteral("--child"), QStringLiteral("--work"), work,
                                  QStringLiteral("--package"), package },
                15 * 60 * 1000, &error);
        if (!error.isEmpty() || !result.contains(QStringLiteral("stall_ms"))) {
            Bench::fail(error.isEmpty() ? QStringLiteral("no result from the child") : error);
            return 1;
        }
        stalls << result.value(QStringLiteral("stall_ms")).toDouble();
        lags << result.value(QStringLiteral("log_after_end_ms")).toDouble();
        workerTimes << result.value(QStringLiteral("worker_ms")).toDouble();
        lines = result.value(QStringLiteral("lines"));
    }
    printSummary(stalls, lags, workerTimes, lines, runs);
    return 0;
}
