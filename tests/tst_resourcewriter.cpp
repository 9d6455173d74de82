#include <QtTest>

#include "PackageFile.h"
#include "ResourceWriter.h"
#include "UpgradeConstants.h"
#include "support/TestPackage.h"

Q_DECLARE_METATYPE(TestPackage::Files)
Q_DECLARE_METATYPE(ResourceWriter::Failure)

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Everything a registered resource file shows below root: "path/" for a
// folder, "path" -> bytes (read by path, so through Qt's lookup) and the
// modification time for a file.
QMap<QString, QByteArray> listing(const QString &root)
{
    QMap<QString, QByteArray> tree;
    const QString base = QLatin1Char(':') + root + QLatin1Char('/');
    QDirIterator it(
        base, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        if (info.isDir())
            tree.insert(path.mid(base.size()) + QLatin1Char('/'), QByteArray());
        else
            tree.insert(path.mid(base.size()),
                readAll(path) + '@' + QByteArray::number(info.lastModified().toMSecsSinceEpoch()));
    }
    return tree;
}

} // namespace

// Resource files written in-process, read back by Qt and compared with what
// Qt's rcc writes for the same files.
class tst_ResourceWriter : public QObject
{
    Q_OBJECT
private slots:
    void readsBack_data();
    void readsBack();
    void sameTreeAsRcc_data() { readsBack_data(); }
    void sameTreeAsRcc();
    void refuses_data();
    void refuses();
};

void tst_ResourceWriter::readsBack_data()
{
    QTest::addColumn<TestPackage::Files>("files");
    QTest::addColumn<QStringList>("rccArgs");
    const QStringList stored { "--no-compress" };
    TestPackage::Files many;
    for (int i = 0; i < 300; ++i)
        many.append({ QString("upgrade/add/f%1.dll").arg(i), QByteArray::number(i) });
    QByteArray big(5 * 1024 * 1024 + 3, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 + i / 4096);
    const TestPackage::Files mixed { { "upgrade/readme.txt", QByteArray(400, 'r') },
        { "upgrade/update/a.txt", "a" }, { "upgrade/delete/old/", {} },
        { "upgrade/add/empty.bin", {} } };

    QTest::newRow("Chinese names") << TestPackage::Files { { "upgrade/更新/说明.txt", "说明" },
        { "upgrade/更新/数据库/脚本.sql", "select 1;" }, { "upgrade/添加/图标.png", "png" } }
                                   << stored;
    QTest::newRow("300 files in one folder") << many << stored;
    QTest::newRow("empty and nested folders") << TestPackage::Files { { "upgrade/delete/a/", {} },
        { "upgrade/delete/a/b/c/", {} }, { "upgrade/update/x/y/z/deep.txt", "deep" },
        { "upgrade/update/x/top.txt", "t" } } << stored;
    QTest::newRow("file larger than a copied chunk")
        << TestPackage::Files { { "upgrade/update/big.bin", big } } << stored;
    QTest::newRow("format 1") << mixed << QStringList { "--no-compress", "--format-version", "1" };
    QTest::newRow("format 2") << mixed << QStringList { "--no-compress", "--format-version", "2" };
    QTest::newRow("zlib, format 3")
        << mixed << QStringList { "--compress-algo", "zlib", "--threshold", "0" };
    QTest::newRow("zlib level 9, format 2")
        << mixed + many
        << QStringList { "--compress-algo", "zlib", "--compress", "9", "--format-version", "2" };
}

namespace {

// Writes the files with the writer, as rccArgs ask; on disk below dir.
QString writeWithWriter(const QString &dir, const TestPackage::Files &files,
    const QStringList &rccArgs, TestPackage::Sources *sources)
{
    QString error;
    ResourceWriter::Options options;
    const QString written = dir + "/written.rcc";
    if (!TestPackage::writeSources(dir + "/src", files, sources, &error)
        || !TestPackage::writerOptions(rccArgs, &options)
        || !TestPackage::runWriter(*sources, written, options, &error)) {
        qWarning("%s", qPrintable(error));
        return QString();
    }
    return written;
}

} // namespace

// Every file reads back by its path, the structural check accepts the file.
void tst_ResourceWriter::readsBack()
{
    QFETCH(TestPackage::Files, files);
    QFETCH(QStringList, rccArgs);
    QTemporaryDir tmp;
    TestPackage::Sources sources;
    const QString written = writeWithWriter(tmp.path(), files, rccArgs, &sources);
    QVERIFY(!written.isEmpty());
    QString detail;
    QCOMPARE(PackageFile::validate(readAll(written), &detail), PackageFile::Verdict::Valid);
    QVERIFY(QResource::registerResource(written, "/written"));
    const QMap<QString, QByteArray> tree = listing("/written");
    QVERIFY(QResource::unregisterResource(written, "/written"));
    for (const auto &file : files) {
        const QString path = file.first.endsWith('/')
            ? file.first + UpgradeConstants::placeholderFileName()
            : file.first;
        QVERIFY2(tree.contains(path), qPrintable(path));
        QCOMPARE(tree.value(path).left(tree.value(path).lastIndexOf('@')), file.second);
    }
}

