#include <QtTest>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QResource>

#include "PackageFile.h"
#include "RecordLayout.h"
#include "UpgradeConstants.h"
#include "support/TestPackage.h"

using PackageFile::Verdict;
Q_DECLARE_METATYPE(PackageFile::Verdict)

namespace {

const QByteArray descriptorXml = TestPackage::descriptor(7, "2.1.0", "2.1.5");

// The files of the sample package. "Ab" and "BR" share Qt's name hash, so the
// lookup has to step through a collision.
TestPackage::Files sampleFiles()
{
    QByteArray binary(3000, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 37 + 11) & 0xff);
    return { { "upgrade/upgrade_config.xml", descriptorXml },
        { "upgrade/readme.txt", QByteArray(400, 'r') }, { "upgrade/update/a.txt", "hello" },
        { "upgrade/update/cd", "two" }, { "upgrade/update/sub/b.bin", binary },
        { "upgrade/update/Ab", "collides" }, { "upgrade/update/BR", "with Ab" },
        { "upgrade/add/empty/", {} }, { "upgrade/shell/shell_before/1.bat", "echo 1" },
        { "upgrade/db/db_after/1.sql", QByteArray(2000, 's') } };
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint32 get32(const QByteArray &b, qint64 at)
{
    return quint32(uchar(b[int(at)])) << 24 | quint32(uchar(b[int(at + 1)])) << 16
        | quint32(uchar(b[int(at + 2)])) << 8 | quint32(uchar(b[int(at + 3)]));
}
quint16 get16(const QByteArray &b, qint64 at)
{
    return quint16(uchar(b[int(at)]) << 8 | uchar(b[int(at + 1)]));
}
void set32(QByteArray &b, qint64 at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b[int(at + i)] = char((v >> (24 - 8 * i)) & 0xff);
}
void set16(QByteArray &b, qint64 at, quint16 v)
{
    b[int(at)] = char(v >> 8);
    b[int(at + 1)] = char(v & 0xff);
}

quint32 qtNameHash(const QString &name)
{
    quint32 h = 0;
    for (const QChar c : name) {
        h = (h << 4) + c.unicode();
        h ^= (h & 0xf0000000) >> 23;
        h &= 0x0fffffff;
    }
    return h;
}

// Reads the layout of a resource file written by rcc, to damage it on purpose.
struct Layout
{
    QByteArray bytes;
    quint32 version = 0;
    qint64 tree = 0, data = 0, names = 0, nodeSize = 0;

    explicit Layout(const QByteArray &b)
        : bytes(b)
    {
        version = get32(b, 4);
        tree = get32(b, 8);
        data = get32(b, 12);
        names = get32(b, 16);
        nodeSize = version == 1 ? 14 : 22;
    }
    qint64 node(int index) const { return tree + index * nodeSize; }
    qint64 nameAt(int index) const { return names + get32(bytes, node(index)); }
    QString name(int index) const
    {
        const qint64 at = nameAt(index);
        QString text;
        for (int i = 0; i < get16(bytes, at); ++i)
            text += QChar(get16(bytes, at + 6 + 2 * i));
        return text;
    }
    bool isDir(int index) const { return get16(bytes, node(index) + 4) & 0x02; }
    int childCount(int index) const { return int(get32(bytes, node(index) + 6)); }
    int firstChild(int index) const { return int(get32(bytes, node(index) + 10)); }
    qint64 dataAt(int index) const { return data + get32(bytes, node(index) + 10); }
    // Node index of a path such as "upgrade/update/a.txt"; -1 if missing.
    int find(const QString &path) const
    {
        int current = 0;
        for (const QString &part : path.split('/')) {
            int found = -1;
            for (int c = firstChild(current); c < firstChild(current) + childCount(current); ++c) {
                if (name(c) == part)
                    found = c;
            }
            if (found < 0)
                return -1;
            current = found;
        }
        return current;
    }
    // Rewrites a name of the same length, hash included.
    void rename(int index, const QString &text)
    {
        const qint64 at = nameAt(index);
        set32(bytes, at + 2, qtNameHash(text));
        for (int i = 0; i < text.size(); ++i)
            set16(bytes, at + 6 + 2 * i, text.at(i).unicode());
    }
};

// Registers a buffer and reads it the way the installer does: the
// descriptor through the record reader, then every file of the tree.
// Returns the number of files read.
int loadLikeInstaller(const QByteArray &bytes)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    if (!QResource::registerResource(data))
        return -1;
    int files = 0;
    {
        RecordLayout::Entries entries;
        RecordLayout::readFile(UpgradeConstants::packageDescriptorPath(), &entries);
        QDirIterator it(QStringLiteral(":/upgrade"),
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (it.fileInfo().isDir())
                continue;
            QFile file(path);
            if (file.open(QIODevice::ReadOnly)) {
                file.readAll();
                ++files;
            }
        }
    }
    // Fails while anything still refers to the tree; the buffer must then stay.
    if (!QResource::unregisterResource(data))
        qFatal("package still in use after reading it");
    return files;
}

