#include <QtTest>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "LoadedPackage.h"
#include "PackageBuilder.h"
#include "PackageDiff.h"
#include "PackageExtraction.h"
#include "PackageFile.h"
#include "UpgradeConstants.h"
#include "support/EngineHarness.h"
#include "support/TestPackage.h"

Q_DECLARE_METATYPE(TestPackage::Files)

using EngineHarness::readFile;
using EngineHarness::snapshot;
using EngineHarness::Tree;

namespace {

const QByteArray goodDescriptor = TestPackage::descriptor(7, "2.1.0", "2.1.5");

// The files of a registered package: relative path -> bytes.
QMap<QString, QByteArray> registeredTree(const QString &rcc)
{
    QMap<QString, QByteArray> tree;
    if (!QResource::registerResource(rcc))
        return tree;
    QDirIterator it(":/upgrade", QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(path.mid(2), readFile(path));
    }
    QResource::unregisterResource(rcc);
    return tree;
}

// Whether every path of files is on disk below root with its name exactly as
// given.
[[maybe_unused]] bool holdsExactly(const QString &root, const TestPackage::Files &files)
{
    for (const auto &file : files) {
        QString folder = root;
        for (const QString &part : file.first.split('/', Qt::SkipEmptyParts)) {
            if (!QDir(folder)
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::System)
                     .contains(part))
                return false;
            folder += '/' + part;
        }
    }
    return true;
}

// Checks that a build of files is refused with a message holding every part
// of expected, that no package is written and the tree is left alone.
void checkRefused(const QString &sourceDir, const QStringList &expected)
{
    const auto before = snapshot(sourceDir);
    const QString rcc = QFileInfo(sourceDir).absolutePath() + "/out.rcc";
    QString error;
    QVERIFY(!PackageBuilder::build(sourceDir, rcc, &error));
    for (const QString &part : expected)
        QVERIFY2(error.contains(part), qPrintable(QString("'%1' not in: %2").arg(part, error)));
    QVERIFY(!QFileInfo::exists(rcc));
    QCOMPARE(snapshot(sourceDir), before);
}

} // namespace

// The package builder: what it puts into a package and what it refuses.
class tst_PackageBuilder : public QObject
{
    Q_OBJECT
private slots:
    void buildsTreeWithPlaceholders();
    void acceptsVersions_data();
    void acceptsVersions();
    void refusesBadTree_data();
    void refusesBadTree();
    void refusesSpecialEntries_data();
    void refusesSpecialEntries();
    void refusesOutput_data();
    void refusesOutput();
    void replacesExistingOutput();
    void refusesPackageOverTheLimit();
    void commandLineTool_data();
    void commandLineTool();
    void toolCommands_data();
    void toolCommands();
    void diffBuildsTheNewTree();
    void extractsTheTree_data();
    void extractsTheTree();
};

// Every file travels with its bytes, hidden ones and unusual names too; the
// deepest empty folders get the placeholder; the author's tree is untouched.
void tst_PackageBuilder::buildsTreeWithPlaceholders()
{
    QTemporaryDir tmp;
    QByteArray binary(70000, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 131 + 7) & 0xff);
    TestPackage::Files files {
        { "upgrade/upgrade_config.xml", goodDescriptor },
        { "upgrade/readme.txt", "升级说明\r\nline two\n" },
        { "upgrade/update/bin/app.dll", binary },
        { "upgrade/update/bin/empty.txt", "" },
        { "upgrade/update/a/b/c/d/e/", {} },
        { "upgrade/delete/old_folder/", {} },
        { "upgrade/delete/bin/old.dll", "x" },
        { "upgrade/add/", {} },
        { "upgrade/shell/shell_before/1.bat", "echo before\n" },
        { "upgrade/shell/shell_after/", {} },
        { "upgrade/db/db_before/", {} },
        { "upgrade/db/db_after/001.sql", "select 1;" },
    };
    for (const QString &name :
        { QString(".config"), QString(".cache/x.bin"), QString("数据/说明.txt"),
            QString("\U0001F600.txt"), QString("a&b'c;&amp;.txt"), QString(" lead.txt"),
            QString(251, 'n') + ".txt", QString("..a..b"), QString("console.txt"), QString("COM10"),
            "x/" + UpgradeConstants::placeholderFileName() })
        files.append({ "upgrade/update/" + name, "payload " + name.toUtf8() });
    const QString sourceDir = tmp.filePath("src");
    QVERIFY(TestPackage::writeTree(sourceDir, files));
    const auto before = snapshot(sourceDir);
    const QString rcc = tmp.filePath("package.rcc");
    QString error;
    QVERIFY2(PackageBuilder::build(sourceDir, rcc, &error), qPrintable(error));
    QVERIFY(error.isEmpty());
    QCOMPARE(snapshot(sourceDir), before);
    QCOMPARE(PackageFile::validate(readFile(rcc)), PackageFile::Verdict::Valid);

    QMap<QString, QByteArray> expected;
    for (const auto &entry : files)
        expected.insert(entry.first.endsWith('/')
                ? entry.first + UpgradeConstants::placeholderFileName()
                : entry.first,
            entry.second);
    // The manifest lists every other file with its SHA-256, in byte order.
    QMap<QByteArray, QByteArray> hashes;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        hashes.insert(it.key().mid(8).toUtf8(),
            QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex());
    QByteArray manifest;
    for (auto it = hashes.cbegin(); it != hashes.cend(); ++it)
        manifest += it.value() + "  " + it.key() + "\n";
    expected.insert("upgrade/manifest.sha256", manifest);
    QCOMPARE(registeredTree(rcc), expected);
}

