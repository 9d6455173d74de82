// Package loading: a 500 MB package chosen in the real window (offscreen),
// timed from loadPackage until its verdict is on the status line (the damage
// check and the check of every file against the manifest included), and the
// program's peak memory (VmHWM) over the whole run, each run in a fresh child
// process. Where minisign is installed, the same package signed, with its key
// among the installation's trusted keys, is measured as well. Then the peak
// memory of a child that loads the package and applies it, through the
// worker's whole chain as the window runs it; with --big the same for the
// largest package Qt 5 reads, 1.9 GB (four files of 480 MB of zeros, built
// once into the work folder).
//
//   bench_load --work DIR [--runs N] [--big]
//
// The package is read from the page cache (read once before every run), so
// the figure is the program's own cost, not the disk's. Peak memory is
// VmHWM, which counts the pages of a mapped file that the program touched as
// ru_maxrss does; ru_maxrss itself is printed apart (maxrss_kb): a child
// started by fork and exec inherits in it the parent's size at the fork.

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

#include <QProcess>
#include <QStandardPaths>

#include <sys/resource.h>
#include <unistd.h>

#include "ApplicationStyle.h"
#include "BenchSupport.h"
#include "CUpgradeWorker.h"
#include "MainWindow.h"

namespace {

// minisign, quiet, with no input; true when it ran and succeeded.
bool minisign(const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("minisign"), arguments);
    process.closeWriteChannel();
    if (process.waitForFinished(5 * 60 * 1000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0)
        return true;
    *error = QStringLiteral("minisign %1 failed: %2")
                 .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAll()));
    return false;
}

// The package signed by a fresh key pair: a second name for the same file
// (a hard link, or a copy) with its signature beside it. Returns the signed
// package, its public key in *publicKey.
QString signedPackage(
    const QString &work, const QString &package, QString *publicKey, QString *error)
{
    const QString secretKey = work + QStringLiteral("/bench-signing.key");
    *publicKey = work + QStringLiteral("/bench-signing.pub");
    const QString output = work + QStringLiteral("/signed-") + QFileInfo(package).fileName();
    QFile::remove(output);
    QFile::remove(output + QStringLiteral(".minisig"));
    if (!QFileInfo::exists(secretKey)
        && !minisign({ QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-f"),
                         QStringLiteral("-p"), *publicKey, QStringLiteral("-s"), secretKey },
            error))
        return QString();
    if (::link(QFile::encodeName(package).constData(), QFile::encodeName(output).constData()) != 0
        && !QFile::copy(package, output)) {
        *error = QStringLiteral("cannot make ") + output;
        return QString();
    }
    if (!minisign({ QStringLiteral("-S"), QStringLiteral("-s"), secretKey, QStringLiteral("-m"),
                      output, QStringLiteral("-t"), QStringLiteral("bench package") },
            error))
        return QString();
    return output;
}

// The registered package applied to the installation at main through the
// worker's whole chain on a thread of its own, as the window runs it; true
// when it upgraded.
bool applyPackage(const QString &main)
{
    QThread thread;
    CUpgradeWorker *worker = Bench::startWorker(thread);
    QEventLoop loop;
    bool upgraded = false;
    Bench::continueAfterExtraction(worker, &loop);
    QObject::connect(worker, &CUpgradeWorker::sigSuccessClearEnd, &loop, [&] {
        upgraded = true;
        loop.quit();
    });
    QObject::connect(worker, &CUpgradeWorker::sigFaildClearEnd, &loop, &QEventLoop::quit);
    QTimer::singleShot(30 * 60 * 1000, &loop, &QEventLoop::quit);
    QMetaObject::invokeMethod(
        worker, [worker, main] { worker->doStartCopyAll(UpgradeConstants::installDir(), main); },
        Qt::QueuedConnection);
    loop.exec();
    thread.quit();
    thread.wait();
    return upgraded;
}

