#include <QtTest>

#include <memory>

#include "FastCopy.h"
#include "FolderCopy.h"
#include "support/EngineHarness.h"
#include "support/PlatformFiles.h"
#include "support/TestPackage.h"

#include <qplatformdefs.h>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace EngineHarness;

// FolderCopy::copyFile against QFile::copy, whose behaviour it keeps: every
// case runs once through each, in two identical folders, and both must end
// alike (result, and what stands at the target afterwards).
class tst_FileCopy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sameAsQFileCopy_data();
    void sameAsQFileCopy();
    void failedWriteLeavesNothing_data();
    void failedWriteLeavesNothing();
    void readBack_data();
    void readBack();

private:
    QTemporaryDir packages;
    QString plainPackage;
    QString compressedPackage;
    QByteArray largeContent;
    QString noSymLinks; // why no symbolic link can be made here; empty where one can
};

namespace {

enum Source {
    DiskFile,
    DiskEmptyFile,
    DiskLargeFile,
    DiskLinkToFile,
    DiskOtherFileSystem,
    DiskFolder,
    DiskMissing,
    PackageFile,
    PackageEmptyFile,
    PackageLargeFile,
    PackageCompressedFile,
    PackageFolder,
    PackageMissing,
};

enum Target { Absent, ExistingFile, DanglingLink, LinkToFile, ExistingFolder, MissingParent };

// What stands at path: kind and content, links not followed.
QString describe(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return QStringLiteral("link to ") + QFileInfo(info.symLinkTarget()).fileName();
    if (info.isDir())
        return QStringLiteral("folder");
    if (!info.exists())
        return QStringLiteral("nothing");
    const QByteArray bytes = readFile(path);
    return QStringLiteral("file of %1 bytes, sha1 %2")
        .arg(bytes.size())
        .arg(
            QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex()));
}

// The entries of a folder, with what each one is.
QStringList describeFolder(const QString &folder)
{
    QStringList result;
    const QStringList names = QDir(folder).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString &name : names)
        result << name + QStringLiteral(": ") + describe(folder + QLatin1Char('/') + name);
    return result;
}

} // namespace

void tst_FileCopy::initTestCase()
{
    QVERIFY(packages.isValid());
#ifdef Q_OS_WIN
    // QFile::link makes a shortcut file there, a file of its own: the rows
    // that need a real symbolic link skip where none can be made (wine).
    if (makeSymLink(packages.path(), packages.path() + "/probe", &noSymLinks))
        QDir(packages.path()).rmdir(QStringLiteral("probe"));
#endif
    largeContent.resize(3 * 1024 * 1024 + 17); // more than one block of any copy buffer
    for (int i = 0; i < largeContent.size(); ++i)
        largeContent[i] = char((i * 7919) >> 5);
    const Tree tree {
        { QStringLiteral("update/file.txt"), "bytes from the package" },
        { QStringLiteral("update/empty.txt"), QByteArray() },
        { QStringLiteral("update/large.bin"), largeContent },
        { QStringLiteral("update/folder/inner.txt"), "inner" },
    };
    QString error;
    plainPackage = buildPackage(packages.path(), tree, &error, QStringLiteral("plain.rcc"));
    QVERIFY2(!plainPackage.isEmpty(), qPrintable(error));
    QVERIFY(QResource::registerResource(plainPackage));
    // A compressed entry cannot be written out from the package's bytes as
    // they are; it must still arrive whole. Registered below its own root.
    TestPackage::Files files { { QStringLiteral("upgrade/compressed.txt"),
        QByteArray(4096, 'z') + "end of a well compressible file" } };
    compressedPackage = TestPackage::buildUnchecked(packages.path(), files, &error,
        QStringLiteral("compressed.rcc"),
        { QStringLiteral("--compress-algo"), QStringLiteral("zlib"), QStringLiteral("--threshold"),
            QStringLiteral("0") });
    QVERIFY2(!compressedPackage.isEmpty(), qPrintable(error));
    QVERIFY(QResource::registerResource(compressedPackage, QStringLiteral("/zipped")));
    QVERIFY(QResource(QStringLiteral(":/zipped/upgrade/compressed.txt")).compressionAlgorithm()
        != QResource::NoCompression);
}