void tst_PackageBuilder::acceptsVersions_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::newRow("suffixes ignored") << "2.1.0-rc1"
                                      << "2.1.5-beta.2";
    QTest::newRow("one version") << "2.1.5"
                                 << "2.1.5";
    QTest::newRow("fourth part ignored") << "2.1.0.7"
                                         << "2.1.10";
}

// What the installer's fit check can accept is not refused.
void tst_PackageBuilder::acceptsVersions()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QTemporaryDir tmp;
    QString error;
    QVERIFY2(!TestPackage::build(tmp.path(),
                 { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, from, to) } }, &error)
                  .isEmpty(),
        qPrintable(error));
}

void tst_PackageBuilder::refusesBadTree_data()
{
    QTest::addColumn<TestPackage::Files>("files");
    QTest::addColumn<QStringList>("expected"); // parts of the message

    const QString descriptorPath = "upgrade/upgrade_config.xml";
    auto descriptor = [&](const QByteArray &xml) {
        return TestPackage::Files { { descriptorPath, xml } };
    };
    auto without = [](const char *key) {
        return QString(TestPackage::descriptor(1, "1.0.0", "1.0.1"))
            .remove(QRegularExpression(QString("<item key=\"%1\"[^>]*/>").arg(key)))
            .toUtf8();
    };
    auto with = [&](const QString &path) {
        return TestPackage::Files { { descriptorPath, goodDescriptor }, { path, "x" } };
    };

    QTest::newRow("no descriptor")
        << TestPackage::Files { { "upgrade/update/a.dll", "x" } } << QStringList { descriptorPath };
    QTest::newRow("no upgrade folder")
        << TestPackage::Files { { "other/upgrade_config.xml", goodDescriptor } }
        << QStringList { "\"upgrade\"" };
    QTest::newRow("descriptor is a folder") << TestPackage::Files { { descriptorPath + "/", {} } }
                                            << QStringList { descriptorPath, "not a file" };
    QTest::newRow("descriptor not XML")
        << descriptor("<root><module>") << QStringList { descriptorPath, "not well-formed" };
    QTest::newRow("descriptor with wrong root")
        << descriptor("<config/>") << QStringList { descriptorPath, "\"root\"" };
    QTest::newRow("descriptor entries not in module")
        << descriptor(QByteArray(goodDescriptor).replace("<root>", "<root><!-- c -->"))
        << QStringList { "lacks the key", "software_" };
    for (const char *key :
        { "software_product_id", "upgrade_type", "software_version_from", "software_version_to" })
        QTest::addRow("descriptor without %s", key)
            << descriptor(without(key)) << QStringList { key };
    QTest::newRow("product id not a number")
        << descriptor(QByteArray(goodDescriptor).replace("value=\"7\"", "value=\"7a\""))
        << QStringList { "\"7a\"", "software_product_id", "integer" };
    QTest::newRow("unknown upgrade type")
        << descriptor(TestPackage::descriptor(7, "2.1.0", "2.1.5", 2))
        << QStringList { "upgrade_type", "2" };
    QTest::newRow("from version with two parts")
        << descriptor(TestPackage::descriptor(7, "2.1", "2.1.5"))
        << QStringList { "\"2.1\"", "software_version_from", "three" };
    QTest::newRow("to version with two parts before the suffix")
        << descriptor(TestPackage::descriptor(7, "2.1.0", "2.1-5.3"))
        << QStringList { "\"2.1-5.3\"", "software_version_to" };
    QTest::newRow("empty to version") << descriptor(TestPackage::descriptor(7, "2.1.0", ""))
                                      << QStringList { "software_version_to" };
    QTest::newRow("from version above to version")
        << descriptor(TestPackage::descriptor(7, "2.1.6", "2.1.5"))
        << QStringList { "\"software_version_from\" (2.1.6) is above", "2.1.5" };
    QTest::newRow("versions of different series")
        << descriptor(TestPackage::descriptor(7, "2.1.0", "2.2.5"))
        << QStringList { "\"2.1.0\"", "\"2.2.5\"", "different series" };
    QTest::newRow("third part not a number")
        << descriptor(TestPackage::descriptor(7, "2.1.0", "2.1.5a"))
        << QStringList { "\"2.1.5a\"", "software_version_to", "\"5a\"", "not a number" };
    QTest::newRow("first part not digits")
        << descriptor(TestPackage::descriptor(7, "v2.1.0", "v2.1.5"))
        << QStringList { "\"v2.1.0\"", "\"v2\"", "not a number" };
    QTest::newRow("empty second part") << descriptor(TestPackage::descriptor(7, "2..0", "2..5"))
                                       << QStringList { "\"2..0\"", "\"\"", "not a number" };
    QTest::newRow("descriptor XML error with its place")
        << descriptor(
               "<root>\n  <module>\n    <item key=\"a\" value=\"1\">\n  </module>\n</root>\n")
        << QStringList { descriptorPath, "not well-formed", "line 4, column" };
    QTest::newRow("readme in a legacy encoding")
        << TestPackage::Files { { descriptorPath, goodDescriptor },
               { "upgrade/readme.txt", "line one\nGBK \xd6\xd0\xce\xc4\n" } }
        << QStringList { "upgrade/readme.txt", "not valid UTF-8", "line 2, byte 14" };
    QTest::newRow("readme in UTF-16")
        << TestPackage::Files { { descriptorPath, goodDescriptor },
               { "upgrade/readme.txt", QByteArray("\xff\xfer\0e\0", 6) } }
        << QStringList { "upgrade/readme.txt", "not valid UTF-8", "line 1, byte 1" };
    QTest::newRow("readme with an encoded surrogate") << TestPackage::Files {
        { descriptorPath, goodDescriptor }, { "upgrade/readme.txt", "ok\xed\xa0\x80" }
    } << QStringList { "not valid UTF-8", "byte 3" };

    QTest::newRow("stray file at the top")
        << with("upgrade/notes.txt") << QStringList { "upgrade/notes.txt", "unknown entry" };
    QTest::newRow("stray folder at the top")
        << with("upgrade/extra/a.txt") << QStringList { "upgrade/extra", "unknown entry" };
    QTest::newRow("wrong letter case of a known folder")
        << with("upgrade/Update/a.txt") << QStringList { "upgrade/Update" };
    QTest::newRow("readme as a folder")
        << with("upgrade/readme.txt/x") << QStringList { "upgrade/readme.txt", "must be a file" };
    QTest::newRow("update as a file")
        << with("upgrade/update") << QStringList { "upgrade/update", "must be a folder" };
    QTest::newRow("file directly in shell")
        << with("upgrade/shell/run.bat") << QStringList { "upgrade/shell/run.bat" };
    QTest::newRow("unknown folder in db")
        << with("upgrade/db/db_middle/1.sql") << QStringList { "upgrade/db/db_middle" };
    QTest::newRow("shell_before as a file")
        << with("upgrade/shell/shell_before") << QStringList { "upgrade/shell/shell_before" };
    QTest::newRow("file directly in db")
        << with("upgrade/db/1.sql") << QStringList { "upgrade/db/1.sql" };
    QTest::newRow("manifest of the author's own")
        << with("upgrade/manifest.sha256")
        << QStringList { "upgrade/manifest.sha256", "written by the builder" };

    QTest::newRow("device name CON")
        << with("upgrade/update/CON") << QStringList { "upgrade/update/CON", "reserved" };
    QTest::newRow("device name with extension")
        << with("upgrade/update/nul.txt") << QStringList { "nul.txt", "reserved" };
    QTest::newRow("device name as folder")
        << with("upgrade/add/Lpt9/a.txt") << QStringList { "upgrade/add/Lpt9", "reserved" };
    QTest::newRow("COM1 with two extensions")
        << with("upgrade/add/com1.tar.gz") << QStringList { "com1.tar.gz", "reserved" };
    QTest::newRow("AUX") << with("upgrade/add/aux") << QStringList { "aux", "reserved" };
    QTest::newRow("PRN") << with("upgrade/add/PRN.log") << QStringList { "PRN.log", "reserved" };
    for (const char *c : { "<", ":", "?", "*", "\"", "|", "\\" })
        QTest::addRow("character %s", c)
            << with(QString("upgrade/add/a%1b").arg(c))
            << QStringList { QString("upgrade/add/a%1b").arg(c), QString("'%1'").arg(c) };
    QTest::newRow("control character")
        << with("upgrade/add/a\tb") << QStringList { "upgrade/add/a\tb", "U+0009" };
    QTest::newRow("escape character") << with("upgrade/add/a\x1b") << QStringList { "U+001B" };
    QTest::newRow("trailing dot") << with("upgrade/add/name.")
                                  << QStringList { "upgrade/add/name.", "dot" };
    QTest::newRow("trailing blank")
        << with("upgrade/add/dir /a") << QStringList { "upgrade/add/dir ", "blank" };
    QTest::newRow("XML non-character")
        << with(QString("upgrade/add/a") + QChar(0xfffe)) << QStringList { "U+FFFE" };
    QTest::newRow("names equal but for letter case")
        << TestPackage::Files { { descriptorPath, goodDescriptor },
               { "upgrade/add/Setup.ini", "1" }, { "upgrade/add/setup.INI", "2" } }
        << QStringList { "upgrade/add/Setup.ini", "upgrade/add/setup.INI", "letter case" };
}