// A resource file made by hand, as rcc would lay it out (version 2, nothing
// compressed): root -> "upgrade" -> "add" -> the given files. Used for sizes
// that are impractical to push through rcc.
QByteArray syntheticPackage(int fileCount, int bytesPerFile, int bigFiles, int bigFileSize)
{
    struct Entry
    {
        QString name;
        int size;
    };
    QVector<Entry> files;
    for (int i = 0; i < fileCount; ++i)
        files.append({ QStringLiteral("f%1.dat").arg(i), bytesPerFile });
    for (int i = 0; i < bigFiles; ++i)
        files.append({ QStringLiteral("big%1.bin").arg(i), bigFileSize });
    std::sort(files.begin(), files.end(),
        [](const Entry &a, const Entry &b) { return qtNameHash(a.name) < qtNameHash(b.name); });

    QByteArray names;
    auto addName = [&names](const QString &name) {
        const quint32 offset = quint32(names.size());
        QByteArray entry(6 + 2 * name.size(), '\0');
        set16(entry, 0, quint16(name.size()));
        set32(entry, 2, qtNameHash(name));
        for (int i = 0; i < name.size(); ++i)
            set16(entry, 6 + 2 * i, name.at(i).unicode());
        names += entry;
        return offset;
    };
    const quint32 upgradeName = addName(QStringLiteral("upgrade"));
    const quint32 addFolderName = addName(QStringLiteral("add"));

    qint64 dataSize = 0;
    for (const Entry &e : files)
        dataSize += 4 + e.size;
    const qint64 nodeCount = 3 + files.size();
    const qint64 namesOffset = 20 + dataSize;
    // Names of the files are appended below; compute them first.
    QVector<quint32> nameOffsets;
    for (const Entry &e : files)
        nameOffsets.append(addName(e.name));
    const qint64 treeOffset = namesOffset + names.size();
    const qint64 total = treeOffset + nodeCount * 22;

    QByteArray out(int(total), '\0');
    memcpy(out.data(), "qres", 4);
    set32(out, 4, 2);
    set32(out, 8, quint32(treeOffset));
    set32(out, 12, 20);
    set32(out, 16, quint32(namesOffset));
    qint64 at = 20;
    QVector<quint32> dataOffsets;
    for (const Entry &e : files) {
        dataOffsets.append(quint32(at - 20));
        set32(out, at, quint32(e.size));
        at += 4 + e.size; // contents stay zero
    }
    memcpy(out.data() + namesOffset, names.constData(), size_t(names.size()));
    auto dirNode = [&](int index, quint32 name, quint32 count, quint32 first) {
        const qint64 n = treeOffset + index * 22;
        set32(out, n, name);
        set16(out, n + 4, 0x02);
        set32(out, n + 6, count);
        set32(out, n + 10, first);
    };
    dirNode(0, 0, 1, 1);
    dirNode(1, upgradeName, 1, 2);
    dirNode(2, addFolderName, quint32(files.size()), 3);
    for (int i = 0; i < files.size(); ++i) {
        const qint64 n = treeOffset + (3 + i) * 22;
        set32(out, n, nameOffsets.at(i));
        set16(out, n + 4, 0);
        set16(out, n + 6, 0); // any country
        set16(out, n + 8, 1); // language C
        set32(out, n + 10, dataOffsets.at(i));
    }
    return out;
}

} // namespace

class tst_PackageFile : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void validPackages_data();
    void validPackages();
    void zstdFollowsWhatQtCanDecode();
    void notResourceFiles_data();
    void notResourceFiles();
    void damaged_data();
    void damaged();
    void fuzzedPackagesNeverCrash();
    void largePackageIsFast();

