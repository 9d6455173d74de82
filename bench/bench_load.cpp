// Package loading: a 500 MB package chosen in the real window (offscreen),
// timed from loadPackage until its verdict is on the status line (the damage
// check and the check of every file against the manifest included), and the
// program's peak memory (VmHWM) over the whole run, each run in a fresh child
// process. Where minisign is installed, the same package signed, with its key
// among the installation's trusted keys, is measured as well.
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

#include <QProcess>
#include <QStandardPaths>

#include <sys/resource.h>
#include <unistd.h>

#include "ApplicationStyle.h"
#include "BenchSupport.h"
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

int runChild(const QString &work, const QString &package, const QString &trustedKey)
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

// Runs the measuring child runs times for package and prints the figures;
// false when a run failed or refused the package.
bool measure(const QString &work, const QString &package, const QString &trustedKey, int runs,
    const QString &what, bool withMemory)
{
    QString error;
    const double packageMb = QFileInfo(package).size() / 1048576.0;
    QStringList childArgs { QStringLiteral("--child"), QStringLiteral("--work"), work,
        QStringLiteral("--package"), package };
    if (!trustedKey.isEmpty())
        childArgs << QStringLiteral("--trusted-key") << trustedKey;
    QVector<double> times, peaks, before;
    for (int run = 0; run < runs; ++run) {
        Bench::warmFile(package);
        const QMap<QString, QString> result = Bench::runChild(childArgs, 5 * 60 * 1000, &error);
        if (!error.isEmpty()
            || result.value(QStringLiteral("verdict")) != QLatin1String("accepted")) {
            Bench::fail(error.isEmpty()
                    ? QStringLiteral("verdict: ") + result.value(QStringLiteral("verdict"))
                    : error);
            return false;
        }
        times << result.value(QStringLiteral("load_ms")).toDouble();
        peaks << result.value(QStringLiteral("peak_kb")).toDouble() / 1024;
        before << result.value(QStringLiteral("peak_before_kb")).toDouble() / 1024;
    }
    const double time = Bench::median(times);
    const double peak = Bench::maximum(peaks);
    const double limit = packageMb + 100;
    Bench::print(QStringLiteral("load: %1 MB %2 accepted in %3 (target <= 2000 ms) %4")
                     .arg(packageMb, 0, 'f', 0)
                     .arg(what, Bench::ms(time),
                         time <= 2000 ? QStringLiteral("MET") : QStringLiteral("MISSED")));
    if (withMemory)
        Bench::print(QStringLiteral("load: peak memory %1 MB (target < %2 MB, package + 100 MB) %3")
                         .arg(peak, 0, 'f', 0)
                         .arg(limit, 0, 'f', 0)
                         .arg(peak < limit ? QStringLiteral("MET") : QStringLiteral("MISSED")));
    Bench::print(
        QStringLiteral("      (medians of %1 runs; runs: load ms %2 / peak MB %3 / peak MB "
                       "before loading %4)")
            .arg(runs)
            .arg(Bench::runsList(times), Bench::runsList(peaks), Bench::runsList(before)));
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
            Bench::option(args, QStringLiteral("--trusted-key"), QString()));
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
    if (!measure(work, package, QString(), runs, QStringLiteral("package"), true))
        return 1;
    if (QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty()) {
        Bench::print(
            QStringLiteral("      (a signed package is not measured: minisign is missing)"));
        return 0;
    }
    QString publicKey;
    const QString signedOne = signedPackage(work, package, &publicKey, &error);
    if (signedOne.isEmpty()) {
        Bench::fail(error);
        return 1;
    }
    const bool ok = measure(work, signedOne, publicKey, runs,
        QStringLiteral("signed package (its key trusted)"), false);
    QFile::remove(signedOne);
    QFile::remove(signedOne + QStringLiteral(".minisig"));
    return ok ? 0 : 1;
}