void tst_PackageBuilder::refusesBadTree()
{
    QFETCH(TestPackage::Files, files);
    QFETCH(QStringList, expected);
    QTemporaryDir tmp;
#ifdef Q_OS_WIN
    // Windows refuses some of these names, drops a trailing dot, takes a
    // backslash for a separator and folds letter case: such a tree cannot
    // exist here.
    if (!TestPackage::writeTree(tmp.filePath("src"), files)
        || !holdsExactly(tmp.filePath("src"), files))
        QSKIP("the Windows file system cannot hold this tree's names as given");
#else
    QVERIFY(TestPackage::writeTree(tmp.filePath("src"), files));
#endif
    checkRefused(tmp.filePath("src"), expected);
}

void tst_PackageBuilder::refusesSpecialEntries_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("link to a file outside")
        << "file-outside" << QStringList { "upgrade/update/link", "outside the package tree" };
    QTest::newRow("link to a folder outside")
        << "dir-outside" << QStringList { "upgrade/update/link", "outside the package tree" };
    QTest::newRow("link through .. to the source folder")
        << "dotdot" << QStringList { "upgrade/update/link", "outside the package tree" };
    QTest::newRow("dangling link")
        << "dangling" << QStringList { "upgrade/update/link", "not exist" };
    QTest::newRow("link loop to an ancestor")
        << "loop" << QStringList { "upgrade/update/sub/link", "loop" };
    QTest::newRow("named pipe") << "fifo" << QStringList { "upgrade/update/link", "pipe" };
    QTest::newRow("socket") << "socket" << QStringList { "upgrade/update/link", "socket" };
    QTest::newRow("name that is not UTF-8")
        << "badname"
        << QStringList { "upgrade/update/", "not valid text", "\"bad\\xFF\\xFE.txt\"" };
}