private:
    QByteArray build(const QString &name, const QStringList &rccArgs);

    QTemporaryDir m_tmp;
    QByteArray m_builderPackage; // PackageBuilder output (format 3, uncompressed)
    QByteArray m_v1, m_v2, m_zlib2, m_zlib3, m_zstd3;
};

QByteArray tst_PackageFile::build(const QString &name, const QStringList &rccArgs)
{
    QString error;
    const QString path
        = TestPackage::buildUnchecked(m_tmp.path(), sampleFiles(), &error, name, rccArgs);
    if (path.isEmpty())
        qFatal("cannot build %s: %s", qPrintable(name), qPrintable(error));
    return readFile(path);
}

void tst_PackageFile::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    QString error;
    const QString path = TestPackage::build(m_tmp.path(), sampleFiles(), &error);
    QVERIFY2(!path.isEmpty(), qPrintable(error));
    m_builderPackage = readFile(path);
    QCOMPARE(get32(m_builderPackage, 4), 3u);
    const QStringList zlib { "--compress-algo", "zlib", "--threshold", "0", "--compress", "9" };
    m_v1 = build("v1.rcc", { "--no-compress", "--format-version", "1" });
    m_v2 = build("v2.rcc", { "--no-compress", "--format-version", "2" });
    m_zlib2 = build("zlib2.rcc", zlib + QStringList { "--format-version", "2" });
    m_zlib3 = build("zlib3.rcc", zlib + QStringList { "--format-version", "3" });
    m_zstd3 = build(
        "zstd3.rcc", { "--compress-algo", "zstd", "--threshold", "0", "--format-version", "3" });
    QCOMPARE(get32(m_v1, 4), 1u);
    QCOMPARE(get32(m_zlib3, 20), 1u); // the header names zlib
    QCOMPARE(get32(m_zstd3, 20), 4u); // and zstd
}

void tst_PackageFile::validPackages_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("builder output, format 3, stored") << m_builderPackage;
    QTest::newRow("format 1, stored") << m_v1;
    QTest::newRow("format 2, stored") << m_v2;
    QTest::newRow("format 2, zlib") << m_zlib2;
    QTest::newRow("format 3, zlib") << m_zlib3;
}

void tst_PackageFile::validPackages()
{
    QFETCH(QByteArray, bytes);
    QString detail = "untouched";
    QCOMPARE(PackageFile::validate(bytes, &detail), Verdict::Valid);
    QVERIFY(detail.isEmpty());

    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    QVERIFY(QResource::registerResource(data));
    QMap<QString, QByteArray> seen;
    {
        QDirIterator it(":/upgrade", QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            seen.insert(path.mid(2), readFile(path));
        }
    }
    QVERIFY(QResource::unregisterResource(data));
    for (const auto &file : sampleFiles()) {
        const QString path = file.first.endsWith('/')
            ? file.first + UpgradeConstants::placeholderFileName()
            : file.first;
        QVERIFY2(seen.contains(path), qPrintable(path));
        QCOMPARE(seen.value(path), file.second);
    }
}

// zstd entries pass only where this Qt can read them back.
void tst_PackageFile::zstdFollowsWhatQtCanDecode()
{
    const auto *data = reinterpret_cast<const uchar *>(m_zstd3.constData());
    QVERIFY(QResource::registerResource(data));
    const bool qtDecodes = readFile(":/upgrade/readme.txt") == QByteArray(400, 'r');
    QVERIFY(QResource::unregisterResource(data));
    QString detail;
    const Verdict verdict = PackageFile::validate(m_zstd3, &detail);
    qInfo("this Qt %s zstd", qtDecodes ? "decodes" : "does not decode");
    QCOMPARE(verdict, qtDecodes ? Verdict::Valid : Verdict::Damaged);
    if (!qtDecodes)
        QVERIFY2(detail.contains("cannot decode"), qPrintable(detail));
}

void tst_PackageFile::notResourceFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("three bytes of the magic") << QByteArray("qre");
    QTest::newRow("magic in upper case") << "QRES" + m_v2.mid(4);
    QTest::newRow("XML") << descriptorXml;
    QTest::newRow("PNG header") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    QTest::newRow("package behind a byte") << QByteArray(1, '\0') + m_v2;
}

void tst_PackageFile::notResourceFiles()
{
    QFETCH(QByteArray, bytes);
    QString detail;
    QCOMPARE(PackageFile::validate(bytes, &detail), Verdict::NotResourceFile);
    QVERIFY(!detail.isEmpty());
}

