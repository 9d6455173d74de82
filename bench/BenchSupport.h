#pragma once

// Shared by the benchmark programs: sample packages built with the package
// builder, a sample installation, child processes for fresh measurements,
// medians and the figure lines that scripts/bench prints.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cstdio>

#include "CUpgradeWorker.h"
#include "PackageBuilder.h"
#include "UpgradeConstants.h"

namespace Bench {

// How a sample package's "update" folder is laid out: topFiles files directly
// in it (each one gets its own log lines), and nestedFolders folders below
// "update/nested", each holding filesPerFolder files.
struct PackageShape
{
    QString name; // file name of the package without ".rcc"
    int topFiles = 0;
    int nestedFolders = 0;
    int filesPerFolder = 0;
    qint64 fileSize = 0;
    // The package's last after script fails, so that the upgrade is rolled back.
    bool failingAfterScript = false;
    // The files hold zeros, written as sparse files (a big package built fast).
    bool zeros = false;

    int fileCount() const { return topFiles + nestedFolders * filesPerFolder; }
    qint64 dataBytes() const { return qint64(fileCount()) * fileSize; }
};

inline PackageShape largeFiles() // (a) 200 files of 1 MB
{
    return { QStringLiteral("large-files"), 100, 10, 10, 1024 * 1024 };
}

inline PackageShape manySmallFiles() // (b) 20,000 files of 4 KB
{
    return { QStringLiteral("small-files"), 10000, 100, 100, 4096 };
}

inline PackageShape manySmallFilesRolledBack() // (b), failing at its last after script
{
    PackageShape shape = manySmallFiles();
    shape.name = QStringLiteral("small-files-failing");
    shape.failingAfterScript = true;
    return shape;
}

inline PackageShape halfGigabyte() // 500 MB in 50 files of 10 MB
{
    return { QStringLiteral("half-gigabyte"), 10, 4, 10, 10 * 1024 * 1024 };
}

// The largest Qt 5 reads (2 GiB of files): 1.9 GB in 4 files of 480 MB of zeros
inline PackageShape bigPackage()
{
    PackageShape shape { QStringLiteral("big"), 4, 0, 0, qint64(480) * 1024 * 1024 };
    shape.zeros = true;
    return shape;
}

// A worker set up for the bench packages (versions 2.1.5 to 2.1.9, exe_path
// bin, no database step), moved to thread and started there, as the window
// runs it; it is deleted when thread finishes.
inline CUpgradeWorker *startWorker(QThread &thread)
{
    auto *worker = new CUpgradeWorker;
    worker->setDbFlags(0, 0);
    worker->setExePath(QStringLiteral("bin"));
    worker->setVersions(QStringLiteral("2.1.5"), QStringLiteral("2.1.9"));
    worker->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
    return worker;
}

// Answers the extraction's end as the window does: the upgrade goes on, or
// the failed extraction is cleared away.
inline void continueAfterExtraction(CUpgradeWorker *worker, QObject *receiver)
{
    QObject::connect(worker, &CUpgradeWorker::sigCopyAllEnd, receiver, [worker](bool ok) {
        if (ok)
            QMetaObject::invokeMethod(
                worker, &CUpgradeWorker::doStartUpgrade, Qt::QueuedConnection);
        else
            QMetaObject::invokeMethod(
                worker, &CUpgradeWorker::slotFaildClear, Qt::QueuedConnection);
    });
}

inline void print(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

inline void fail(const QString &line)
{
    std::fprintf(stderr, "bench: %s\n", qPrintable(line));
    std::fflush(stderr);
}

inline double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

inline double maximum(const QVector<double> &values)
{
    return values.isEmpty() ? 0 : *std::max_element(values.begin(), values.end());
}

inline QString ms(double value)
{
    return QString::number(value, 'f', value < 10 ? 1 : 0) + QStringLiteral(" ms");
}

// Every run's value, whole, separated by spaces.
inline QString runsList(const QVector<double> &values)
{
    QStringList parts;
    for (double v : values)
        parts << QString::number(v, 'f', 0);
    return parts.join(QLatin1Char(' '));
}

// Bytes that differ from file to file and don't compress (a package is
// stored uncompressed anyway, but nothing along the way should profit).
inline QByteArray fileBytes(qint64 size, quint64 seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    quint64 x = seed * 0x9e3779b97f4a7c15ULL + 0x2545f4914f6cdd1dULL;
    auto *out = reinterpret_cast<quint64 *>(bytes.data());
    const qint64 words = size / 8;
    for (qint64 i = 0; i < words; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = x;
    }
    for (qint64 i = words * 8; i < size; ++i)
        bytes[int(i)] = char(i);
    return bytes;
}

// A file of size zeros, sparse where the file system allows.
inline bool writeZeros(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size);
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size() && file.flush();
}

// A descriptor that fits the sample installation below (product 7, 2.1.5).
inline QByteArray descriptorXml()
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("root"));
    writer.writeStartElement(QStringLiteral("module"));
    const QList<QPair<QString, QString>> entries {
        { QStringLiteral("software_product_id"), QStringLiteral("7") },
        { QStringLiteral("software_version_from"), QStringLiteral("2.1.0") },
        { QStringLiteral("software_version_to"), QStringLiteral("2.1.9") },
        { QStringLiteral("upgrade_type"), QStringLiteral("0") },
        { QStringLiteral("if_upgrade_db"), QStringLiteral("0") },
        { QStringLiteral("exe_path"), QStringLiteral("bin") },
    };
    for (const auto &entry : entries) {
        writer.writeEmptyElement(QStringLiteral("item"));
        writer.writeAttribute(QStringLiteral("key"), entry.first);
        writer.writeAttribute(QStringLiteral("value"), entry.second);
    }
    writer.writeEndDocument();
    return xml;
}