void tst_PackageBuilder::refusesSpecialEntries()
{
#ifndef Q_OS_UNIX
    QSKIP("links, pipes, sockets and undecodable names are made with POSIX calls");
#else
    QFETCH(QString, kind);
    QFETCH(QStringList, expected);
    QTemporaryDir tmp;
    const QString sourceDir = tmp.filePath("src");
    QVERIFY(TestPackage::writeTree(sourceDir,
        { { "upgrade/upgrade_config.xml", goodDescriptor }, { "upgrade/update/sub/a.txt", "a" } }));
    QVERIFY(TestPackage::writeTree(tmp.path(), { { "outside/secret.txt", "secret" } }));
    const QByteArray link = QFile::encodeName(sourceDir + "/upgrade/update/link");
    const QByteArray badName
        = QFile::encodeName(sourceDir + "/upgrade/update/") + "bad\xff\xfe.txt";
    // QTemporaryDir cannot see (and so not remove) the undecodable name.
    const auto cleanup = qScopeGuard([&badName] { ::unlink(badName.constData()); });
    const QMap<QString, QByteArray> targets {
        { "file-outside", QFile::encodeName(tmp.filePath("outside/secret.txt")) },
        { "dir-outside", QFile::encodeName(tmp.filePath("outside")) }, { "dotdot", "../.." },
        { "dangling", QFile::encodeName(sourceDir + "/upgrade/update/missing") }
    };
    if (targets.contains(kind))
        QVERIFY(::symlink(targets.value(kind).constData(), link.constData()) == 0);
    if (kind == "loop")
        QVERIFY(
            ::symlink("..", QFile::encodeName(sourceDir + "/upgrade/update/sub/link").constData())
            == 0);
    if (kind == "fifo")
        QVERIFY(::mkfifo(link.constData(), 0600) == 0);
    if (kind == "socket") {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        if (size_t(link.size()) >= sizeof(address.sun_path))
            QSKIP("temporary path too long for a socket address");
        qstrcpy(address.sun_path, link.constData());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
        ::close(fd);
        QVERIFY(bound);
    }
    if (kind == "badname")
        ::close(::open(badName.constData(), O_CREAT | O_WRONLY, 0644));
    QString error;
    QVERIFY(!PackageBuilder::build(sourceDir, tmp.filePath("out.rcc"), &error));
    for (const QString &part : expected)
        QVERIFY2(error.contains(part), qPrintable(QString("'%1' not in: %2").arg(part, error)));
    QVERIFY(!QFileInfo::exists(tmp.filePath("out.rcc")));
#endif
}

