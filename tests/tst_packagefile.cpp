#include <QtTest>

#include <functional>

#include "PackageFile.h"
#include "RecordLayout.h"
#include "UpgradeConstants.h"
#include "support/TestPackage.h"

using PackageFile::Verdict;
Q_DECLARE_METATYPE(PackageFile::Verdict)

namespace {

// The files of the sample package. "Ab" and "BR" share Qt's name hash, so the
// lookup has to step through a collision.
TestPackage::Files sampleFiles()
{
    QByteArray binary(3000, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 37 + 11) & 0xff);
    return { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.5") },
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

// Big-endian fields, as rcc writes them.
quint32 get(const QByteArray &b, qint64 at, int size = 4)
{
    quint32 v = 0;
    for (int i = 0; i < size; ++i)
        v = v << 8 | uchar(b[int(at + i)]);
    return v;
}
void set(QByteArray &b, qint64 at, quint32 v, int size = 4)
{
    for (int i = 0; i < size; ++i)
        b[int(at + i)] = char((v >> (8 * (size - 1 - i))) & 0xff);
}

// A resource file's layout as rcc writes it, to damage it on purpose.
struct Layout
{
    QByteArray bytes;
    qint64 tree = 0, data = 0, names = 0, nodeSize = 0;

    explicit Layout(const QByteArray &b)
        : bytes(b)
        , tree(get(b, 8))
        , data(get(b, 12))
        , names(get(b, 16))
        , nodeSize(get(b, 4) == 1 ? 14 : 22)
    { }
    qint64 node(int index) const { return tree + index * nodeSize; }
    qint64 nameAt(int index) const { return names + get(bytes, node(index)); }
    QString name(int index) const
    {
        QString text;
        for (quint32 i = 0; i < get(bytes, nameAt(index), 2); ++i)
            text += QChar(get(bytes, nameAt(index) + 6 + 2 * i, 2));
        return text;
    }
    int firstChild(int index) const { return int(get(bytes, node(index) + 10)); }
    qint64 dataAt(int index) const { return data + get(bytes, node(index) + 10); }
    // Node index of a path such as "upgrade/update/a.txt"; -1 if missing.
    int find(const QString &path) const
    {
        int current = 0;
        for (const QString &part : path.split('/')) {
            const int first = firstChild(current), count = int(get(bytes, node(current) + 6));
            for (current = first; current < first + count && name(current) != part; ++current) { }
            if (current == first + count)
                return -1;
        }
        return current;
    }
    // Rewrites a name of the same length, hash included.
    void rename(int index, const QString &text)
    {
        set(bytes, nameAt(index) + 2, PackageFile::resourceNameHash(text));
        for (int i = 0; i < text.size(); ++i)
            set(bytes, nameAt(index) + 6 + 2 * i, text.at(i).unicode(), 2);
    }
};

// Registers a buffer and reads it the way the installer does: the descriptor
// through the record reader, then every file of the tree. Returns the number
// of files read.
int loadLikeInstaller(const QByteArray &bytes)
{
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    if (!QResource::registerResource(data))
        return -1;
    int files = 0;
    {
        RecordLayout::Entries entries;
        RecordLayout::readFile(UpgradeConstants::packageDescriptorPath(), &entries);
        QDirIterator it(
            ":/upgrade", QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            files += file.open(QIODevice::ReadOnly) && !file.readAll().isNull();
        }
    }
    // Fails while anything still refers to the tree; the buffer must then stay.
    if (!QResource::unregisterResource(data))
        qFatal("package still in use after reading it");
    return files;
}

// A resource file made by hand as rcc would lay it out (version 2, nothing
// compressed, contents zero): root -> "upgrade" -> "add" -> the files. Used for
// sizes that are impractical to push through rcc.
QByteArray syntheticPackage(QVector<QPair<QString, int>> files)
{
    std::sort(files.begin(), files.end(), [](const auto &a, const auto &b) {
        return PackageFile::resourceNameHash(a.first) < PackageFile::resourceNameHash(b.first);
    });
    QByteArray names;
    auto addName = [&names](const QString &name) {
        const quint32 offset = quint32(names.size());
        QByteArray entry(6 + 2 * name.size(), '\0');
        set(entry, 0, quint32(name.size()), 2);
        set(entry, 2, PackageFile::resourceNameHash(name));
        for (int i = 0; i < name.size(); ++i)
            set(entry, 6 + 2 * i, name.at(i).unicode(), 2);
        names += entry;
        return offset;
    };
    QByteArray out(20, '\0'), tree(22 * (3 + files.size()), '\0');
    auto node = [&tree](int index, quint32 name, quint16 flags, quint32 a, quint32 b) {
        set(tree, index * 22, name);
        set(tree, index * 22 + 4, flags, 2);
        set(tree, index * 22 + 6, a); // child count, or country and language
        set(tree, index * 22 + 10, b); // first child, or data offset
    };
    node(0, 0, 2, 1, 1);
    node(1, addName("upgrade"), 2, 1, 2);
    node(2, addName("add"), 2, quint32(files.size()), 3);
    for (int i = 0; i < files.size(); ++i) {
        node(3 + i, addName(files.at(i).first), 0, 1,
            quint32(out.size() - 20)); // any country, language C
        QByteArray entry(4 + files.at(i).second, '\0');
        set(entry, 0, quint32(files.at(i).second));
        out += entry;
    }
    memcpy(out.data(), "qres", 4);
    set(out, 4, 2);
    set(out, 8, quint32(out.size() + names.size()));
    set(out, 12, 20);
    set(out, 16, quint32(out.size()));
    return out + names + tree;
}

} // namespace

// The structure check of package files before they are registered.
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
    QTemporaryDir m_tmp;
    QByteArray m_builder; // PackageBuilder output (format 3, uncompressed)
    QByteArray m_v1, m_v2, m_zlib2, m_zlib3, m_zstd3;
};

