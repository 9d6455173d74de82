// Package loading: a 500 MB package chosen in the real window (offscreen),
// timed from loadPackage until its verdict is on the status line (the damage
// check included), and the program's peak memory (VmHWM) over the whole run,
// each run in a fresh child process.
//
//   bench_load --work DIR [--runs N]
//
// The package is read from the page cache (read once before every run), so
// the figure is the program's own cost, not the disk's.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

#include <sys/resource.h>

#include "ApplicationStyle.h"
#include "BenchSupport.h"
#include "MainWindow.h"

namespace {

int runChild(const QString &work, const QString &package)
{
    const QString runDir = Bench::prepareWindowRun(work, QStringLiteral("load-run"));
    int argc = 1;
    char name[] = "bench_load";
    char *argv[] = { name, nullptr };
    QApplication app(argc, argv);
    installApplicationStyle(app);

    MainWindow window;
    window.show();
    if (!window.init()) {
        Bench::fail(QStringLiteral("the installation record could not be read"));
        return 1;
    }
    QCoreApplication::processEvents();
    const qint64 peakBeforeKb = Bench::peakResidentKb();

    auto *tip = window.findChild<QLabel *>(QStringLiteral("tip"));
    auto *details = window.findChild<QPushButton *>(QStringLiteral("pDetails"));
    QElapsedTimer clock;
    clock.start();
    window.loadPackage(package);
    // The verdict is on screen once the event loop has drawn it.
    QCoreApplication::processEvents();
    const double ms = clock.nsecsElapsed() / 1e6;

    const qint64 peakKb = Bench::peakResidentKb();
    struct rusage usage
    { };
    getrusage(RUSAGE_SELF, &usage);
    // A package that fits leaves the status line empty and enables "详情".
    const QString verdict = tip ? tip->text() : QStringLiteral("?");
    const bool accepted = verdict.isEmpty() && details && details->isEnabled();
    Bench::print(QStringLiteral("result load_ms %1").arg(ms, 0, 'f', 1));
    Bench::print(QStringLiteral("result peak_kb %1").arg(peakKb));
    Bench::print(QStringLiteral("result peak_before_kb %1").arg(peakBeforeKb));
    Bench::print(QStringLiteral("result maxrss_kb %1").arg(usage.ru_maxrss));
    Bench::print(
        QStringLiteral("result verdict %1")
            .arg(accepted ? QStringLiteral("accepted") : QStringLiteral("refused: ") + verdict));
    QDir::setCurrent(work);
    QDir(runDir).removeRecursively();
    return accepted ? 0 : 1;
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
    QDir().mkpath(work);
    QString error;
    const QString package = Bench::ensurePackage(work, Bench::halfGigabyte(), false, &error);
    if (package.isEmpty()) {
        Bench::fail(error);
        return 1;
    }
    const double packageMb = QFileInfo(package).size() / 1048576.0;

    QVector<double> times, peaks, before;
    for (int run = 0; run < runs; ++run) {
        Bench::warmFile(package);
        const QMap<QString, QString> result
            = Bench::runChild({ QStringLiteral("--child"), QStringLiteral("--work"), work,
                                  QStringLiteral("--package"), package },
                5 * 60 * 1000, &error);
        if (!error.isEmpty()
            || result.value(QStringLiteral("verdict")) != QLatin1String("accepted")) {
            Bench::fail(error.isEmpty()
                    ? QStringLiteral("verdict: ") + result.value(QStringLiteral("verdict"))
                    : error);
            return 1;
        }
        times << result.value(QStringLiteral("load_ms")).toDouble();
        peaks << result.value(QStringLiteral("peak_kb")).toDouble() / 1024;
        before << result.value(QStringLiteral("peak_before_kb")).toDouble() / 1024;
    }
    auto list = [](const QVector<double> &values) {
        QStringList parts;
        for (double v : values)
            parts << QString::number(v, 'f', 0);
        return parts.join(QLatin1Char(' '));
    };
    const double time = Bench::median(times);
    const double peak = Bench::maximum(peaks);
    const double limit = packageMb + 100;
    Bench::print(
        QStringLiteral("load: %1 MB package accepted in %2 (target <= 2000 ms) %3")
            .arg(packageMb, 0, 'f', 0)
            .arg(Bench::ms(time), time <= 2000 ? QStringLiteral("MET") : QStringLiteral("MISSED")));
    Bench::print(QStringLiteral("load: peak memory %1 MB (target < %2 MB, package + 100 MB) %3")
                     .arg(peak, 0, 'f', 0)
                     .arg(limit, 0, 'f', 0)
                     .arg(peak < limit ? QStringLiteral("MET") : QStringLiteral("MISSED")));
    Bench::print(
        QStringLiteral("      (medians of %1 runs; runs: load ms %2 / peak MB %3 / peak MB "
                       "before loading %4)")
            .arg(runs)
            .arg(list(times), list(peaks), list(before)));
    return 0;
}