// Sparse files over 4 GiB in all: refused by their sizes before a byte is
// written (over 2 GiB already, which Qt 5 can't read).
void tst_PackageBuilder::refusesPackageOverTheLimit()
{
    QTemporaryDir tmp;
    QVERIFY(TestPackage::writeTree(tmp.filePath("src"),
        { { "upgrade/upgrade_config.xml", goodDescriptor }, { "upgrade/add/a.bin", "" },
            { "upgrade/add/b.bin", "" } }));
    for (const char *name : { "a.bin", "b.bin" })
        QVERIFY(QFile::resize(tmp.filePath("src/upgrade/add/") + name, qint64(2) << 30));
    checkRefused(
        tmp.filePath("src"), { "would hold more than 4294967", "at most 2147483647 bytes" });
}

void tst_PackageBuilder::refusesOutput_data()
{
    QTest::addColumn<QString>("output"); // below the source folder
    QTest::addColumn<QString>("message");
    QTest::newRow("a folder in the output's place") << "out.rcc" << QString("folder");
    QTest::newRow("no output path") << "" << QString("no output file");
    QTest::newRow("output inside the package tree")
        << "upgrade/add/p.rcc" << QString("inside the package tree");
}

void tst_PackageBuilder::refusesOutput()
{
    QFETCH(QString, output);
    QFETCH(QString, message);
    QTemporaryDir tmp;
    const QString sourceDir = tmp.filePath("src");
    QVERIFY(TestPackage::writeTree(sourceDir,
        { { "upgrade/upgrade_config.xml", goodDescriptor }, { "out.rcc/keep.txt", "keep" } }));
    const auto before = snapshot(sourceDir);
    QString error;
    QVERIFY(!PackageBuilder::build(
        sourceDir, output.isEmpty() ? output : sourceDir + "/" + output, &error));
    QVERIFY2(error.contains(message) && error.contains(QDir::toNativeSeparators(output)),
        qPrintable(error));
    QCOMPARE(snapshot(sourceDir), before);
}

// Missing parent folders are created; an existing package is replaced; a
// refused build leaves the earlier package in place.
void tst_PackageBuilder::replacesExistingOutput()
{
    QTemporaryDir tmp;
    const QString source = tmp.filePath("src"), output = tmp.filePath("deep/er/p.rcc");
    QString error;
    QVERIFY(TestPackage::writeTree(source, { { "upgrade/upgrade_config.xml", goodDescriptor } }));
    QVERIFY2(PackageBuilder::build(source, output, &error), qPrintable(error));
    QVERIFY(TestPackage::writeTree(source, { { "upgrade/readme.txt", "new" } }));
    QVERIFY2(PackageBuilder::build(source, output, &error), qPrintable(error));
    QCOMPARE(registeredTree(output).value("upgrade/readme.txt"), QByteArray("new"));

    QVERIFY(TestPackage::writeTree(source, { { "upgrade/stray.txt", "x" } }));
    const QByteArray earlier = readFile(output);
    QVERIFY(!PackageBuilder::build(source, output, &error));
    QCOMPARE(readFile(output), earlier);
}

void tst_PackageBuilder::commandLineTool_data()
{
    QTest::addColumn<bool>("good");
    QTest::newRow("good tree: exit code 0") << true;
    QTest::newRow("refused tree: exit code 1 and the reason") << false;
}