void tst_PackageFile::initTestCase()
{
    QString error;
    const QString builderPath = TestPackage::build(m_tmp.path(), sampleFiles(), &error);
    QVERIFY2(!builderPath.isEmpty(), qPrintable(error));
    m_builder = readFile(builderPath);
    QCOMPARE(get(m_builder, 4), 3u);
    const auto build = [this](const QString &name, const QStringList &rccArgs) {
        QString error;
        const QString path
            = TestPackage::buildUnchecked(m_tmp.path(), sampleFiles(), &error, name, rccArgs);
        if (path.isEmpty())
            qFatal("cannot build %s: %s", qPrintable(name), qPrintable(error));
        return readFile(path);
    };
    const QStringList zlib { "--compress-algo", "zlib", "--threshold", "0", "--compress", "9",
        "--format-version" };
    m_v1 = build("v1.rcc", { "--no-compress", "--format-version", "1" });
    m_v2 = build("v2.rcc", { "--no-compress", "--format-version", "2" });
    m_zlib2 = build("zlib2.rcc", zlib + QStringList { "2" });
    m_zlib3 = build("zlib3.rcc", zlib + QStringList { "3" });
    // zstd only comes from Qt's rcc, which the Windows SDK lacks.
    if (!TestPackage::rccProgram().isEmpty()) {
        m_zstd3 = build("zstd3.rcc",
            { "--compress-algo", "zstd", "--threshold", "0", "--format-version", "3" });
        QCOMPARE(get(m_zstd3, 20), 4u);
    }
    // The headers say format 1 and zlib.
    QCOMPARE((QList<quint32> { get(m_v1, 4), get(m_zlib3, 20) }), (QList<quint32> { 1, 1 }));
}

void tst_PackageFile::validPackages_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("builder output, format 3, stored") << m_builder;
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
    for (const auto &file : sampleFiles()) {
        const QString path = ":/" + file.first
            + (file.first.endsWith('/') ? UpgradeConstants::placeholderFileName() : "");
        QVERIFY2(QFile::exists(path), qPrintable(path));
        QCOMPARE(readFile(path), file.second);
    }
    QVERIFY(QResource::unregisterResource(data));
}

// zstd entries pass only where this Qt can read them back.
void tst_PackageFile::zstdFollowsWhatQtCanDecode()
{
    if (m_zstd3.isEmpty())
        QSKIP("a zstd package needs Qt's rcc, which the Windows Qt SDK does not have");
    const auto *data = reinterpret_cast<const uchar *>(m_zstd3.constData());
    QVERIFY(QResource::registerResource(data));
    const bool qtDecodes = readFile(":/upgrade/readme.txt") == QByteArray(400, 'r');
    QVERIFY(QResource::unregisterResource(data));
    QString detail;
    qInfo("this Qt %s zstd", qtDecodes ? "decodes" : "does not decode");
    QCOMPARE(
        PackageFile::validate(m_zstd3, &detail), qtDecodes ? Verdict::Valid : Verdict::Damaged);
    QVERIFY2(qtDecodes || detail.contains("cannot decode"), qPrintable(detail));
}