void tst_FileCopy::cleanupTestCase()
{
    QResource::unregisterResource(plainPackage);
    QResource::unregisterResource(compressedPackage, QStringLiteral("/zipped"));
}

void tst_FileCopy::sameAsQFileCopy_data()
{
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("copied"); // 1 copied, 0 refused, -1 whatever QFile::copy does here

    QTest::newRow("file") << int(DiskFile) << int(Absent) << 1;
    QTest::newRow("empty file") << int(DiskEmptyFile) << int(Absent) << 1;
    QTest::newRow("file of several MiB") << int(DiskLargeFile) << int(Absent) << 1;
    QTest::newRow("link to a file: its content") << int(DiskLinkToFile) << int(Absent) << 1;
    // Where the kernel cannot copy between the two file systems itself.
    QTest::newRow("file on another file system") << int(DiskOtherFileSystem) << int(Absent) << 1;
    QTest::newRow("file from a package") << int(PackageFile) << int(Absent) << 1;
    QTest::newRow("empty file from a package") << int(PackageEmptyFile) << int(Absent) << 1;
    QTest::newRow("large file from a package") << int(PackageLargeFile) << int(Absent) << 1;
    QTest::newRow("compressed file from a package")
        << int(PackageCompressedFile) << int(Absent) << 1;
    QTest::newRow("existing target stays") << int(DiskFile) << int(ExistingFile) << 0;
    QTest::newRow("existing target stays, package source")
        << int(PackageFile) << int(ExistingFile) << 0;
    QTest::newRow("link to a file at the target stays") << int(DiskFile) << int(LinkToFile) << 0;
    // QFile::copy sees no file behind a dangling link and tries to put the
    // copy in its place, which succeeds or not depending on the folder (it
    // did in /tmp, not elsewhere); the quick copy leaves such a case to it.
    QTest::newRow("dangling link at the target") << int(DiskFile) << int(DanglingLink) << -1;
    QTest::newRow("folder at the target") << int(DiskFile) << int(ExistingFolder) << 0;
    QTest::newRow("target folder missing") << int(DiskFile) << int(MissingParent) << 0;
    QTest::newRow("target folder missing, package source")
        << int(PackageFile) << int(MissingParent) << 0;
    QTest::newRow("folder as source") << int(DiskFolder) << int(Absent) << 0;
    QTest::newRow("missing source") << int(DiskMissing) << int(Absent) << 0;
    // QFile reads a package folder as an empty file.
    QTest::newRow("package folder as source: an empty file")
        << int(PackageFolder) << int(Absent) << 1;
    QTest::newRow("missing package entry") << int(PackageMissing) << int(Absent) << 0;
}