void tst_PackageBuilder::commandLineTool()
{
    QFETCH(bool, good);
    QTemporaryDir tmp;
    QVERIFY(TestPackage::writeTree(tmp.filePath("src"),
        { { "upgrade/upgrade_config.xml", goodDescriptor },
            { good ? "upgrade/add/a.txt" : "upgrade/adds/a.txt", "a" } }));
    QProcess tool;
    tool.start(UPGRADE_BINARY_DIR "/tools/make_upgrade_package/make_upgrade_package",
        { tmp.filePath("src"), tmp.filePath("out.rcc") });
    QVERIFY2(tool.waitForFinished(120000), qPrintable(tool.errorString()));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), good ? 0 : 1);
    QCOMPARE(QFileInfo::exists(tmp.filePath("out.rcc")), good);
    const QString message = QString::fromLocal8Bit(tool.readAllStandardError());
    QVERIFY2(good || (message.contains("upgrade/adds") && message.contains("unknown entry")),
        qPrintable(message));
}

void tst_PackageBuilder::toolCommands_data()
{
    QTest::addColumn<QStringList>("args"); // PKG: the package, KEY: a public key
    QTest::addColumn<QString>("prepare"); // what happens to the package first
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // part of standard output
    QTest::addColumn<QString>("err"); // part of standard error
    QTest::newRow("--help on standard output")
        << QStringList { "--help" } << "" << 0 << "--verify PACKAGE"
        << "";
    QTest::newRow("--version: name and version")
        << QStringList { "--version" } << "" << 0
        << "make_upgrade_package " UPGRADE_PROGRAM_VERSION "\n"
        << "";
    QTest::newRow("unknown option: usage on standard error")
        << QStringList { "--frobnicate" } << "" << 64 << ""
        << "Usage:";
    QTest::newRow("two commands at once")
        << QStringList { "--list", "--info", "PKG" } << "" << 64 << ""
        << "cannot go together";
    QTest::newRow("too many arguments")
        << QStringList { "--verify", "PKG", "PKG" } << "" << 64 << ""
        << "Usage:";
    QTest::newRow("--list: the tree with sizes")
        << QStringList { "--list", "PKG" } << "" << 0 << "         5  upgrade/add/a.txt\n"
        << "";
    QTest::newRow("--info: descriptor, manifest, signature")
        << QStringList { "--info", "PKG" } << "" << 0
        << "  upgrade_type = 0\nreadme:     none\nmanifest:   present, 2 files, all "
           "match\nsignature:  unsigned\n"
        << "";
    QTest::newRow("--verify: all well")
        << QStringList { "--verify", "PKG" } << "" << 0 << "hashes:    present, 2 files"
        << "";
    QTest::newRow("--verify: damaged structure")
        << QStringList { "--verify", "PKG" } << "cut" << 2 << ""
        << "structure:";
    QTest::newRow("--verify: a file changed") << QStringList { "--verify", "PKG" } << "change" << 3
                                              << "add/a.txt: content does not match the manifest"
                                              << "";
    QTest::newRow("--verify: unsigned, a key given")
        << QStringList { "--verify", "PKG", "--key", "KEY" } << "" << 4
        << "signature: FAILED: the package is not signed"
        << "";
    QTest::newRow("--verify: not a package") << QStringList { "--verify", "KEY" } << "" << 2 << ""
                                             << "not a Qt resource file";
    QTest::newRow("--sign: secret key missing")
        << QStringList { "--sign", "PKG", "--secret-key", "KEY.sec" } << "" << 1 << ""
        << "cannot read the secret key";
    QTest::newRow("--extract: the summary line")
        << QStringList { "--extract", "PKG", "DIR" } << "" << 0 << "extracted 3 files into "
        << "";
    QTest::newRow("--extract: a changed file refused before anything is written")
        << QStringList { "--extract", "PKG", "DIR" } << "change" << 3 << ""
        << "add/a.txt: content does not match the manifest";
    QTest::newRow("a new build removes the old package's signature")
        << QStringList { "SRC", "PKG" } << "signature" << 0 << "removed"
        << "";
}