void tst_PackageFile::notResourceFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("three bytes of the magic") << QByteArray("qre");
    QTest::newRow("magic in upper case") << "QRES" + m_v2.mid(4);
    QTest::newRow("XML") << TestPackage::descriptor(7, "2.1.0", "2.1.5");
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

    const Layout stored(m_builder), zlib(m_zlib3), zstd(m_zstd3.isEmpty() ? m_zlib3 : m_zstd3);
    const int size = m_builder.size();
    const int upgrade = stored.find("upgrade"), update = stored.find("upgrade/update"),
              add = stored.find("upgrade/add"), a = stored.find("upgrade/update/a.txt"),
              cd = stored.find("upgrade/update/cd"), readme = zlib.find("upgrade/readme.txt"),
              zReadme = zstd.find("upgrade/readme.txt");
    QVERIFY(upgrade > 0 && update > 0 && add > 0 && a > 0 && cd > 0 && readme > 0 && zReadme > 0);
    QCOMPARE(get(zlib.bytes, zlib.node(readme) + 4, 2), 0x01u);
    QVERIFY(m_zstd3.isEmpty() || get(zstd.bytes, zstd.node(zReadme) + 4, 2) == 0x04u);
    // Without a zstd package its rows are empty and skip (see damaged()).
    const auto row = [this, &zstd](const char *name, const Layout &base,
                         const std::function<void(Layout &)> &change, const char *expected) {
        Layout copy = base;
        change(copy);
        const bool missing = &base == &zstd && m_zstd3.isEmpty();
        QTest::newRow(name) << (missing ? QByteArray() : copy.bytes) << QString(expected);
    };
    const auto field = [](qint64 (Layout::*where)(int) const, int index, int offset, quint32 value,
                           int width = 4) {
        return [=](Layout &l) { set(l.bytes, (l.*where)(index) + offset, value, width); };
    };
    QTest::newRow("truncated header") << m_builder.left(12) << "header is truncated";
    QTest::newRow("version 3 header without its flags word")
        << m_builder.left(22) << "header is truncated";
    QTest::newRow("header only") << m_builder.left(24) << "outside the file";
    row(
        "format version 0", stored, [](Layout &l) { set(l.bytes, 4, 0); }, "format version 0");
    row(
        "format version 4", stored, [](Layout &l) { set(l.bytes, 4, 4); }, "format version 4");
    row(
        "unknown feature flag in the header", stored, [](Layout &l) { set(l.bytes, 20, 0x100); },
        "unknown features");
    row(
        "tree offset past the end", stored, [=](Layout &l) { set(l.bytes, 8, quint32(size)); },
        "tree offset");
    row(
        "tree offset inside the header", stored, [](Layout &l) { set(l.bytes, 8, 2); },
        "tree offset");
    row(
        "names offset past the end", stored,
        [=](Layout &l) { set(l.bytes, 16, quint32(size + 100)); }, "outside the file");
    row(
        "data offset past the end", stored, [](Layout &l) { set(l.bytes, 12, 0xfffffff0u); },
        "outside the file");
    row("root is not a directory", stored, field(&Layout::node, 0, 4, 0, 2),
        "root node is not a directory");
    row("cycle: child index before its parent", stored,
        field(&Layout::node, update, 10, quint32(upgrade)), "cycle");
    row("cycle: directory is its own child", stored,
        field(&Layout::node, update, 10, quint32(update)), "cycle");
    row("child range outside the tree", stored, field(&Layout::node, upgrade, 6, 1000),
        "outside the tree");
    row("child count near 2^32", stored, field(&Layout::node, upgrade, 6, 0xffffffffu),
        "outside the tree");
    row("first child near 2^32", stored, field(&Layout::node, upgrade, 10, 0xfffffff0u),
        "outside the tree");
    row(
        "two folders share children", stored,
        [=](Layout &l) {
            l.bytes.replace(int(l.node(add) + 6), 8, l.bytes.mid(int(l.node(update) + 6), 8));
        },
        "reached twice");
    row("name offset past the end", stored, field(&Layout::node, a, 0, quint32(size)),
        "past the end");
    row("name length past the end", stored, field(&Layout::nameAt, a, 0, 0x7fff, 2),
        "past the end");
    row("name length negative for Qt", stored, field(&Layout::nameAt, a, 0, 0x8001, 2), "length");
    row("empty name", stored, field(&Layout::nameAt, a, 0, 0, 2), "length 0");
    row(
        "wrong name hash", stored,
        [=](Layout &l) { set(l.bytes, l.nameAt(a) + 2, get(l.bytes, l.nameAt(a) + 2) ^ 1); },
        "wrong hash");
    row(
        "children out of hash order", stored,
        [=](Layout &l) {
            const qint64 first = l.node(l.firstChild(upgrade));
            const QByteArray name = l.bytes.mid(int(first), 4);
            l.bytes.replace(int(first), 4, l.bytes.mid(int(first + l.nodeSize), 4));
            l.bytes.replace(int(first + l.nodeSize), 4, name);
        },
        "out of order");
    row(
        "same name twice in a folder", stored,
        [=](Layout &l) {
            const qint64 first = l.node(l.firstChild(upgrade));
            l.bytes.replace(int(first + l.nodeSize), 4, l.bytes.mid(int(first), 4));
        },
        "twice");
    row(
        "name '..'", stored, [=](Layout &l) { l.rename(cd, ".."); }, "no file name");
    row(
        "name with a slash", stored, [=](Layout &l) { l.rename(cd, "a/"); }, "no file name");
    row(
        "name with a backslash", stored, [=](Layout &l) { l.rename(cd, "a\\"); }, "no file name");
    // Names the builder refuses, made by hand as plain rcc would keep them;
    // the detail shows the name with its control characters escaped.
    const auto named = [](const char *tag, const QString &name, const char *expected) {
        QTest::newRow(tag) << syntheticPackage({ { "ok.txt", 1 }, { name, 1 } })
                           << QString(expected);
    };
    named("name forging a log line",
        QStringLiteral("x\n2024-01-01T00:00:00.000 结果:升级成功(退出码0)"), "\"x\\n2024-01-01");
    named("name with a carriage return", "a\rb", "U+000D) in the name: \"a\\rb\"");
    named("name with a terminal escape", "\x1b[2Ja", "\"\\x1B[2Ja\"");
    named("name with a C1 control", QStringLiteral("a\u0085b"), "\"a\\x85b\"");
    named("name with a tab", "a\tb", "\"a\\tb\"");
    named("name reversing its end", QStringLiteral("abc\u202Elld.exe"), "\"abc\\u202Elld.exe\"");
    named("device name with an extension", "con.txt", "reserved Windows device");
    named("port name", "LPT9", "reserved Windows device");
    named("name ending in a dot", "a.", "ends with a dot");
    named("name ending in a blank", "a ", "ends with a blank");
    named("name with a colon", "a:b", "does not allow");
    named("name with a question mark", "a?b", "does not allow");
    named("over-long name", QString(256, 'n'), "longer than 255");
    named("lone surrogate", QString(QChar(0xd800)) + "x", "invalid character");
    QTest::newRow("names that differ only in letter case")
        << syntheticPackage({ { "Readme.txt", 1 }, { "README.TXT", 1 } }) << "letter case";
    row("file data offset past the end", stored, field(&Layout::node, a, 10, 0x7ffffff0u),
        "past the end");
    row("data size past the end", stored, field(&Layout::dataAt, a, 0, 0x7fffffffu),
        "runs past the end");
    // The last data entry ends where the names begin; claim one byte more
    // than the whole file holds after it.
    row(
        "data size one byte too long at the end of the data", stored,
        [=](Layout &l) {
            set(l.bytes, l.dataAt(a), quint32(l.bytes.size() - l.dataAt(a) - 4 + 1));
        },
        "runs past the end");
    row("compressed directory", stored, field(&Layout::node, update, 4, 0x03, 2), "unknown flags");
    row("unknown file flag", stored, field(&Layout::node, a, 4, 0x10, 2), "unknown flags");
    row("file claims zlib and zstd", stored, field(&Layout::node, a, 4, 0x05, 2),
        "two compression");
    row("file bound to a language", stored, field(&Layout::node, a, 8, 31, 2), "language");
    row("file bound to a country", stored, field(&Layout::node, a, 6, 44, 2), "country");
    row("stored file marked zlib without the header saying so", stored,
        field(&Layout::node, a, 4, 0x01, 2), "header does not say so");

    row("zlib entry claims 2 GiB", zlib, field(&Layout::dataAt, readme, 4, 0x7fffffffu),
        "uncompressed bytes");
    row(
        "zlib entry claims far more than deflate can give", zlib,
        [=](Layout &l) {
            set(l.bytes, l.dataAt(readme) + 4, get(l.bytes, l.dataAt(readme)) * 2000);
        },
        "uncompressed bytes");
    row("zlib entry shorter than its size field", zlib, field(&Layout::dataAt, readme, 0, 2),
        "only 2 bytes");
    row(
        "zlib entry while the header names no compression", zlib,
        [](Layout &l) { set(l.bytes, 20, 0); }, "header does not say so");
    row("zstd entry without its frame magic", zstd, field(&Layout::dataAt, zReadme, 4, 0), "zstd");
    // No single segment, no size field: Qt would return an empty file.
    row("zstd frame that hides its content size", zstd, field(&Layout::dataAt, zReadme, 8, 0, 1),
        "zstd");
    row(
        "zstd frame with a reserved bit", zstd,
        [=](Layout &l) {
            l.bytes[int(l.dataAt(zReadme) + 8)] = char(l.bytes[int(l.dataAt(zReadme) + 8)] | 0x08);
        },
        "zstd");
}

