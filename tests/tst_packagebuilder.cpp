#include <QtTest>

#include <QDirIterator>
#include <QProcess>
#include <QResource>
#include <QScopeGuard>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "PackageBuilder.h"
#include "PackageFile.h"
#include "UpgradeConstants.h"
#include "support/TestPackage.h"

Q_DECLARE_METATYPE(TestPackage::Files)

namespace {

const QByteArray goodDescriptor = TestPackage::descriptor(7, "2.1.0", "2.1.5");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Everything below ":/upgrade" as relative path -> bytes.
QMap<QString, QByteArray> registeredTree()
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(
        QStringLiteral(":/upgrade"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(path.mid(QStringLiteral(":/").size()), readAll(path));
    }
    return tree;
}

// Snapshot of a source tree (paths and bytes), to prove the builder left it alone.
QMap<QString, QByteArray> diskTree(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(
            path.mid(root.size()), it.fileInfo().isDir() ? QByteArray("<dir>") : readAll(path));
    }
    return tree;
}

QString makeFifo(const QString &path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0 ? path : QString();
}

} // namespace

class tst_PackageBuilder : public QObject
{
    Q_OBJECT
private slots:
    void buildsTreeWithPlaceholders();
    void hiddenFilesAndUnusualNamesTravel_data();
    void hiddenFilesAndUnusualNamesTravel();
    void refusesBadTree_data();
    void refusesBadTree();
    void refusesSpecialEntries_data();
    void refusesSpecialEntries();
    void refusesOutputPathThatIsAFolder();
    void refusesOutputInsideTree();
    void replacesExistingOutput();
    void commandLineTool_data();
    void commandLineTool();
};

void tst_PackageBuilder::buildsTreeWithPlaceholders()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QByteArray binary(70000, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 131 + 7) & 0xff);
    const TestPackage::Files files {
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
    const QString sourceDir = tmp.filePath("src-package.rcc");
    QString error;
    QVERIFY2(TestPackage::writeTree(sourceDir, files, &error), qPrintable(error));
    const auto before = diskTree(sourceDir);
    const QString rcc = tmp.filePath("package.rcc");
    QVERIFY2(PackageBuilder::build(sourceDir, rcc, &error), qPrintable(error));
    QVERIFY(error.isEmpty());
    QCOMPARE(diskTree(sourceDir), before); // the author's tree is untouched

    QFile file(rcc);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(PackageFile::validate(file.readAll()), PackageFile::Verdict::Valid);

    QVERIFY(QResource::registerResource(rcc));
    const auto tree = registeredTree();
    QVERIFY(QResource::unregisterResource(rcc));

    QMap<QString, QByteArray> expected;
    const QString placeholder = UpgradeConstants::placeholderFileName();
    for (const auto &entry : files) {
        if (entry.first.endsWith('/'))
            expected.insert(entry.first + placeholder, QByteArray());
        else
            expected.insert(entry.first, entry.second);
    }
    QCOMPARE(tree.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(tree.value(it.key()) == it.value(), qPrintable(it.key()));
    // Only the deepest empty folder gets the placeholder; its parents hold it.
    QVERIFY(!tree.contains("upgrade/update/a/b/" + placeholder));
}

void tst_PackageBuilder::hiddenFilesAndUnusualNamesTravel_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("hidden file") << "upgrade/update/.config";
    QTest::newRow("hidden folder") << "upgrade/add/.cache/x.bin";
    QTest::newRow("Chinese name") << "upgrade/update/数据/说明.txt";
    QTest::newRow("outside the BMP") << "upgrade/update/\U0001F600.txt";
    QTest::newRow("XML specials") << "upgrade/update/a&b'c;&amp;.txt";
    QTest::newRow("leading blank") << "upgrade/update/ lead.txt";
    QTest::newRow("name of 255 characters") << "upgrade/add/" + QString(251, 'n') + ".txt";
    QTest::newRow("dots inside") << "upgrade/add/..a..b";
    QTest::newRow("device name inside a longer name") << "upgrade/add/console.txt";
    QTest::newRow("COM10 is no device") << "upgrade/add/COM10";
    QTest::newRow("placeholder name itself")
        << "upgrade/add/x/" + UpgradeConstants::placeholderFileName();
}