void tst_PackageBuilder::toolCommands()
{
    QFETCH(QStringList, args);
    QFETCH(QString, prepare);
    QTemporaryDir tmp;
    QString error;
    const QString package = TestPackage::build(tmp.path(),
        { { "upgrade/upgrade_config.xml", goodDescriptor }, { "upgrade/add/a.txt", "abcde" } },
        &error);
    QVERIFY2(!package.isEmpty(), qPrintable(error));
    QByteArray bytes = readFile(package);
    if (prepare == "cut")
        bytes.truncate(bytes.size() / 2);
    if (prepare == "change")
        bytes.replace("abcde", "abcdE");
    QVERIFY(EngineHarness::writeFile(package, bytes));
    if (prepare == "signature")
        QVERIFY(EngineHarness::writeFile(package + ".minisig", "for the earlier package"));
    const QString key = tmp.filePath("zero.pub");
    QVERIFY(EngineHarness::writeFile(
        key, "untrusted comment: a key\n" + ("Ed" + QByteArray(40, '\1')).toBase64() + "\n"));
    args.replaceInStrings("PKG", package).replaceInStrings("KEY", key);
    args.replaceInStrings("SRC", tmp.filePath("src-package.rcc"));
    args.replaceInStrings("DIR", tmp.filePath("extracted"));

    QProcess tool;
    tool.start(UPGRADE_BINARY_DIR "/tools/make_upgrade_package/make_upgrade_package", args);
    QVERIFY(tool.waitForFinished(120000));
    // Console text ends its lines with CR LF on Windows.
    const QString printed = QString::fromUtf8(tool.readAllStandardOutput()).replace("\r\n", "\n");
    const QString complained = QString::fromUtf8(tool.readAllStandardError()).replace("\r\n", "\n");
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QVERIFY2(tool.exitCode() == exitCode, qPrintable(printed + complained));
    QVERIFY2(printed.contains(out), qPrintable(printed));
    QVERIFY2(complained.contains(err), qPrintable(complained));
    QVERIFY(exitCode != 64 || printed.isEmpty());
    QVERIFY(prepare != "signature" || !QFileInfo::exists(package + ".minisig"));
    QCOMPARE(QFileInfo::exists(tmp.filePath("extracted")), args.contains("--extract") && !exitCode);
}

// An installation of the old tree, upgraded with the package laid out from
// the two trees, holds exactly the new tree.
void tst_PackageBuilder::diffBuildsTheNewTree()
{
    const Tree before { { "version.txt", "2.1.0" }, { "readme.txt", "same" },
        { "product/bin/report.dll", "old report" }, { "product/bin/keep.dll", "keep" },
        { "product/bin/old.dll", "old" }, { "product/plugins/legacy/a.dll", "a" },
        { "product/plugins/legacy/sub/b.dll", "b" }, { "product/plugins/current.dll", "c" },
        { "product/empty_old/", {} }, { "platform/tool", "a file" }, { "data/cache/x.bin", "x" },
        { "kept_empty/", {} } };
    const Tree after { { "version.txt", "2.1.9" }, { "readme.txt", "same" },
        { "product/bin/report.dll", "new report" }, { "product/bin/keep.dll", "keep" },
        { "product/bin/new.dll", "new" }, { "product/plugins/current.dll", "c" },
        { "platform/tool/run.exe", "now a folder" }, { "data/cache", "now a file" },
        { "kept_empty/", {} }, { "product/new_module/lib/m.dll", "m" },
        { "product/new_module/logs/", {} }, { "new_top.txt", "top" },
        { "scripts/run.sh", "#!/bin/sh\n" } };
    EngineHarness::Upgrade upgrade;
    const QString oldDir = upgrade.tmp.filePath("old"), newDir = upgrade.tmp.filePath("new");
    const QString outDir = upgrade.tmp.filePath("out");
    QVERIFY(EngineHarness::writeTree(oldDir, before) && EngineHarness::writeTree(newDir, after));
    QVERIFY(EngineHarness::writeTree(upgrade.installPath, before));
    QVERIFY(QFile::setPermissions(newDir + "/scripts/run.sh",
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
            | QFileDevice::ExeOther));

    PackageDiff::Summary summary;
    QString error;
    QVERIFY2(PackageDiff::layout(oldDir, newDir, outDir, &summary, &error), qPrintable(error));
    QCOMPARE(summary.deleted,
        (QStringList { "data/cache/", "platform/tool", "product/bin/old.dll", "product/empty_old/",
            "product/plugins/legacy/" }));
    QCOMPARE(summary.updated, (QStringList { "product/bin/report.dll", "version.txt" }));
    QCOMPARE(summary.added,
        (QStringList { "data/cache", "new_top.txt", "platform/tool/run.exe", "product/bin/new.dll",
            "product/new_module/lib/m.dll", "product/new_module/logs/", "scripts/run.sh" }));
#ifdef Q_OS_UNIX // Windows files have no execute permission to keep
    QVERIFY(
        QFileInfo(outDir + "/upgrade/add/scripts/run.sh").permissions() & QFileDevice::ExeOther);
#endif
    QVERIFY(!PackageDiff::layout(oldDir, newDir, outDir, &summary, &error));
    QVERIFY2(error.contains("already exists"), qPrintable(error));

    // The template must be filled in before it builds.
    const QString rcc = upgrade.tmp.filePath("diff.rcc");
    QVERIFY(!PackageBuilder::build(outDir, rcc, &error));
    QVERIFY2(error.contains("software_product_id"), qPrintable(error));
    QByteArray descriptor = readFile(outDir + "/upgrade/upgrade_config.xml");
    descriptor.replace("PRODUCT_ID", "7").replace("FROM_VERSION", "2.1.0");
    QVERIFY(EngineHarness::writeFile(
        outDir + "/upgrade/upgrade_config.xml", descriptor.replace("TO_VERSION", "2.1.9")));
    QVERIFY2(PackageBuilder::build(outDir, rcc, &error), qPrintable(error));

    {
        EngineHarness::RegisteredPackage registered(rcc);
        QVERIFY(registered.isRegistered());
        EngineHarness::WorkingDirectory cwd(upgrade.tmp.path());
        upgrade.run.startCopyAll(upgrade.installPath);
        QVERIFY(upgrade.run.waitForEnd());
        upgrade.run.stop();
    }
    QVERIFY2(upgrade.run.outcomes() == QStringList({ "sigCopyAllEnd(true)", "sigSuccessClearEnd" }),
        qPrintable(upgrade.run.events.join(" | ")));
    QCOMPARE(snapshot(upgrade.installPath), snapshot(newDir));
}