void tst_PackageFile::damaged()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    if (bytes.isEmpty())
        QSKIP("a zstd package needs Qt's rcc, which the Windows Qt SDK does not have");
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
    int tried = 0, rejected = 0, loaded = 0;
    auto attempt = [&](const QByteArray &bytes) {
        ++tried;
        // A private copy: the registered tree points into the buffer.
        const QByteArray copy(bytes.constData(), bytes.size());
        if (PackageFile::validate(copy) != Verdict::Valid)
            ++rejected;
        else if (loadLikeInstaller(copy) >= 0)
            ++loaded;
    };
    // Damaged compressed data that passes the structure check makes Qt warn
    // on every read; count the warnings instead of printing thousands.
    static int warnings;
    warnings = 0;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &) { ++warnings; });
    for (const QByteArray &base : { m_builder, m_v1, m_zlib2, m_zlib3, m_zstd3 }) {
        if (base.isEmpty())
            continue; // no zstd package without rcc
        for (int length = 0; length < base.size(); ++length)
            attempt(base.left(length));
        // Byte changes, mostly in the header, the tree and the names, where
        // the structure lives; some anywhere.
        const int treeStart = int(get(base, 8)), namesStart = int(get(base, 16));
        for (int round = 0; round < 8000; ++round) {
            QByteArray bytes = base;
            for (int c = random.bounded(1, 5); c > 0; --c) {
                const int area = random.bounded(4);
                const int at = area == 0 ? random.bounded(24)
                    : area == 1          ? random.bounded(treeStart, bytes.size())
                    : area == 2          ? random.bounded(namesStart, treeStart)
                                         : random.bounded(bytes.size());
                bytes[at] = random.bounded(2) ? char(bytes[at] ^ (1 << random.bounded(8)))
                                              : char(random.bounded(256));
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
    QVector<QPair<QString, int>> files;
    for (int i = 0; i < 50000; ++i)
        files.append({ QString("f%1.dat").arg(i), 16 });
    for (int i = 0; i < 100; ++i)
        files.append({ QString("big%1.bin").arg(i), 5 * 1000 * 1000 });
    const QByteArray bytes = syntheticPackage(files);
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
    QCOMPARE(QFileInfo(":/upgrade/add/big7.bin").size(), qint64(5 * 1000 * 1000));
    QCOMPARE(QFileInfo(":/upgrade/add/f49999.dat").size(), qint64(16));
    QVERIFY(QResource::unregisterResource(data));
}

QTEST_GUILESS_MAIN(tst_PackageFile)
#include "tst_packagefile.moc"