void tst_FileCopy::sameAsQFileCopy()
{
    QFETCH(int, source);
    QFETCH(int, target);
    QFETCH(int, copied);

    const bool linkRow = source == DiskLinkToFile || target == DanglingLink || target == LinkToFile;
    if (linkRow && !noSymLinks.isEmpty())
        QSKIP(qPrintable(noSymLinks));
    QString why;
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    // A file in memory (tmpfs) when the temporary folder is on disk.
    std::unique_ptr<QTemporaryDir> elsewhere;
    if (source == DiskOtherFileSystem) {
        elsewhere.reset(new QTemporaryDir(QStringLiteral("/dev/shm/tst_filecopy-XXXXXX")));
        QT_STATBUF here, there;
        if (!elsewhere->isValid() || QT_STAT(QFile::encodeName(tmp.path()).constData(), &here) != 0
            || QT_STAT(QFile::encodeName(elsewhere->path()).constData(), &there) != 0
            || here.st_dev == there.st_dev)
            QSKIP("no second file system at hand (/dev/shm)");
        QVERIFY(writeFile(elsewhere->path() + "/file.bin", largeContent));
    }
    // One folder per way of copying, laid out alike.
    auto prepare = [&](const QString &root, QString *from, QString *to) {
        QDir().mkpath(root + "/in");
        QDir().mkpath(root + "/out");
        QVERIFY(writeFile(root + "/in/file.txt", "bytes on disk"));
        QVERIFY(writeFile(root + "/in/empty.txt"));
        QVERIFY(writeFile(root + "/in/large.bin", largeContent));
        // Left out where no symbolic link can be made (only the link rows need it).
        if (noSymLinks.isEmpty())
            QVERIFY2(
                makeSymLink(root + "/in/file.txt", root + "/in/link.txt", &why), qPrintable(why));
        QDir().mkpath(root + "/in/folder");
        switch (Source(source)) {
        case DiskFile:
            *from = root + "/in/file.txt";
            break;
        case DiskEmptyFile:
            *from = root + "/in/empty.txt";
            break;
        case DiskLargeFile:
            *from = root + "/in/large.bin";
            break;
        case DiskLinkToFile:
            *from = root + "/in/link.txt";
            break;
        case DiskOtherFileSystem:
            *from = elsewhere->path() + "/file.bin";
            break;
        case DiskFolder:
            *from = root + "/in/folder";
            break;
        case DiskMissing:
            *from = root + "/in/missing.txt";
            break;
        case PackageFile:
            *from = ":/upgrade/update/file.txt";
            break;
        case PackageEmptyFile:
            *from = ":/upgrade/update/empty.txt";
            break;
        case PackageLargeFile:
            *from = ":/upgrade/update/large.bin";
            break;
        case PackageCompressedFile:
            *from = ":/zipped/upgrade/compressed.txt";
            break;
        case PackageFolder:
            *from = ":/upgrade/update/folder";
            break;
        case PackageMissing:
            *from = ":/upgrade/update/missing.txt";
            break;
        }
        *to = root + "/out/target.txt";
        switch (Target(target)) {
        case Absent:
            break;
        case ExistingFile:
            QVERIFY(writeFile(*to, "installed bytes"));
            break;
        case DanglingLink:
            QVERIFY2(makeSymLink(root + "/out/gone.txt", *to, &why), qPrintable(why));
            break;
        case LinkToFile:
            QVERIFY(writeFile(root + "/out/real.txt", "installed bytes"));
            QVERIFY2(makeSymLink(root + "/out/real.txt", *to, &why), qPrintable(why));
            break;
        case ExistingFolder:
            QVERIFY(QDir().mkpath(*to));
            break;
        case MissingParent:
            *to = root + "/out/no such folder/target.txt";
            break;
        }
    };
    QString quickFrom, quickTo, qtFrom, qtTo;
    prepare(tmp.path() + "/quick", &quickFrom, &quickTo);
    prepare(tmp.path() + "/qt", &qtFrom, &qtTo);

    const bool quick = FolderCopy::copyFile(quickFrom, quickTo);
    const bool qt = QFile::copy(qtFrom, qtTo);
    QCOMPARE(quick, qt);
    if (copied >= 0)
        QCOMPARE(quick, copied == 1);
    QCOMPARE(describeFolder(tmp.path() + "/quick/out"), describeFolder(tmp.path() + "/qt/out"));
    QCOMPARE(describe(quickTo), describe(qtTo));
    if (quick)
        QCOMPARE(readFile(quickTo), readFile(quickFrom));
    // The source is never touched.
    QCOMPARE(describeFolder(tmp.path() + "/quick/in"), describeFolder(tmp.path() + "/qt/in"));
}