void tst_PackageBuilder::extractsTheTree_data()
{
    using PackageExtraction::Failure;
    QTest::addColumn<bool>("changed"); // a file's bytes changed in the package file
    QTest::addColumn<QString>("folder"); // new, empty, full (holds a file), orphan (no parent)
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("detail");
    QTest::newRow("new folder: the package's bytes") << false << "new" << int(Failure::None) << "";
    QTest::newRow("empty folder: the package's bytes")
        << false << "empty" << int(Failure::None) << "";
    QTest::newRow("folder holding a file: refused, left alone")
        << false << "full" << int(Failure::NotEmpty) << "not an empty folder";
    QTest::newRow("parent missing: refused")
        << false << "orphan" << int(Failure::NoParent) << "does not exist";
    QTest::newRow("file differs as written: new folder removed")
        << true << "new" << int(Failure::Mismatch)
        << "add/a.txt: content does not match the manifest";
    QTest::newRow("file differs as written: empty folder emptied")
        << true << "empty" << int(Failure::Mismatch) << "add/a.txt";
}

// The package's tree written into a folder, as the extraction leaves it; a
// refusal or a failure leaves the folder as it was.
void tst_PackageBuilder::extractsTheTree()
{
    QFETCH(bool, changed);
    QFETCH(QString, folder);
    QTemporaryDir tmp;
    QString error;
    const Tree tree { { "upgrade_config.xml", goodDescriptor }, { "add/a.txt", "abcde" },
        { "add/big.bin", QByteArray(5 << 20, 'b') }, { "delete/gone/", {} } };
    TestPackage::Files files;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        files.append({ "upgrade/" + it.key(), it.value() });
    const QString rcc = TestPackage::build(tmp.path(), files, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    // Loaded but not verified: only the check as it writes can catch it.
    if (changed)
        QVERIFY(EngineHarness::writeFile(rcc, readFile(rcc).replace("abcde", "abcdE")));
    const QString target = tmp.filePath(folder == "orphan" ? "missing/out" : "out");
    QVERIFY(folder == "new" || folder == "orphan" || QDir().mkdir(target));
    QVERIFY(folder != "full" || EngineHarness::writeFile(target + "/mine.txt", "mine"));
    const Tree before = snapshot(tmp.path());
    LoadedPackage package;
    package.setMapRoot("/extraction");
    QCOMPARE(package.open(rcc), LoadedPackage::Result::Registered);

    const PackageExtraction::Result result = PackageExtraction::extract(package.treeRoot(), target);
    QFETCH(int, failure);
    QFETCH(QString, detail);
    QCOMPARE(int(result.failure), failure);
    QVERIFY2(result.detail.contains(detail), qPrintable(result.detail));
    if (result.failure != PackageExtraction::Failure::None) {
        QCOMPARE(snapshot(tmp.path()), before);
        return;
    }
    Tree extracted = snapshot(target + "/upgrade");
    QVERIFY(extracted.remove("manifest.sha256"));
    QCOMPARE(extracted, EngineHarness::withFolders(tree));
    QCOMPARE(result.files, 4);
}

QTEST_GUILESS_MAIN(tst_PackageBuilder)
#include "tst_packagebuilder.moc"