// The same sources (so the same times) through rcc: the same tree, bytes and
// times through QResource, and the same header.
void tst_ResourceWriter::sameTreeAsRcc()
{
    QFETCH(TestPackage::Files, files);
    QFETCH(QStringList, rccArgs);
    if (TestPackage::rccProgram().isEmpty())
        QSKIP("compared with Qt's rcc only where there is one (not in the Windows Qt SDK)");
    QTemporaryDir tmp;
    TestPackage::Sources sources;
    const QString written = writeWithWriter(tmp.path(), files, rccArgs, &sources);
    QVERIFY(!written.isEmpty());
    const QString viaRcc = tmp.filePath("rcc.rcc");
    QString error;
    QVERIFY2(TestPackage::runRcc(sources, viaRcc, rccArgs, &error), qPrintable(error));
    QVERIFY(QResource::registerResource(written, "/written"));
    QVERIFY(QResource::registerResource(viaRcc, "/rcc"));
    const QMap<QString, QByteArray> tree = listing("/written"), rccTree = listing("/rcc");
    QVERIFY(QResource::unregisterResource(written, "/written"));
    QVERIFY(QResource::unregisterResource(viaRcc, "/rcc"));
    QCOMPARE(tree.keys(), rccTree.keys());
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        QVERIFY2(it.value() == rccTree.value(it.key()), qPrintable(it.key()));
    // The sections have the same sizes, so the headers are the same.
    const QByteArray bytes = readAll(written), fromRcc = readAll(viaRcc);
    QCOMPARE(bytes.size(), fromRcc.size());
    const int headerSize = bytes.at(7) >= 3 ? 24 : 20;
    QCOMPARE(bytes.left(headerSize).toHex(), fromRcc.left(headerSize).toHex());
}

void tst_ResourceWriter::refuses_data()
{
    QTest::addColumn<QStringList>("paths"); // resource path, source, ...; "*" is a real file
    QTest::addColumn<QString>("output"); // relative to the temporary folder
    QTest::addColumn<ResourceWriter::Failure>("failure");
    using F = ResourceWriter::Failure;
    QTest::newRow("path given twice")
        << QStringList { "a/b", "*", "a/b", "*" } << "out.rcc" << F::DuplicatePath;
    QTest::newRow("path through a file")
        << QStringList { "a/b", "*", "a/b/c", "*" } << "out.rcc" << F::BadPath;
    QTest::newRow("dot-dot part") << QStringList { "a/../b", "*" } << "out.rcc" << F::BadPath;
    QTest::newRow("empty part") << QStringList { "a//b", "*" } << "out.rcc" << F::BadPath;
    QTest::newRow("source missing")
        << QStringList { "a", "*", "b", "missing.bin" } << "out.rcc" << F::CannotReadSource;
    QTest::newRow("source is a folder")
        << QStringList { "a", "." } << "out.rcc" << F::CannotReadSource;
#ifdef Q_OS_LINUX
    // Says it is empty but has bytes: what a file growing meanwhile looks like.
    QTest::newRow("source changes its size")
        << QStringList { "a", "/proc/self/status" } << "out.rcc" << F::SourceChanged;
#endif
    QTest::newRow("a folder in the output's place")
        << QStringList { "a", "*" } << "folder" << F::CannotWrite;
    QTest::newRow("output folder missing")
        << QStringList { "a", "*" } << "no/such/out.rcc" << F::CannotWrite;
}

// Bad input is named and leaves no output behind.
void tst_ResourceWriter::refuses()
{
    QFETCH(QStringList, paths);
    QFETCH(QString, output);
    QFETCH(ResourceWriter::Failure, failure);
    QTemporaryDir tmp;
    QVERIFY(QDir(tmp.path()).mkdir("folder"));
    QFile real(tmp.filePath("real.bin"));
    QVERIFY(real.open(QIODevice::WriteOnly) && real.write("bytes") == 5);
    real.close();
    ResourceWriter writer;
    for (int i = 0; i + 1 < paths.size(); i += 2) {
        const QString source = paths.at(i + 1) == "*" ? real.fileName()
            : QDir::isAbsolutePath(paths.at(i + 1))   ? paths.at(i + 1)
                                                      : tmp.filePath(paths.at(i + 1));
        writer.addFile(paths.at(i), source);
    }
    // A refused entry also refuses the write: the file would lack it.
    QVERIFY(!writer.write(tmp.filePath(output)));
    QCOMPARE(writer.failure(), failure);
    QVERIFY(!writer.errorString().isEmpty());
    QVERIFY(!QFileInfo(tmp.filePath(output)).isFile());
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), QStringList { "real.bin" });
}

QTEST_GUILESS_MAIN(tst_ResourceWriter)
#include "tst_resourcewriter.moc"