// Folder that holds the package's source tree ("upgrade/..."), kept so the
// baseline can copy the same files with cp.
inline QString sourceDir(const QString &work, const PackageShape &shape)
{
    return work + QStringLiteral("/src-") + shape.name;
}

inline QString packagePath(const QString &work, const PackageShape &shape)
{
    return work + QLatin1Char('/') + shape.name + QStringLiteral(".rcc");
}

inline void syncDisks()
{
    QProcess::execute(QStringLiteral("sync"), QStringList());
}

// Builds the package once per work folder (a later program reuses it).
// keepSource false removes the source tree after building.
inline QString ensurePackage(
    const QString &work, const PackageShape &shape, bool keepSource, QString *error)
{
    const QString output = packagePath(work, shape);
    const QString source = sourceDir(work, shape);
    const QString done = source + QStringLiteral(".complete");
    if (QFileInfo::exists(output) && QFileInfo::exists(done)
        && (!keepSource || QFileInfo::exists(source)))
        return output;

    QDir(source).removeRecursively();
    QFile::remove(output);
    QElapsedTimer clock;
    clock.start();
    const QString upgrade = source + QStringLiteral("/upgrade");
    bool ok = writeFile(upgrade + QStringLiteral("/upgrade_config.xml"), descriptorXml())
        && writeFile(upgrade + QStringLiteral("/readme.txt"), "benchmark package\n")
        && (!shape.failingAfterScript
            || writeFile(upgrade + QStringLiteral("/shell/shell_after/zz_fail.bat"), "exit 1\n"));
    int index = 0;
    for (int i = 0; ok && i < shape.topFiles; ++i, ++index) {
        const QString top
            = upgrade + QStringLiteral("/update/top_%1.dat").arg(i, 5, 10, QLatin1Char('0'));
        ok = shape.zeros ? writeZeros(top, shape.fileSize)
                         : writeFile(top, fileBytes(shape.fileSize, quint64(index)));
    }
    for (int d = 0; ok && d < shape.nestedFolders; ++d) {
        const QString folder
            = upgrade + QStringLiteral("/update/nested/folder_%1").arg(d, 3, 10, QLatin1Char('0'));
        for (int f = 0; ok && f < shape.filesPerFolder; ++f, ++index)
            ok = writeFile(folder + QStringLiteral("/file_%1.dat").arg(f, 5, 10, QLatin1Char('0')),
                fileBytes(shape.fileSize, quint64(index)));
    }
    if (!ok) {
        *error = QStringLiteral("cannot write the source tree below ") + source;
        return QString();
    }
    if (!PackageBuilder::build(source, output, error))
        return QString();
    if (!keepSource)
        QDir(source).removeRecursively();
    writeFile(done, QByteArray());
    // The writeback of what was just built would otherwise fall into the
    // first measured runs.
    syncDisks();
    print(QStringLiteral("(built %1: %2 files, %3 MB package, %4 s)")
              .arg(QFileInfo(output).fileName())
              .arg(shape.fileCount())
              .arg(QFileInfo(output).size() / 1e6, 0, 'f', 1)
              .arg(clock.elapsed() / 1000.0, 0, 'f', 1));
    return output;
}

// Reads a file once so that it sits in the page cache.
inline void warmFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    while (file.read(buffer.data(), buffer.size()) > 0) { }
}

inline void warmTree(const QString &root)
{
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        warmFile(it.next());
}