#ifdef Q_OS_UNIX
// The child side of failedWriteLeavesNothing: a file-size limit, then one copy
// (argv: limit, "quick" or "qt", source, target, package to register or "").
static int copyChildMain(int argc, char **argv)
{
    if (argc != 7)
        return 2;
    // Writes beyond the limit fail with EFBIG instead of killing us.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlim_t size = rlim_t(std::atoll(argv[2]));
    const struct rlimit limit
    {
        size, size
    };
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 3;
    QCoreApplication app(argc, argv);
    const QString package = QString::fromLocal8Bit(argv[6]);
    if (!package.isEmpty() && !QResource::registerResource(package))
        return 4;
    const QString source = QString::fromLocal8Bit(argv[4]);
    const QString target = QString::fromLocal8Bit(argv[5]);
    const bool copied = qstrcmp(argv[3], "quick") == 0 ? FolderCopy::copyFile(source, target)
                                                       : QFile::copy(source, target);
    return copied ? 0 : 1;
}
#endif

void tst_FileCopy::failedWriteLeavesNothing_data()
{
    QTest::addColumn<bool>("fromPackage");
    QTest::addColumn<qint64>("sizeLimit");
    QTest::addColumn<bool>("copied");

    // The controls show that the child can copy at all under a limit.
    QTest::newRow("control: limit above the size") << false << qint64(16 << 20) << true;
    QTest::newRow("control: limit above the size, package source")
        << true << qint64(16 << 20) << true;
    QTest::newRow("limit below the size") << false << qint64(1 << 20) << false;
    QTest::newRow("limit below the size, package source") << true << qint64(1 << 20) << false;
}

void tst_FileCopy::failedWriteLeavesNothing()
{
#ifndef Q_OS_UNIX
    QSKIP("file-size limits are a POSIX matter");
#else
    QFETCH(bool, fromPackage);
    QFETCH(qint64, sizeLimit);
    QFETCH(bool, copied);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString diskSource = tmp.path() + "/large.bin";
    QVERIFY(writeFile(diskSource, largeContent));
    const QString source = fromPackage ? QStringLiteral(":/upgrade/update/large.bin") : diskSource;
    for (const QString &way : { QStringLiteral("quick"), QStringLiteral("qt") }) {
        const QString folder = tmp.path() + '/' + way;
        QVERIFY(QDir().mkpath(folder));
        const QString target = folder + "/target.bin";
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(),
            { "--copy-child", QString::number(sizeLimit), way, source, target,
                fromPackage ? plainPackage : QString() });
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() <= 1, qPrintable(way + QStringLiteral(": child failed to run")));
        QCOMPARE(child.exitCode() == 0, copied);
        // Whole or nothing: no partial file, no temporary file.
        QCOMPARE(describeFolder(folder),
            copied ? QStringList(QStringLiteral("target.bin: ") + describe(diskSource))
                   : QStringList());
    }
#endif
}

// The check a watched copy makes of each file it wrote from memory: exactly
// the bytes, no more, no fewer.
void tst_FileCopy::readBack_data()
{
    QTest::addColumn<QByteArray>("onDisk");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<bool>("same");
    const QByteArray large(300 * 1024, 'x');
    QTest::newRow("equal") << large << large << true;
    QTest::newRow("empty") << QByteArray() << QByteArray() << true;
    QTest::newRow("last byte differs")
        << QByteArray(large).replace(large.size() - 1, 1, "y") << large << false;
    QTest::newRow("cut short") << large.left(4096) << large << false;
    QTest::newRow("longer") << large + "z" << large << false;
}

void tst_FileCopy::readBack()
{
    QFETCH(QByteArray, onDisk);
    QFETCH(QByteArray, written);
    QFETCH(bool, same);
    QTemporaryDir dir;
    const QString path = dir.filePath("file");
    QVERIFY(EngineHarness::writeFile(path, onDisk));
    QCOMPARE(FastCopy::holdsExactly(path, written), same);
    QVERIFY(!FastCopy::holdsExactly(dir.filePath("missing"), written));
}

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    if (argc > 1 && qstrcmp(argv[1], "--copy-child") == 0)
        return copyChildMain(argc, argv);
#endif
    QCoreApplication app(argc, argv);
    tst_FileCopy test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filecopy.moc"