int runChild(const QString &work, const QString &package, const QString &trustedKey, bool apply)
{
    const QString runDir = Bench::prepareWindowRun(work, QStringLiteral("load-run"));
    if (!trustedKey.isEmpty()) {
        const QString folder
            = runDir + QStringLiteral("/suite/product/common/sysconfig/trusted_keys");
        QDir().mkpath(folder);
        if (!QFile::copy(trustedKey, folder + QStringLiteral("/vendor.pub"))) {
            Bench::fail(QStringLiteral("cannot install the trusted key in ") + folder);
            return 1;
        }
    }
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

    // A package that fits leaves the status line empty and enables "详情".
    const QString verdict = tip ? tip->text() : QStringLiteral("?");
    bool accepted = verdict.isEmpty() && details && details->isEnabled();
    if (accepted && apply && !applyPackage(runDir + QStringLiteral("/suite"))) {
        Bench::fail(QStringLiteral("the package was not applied"));
        accepted = false;
    }

    struct rusage usage
    { };
    getrusage(RUSAGE_SELF, &usage);
    const qint64 peakKb = Bench::peakResidentKb();
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

struct Figures
{
    QVector<double> times, peaks, before; // ms, MB, MB
    double packageMb = 0;
};

// Runs the measuring child runs times for package (loading it, and applying
// it too when apply); false when a run failed or refused the package.
bool runChildren(const QString &work, const QString &package, const QString &trustedKey, bool apply,
    int runs, Figures *figures)
{
    QString error;
    figures->packageMb = QFileInfo(package).size() / 1048576.0;
    QStringList childArgs { QStringLiteral("--child"), QStringLiteral("--work"), work,
        QStringLiteral("--package"), package };
    if (!trustedKey.isEmpty())
        childArgs << QStringLiteral("--trusted-key") << trustedKey;
    if (apply)
        childArgs << QStringLiteral("--apply");
    for (int run = 0; run < runs; ++run) {
        Bench::warmFile(package);
        const QMap<QString, QString> result = Bench::runChild(childArgs, 60 * 60 * 1000, &error);
        if (!error.isEmpty()
            || result.value(QStringLiteral("verdict")) != QLatin1String("accepted")) {
            Bench::fail(error.isEmpty()
                    ? QStringLiteral("verdict: ") + result.value(QStringLiteral("verdict"))
                    : error);
            return false;
        }
        figures->times << result.value(QStringLiteral("load_ms")).toDouble();
        figures->peaks << result.value(QStringLiteral("peak_kb")).toDouble() / 1024;
        figures->before << result.value(QStringLiteral("peak_before_kb")).toDouble() / 1024;
    }
    return true;
}

QString verdict(bool met)
{
    return met ? QStringLiteral("MET") : QStringLiteral("MISSED");
}

// The loading figures: time to the verdict against targetMs, and for the
// unsigned package its peak memory.
void printLoad(const Figures &figures, const QString &what, double targetMs, bool withMemory)
{
    const double time = Bench::median(figures.times);
    const double peak = Bench::maximum(figures.peaks);
    const double limit = figures.packageMb + 100;
    Bench::print(QStringLiteral("load: %1 MB %2 accepted in %3 (target <= %4 ms) %5")
                     .arg(figures.packageMb, 0, 'f', 0)
                     .arg(what, Bench::ms(time))
                     .arg(targetMs, 0, 'f', 0)
                     .arg(verdict(time <= targetMs)));
    if (withMemory)
        Bench::print(QStringLiteral("load: peak memory %1 MB (target < %2 MB, package + 100 MB) %3")
                         .arg(peak, 0, 'f', 0)
                         .arg(limit, 0, 'f', 0)
                         .arg(verdict(peak < limit)));
    Bench::print(
        QStringLiteral("      (medians of %1 runs; runs: load ms %2 / peak MB %3 / peak MB "
                       "before loading %4)")
            .arg(figures.times.size())
            .arg(Bench::runsList(figures.times), Bench::runsList(figures.peaks),
                Bench::runsList(figures.before)));
}

// The peak memory of loading and applying a package against targetMb.
void printApplied(const Figures &figures, const QString &what, double targetMb)
{
    const double peak = Bench::maximum(figures.peaks);
    Bench::print(QStringLiteral("memory: %1 peak %2 MB (target <= %3 MB) %4")
                     .arg(what)
                     .arg(peak, 0, 'f', 0)
                     .arg(targetMb, 0, 'f', 0)
                     .arg(verdict(peak <= targetMb)));
    Bench::print(QStringLiteral("      (%1 MB package loaded and applied; the largest of %2 "
                                "runs; runs: peak MB %3 / load ms %4)")
                     .arg(figures.packageMb, 0, 'f', 0)
                     .arg(figures.peaks.size())
                     .arg(Bench::runsList(figures.peaks), Bench::runsList(figures.times)));
}

// The signed package: its load time, its key trusted.
bool measureSigned(const QString &work, const QString &package, int runs)
{
    if (QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty()) {
        Bench::print(
            QStringLiteral("      (a signed package is not measured: minisign is missing)"));
        return true;
    }
    QString error;
    QString publicKey;
    const QString signedOne = signedPackage(work, package, &publicKey, &error);
    if (signedOne.isEmpty()) {
        Bench::fail(error);
        return false;
    }
    Figures figures;
    const bool ok = runChildren(work, signedOne, publicKey, false, runs, &figures);
    if (ok)
        printLoad(figures, QStringLiteral("signed"), 800, false);
    QFile::remove(signedOne);
    QFile::remove(signedOne + QStringLiteral(".minisig"));
    return ok;
}

// The big package loaded and applied, once.
bool measureBig(const QString &work)
{
    QString error;
    const QString package = Bench::ensurePackage(work, Bench::bigPackage(), false, &error);
    Figures figures;
    if (package.isEmpty()) {
        Bench::fail(error);
        return false;
    }
    if (!runChildren(work, package, QString(), true, 1, &figures))
        return false;
    printApplied(figures, QStringLiteral("big"), 200);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    const QStringList args = Bench::arguments(argc, argv);
    const QString work = Bench::workFolder(args);
    if (args.contains(QStringLiteral("--child"))) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return runChild(work, Bench::option(args, QStringLiteral("--package"), QString()),
            Bench::option(args, QStringLiteral("--trusted-key"), QString()),
            args.contains(QStringLiteral("--apply")));
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
    Figures loaded, applied;
    if (!runChildren(work, package, QString(), false, runs, &loaded))
        return 1;
    printLoad(loaded, QStringLiteral("package"), 2000, true);
    if (!measureSigned(work, package, runs))
        return 1;
    if (!runChildren(work, package, QString(), true, runs, &applied))
        return 1;
    printApplied(applied, QStringLiteral("apply 500 MB"), 150);
    return args.contains(QStringLiteral("--big")) && !measureBig(work) ? 1 : 0;
}