void tst_PackageFile::damaged_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected"); // part of the detail

    const Layout base(m_builderPackage);
    const int size = base.bytes.size();
    const int upgrade = base.find("upgrade");
    const int update = base.find("upgrade/update");
    const int add = base.find("upgrade/add");
    const int aTxt = base.find("upgrade/update/a.txt");
    const int ab = base.find("upgrade/update/cd");
    QVERIFY(upgrade > 0 && update > 0 && add > 0 && aTxt > 0 && ab > 0);

    auto row = [](const char *name, const QByteArray &bytes, const QString &expected) {
        QTest::newRow(name) << bytes << expected;
    };
    auto changed = [&base](auto change) {
        Layout copy = base;
        change(copy);
        return copy.bytes;
    };

    row("truncated header", base.bytes.left(12), "header is truncated");
    row("version 3 header without its flags word", base.bytes.left(22), "header is truncated");
    row("header only", base.bytes.left(24), "outside the file");
    row("format version 0", changed([](Layout &l) { set32(l.bytes, 4, 0); }), "format version 0");
    row("format version 4", changed([](Layout &l) { set32(l.bytes, 4, 4); }), "format version 4");
    row("unknown feature flag in the header", changed([](Layout &l) { set32(l.bytes, 20, 0x100); }),
        "unknown features");
    row("tree offset past the end",
        changed([size](Layout &l) { set32(l.bytes, 8, quint32(size)); }), "tree offset");
    row("tree offset inside the header", changed([](Layout &l) { set32(l.bytes, 8, 2); }),
        "tree offset");
    row("names offset past the end",
        changed([size](Layout &l) { set32(l.bytes, 16, quint32(size + 100)); }),
        "outside the file");
    row("data offset past the end", changed([](Layout &l) { set32(l.bytes, 12, 0xfffffff0u); }),
        "outside the file");
    row("root is not a directory", changed([](Layout &l) { set16(l.bytes, l.node(0) + 4, 0); }),
        "root node is not a directory");
    row("cycle: child index before its parent", changed([update, upgrade](Layout &l) {
        set32(l.bytes, l.node(update) + 10, quint32(upgrade));
    }),
        "cycle");
    row("cycle: directory is its own child",
        changed([update](Layout &l) { set32(l.bytes, l.node(update) + 10, quint32(update)); }),
        "cycle");
    row("cycle: child points at the root",
        changed([](Layout &l) { set32(l.bytes, l.node(0) + 10, 0); }), "cycle");
    row("child range outside the tree",
        changed([upgrade](Layout &l) { set32(l.bytes, l.node(upgrade) + 6, 1000); }),
        "outside the tree");
    row("child count near 2^32",
        changed([upgrade](Layout &l) { set32(l.bytes, l.node(upgrade) + 6, 0xffffffffu); }),
        "outside the tree");
    row("first child near 2^32",
        changed([upgrade](Layout &l) { set32(l.bytes, l.node(upgrade) + 10, 0xfffffff0u); }),
        "outside the tree");
    row("two folders share children", changed([update, add](Layout &l) {
        set32(l.bytes, l.node(add) + 6, get32(l.bytes, l.node(update) + 6));
        set32(l.bytes, l.node(add) + 10, get32(l.bytes, l.node(update) + 10));
    }),
        "reached twice");
    row("name offset past the end",
        changed([aTxt, size](Layout &l) { set32(l.bytes, l.node(aTxt), quint32(size)); }),
        "past the end");
    row("name length past the end",
        changed([aTxt](Layout &l) { set16(l.bytes, l.nameAt(aTxt), 0x7fff); }), "past the end");
    row("name length negative for Qt",
        changed([aTxt](Layout &l) { set16(l.bytes, l.nameAt(aTxt), 0x8001); }), "length");
    row("empty name", changed([aTxt](Layout &l) { set16(l.bytes, l.nameAt(aTxt), 0); }),
        "length 0");
    row("wrong name hash", changed([aTxt](Layout &l) {
        set32(l.bytes, l.nameAt(aTxt) + 2, get32(l.bytes, l.nameAt(aTxt) + 2) ^ 1);
    }),
        "wrong hash");
    row("children out of hash order", changed([upgrade](Layout &l) {
        const int first = l.firstChild(upgrade);
        const quint32 a = get32(l.bytes, l.node(first));
        set32(l.bytes, l.node(first), get32(l.bytes, l.node(first + 1)));
        set32(l.bytes, l.node(first + 1), a);
    }),
        "out of order");
    row("same name twice in a folder", changed([upgrade](Layout &l) {
        const int first = l.firstChild(upgrade);
        set32(l.bytes, l.node(first + 1), get32(l.bytes, l.node(first)));
    }),
        "twice");
    row("name '..'", changed([ab](Layout &l) { l.rename(ab, ".."); }), "no file name");
    row("name with a slash", changed([ab](Layout &l) { l.rename(ab, "a/"); }), "no file name");
    row("name with a backslash", changed([ab](Layout &l) { l.rename(ab, "a\\"); }), "no file name");
    row("data offset past the end",
        changed([aTxt](Layout &l) { set32(l.bytes, l.node(aTxt) + 10, 0x7ffffff0u); }),
        "past the end");
    row("data size past the end",
        changed([aTxt](Layout &l) { set32(l.bytes, l.dataAt(aTxt), 0x7fffffffu); }),
        "runs past the end");
    row("data size one byte too long at the end of the data", changed([](Layout &l) {
        // the last data entry ends where the names begin; claim one byte more
        // than the whole file holds after it
        set32(l.bytes, l.dataAt(l.find("upgrade/update/a.txt")),
            quint32(l.bytes.size() - l.dataAt(l.find("upgrade/update/a.txt")) - 4 + 1));
    }),
        "runs past the end");
    row("compressed directory",
        changed([update](Layout &l) { set16(l.bytes, l.node(update) + 4, 0x03); }),
        "unknown flags");
    row("unknown file flag", changed([aTxt](Layout &l) { set16(l.bytes, l.node(aTxt) + 4, 0x10); }),
        "unknown flags");
    row("file claims zlib and zstd",
        changed([aTxt](Layout &l) { set16(l.bytes, l.node(aTxt) + 4, 0x05); }), "two compression");
    row("file bound to a language",
        changed([aTxt](Layout &l) { set16(l.bytes, l.node(aTxt) + 8, 31); }), "language");
    row("file bound to a country",
        changed([aTxt](Layout &l) { set16(l.bytes, l.node(aTxt) + 6, 44); }), "country");
    row("stored file marked zlib without the header saying so",
        changed([aTxt](Layout &l) { set16(l.bytes, l.node(aTxt) + 4, 0x01); }),
        "header does not say so");

    // Compressed packages.
    const Layout zlib(m_zlib3);
    const int readme = zlib.find("upgrade/readme.txt");
    QVERIFY(readme > 0);
    QCOMPARE(get16(zlib.bytes, zlib.node(readme) + 4), quint16(0x01));
    auto zlibChanged = [&zlib](auto change) {
        Layout copy = zlib;
        change(copy);
        return copy.bytes;
    };
    row("zlib entry claims 2 GiB",
        zlibChanged([readme](Layout &l) { set32(l.bytes, l.dataAt(readme) + 4, 0x7fffffffu); }),
        "uncompressed bytes");
    row("zlib entry claims far more than deflate can give", zlibChanged([readme](Layout &l) {
        set32(l.bytes, l.dataAt(readme) + 4, get32(l.bytes, l.dataAt(readme)) * 2000);
    }),
        "uncompressed bytes");
    row("zlib entry shorter than its size field",
        zlibChanged([readme](Layout &l) { set32(l.bytes, l.dataAt(readme), 2); }), "only 2 bytes");
    row("zlib entry while the header names no compression",
        zlibChanged([](Layout &l) { set32(l.bytes, 20, 0); }), "header does not say so");

    const Layout zstd(m_zstd3);
    const int zReadme = zstd.find("upgrade/readme.txt");
    QVERIFY(zReadme > 0);
    QCOMPARE(get16(zstd.bytes, zstd.node(zReadme) + 4), quint16(0x04));
    auto zstdChanged = [&zstd](auto change) {
        Layout copy = zstd;
        change(copy);
        return copy.bytes;
    };
    row("zstd entry without its frame magic",
        zstdChanged([zReadme](Layout &l) { set32(l.bytes, l.dataAt(zReadme) + 4, 0); }), "zstd");
    row("zstd frame that hides its content size", zstdChanged([zReadme](Layout &l) {
        // no single segment, no size field: Qt would return an empty file
        l.bytes[int(l.dataAt(zReadme) + 8)] = 0x00;
    }),
        "zstd");
    row("zstd frame with a reserved bit", zstdChanged([zReadme](Layout &l) {
        l.bytes[int(l.dataAt(zReadme) + 8)] = char(l.bytes[int(l.dataAt(zReadme) + 8)] | 0x08);
    }),
        "zstd");
}