inline int countFiles(const QString &root)
{
    int count = 0;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

// Makes folder (new or empty) one whose sub-folders ext4 spreads over block
// groups with free inodes, as it does for folders at the top of the file
// system ("chattr +T"); elsewhere nothing happens. See spreadRuns in
// bench_apply for why.
inline void spreadSubfolders(const QString &folder)
{
    QDir().mkpath(folder);
    QProcess chattr;
    chattr.setProcessChannelMode(QProcess::MergedChannels);
    chattr.start(QStringLiteral("chattr"), { QStringLiteral("+T"), folder });
    chattr.waitForFinished(10000);
}

// Writes back dirty pages and empties the page cache (root only; false when
// not allowed). In a virtual machine, memory the guest has not used before
// costs a host page fault on first touch, which made copies into fresh page
// cache two to four times slower than the same copy into pages used before;
// giving the cache back before each run lets every run write into pages the
// machine has already touched. The caller warms what the run reads afterwards.
inline bool dropPageCache()
{
    syncDisks();
    QFile control(QStringLiteral("/proc/sys/vm/drop_caches"));
    return control.open(QIODevice::WriteOnly) && control.write("3\n") == 2;
}

// Touches size bytes of fresh memory once, so that the guest's pages are
// backed by the host before anything is timed.
inline void touchMemory(qint64 size)
{
    const qint64 page = 4096;
    QByteArray block(int(qMin<qint64>(size, 1 << 30)), Qt::Uninitialized);
    for (qint64 done = 0; done < size; done += block.size()) {
        QByteArray fresh(block.size(), Qt::Uninitialized);
        for (qint64 i = 0; i < fresh.size(); i += page)
            fresh[int(i)] = 1;
    }
}

// An installation of product 7, version 2.1.5, without a database, below
// root: the record "C:/Program Files/Tessaron/setup_config.xml" relative to
// root (which must be the working directory while the installer runs) and
// the main directory root/suite with its second record. Returns the main
// directory.
inline QString layOutInstallation(const QString &root)
{
    const QString main = root + QStringLiteral("/suite");
    QDir().mkpath(main + QStringLiteral("/platform/bin"));
    QDir().mkpath(main + QStringLiteral("/product/bin"));
    const QByteArray record
        = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n <module>\n"
                         "  <item key=\"software_product_id\" value=\"7\"/>\n"
                         "  <item key=\"software_name_zh\" value=\"测试套件\"/>\n"
                         "  <item key=\"software_name_en\" value=\"Test Suite\"/>\n"
                         "  <item key=\"software_version\" value=\"2.1.5\"/>\n"
                         "  <item key=\"isMain\" value=\"1\"/>\n"
                         "  <item key=\"isDb\" value=\"0\"/>\n"
                         "  <item key=\"isWeb\" value=\"0\"/>\n"
                         "  <item key=\"MainPath\" value=\"%1\"/>\n"
                         " </module>\n</root>\n")
              .arg(main)
              .toUtf8();
    writeFile(root + QLatin1Char('/') + UpgradeConstants::installDir() + QLatin1Char('/')
            + UpgradeConstants::recordFileName(),
        record);
    writeFile(
        main + QStringLiteral("/product/common/sysconfig/") + UpgradeConstants::recordFileName(),
        record);
    return main;
}

// Peak resident memory of this process in kB (VmHWM), or -1.
// Makes <work>/<name> a fresh installation and the working directory, and
// counts any warning as a failure (debug lines and the offscreen platform's
// notes aside). Returns the folder.
inline QString prepareWindowRun(const QString &work, const QString &name)
{
    const QString runDir = work + QLatin1Char('/') + name;
    QDir(runDir).removeRecursively();
    QDir().mkpath(runDir);
    layOutInstallation(runDir);
    QDir::setCurrent(runDir);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type != QtDebugMsg && type != QtInfoMsg
            && !message.contains(QLatin1String("propagateSizeHints"))
            && !message.contains(QLatin1String("XDG_RUNTIME_DIR")))
            fail(message);
    });
    return runDir;
}

inline qint64 peakResidentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Runs this program again with arguments and returns its standard output
// lines of the form "result KEY VALUE" as KEY -> VALUE. A fresh process per
// measurement keeps peaks and caches of one run out of the next.
inline QMap<QString, QString> runChild(const QStringList &arguments, int timeoutMs, QString *error)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    QMap<QString, QString> results;
    if (!child.waitForFinished(timeoutMs)) {
        child.kill();
        child.waitForFinished(5000);
        *error = QStringLiteral("the measuring child did not finish in time");
        return results;
    }
    const QList<QByteArray> lines = child.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("result ")) {
            const QList<QByteArray> parts = line.split(' ');
            if (parts.size() >= 3)
                results.insert(QString::fromUtf8(parts.at(1)),
                    QString::fromUtf8(line.mid(8 + parts.at(1).size())));
        } else if (!line.isEmpty()) {
            print(QString::fromUtf8(line));
        }
    }
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        *error = QStringLiteral("the measuring child failed (exit code %1)").arg(child.exitCode());
    return results;
}

inline QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

// Value of "--name VALUE" in the arguments, or fallback.
inline QString option(const QStringList &arguments, const QString &name, const QString &fallback)
{
    const int at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : fallback;
}

// The command line, taken before any application object exists (the window
// benchmarks decide on it whether to start as the measured child).
inline QStringList arguments(int argc, char *argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return args;
}

// The folder for packages and runs: --work, or one in the temporary folder.
inline QString workFolder(const QStringList &arguments)
{
    return QDir(option(arguments, QStringLiteral("--work"),
                    QDir::tempPath() + QStringLiteral("/upgrade-bench")))
        .absolutePath();
}

} // namespace Bench
