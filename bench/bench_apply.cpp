// Apply throughput: the worker's whole chain (extraction into the staging
// folder, the file steps, the version records, clean-up) without the window,
// against copying the same tree twice with cp -r (package source to staging,
// staging to installation), and against the durable floor: one cp -r of the
// package's files into the installation followed by sync of its file system,
// the least an install that survives a power cut can cost (the upgrade makes
// its files durable before it commits; cp -r twice leaves them in the page
// cache). The scale run applies packages of 1,000, 10,000 and 100,000 files of
// 4 KB and compares the time per file.
//
//   bench_apply --work DIR [--runs N] [--settle SECONDS]
//               [--only large-files|small-files|small-files-failing|scale]
//
// Both sides run on a warm page cache: one untimed round of each first, and
// sync before every timed run so that neither pays for the other's writeback
// (then a short pause, see settleSeconds). Each run starts from a freshly laid
// out installation.

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>

#include "BenchSupport.h"
#include "CUpgradeWorker.h"
#include "LoadedPackage.h"

namespace {

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct ChainResult
{
    double ms = -1;
    // Extraction, from its end to the update step's first line (the plan,
    // and the journal's first flush, which waits for the staged files to
    // reach the disk), the update step, and the rest up to the end (the
    // other file steps have nothing to do; clean-up dominates the rest).
    double extractMs = 0, beforeUpdateMs = 0, updateMs = 0, restMs = 0;
    // From the failing script's line to the end of the rollback.
    double rollbackMs = 0;
    int lines = 0;
    int failedLines = 0;
    bool succeeded = false;
    bool rolledBack = false;
};

// When the chain's steps ended, taken on the worker's thread (ns).
struct ChainStamps
{
    std::atomic<qint64> extractedNs { 0 }, updateNs { 0 }, updatedNs { 0 }, failedNs { 0 };
    std::atomic<qint64> endNs { 0 };
};

// Counts the log lines (failing ones as faults unless a failure is expected)
// and answers the extraction's end as the window does.
void driveChain(CUpgradeWorker *worker, QObject *receiver, ChainResult *result, bool expectFailure)
{
    QObject::connect(
        worker, &CUpgradeWorker::status, receiver, [result, expectFailure](const QString &line) {
            ++result->lines;
            if (line.contains(QStringLiteral("失败")) && !expectFailure) {
                if (++result->failedLines <= 3)
                    Bench::fail(QStringLiteral("log line: ") + line);
            }
        });
    Bench::continueAfterExtraction(worker, receiver);
}

// The steps run nested inside each other's signals, so the update step is
// timed by its first and last log lines, taken on the worker's thread.
void stampSteps(CUpgradeWorker *worker, ChainStamps *stamps)
{
    QObject::connect(
        worker, &CUpgradeWorker::sigCopyAllEnd, worker, [stamps] { stamps->extractedNs = nowNs(); },
        Qt::DirectConnection);
    QObject::connect(
        worker, &CUpgradeWorker::status, worker,
        [stamps](const QString &line) {
            if (stamps->updateNs == 0 && line.startsWith(QStringLiteral("正在更新")))
                stamps->updateNs = nowNs();
            if (line.startsWith(QStringLiteral("更新")))
                stamps->updatedNs = nowNs();
            if (stamps->failedNs == 0 && line.endsWith(QStringLiteral("执行失败!")))
                stamps->failedNs = nowNs();
        },
        Qt::DirectConnection);
    auto stamp = [stamps] { stamps->endNs = nowNs(); };
    QObject::connect(
        worker, &CUpgradeWorker::sigSuccessClearEnd, worker, stamp, Qt::DirectConnection);
    QObject::connect(
        worker, &CUpgradeWorker::sigFaildClearEnd, worker, stamp, Qt::DirectConnection);
}

// The chain's times from its stamps, when it came to an end.
void takeTimes(const ChainStamps &stamps, qint64 startNs, ChainResult *result)
{
    const qint64 endNs = stamps.endNs;
    if (endNs > 0) {
        result->ms = (endNs - startNs) / 1e6;
        result->extractMs = (stamps.extractedNs - startNs) / 1e6;
        result->beforeUpdateMs = (stamps.updateNs - stamps.extractedNs) / 1e6;
        result->updateMs = (stamps.updatedNs - stamps.updateNs) / 1e6;
        result->restMs = (endNs - stamps.updatedNs) / 1e6;
        if (stamps.failedNs > 0)
            result->rollbackMs = (endNs - stamps.failedNs) / 1e6;
    }
}

// One worker on a thread of its own, driven as the window drives it: the
// extraction's end is answered with doStartUpgrade from this thread. Timed
// from posting startCopyAll to the worker emitting sigSuccessClearEnd.
ChainResult runChain(const QString &installPath, bool expectFailure)
{
    ChainResult result;
    QThread thread;
    CUpgradeWorker *worker = Bench::startWorker(thread);

    QEventLoop loop;
    QObject receiver;
    ChainStamps stamps;
    driveChain(worker, &receiver, &result, expectFailure);
    stampSteps(worker, &stamps);
    QObject::connect(worker, &CUpgradeWorker::sigSuccessClearEnd, &receiver, [&] {
        result.succeeded = true;
        loop.quit();
    });
    QObject::connect(worker, &CUpgradeWorker::sigFaildClearEnd, &receiver, [&] {
        result.rolledBack = true;
        loop.quit();
    });
    QTimer::singleShot(10 * 60 * 1000, &loop, &QEventLoop::quit);

    const qint64 startNs = nowNs();
    QMetaObject::invokeMethod(
        worker,
        [worker, installPath] {
            worker->doStartCopyAll(UpgradeConstants::installDir(), installPath);
        },
        Qt::QueuedConnection);
    loop.exec();
    thread.quit();
    thread.wait();
    takeTimes(stamps, startNs, &result);
    return result;
}

// cp -r of the package source into the staging folder inside the
// installation, then of its update folder into the installation; *firstMs
// gets the first copy's share.
double runBaseline(
    const QString &source, const QString &installPath, double *firstMs, QString *error)
{
    const QString staging = installPath + QStringLiteral("/upgrade_temp");
    QDir().mkpath(staging);
    QElapsedTimer clock;
    clock.start();
    int code = QProcess::execute(QStringLiteral("cp"),
        { QStringLiteral("-r"), source + QStringLiteral("/upgrade"),
            staging + QStringLiteral("/upgrade") });
    *firstMs = clock.nsecsElapsed() / 1e6;
    if (code == 0)
        code = QProcess::execute(QStringLiteral("cp"),
            { QStringLiteral("-r"), staging + QStringLiteral("/upgrade/update/."), installPath });
    const double elapsed = clock.nsecsElapsed() / 1e6;
    if (code != 0)
        *error = QStringLiteral("cp failed with exit code %1").arg(code);
    return elapsed;
}

// True when any of the package's files is in the installation.
bool installedAny(const QString &main)
{
    return !QDir(main).entryList({ QStringLiteral("top_*.dat") }, QDir::Files).isEmpty()
        || QFileInfo::exists(main + QStringLiteral("/nested"));
}

// True when the installation holds the package's files where they belong.
bool installed(const QString &main, const Bench::PackageShape &shape)
{
    const int top = QDir(main).entryList({ QStringLiteral("top_*.dat") }, QDir::Files).size();
    return top == shape.topFiles
        && Bench::countFiles(main + QStringLiteral("/nested"))
        == shape.nestedFolders * shape.filesPerFolder;
}

// Seconds to wait after sync before a timed run. ext4 without a journal (as
// on the machines this was written on) will not reuse an inode deleted in the
// last few seconds (minutes while its table block is dirty) and scans past
// each such inode on every file it creates, so removals just before a run
// charge that run: tens of thousands of them made creating files two to five
// times slower, on either side. Every run therefore lays out its installation
// in a folder of its own, which ext4 is asked to place in a block group of
// its own (spreadSubfolders), and those folders are removed only after the
// last run; what is still removed between runs (the staging folders) falls
// alike on both sides, whose order alternates.
int settleSeconds = 6;

bool pageCacheDropped = true;

// A fresh installation below runDir (the working directory), with the page
// cache given back and the run's sources read into it again; returns its
// main directory.
QString freshInstallation(const QString &runDir, const QString &source, const QString &package)
{
    QDir().mkpath(runDir);
    const QString main = Bench::layOutInstallation(runDir);
    if (!Bench::dropPageCache())
        pageCacheDropped = false;
    if (!source.isEmpty())
        Bench::warmTree(source);
    Bench::warmFile(package);
    Bench::syncDisks();
    QThread::sleep(static_cast<unsigned long>(settleSeconds));
    return main;
}

// Which sides to run: both, or only "upgrade" or "baseline" (for profiling).
QString sides;

// Builds the package of shape once, then opens, checks and registers it as
// the window does with a chosen one (mapped, read by ranges, never held in
// memory); nullptr when it can't be built or is refused.
std::unique_ptr<LoadedPackage> loadPackage(
    const QString &work, const Bench::PackageShape &shape, bool keepSource)
{
    QString error;
    const QString package = Bench::ensurePackage(work, shape, keepSource, &error);
    if (package.isEmpty()) {
        Bench::fail(error);
        return nullptr;
    }
    auto loaded = std::make_unique<LoadedPackage>();
    if (loaded->load(package) != LoadedPackage::Result::Registered) {
        Bench::fail(QStringLiteral("cannot load %1: %2").arg(package, loaded->detail()));
        return nullptr;
    }
    return loaded;
}

// The times of the measured rounds, in ms.
struct Samples
{
    QVector<double> upgrade, baseline, floor, extract, beforeUpdate, update, rest, firstCopy,
        secondCopy;
    // rm -rf of cp's copy of the package's files once they are on disk: what
    // freeing them costs this file system, which a rollback pays as well.
    QVector<double> removal;
    int lines = 0;
};

// One run of the upgrade on the installation at main; false when it did not
// end as it should.
bool runUpgradeSide(const QString &main, const Bench::PackageShape &shape, const QString &label,
    bool measured, Samples *samples)
{
    bool ok = true;
    const bool rollback = shape.failingAfterScript;
    const ChainResult chain = runChain(main, rollback);
    if (rollback && (!chain.rolledBack || installedAny(main))) {
        Bench::fail(label + QStringLiteral(": the upgrade was not rolled back"));
        ok = false;
    } else if (!rollback
        && (!chain.succeeded || chain.failedLines > 0 || !installed(main, shape))) {
        Bench::fail(QStringLiteral("%1: the upgrade did not apply cleanly (%2 failure lines)")
                        .arg(label)
                        .arg(chain.failedLines));
        ok = false;
    } else if (QFileInfo::exists(main + QStringLiteral("/upgrade_temp"))) {
        Bench::fail(label + QStringLiteral(": the staging folder was left behind"));
        ok = false;
    }
    samples->lines = chain.lines;
    if (measured) {
        samples->upgrade << (rollback ? chain.rollbackMs : chain.ms);
        samples->extract << chain.extractMs;
        samples->beforeUpdate << chain.beforeUpdateMs;
        samples->update << chain.updateMs;
        samples->rest << chain.restMs;
    }
    return ok;
}

// One run of the baseline (cp -r twice) onto the installation at main.
bool runBaselineSide(const QString &source, const QString &main, const Bench::PackageShape &shape,
    const QString &label, bool measured, Samples *samples, QString *error)
{
    bool ok = true;
    double firstMs = 0;
    const double ms = runBaseline(source, main, &firstMs, error);
    if (!error->isEmpty() || !installed(main, shape)) {
        Bench::fail(label + QStringLiteral(": baseline: ") + *error);
        ok = false;
    }
    if (measured) {
        samples->baseline << ms;
        samples->firstCopy << firstMs;
        samples->secondCopy << ms - firstMs;
    }
    // The upgrade removes its staging folder itself; cp's goes here.
    const QString staging = main + QStringLiteral("/upgrade_temp");
    if (measured && shape.failingAfterScript) {
        Bench::syncDisks();
        QElapsedTimer clock;
        clock.start();
        QProcess::execute(QStringLiteral("rm"), { QStringLiteral("-rf"), staging });
        samples->removal << clock.nsecsElapsed() / 1e6;
    }
    QDir(staging).removeRecursively();
    return ok;
}

// One run of the durable floor onto the installation at main: cp -r of the
// package's files into it, then sync of its file system.
bool runFloorSide(const QString &source, const QString &main, const Bench::PackageShape &shape,
    const QString &label, bool measured, Samples *samples)
{
    QElapsedTimer clock;
    clock.start();
    int code = QProcess::execute(QStringLiteral("cp"),
        { QStringLiteral("-r"), source + QStringLiteral("/upgrade/update/."), main });
    if (code == 0)
        code = QProcess::execute(QStringLiteral("sync"), { QStringLiteral("-f"), main });
    const double ms = clock.nsecsElapsed() / 1e6;
    if (code != 0 || !installed(main, shape)) {
        Bench::fail(label + QStringLiteral(": floor: cp -r and sync failed"));
        return false;
    }
    if (measured)
        samples->floor << ms;
    return true;
}

// The line of one figure: what, its value, its target and whether it is met.
QString figure(const QString &text, double ratio, double target)
{
    return QStringLiteral("%1, ratio %2 (target <= %3) %4")
        .arg(text)
        .arg(ratio, 0, 'f', 2)
        .arg(target)
        .arg(ratio <= target ? QStringLiteral("MET") : QStringLiteral("MISSED"));
}

// Prints the medians of both sides, their ratio against the target, and
// every run.
void report(const Bench::PackageShape &shape, const QString &label, const Samples &samples)
{
    const double up = Bench::median(samples.upgrade);
    const double base = Bench::median(samples.baseline);
    const double ratio = base > 0 ? up / base : 0;
    if (!sides.isEmpty()) {
        Bench::print(
            QStringLiteral("apply %1 (%2 only): %3 %4")
                .arg(label, sides, Bench::ms(sides == "upgrade" ? up : base),
                    Bench::runsList(sides == "upgrade" ? samples.upgrade : samples.baseline)));
        return;
    }
    const bool rollback = shape.failingAfterScript;
    const double target = rollback ? 0.3 : (shape.fileSize >= 1024 * 1024 ? 0.55 : 0.8);
    Bench::print(
        figure(QStringLiteral("%1 %2: %3 %4, baseline cp -r twice %5")
                   .arg(rollback ? QStringLiteral("rollback") : QStringLiteral("apply"), label,
                       rollback ? QStringLiteral("rollback") : QStringLiteral("upgrade"),
                       Bench::ms(up), Bench::ms(base)),
            ratio, target));
    const double floor = Bench::median(samples.floor);
    if (floor > 0)
        Bench::print(figure(QStringLiteral("floor %1: upgrade %2, durable floor cp -r and sync %3")
                                .arg(label, Bench::ms(up), Bench::ms(floor)),
            up / floor, 1.3));
    Bench::print(
        QStringLiteral("      (upgrade by step, medians: extraction %1, on to the update step %2, "
                       "update step %3, clean-up and the rest %4; cp: first copy %5, second copy "
                       "%6%7)")
            .arg(Bench::ms(Bench::median(samples.extract)),
                Bench::ms(Bench::median(samples.beforeUpdate)),
                Bench::ms(Bench::median(samples.update)), Bench::ms(Bench::median(samples.rest)),
                Bench::ms(Bench::median(samples.firstCopy)),
                Bench::ms(Bench::median(samples.secondCopy)),
                samples.removal.isEmpty() ? QString()
                                          : QStringLiteral("; rm -rf of cp's copy once on disk ")
                        + Bench::ms(Bench::median(samples.removal))));
    Bench::print(QStringLiteral("      (%1 log lines; runs in ms: upgrade %2 / baseline %3%4%5)")
                     .arg(samples.lines)
                     .arg(Bench::runsList(samples.upgrade), Bench::runsList(samples.baseline),
                         samples.floor.isEmpty()
                             ? QString()
                             : QStringLiteral(" / floor ") + Bench::runsList(samples.floor),
                         pageCacheDropped ? QString()
                                          : QStringLiteral("; page cache not dropped: not root")));
}

bool measure(const QString &work, const Bench::PackageShape &shape, const QString &label, int runs)
{
    std::unique_ptr<LoadedPackage> loaded = loadPackage(work, shape, true);
    if (!loaded)
        return false;
    const QString package = Bench::packagePath(work, shape);
    QString error;

    const QString source = Bench::sourceDir(work, shape);
    const QString runsDir = work + QStringLiteral("/apply-runs");
    QDir(runsDir).removeRecursively();
    Bench::spreadSubfolders(runsDir);
    QDir::setCurrent(work);

    Samples samples;
    bool ok = true;
    // The rolled back upgrade installs nothing: it has no durable floor.
    const QStringList names = shape.failingAfterScript
        ? QStringList { QStringLiteral("upgrade"), QStringLiteral("baseline") }
        : QStringList { QStringLiteral("upgrade"), QStringLiteral("baseline"),
              QStringLiteral("floor") };
    // Round 0 only warms caches; the sides take turns to go first.
    for (int round = 0; ok && round <= runs; ++round) {
        for (int side = 0; ok && side < names.size(); ++side) {
            const QString &name = names.at((side + round) % names.size());
            if (!sides.isEmpty() && sides != name)
                continue;
            const QString runDir = runsDir + QStringLiteral("/%1-%2").arg(round).arg(name);
            const QString main = freshInstallation(runDir, source, package);
            QDir::setCurrent(runDir);
            const bool measured = round > 0;
            if (name == QLatin1String("upgrade"))
                ok = runUpgradeSide(main, shape, label, measured, &samples);
            else if (name == QLatin1String("baseline"))
                ok = runBaselineSide(source, main, shape, label, measured, &samples, &error);
            else
                ok = runFloorSide(source, main, shape, label, measured, &samples);
            QDir::setCurrent(work);
        }
    }
    QDir(runsDir).removeRecursively();
    loaded.reset();
    if (!ok)
        return false;
    report(shape, label, samples);
    return true;
}

// A package of files of 4 KB, half of them directly in "update" (a change
// each), half in folders of 100 that move in whole.
Bench::PackageShape scaleShape(int files)
{
    return { QStringLiteral("scale-%1").arg(files), files / 2, files / 200, 100, 4096 };
}

// The upgrade alone, runs times, on packages of growing size: the median
// time per file of each, and how it grows from 10,000 to 100,000 files.
bool measureScale(const QString &work, int runs)
{
    const QList<int> sizes { 1000, 10000, 100000 };
    QStringList perFile, steps;
    QMap<int, double> usPerFile;
    for (int files : sizes) {
        const Bench::PackageShape shape = scaleShape(files);
        std::unique_ptr<LoadedPackage> loaded = loadPackage(work, shape, false);
        if (!loaded)
            return false;
        const QString package = Bench::packagePath(work, shape);
        const QString runsDir = work + QStringLiteral("/scale-runs");
        QDir(runsDir).removeRecursively();
        Bench::spreadSubfolders(runsDir);
        Samples samples;
        bool ok = true;
        for (int run = 0; ok && run < runs; ++run) {
            const QString runDir = runsDir + QStringLiteral("/%1").arg(run);
            const QString main = freshInstallation(runDir, QString(), package);
            QDir::setCurrent(runDir);
            ok = runUpgradeSide(main, shape, shape.name, true, &samples);
            QDir::setCurrent(work);
        }
        QDir(runsDir).removeRecursively();
        loaded.reset();
        if (!ok)
            return false;
        const auto us = [files](double ms) { return ms * 1000 / files; };
        usPerFile[files] = us(Bench::median(samples.upgrade));
        const QString count = QLocale(QLocale::English).toString(files);
        perFile << QStringLiteral("%1 files %2 us").arg(count).arg(usPerFile[files], 0, 'f', 1);
        steps << QStringLiteral("%1: extraction %2, update step %3, the rest %4 us (runs in ms %5)")
                     .arg(count)
                     .arg(us(Bench::median(samples.extract)), 0, 'f', 1)
                     .arg(us(Bench::median(samples.update)), 0, 'f', 1)
                     .arg(us(Bench::median(samples.rest)), 0, 'f', 1)
                     .arg(Bench::runsList(samples.upgrade));
    }
    Bench::print(
        figure(QStringLiteral("scale 4 KB files, upgrade time per file: %1")
                   .arg(perFile.join(QStringLiteral(", "))),
            usPerFile[100000] / usPerFile[10000], 1.3)
            .replace(QStringLiteral(", ratio"), QStringLiteral("; ratio 100,000 / 10,000")));
    Bench::print(
        QStringLiteral("      (per file, medians: %1)").arg(steps.join(QStringLiteral("; "))));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString work = Bench::workFolder(args);
    const int runs
        = qMax(1, Bench::option(args, QStringLiteral("--runs"), QStringLiteral("3")).toInt());
    const QString only = Bench::option(args, QStringLiteral("--only"), QString());
    sides = Bench::option(args, QStringLiteral("--sides"), QString());
    settleSeconds = Bench::option(args, QStringLiteral("--settle"), QStringLiteral("6")).toInt();
    // The file steps write a debug line each; they are not part of the figure.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            Bench::fail(message);
    });
    QDir().mkpath(work);
    Bench::touchMemory(qint64(2) << 30);

    bool ok = true;
    const Bench::PackageShape large = Bench::largeFiles();
    const Bench::PackageShape small = Bench::manySmallFiles();
    if (only.isEmpty() || only == large.name)
        ok = measure(work, large, QStringLiteral("(a) 200 x 1 MB"), runs) && ok;
    if (only.isEmpty() || only == small.name)
        ok = measure(work, small, QStringLiteral("(b) 20,000 x 4 KB"), runs) && ok;
    const Bench::PackageShape failing = Bench::manySmallFilesRolledBack();
    if (only.isEmpty() || only == failing.name)
        ok = measure(work, failing, QStringLiteral("(b) 20,000 x 4 KB"), runs) && ok;
    if (only.isEmpty() || only == QLatin1String("scale"))
        ok = measureScale(work, runs) && ok;
    return ok ? 0 : 1;
}