void tst_PackageBuilder::hiddenFilesAndUnusualNamesTravel()
{
    QFETCH(QString, path);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QString error;
    const QString rcc = TestPackage::build(tmp.path(),
        { { "upgrade/upgrade_config.xml", goodDescriptor }, { path, "payload" } }, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    QVERIFY(QResource::registerResource(rcc));
    const auto tree = registeredTree();
    QVERIFY(QResource::unregisterResource(rcc));
    QCOMPARE(tree.value(path), QByteArray("payload"));
    QCOMPARE(tree.size(), 2);
}

void tst_PackageBuilder::refusesBadTree_data()
{
    QTest::addColumn<TestPackage::Files>("files");
    QTest::addColumn<QStringList>("expected"); // parts of the message

    const QByteArray d = goodDescriptor;
    auto descriptorWith
        = [](const QByteArray &items) { return "<root><module>" + items + "</module></root>"; };
    const QByteArray allButProduct
        = R"(<e key="software_version_from" value="1.0.0"/><e key="software_version_to" value="1.0.1"/><e key="upgrade_type" value="0"/>)";

    QTest::newRow("no descriptor") << TestPackage::Files { { "upgrade/update/a.dll", "x" } }
                                   << QStringList { "upgrade/upgrade_config.xml" };
    QTest::newRow("no upgrade folder") << TestPackage::Files { { "other/upgrade_config.xml", d } }
                                       << QStringList { "\"upgrade\"" };
    QTest::newRow("descriptor is a folder")
        << TestPackage::Files { { "upgrade/upgrade_config.xml/", {} } }
        << QStringList { "upgrade/upgrade_config.xml", "not a file" };
    QTest::newRow("descriptor not XML")
        << TestPackage::Files { { "upgrade/upgrade_config.xml", "<root><module>" } }
        << QStringList { "upgrade/upgrade_config.xml", "not well-formed" };
    QTest::newRow("descriptor with wrong root")
        << TestPackage::Files { { "upgrade/upgrade_config.xml", "<config/>" } }
        << QStringList { "upgrade/upgrade_config.xml", "\"root\"" };
    QTest::newRow("descriptor without product id")
        << TestPackage::Files { { "upgrade/upgrade_config.xml", descriptorWith(allButProduct) } }
        << QStringList { "software_product_id" };
    QTest::newRow("descriptor entries not in module")
        << TestPackage::Files { { "upgrade/upgrade_config.xml",
               "<root><!-- c --><module>" + allButProduct + "</module></root>" } }
        << QStringList { "lacks the key", "software_" };
    QTest::newRow("descriptor without upgrade type") << TestPackage::Files {
        { "upgrade/upgrade_config.xml", descriptorWith(R"(<e key="software_product_id" value="1"/>
                                   <e key="software_version_from" value="1.0.0"/>
                                   <e key="software_version_to" value="1.0.1"/>)") }
    } << QStringList { "upgrade_type" };
    QTest::newRow("descriptor without from version") << TestPackage::Files {
        { "upgrade/upgrade_config.xml", descriptorWith(R"(<e key="software_product_id" value="1"/>
                                   <e key="upgrade_type" value="0"/>
                                   <e key="software_version_to" value="1.0.1"/>)") }
    } << QStringList { "software_version_from" };
    QTest::newRow("descriptor without to version") << TestPackage::Files {
        { "upgrade/upgrade_config.xml", descriptorWith(R"(<e key="software_product_id" value="1"/>
                                   <e key="upgrade_type" value="0"/>
                                   <e key="software_version_from" value="1.0.1"/>)") }
    } << QStringList { "software_version_to" };
    QTest::newRow("product id not a number") << TestPackage::Files {
        { "upgrade/upgrade_config.xml", descriptorWith(R"(<e key="software_product_id" value="7a"/>
                                   <e key="upgrade_type" value="0"/>
                                   <e key="software_version_from" value="1.0.0"/>
                                   <e key="software_version_to" value="1.0.1"/>)") }
    } << QStringList { "\"7a\"", "software_product_id", "integer" };
    QTest::newRow("unknown upgrade type") << TestPackage::Files {
        { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.5", 2) }
    } << QStringList { "upgrade_type", "2" };
    QTest::newRow("from version with two parts") << TestPackage::Files {
        { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1", "2.1.5") }
    } << QStringList { "\"2.1\"", "software_version_from", "three" };
    QTest::newRow("to version with two parts before the suffix") << TestPackage::Files {
        { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1-5.3") }
    } << QStringList { "\"2.1-5.3\"", "software_version_to" };
    QTest::newRow("empty to version") << TestPackage::Files {
        { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "") }
    } << QStringList { "software_version_to" };

    const TestPackage::Files base { { "upgrade/upgrade_config.xml", d } };
    auto with = [&base](const QString &path, const QByteArray &bytes = "x") {
        TestPackage::Files files = base;
        files.append({ path, bytes });
        return files;
    };
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

    QTest::newRow("device name CON")
        << with("upgrade/update/CON") << QStringList { "upgrade/update/CON", "reserved" };
    QTest::newRow("device name with extension")
        << with("upgrade/update/nul.txt") << QStringList { "upgrade/update/nul.txt", "reserved" };
    QTest::newRow("device name as folder")
        << with("upgrade/add/Lpt9/a.txt") << QStringList { "upgrade/add/Lpt9", "reserved" };
    QTest::newRow("COM1 with two extensions")
        << with("upgrade/add/com1.tar.gz") << QStringList { "com1.tar.gz", "reserved" };
    QTest::newRow("AUX") << with("upgrade/add/aux") << QStringList { "aux", "reserved" };
    QTest::newRow("PRN") << with("upgrade/add/PRN.log") << QStringList { "PRN.log", "reserved" };
    QTest::newRow("less-than sign")
        << with("upgrade/add/a<b") << QStringList { "upgrade/add/a<b", "'<'" };
    QTest::newRow("colon") << with("upgrade/add/c:d") << QStringList { "c:d", "':'" };
    QTest::newRow("question mark") << with("upgrade/add/why?") << QStringList { "why?", "'?'" };
    QTest::newRow("asterisk") << with("upgrade/add/*.dll") << QStringList { "*.dll", "'*'" };
    QTest::newRow("quote") << with("upgrade/add/a\"b") << QStringList { "a\"b", "'\"'" };
    QTest::newRow("pipe") << with("upgrade/add/a|b") << QStringList { "a|b", "'|'" };
    QTest::newRow("backslash") << with("upgrade/add/a\\b") << QStringList { "a\\b", "'\\'" };
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
        << TestPackage::Files { { "upgrade/upgrade_config.xml", d },
               { "upgrade/add/Setup.ini", "1" }, { "upgrade/add/setup.INI", "2" } }
        << QStringList { "upgrade/add/Setup.ini", "upgrade/add/setup.INI", "letter case" };
}

void tst_PackageBuilder::refusesBadTree()
{
    QFETCH(TestPackage::Files, files);
    QFETCH(QStringList, expected);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString sourceDir = tmp.filePath("src");
    QString error;
    QVERIFY2(TestPackage::writeTree(sourceDir, files, &error), qPrintable(error));
    const auto before = diskTree(sourceDir);
    const QString rcc = tmp.filePath("out.rcc");
    QVERIFY(!PackageBuilder::build(sourceDir, rcc, &error));
    for (const QString &part : expected)
        QVERIFY2(error.contains(part), qPrintable(QString("'%1' not in: %2").arg(part, error)));
    QVERIFY(!QFileInfo::exists(rcc));
    QCOMPARE(diskTree(sourceDir), before);
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
    QVERIFY(tmp.isValid());
    const QString sourceDir = tmp.filePath("src");
    QVERIFY(TestPackage::writeTree(sourceDir,
        { { "upgrade/upgrade_config.xml", goodDescriptor }, { "upgrade/update/sub/a.txt", "a" } }));
    QVERIFY(TestPackage::writeTree(tmp.path(), { { "outside/secret.txt", "secret" } }));
    const QString link = sourceDir + "/upgrade/update/link";
    QByteArray badName; // QTemporaryDir cannot see (and so not remove) it
    const auto cleanup = qScopeGuard([&badName] {
        if (!badName.isEmpty())
            ::unlink(badName.constData());
    });
    if (kind == "file-outside") {
        QVERIFY(QFile::link(tmp.filePath("outside/secret.txt"), link));
    } else if (kind == "dir-outside") {
        QVERIFY(QFile::link(tmp.filePath("outside"), link));
    } else if (kind == "dotdot") {
        QVERIFY(::symlink("../..", QFile::encodeName(link).constData()) == 0);
    } else if (kind == "dangling") {
        QVERIFY(QFile::link(sourceDir + "/upgrade/update/missing", link));
    } else if (kind == "loop") {
        QVERIFY(
            ::symlink("..", QFile::encodeName(sourceDir + "/upgrade/update/sub/link").constData())
            == 0);
    } else if (kind == "fifo") {
        QVERIFY(!makeFifo(link).isEmpty());
    } else if (kind == "socket") {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const QByteArray native = QFile::encodeName(link);
        if (size_t(native.size()) >= sizeof(address.sun_path)) {
            ::close(fd);
            QSKIP("temporary path too long for a socket address");
        }
        qstrcpy(address.sun_path, native.constData());
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
        ::close(fd);
        QVERIFY(bound);
    } else if (kind == "badname") {
        badName = QFile::encodeName(sourceDir + "/upgrade/update/") + "bad\xff\xfe.txt";
        const int fd = ::open(badName.constData(), O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
    }
    QString error;
    QVERIFY(!PackageBuilder::build(sourceDir, tmp.filePath("out.rcc"), &error));
    for (const QString &part : expected)
        QVERIFY2(error.contains(part), qPrintable(QString("'%1' not in: %2").arg(part, error)));
    QVERIFY(!QFileInfo::exists(tmp.filePath("out.rcc")));
#endif
}

void tst_PackageBuilder::refusesOutputPathThatIsAFolder()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString sourceDir = tmp.filePath("src");
    QVERIFY(TestPackage::writeTree(sourceDir,
        { { "upgrade/upgrade_config.xml", goodDescriptor }, { "out.rcc/keep.txt", "keep" } }));
    QString error;
    QVERIFY(!PackageBuilder::build(sourceDir, tmp.filePath("src/out.rcc"), &error));
    QVERIFY2(error.contains("out.rcc") && error.contains("folder"), qPrintable(error));
    QCOMPARE(readAll(tmp.filePath("src/out.rcc/keep.txt")), QByteArray("keep"));
    QVERIFY(!PackageBuilder::build(sourceDir, QString(), &error));
    QVERIFY2(error.contains("no output file"), qPrintable(error));
}

void tst_PackageBuilder::refusesOutputInsideTree()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString sourceDir = tmp.filePath("src");
    QVERIFY(
        TestPackage::writeTree(sourceDir, { { "upgrade/upgrade_config.xml", goodDescriptor } }));
    QString error;
    QVERIFY(!PackageBuilder::build(sourceDir, sourceDir + "/upgrade/add/p.rcc", &error));
    QVERIFY2(error.contains("inside the package tree"), qPrintable(error));
    QVERIFY(!QFileInfo::exists(sourceDir + "/upgrade/add"));
}

void tst_PackageBuilder::replacesExistingOutput()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString output = tmp.filePath("deep/er/p.rcc");
    QString error;
    QVERIFY2(!TestPackage::build(tmp.path(), { { "upgrade/upgrade_config.xml", goodDescriptor } },
                 &error, "first.rcc")
                  .isEmpty(),
        qPrintable(error));
    // Missing parent folders are created; an existing package is replaced.
    QVERIFY2(
        PackageBuilder::build(tmp.filePath("src-first.rcc"), output, &error), qPrintable(error));
    QVERIFY(
        TestPackage::writeTree(tmp.filePath("src-first.rcc"), { { "upgrade/readme.txt", "new" } }));
    QVERIFY2(
        PackageBuilder::build(tmp.filePath("src-first.rcc"), output, &error), qPrintable(error));
    QVERIFY(QResource::registerResource(output));
    const QByteArray readme = readAll(":/upgrade/readme.txt");
    QVERIFY(QResource::unregisterResource(output));
    QCOMPARE(readme, QByteArray("new"));

    // A refused build leaves the earlier package in place.
    QVERIFY(
        TestPackage::writeTree(tmp.filePath("src-first.rcc"), { { "upgrade/stray.txt", "x" } }));
    const QByteArray earlier = readAll(output);
    QVERIFY(!PackageBuilder::build(tmp.filePath("src-first.rcc"), output, &error));
    QCOMPARE(readAll(output), earlier);
}

void tst_PackageBuilder::commandLineTool_data()
{
    QTest::addColumn<bool>("good");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("good tree") << true << 0;
    QTest::newRow("refused tree") << false << 1;
}

void tst_PackageBuilder::commandLineTool()
{
    QFETCH(bool, good);
    QFETCH(int, exitCode);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString sourceDir = tmp.filePath("src");
    QVERIFY(TestPackage::writeTree(sourceDir,
        { { "upgrade/upgrade_config.xml", goodDescriptor },
            { good ? "upgrade/add/a.txt" : "upgrade/adds/a.txt", "a" } }));
    const QString program
        = QStringLiteral(UPGRADE_BINARY_DIR) + "/tools/make_upgrade_package/make_upgrade_package";
    QProcess tool;
    tool.start(program, { sourceDir, tmp.filePath("out.rcc") });
    QVERIFY2(tool.waitForFinished(120000), qPrintable(tool.errorString()));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), exitCode);
    QCOMPARE(QFileInfo::exists(tmp.filePath("out.rcc")), good);
    if (!good) {
        const QString message = QString::fromLocal8Bit(tool.readAllStandardError());
        QVERIFY2(message.contains("upgrade/adds") && message.contains("unknown entry"),
            qPrintable(message));
    }
}

QTEST_GUILESS_MAIN(tst_PackageBuilder)
#include "tst_packagebuilder.moc"