void tst_PackageFile::damaged()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QString detail;
    QCOMPARE(PackageFile::validate(bytes, &detail), Verdict::Damaged);
    QVERIFY2(detail.contains(expected), qPrintable(detail));
}

// Damaged copies of real packages go through the whole load path. Anything
// the check lets through must register and read without crashing or hanging.
void tst_PackageFile::fuzzedPackagesNeverCrash()
{
    QElapsedTimer timer;
    timer.start();
    QRandomGenerator random(20240611);
    int tried = 0;
    int rejected = 0;
    int loaded = 0;
    auto attempt = [&](const QByteArray &bytes) {
        ++tried;
        // A private copy: the registered tree points into the buffer.
        const QByteArray copy(bytes.constData(), bytes.size());
        if (PackageFile::validate(copy) != Verdict::Valid) {
            ++rejected;
            return;
        }
        if (loadLikeInstaller(copy) >= 0)
            ++loaded;
    };

    // Damaged compressed data that passes the structure check makes Qt warn
    // on every read; count the warnings instead of printing thousands.
    static int warnings;
    warnings = 0;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &) { ++warnings; });
    const QList<QByteArray> bases { m_builderPackage, m_v1, m_zlib2, m_zlib3, m_zstd3 };
    for (const QByteArray &base : bases) {
        // Every truncation.
        for (int length = 0; length < base.size(); ++length)
            attempt(base.left(length));
        // Byte changes, mostly in the header, the tree and the names, where the
        // structure lives; some anywhere.
        const int namesStart = int(get32(base, 16));
        for (int round = 0; round < 8000; ++round) {
            QByteArray bytes = base;
            const int changes = 1 + random.bounded(4);
            for (int c = 0; c < changes; ++c) {
                int at;
                switch (random.bounded(4)) {
                case 0:
                    at = random.bounded(24);
                    break;
                case 1:
                    at = random.bounded(int(get32(base, 8)), bytes.size());
                    break;
                case 2:
                    at = random.bounded(namesStart, int(get32(base, 8)));
                    break;
                default:
                    at = random.bounded(bytes.size());
                    break;
                }
                if (random.bounded(2))
                    bytes[at] = char(bytes[at] ^ (1 << random.bounded(8)));
                else
                    bytes[at] = char(random.bounded(256));
            }
            attempt(bytes);
        }
    }
    qInstallMessageHandler(previous);
    qInfo("fuzz: %d variants tried, %d rejected, %d registered and read (%d warnings from Qt), "
          "%lld ms",
        tried, rejected, loaded, warnings, timer.elapsed());
    QVERIFY(rejected > 0);
    QVERIFY(loaded > 0);
}

void tst_PackageFile::largePackageIsFast()
{
    // About 500 MB: 100 files of 5 MB and 50,000 small ones.
    const QByteArray bytes = syntheticPackage(50000, 16, 100, 5 * 1000 * 1000);
    QVERIFY(bytes.size() > 500 * 1000 * 1000);
    QElapsedTimer timer;
    timer.start();
    QString detail;
    const Verdict verdict = PackageFile::validate(bytes, &detail);
    const qint64 ms = timer.elapsed();
    QVERIFY2(verdict == Verdict::Valid, qPrintable(detail));
    qInfo("validated %d bytes with 50,100 files in %lld ms", bytes.size(), ms);
    QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));

    // The hand-made layout is one Qt reads: the files are found by path.
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    QVERIFY(QResource::registerResource(data));
    const qint64 bigSize = QFileInfo(":/upgrade/add/big7.bin").size();
    const qint64 smallSize = QFileInfo(":/upgrade/add/f49999.dat").size();
    QVERIFY(QResource::unregisterResource(data));
    QCOMPARE(bigSize, qint64(5 * 1000 * 1000));
    QCOMPARE(smallSize, qint64(16));
}

QTEST_GUILESS_MAIN(tst_PackageFile)
#include "tst_packagefile.moc"
