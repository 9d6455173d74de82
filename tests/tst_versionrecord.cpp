#include <QDomDocument>
#include <QtTest>

#include <functional>

#include "ContainedTree.h"
#include "RecordLayout.h"
#include "UpgradeConstants.h"
#include "UpgradeRequest.h"
#include "VersionRecordFile.h"
#include "VersionRecords.h"
#include "support/EngineHarness.h"

#ifdef Q_OS_UNIX
#include <csignal>
#include <cstdio>
#include <grp.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

using EngineHarness::readFile;
using EngineHarness::writeFile;

namespace {

QByteArray sampleRecord(
    const QString &version = QStringLiteral("1.2.3"), const QByteArray &more = {})
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root><module>"
           "<item key=\"software_product_id\" value=\"12\"/>"
           "<item key=\"software_name_zh\" value=\"测试软件\"/>"
           "<item key=\"software_version\" value=\""
        + version.toUtf8() + "\"/><item key=\"MainPath\" value=\"D:/suite\"/>" + more
        + "</module></root>\n";
}

// "tag key=value" for every element with a "key" attribute, in document order
// ("tag key" alone without a value); the written text must be the document
// laid out with four blanks per level.
// Each element on a line of its own, indented by four blanks per level.
bool indentedByFour(const QByteArray &bytes)
{
    int depth = 0;
    for (const QByteArray &line : bytes.split('\n')) {
        const QByteArray body = line.trimmed();
        if (body.isEmpty() || body.startsWith("<?xml"))
            continue;
        if (body.startsWith("</"))
            --depth;
        const int indent = line.indexOf(body);
        if (depth < 0 || indent != 4 * depth || line.left(indent).count(' ') != indent)
            return false;
        const bool opens = body.startsWith('<') && !body.startsWith("</") && !body.startsWith("<!")
            && !body.startsWith("<?") && !body.endsWith("/>") && !body.contains("</");
        if (opens)
            ++depth;
    }
    return depth == 0;
}

QStringList recordEntries(const QByteArray &bytes)
{
    QDomDocument document;
    if (!document.setContent(bytes))
        return { QStringLiteral("<not well-formed>") };
    if (!indentedByFour(bytes))
        return { QStringLiteral("<not indented by four blanks>"), QString::fromUtf8(bytes) };
    QStringList entries;
    std::function<void(const QDomElement &)> walk = [&](const QDomElement &parent) {
        for (QDomElement e = parent.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
            if (e.hasAttribute("key"))
                entries << e.tagName() + ' ' + e.attribute("key")
                        + (e.hasAttribute("value") ? '=' + e.attribute("value") : QString());
            walk(e);
        }
    };
    walk(document.documentElement());
    return entries;
}

QString successLine(const QString &path)
{
    return QStringLiteral("修改%1版本信息成功!").arg(QDir::toNativeSeparators(path));
}

QString failureLine(const QString &path)
{
    return QStringLiteral("升级成功,但修改%1版本信息失败,请手动修改!").arg(QDir::toNativeSeparators(path));
}

} // namespace

// The version record update: what changes in the record, how it is written,
// and which lines the worker logs.
class tst_VersionRecord : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rewritesEntries_data();
    void rewritesEntries();
    void keepsAttributeOrder();
    void readsWhatTheParserReads_data();
    void readsWhatTheParserReads();
    void keepsDeclaredEncoding_data();
    void keepsDeclaredEncoding();
    void logLines_data();
    void logLines();
    void bothCopies_data();
    void bothCopies();
    void writeFailureKeepsOldRecord_data();
    void writeFailureKeepsOldRecord();
    void immutableFolder();

private:
    // Runs a record update in a child copy of this test program, with a
    // file-size limit (bytes, -1 for none) and, when it runs as root, as an
    // ordinary user; returns the child's log lines.
    QStringList updateInChild(const QString &path, qint64 sizeLimit, bool asOtherUser);

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_previousDir;
    QString m_record;
};

void tst_VersionRecord::init()
{
    m_dir.reset(new QTemporaryDir);
    // The installation directory is relative to the working directory here.
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_record = m_dir->filePath(QStringLiteral("setup_config.xml"));
}

void tst_VersionRecord::cleanup()
{
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

void tst_VersionRecord::rewritesEntries_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QStringList>("expected");

    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const QStringList others { "item software_product_id=12", "item software_name_zh=测试软件" };
    QTest::newRow("version entry replaced, the others kept")
        << sampleRecord()
        << others + QStringList { "item software_version=1.2.5", "item MainPath=D:/suite" };
    QTest::newRow("every entry with the old value, whatever its key and tag")
        << head
            + "<root><module><a key=\"software_version\" value=\"1.2.3\"/>"
              "<b key=\"db_version\" value=\"1.2.3\"/><a key=\"x\" value=\"1.2.30\"/>"
              "<a key=\"y\" value=\" 1.2.3\"/><a key=\"z\"/></module></root>"
        << QStringList { "a software_version=1.2.5", "b db_version=1.2.5", "a x=1.2.30",
               "a y= 1.2.3", "a z" };
    QTest::newRow("no entry has the old value: re-indented all the same")
        << sampleRecord("1.2.4")
        << others + QStringList { "item software_version=1.2.4", "item MainPath=D:/suite" };
    QTest::newRow("first child of root is a comment: nothing changes") << head
            + "<root><!-- note --><module><item key=\"software_version\" "
              "value=\"1.2.3\"/></module></root>" << QStringList { "item software_version=1.2.3" };
    QTest::newRow("first child of root is another element: nothing changes")
        << head
            + "<root><other><item key=\"software_version\" value=\"1.2.3\"/></other>"
              "<module><item key=\"software_version\" value=\"1.2.3\"/></module></root>"
        << QStringList { "item software_version=1.2.3", "item software_version=1.2.3" };
    QTest::newRow("the root's own name is not examined")
        << head
            + "<config><module><item key=\"software_version\" value=\"1.2.3\"/></module></config>"
        << QStringList { "item software_version=1.2.5" };
}

void tst_VersionRecord::rewritesEntries()
{
    QFETCH(QByteArray, record);
    QVERIFY(writeFile(m_record, record));
    QString reason;
    QCOMPARE(VersionRecordFile::rewrite(m_record, "1.2.3", "1.2.5", &reason),
        VersionRecordFile::Result::Written);
    QTEST(recordEntries(readFile(m_record)), "expected");
}

// Attributes stay in the order the record has them, whatever the process.
void tst_VersionRecord::keepsAttributeOrder()
{
    QVERIFY(writeFile(m_record,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root><module>"
        "<item value=\"1.2.3\" note=\"n\" key=\"software_version\"/>"
        "<item key=\"isDb\" value=\"1\"/></module></root>"));
    QCOMPARE(
        VersionRecordFile::rewrite(m_record, "1.2.3", "1.2.5"), VersionRecordFile::Result::Written);
    QCOMPARE(readFile(m_record),
        QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n    <module>\n"
                   "        <item value=\"1.2.5\" note=\"n\" key=\"software_version\"/>\n"
                   "        <item key=\"isDb\" value=\"1\"/>\n    </module>\n</root>\n"));
}

void tst_VersionRecord::readsWhatTheParserReads_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<bool>("readable");
    const QByteArray entries = "<root><module><item key=\"software_name_zh\" value=\"测试\"/>"
                               "<item key=\"software_version\" value=\"1.2.3\"/>";
    QTest::newRow("encoding named ANSI") << "<?xml version=\"1.0\" encoding=\"ANSI\"?>\n" + entries
            + "</module></root>\n" << true;
    QTest::newRow("XML 1.1 declaration") << "<?xml version=\"1.1\"?>\n" + entries
            + "</module></root>\n" << true;
    QTest::newRow("undeclared entity") << entries + "<item key=\"n\" value=\"x\">&nbsp;</item>"
            + "</module></root>\n" << true;
    QByteArray deep = "<?xml version=\"1.0\" encoding=\"ANSI\"?>\n" + entries;
    for (int i = 0; i <= RecordLayout::maxNestingDepth; ++i)
        deep += "<d>";
    for (int i = 0; i <= RecordLayout::maxNestingDepth; ++i)
        deep += "</d>";
    QTest::newRow("too deep, behind an unknown encoding") << deep + "</module></root>" << false;
}

// The depth guard refuses deep nesting only; what the parser reads is read,
// and its version is rewritten.
void tst_VersionRecord::readsWhatTheParserReads()
{
    QFETCH(QByteArray, xml);
    QFETCH(bool, readable);
    QVERIFY(writeFile(m_record, xml));
    RecordLayout::Entries entries;
    QCOMPARE(RecordLayout::readFile(m_record, &entries),
        readable ? RecordLayout::ReadResult::Ok : RecordLayout::ReadResult::ParseError);
    QCOMPARE(entries.value("software_version"), readable ? "1.2.3" : QString());

    QCOMPARE(VersionRecordFile::rewrite(m_record, "1.2.3", "1.2.5"),
        readable ? VersionRecordFile::Result::Written : VersionRecordFile::Result::ParseError);
    if (!readable) {
        QCOMPARE(readFile(m_record), xml);
        return;
    }
    QVERIFY(recordEntries(readFile(m_record)).contains("item software_version=1.2.5"));
    QCOMPARE(RecordLayout::readFile(m_record, &entries), RecordLayout::ReadResult::Ok);
    QCOMPARE(entries.value("software_version"), QStringLiteral("1.2.5"));
    QCOMPARE(entries.value("software_name_zh"), QStringLiteral("测试"));
}

void tst_VersionRecord::keepsDeclaredEncoding_data()
{
    QTest::addColumn<QByteArray>("codecName");
    QTest::addColumn<bool>("declared");
    QTest::addColumn<QString>("name");
    QTest::newRow("GBK stays GBK") << QByteArray("GBK") << true << QStringLiteral("测试软件");
    QTest::newRow("GB18030 stays GB18030")
        << QByteArray("GB18030") << true << QStringLiteral("测试软件");
    QTest::newRow("ISO-8859-1 stays Latin-1")
        << QByteArray("ISO-8859-1") << true << QStringLiteral("Müller Straße");
    QTest::newRow("no declaration: UTF-8")
        << QByteArray("UTF-8") << false << QStringLiteral("测试软件");
}

void tst_VersionRecord::keepsDeclaredEncoding()
{
    QFETCH(QByteArray, codecName);
    QFETCH(bool, declared);
    QFETCH(QString, name);
    QTextCodec *codec = QTextCodec::codecForName(codecName);
    QVERIFY(codec);
    const QString text = (declared ? QStringLiteral("<?xml version=\"1.0\" encoding=\"%1\"?>\n")
                                         .arg(QString(codecName))
                                   : QString())
        + QStringLiteral("<root><module><item key=\"software_name_zh\" value=\"%1\"/>"
                         "<item key=\"software_version\" value=\"1.2.3\"/></module></root>\n")
              .arg(name);
    QVERIFY(writeFile(m_record, codec->fromUnicode(text)));

    QCOMPARE(
        VersionRecordFile::rewrite(m_record, "1.2.3", "1.2.5"), VersionRecordFile::Result::Written);
    const QByteArray written = readFile(m_record);
    QVERIFY2(written.contains(codec->fromUnicode(name)), written.constData());
    if (codecName != "UTF-8")
        QVERIFY(!written.contains(name.toUtf8()));
    QCOMPARE(written.contains("encoding="), declared);
    if (declared)
        QVERIFY(written.contains("encoding='" + codecName + "'")
            || written.contains("encoding=\"" + codecName + "\""));
    RecordLayout::Entries entries;
    QCOMPARE(RecordLayout::readFile(m_record, &entries), RecordLayout::ReadResult::Ok);
    QCOMPARE(entries.value("software_name_zh"), name);
    QCOMPARE(entries.value("software_version"), QStringLiteral("1.2.5"));
}

void tst_VersionRecord::logLines_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("logged"); // 1 success line, -1 failure line, 0 none
    QTest::newRow("well-formed record: success line") << "good" << 1;
    QTest::newRow("missing record: failure line, nothing created") << "missing" << -1;
    QTest::newRow("a folder in the record's place: failure line") << "folder" << -1;
    QTest::newRow("not well-formed: untouched, failure line") << "broken" << -1;
    QTest::newRow("path through a regular file: failure line") << "through-file" << -1;
}

void tst_VersionRecord::logLines()
{
    QFETCH(QString, kind);
    QFETCH(int, logged);
    QString path = m_record;
    const QByteArray broken
        = "<root><module><item key=\"software_version\" value=\"1.2.3\"></module>";
    if (kind == "good")
        QVERIFY(writeFile(path, sampleRecord()));
    if (kind == "folder")
        QVERIFY(QDir().mkpath(path));
    if (kind == "broken")
        QVERIFY(writeFile(path, broken));
    if (kind == "through-file") {
        QVERIFY(writeFile(m_dir->filePath("plain"), "x"));
        path = m_dir->filePath("plain/setup_config.xml");
    }

    UpgradeRequest request;
    request.version = "1.2.3";
    request.versionTo = "1.2.5";
    QCOMPARE(VersionRecords::update(path, request, nullptr),
        logged == 0 ? QStringList()
                    : QStringList { logged > 0 ? successLine(path) : failureLine(path) });
    QCOMPARE(QFileInfo::exists(path), kind == "good" || kind == "folder" || kind == "broken");
    QCOMPARE(QFileInfo(path).isDir(), kind == "folder");
    if (kind == "broken")
        QCOMPARE(readFile(path), broken);
    if (kind == "good")
        QVERIFY(recordEntries(readFile(path)).contains("item software_version=1.2.5"));
    // No temporary file is left next to the record.
    QCOMPARE(
        QDir(m_dir->path()).entryList({ "setup_config.xml?*" }, QDir::AllEntries | QDir::Hidden),
        QStringList());
}

void tst_VersionRecord::bothCopies_data()
{
    QTest::addColumn<QString>("second"); // what is at the second copy's place
    QTest::newRow("both copies updated") << "file";
    QTest::newRow("missing second copy: failure line, nothing created") << "missing";
    // Never written through a link that leads out of the main directory.
    QTest::newRow("second copy a link to outside") << "link";
    QTest::newRow("its folder a link to outside") << "folder link";
}

// Both records in turn, with paths joined by the native separator: the first
// below the working directory, the second below the main directory.
void tst_VersionRecord::bothCopies()
{
    QFETCH(QString, second);
    const bool secondPresent = second == "file";
    const QString sep = QDir::separator();
    const QString main = m_dir->filePath("main");
    const QString first = QStringLiteral("C:/Program Files/Tessaron") + sep + "setup_config.xml";
    const QString secondPath
        = main + sep + "product" + sep + "common" + sep + "sysconfig" + sep + "setup_config.xml";
    QCOMPARE(first, UpgradeConstants::installDir() + sep + "setup_config.xml");
    QVERIFY(writeFile(first, sampleRecord()));
    const QString outside = m_dir->filePath("outside");
    QVERIFY(writeFile(outside + "/setup_config.xml", sampleRecord()));
    if (secondPresent)
        QVERIFY(writeFile(secondPath, sampleRecord()));
    else
        QVERIFY(QDir().mkpath(main + (second == "missing" ? "/product" : "/product/common")));
    if (second == "link")
        QVERIFY(QDir().mkpath(main + "/product/common/sysconfig")
            && QFile::link(outside + "/setup_config.xml", secondPath));
    if (second == "folder link")
        QVERIFY(QFile::link(outside, main + "/product/common/sysconfig"));

    UpgradeRequest request;
    request.mainPath = main;
    request.version = "1.2.3";
    request.versionTo = "1.2.5";
    ContainedTree tree(main);
    const QStringList said = VersionRecords::updateAll(request, &tree);
    QCOMPARE(said.first(), successLine(first));
    QCOMPARE(said.last(), secondPresent ? successLine(secondPath) : failureLine(secondPath));
    QVERIFY(recordEntries(readFile(first)).contains("item software_version=1.2.5"));
    if (secondPresent)
        QVERIFY(recordEntries(readFile(secondPath)).contains("item software_version=1.2.5"));
    else if (second == "missing")
        QVERIFY(!QFileInfo::exists(main + "/product/common"));
    QCOMPARE(readFile(outside + "/setup_config.xml"), sampleRecord());
}

#ifdef Q_OS_UNIX
// The child side of updateInChild: limits, then one record update.
static int recordChildMain(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    if (std::atoi(argv[3]) != 0 && geteuid() == 0) {
        // An ordinary user, so that file permissions apply.
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return 3;
    }
    const long long sizeLimit = std::atoll(argv[2]);
    if (sizeLimit >= 0) {
        // Writes beyond the limit fail with EFBIG instead of killing us.
        std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit
        {
            rlim_t(sizeLimit), rlim_t(sizeLimit)
        };
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 4;
    }
    QCoreApplication app(argc, argv);
    UpgradeRequest request;
    request.version = "1.2.3";
    request.versionTo = "1.2.5";
    for (const QString &line : VersionRecords::update(QString::fromUtf8(argv[4]), request, nullptr))
        std::printf("%s\n", line.toUtf8().constData());
    return 0;
}
#endif

QStringList tst_VersionRecord::updateInChild(
    const QString &path, qint64 sizeLimit, bool asOtherUser)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
        { "--record-child", QString::number(sizeLimit), asOtherUser ? "1" : "0", path });
    if (!child.waitForFinished(60000)) {
        child.kill();
        child.waitForFinished(5000);
        return { QStringLiteral("<child did not run>") };
    }
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return { QStringLiteral("<child ended with %1>").arg(child.exitCode()) };
    return QString::fromUtf8(child.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

void tst_VersionRecord::writeFailureKeepsOldRecord_data()
{
    QTest::addColumn<qint64>("sizeLimit");
    QTest::addColumn<bool>("asOtherUser");
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<int>("fileMode");
    QTest::addColumn<bool>("written");

    const int r = 0x4444, w = 0x2222, x = 0x1111; // owner, user, group, other
    // The controls show that the child reaches and may replace the record.
    QTest::newRow("control: no file-size limit")
        << qint64(-1) << false << (r | w | x) << (r | w) << true;
    QTest::newRow("file-size limit below the record's size")
        << qint64(1024) << false << (r | w | x) << (r | w) << false;
    QTest::newRow("control: folder and record writable for another user")
        << qint64(-1) << true << (r | w | x) << (r | w) << true;
    // The temporary file can't go beside it: the record is rewritten in place.
    QTest::newRow("folder not writable") << qint64(-1) << true << (r | x) << (r | w) << true;
    QTest::newRow("record marked read-only") << qint64(-1) << true << (r | w | x) << r << false;
}

// The new record is written beside the old one and moved over it: a write
// that fails leaves the old record as it was, and no temporary file.
void tst_VersionRecord::writeFailureKeepsOldRecord()
{
#ifndef Q_OS_UNIX
    QSKIP("needs a file-size limit and POSIX permissions");
#else
    QFETCH(qint64, sizeLimit);
    QFETCH(bool, asOtherUser);
    QFETCH(int, folderMode);
    QFETCH(int, fileMode);
    QFETCH(bool, written);
    // A record well above the limit, so the new content cannot be written whole.
    QByteArray padding;
    for (int i = 0; i < 80; ++i)
        padding += QStringLiteral("<item key=\"entry_%1\" value=\"value %1\"/>").arg(i).toUtf8();
    const QByteArray record = sampleRecord("1.2.3", padding);
    QVERIFY(record.size() > 2048);
    // The child may run as another user: it needs to reach the folder.
    QVERIFY(QFile::setPermissions(m_dir->path(), QFileDevice::Permissions(0x7755)));
    const QString folder = m_dir->filePath("sysconfig");
    const QString path = folder + "/setup_config.xml";
    QVERIFY(writeFile(path, record));
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions(fileMode)));
    QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(folderMode)));

    const QStringList log = updateInChild(path, sizeLimit, asOtherUser);
    QFile::setPermissions(folder, QFileDevice::Permissions(folderMode) | QFileDevice::WriteOwner);
    QCOMPARE(log, QStringList { written ? successLine(path) : failureLine(path) });
    if (written)
        QVERIFY(recordEntries(readFile(path)).contains("item software_version=1.2.5"));
    else
        QCOMPARE(readFile(path), record);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList { "setup_config.xml" });
#endif
}

// A folder that refuses new files even to root: the record is still updated.
void tst_VersionRecord::immutableFolder()
{
    const QString folder = m_dir->filePath("sysconfig");
    const QString path = folder + "/setup_config.xml";
    QVERIFY(writeFile(path, sampleRecord()));
    EngineHarness::Immutable mark(folder);
    if (!mark.isSet())
        QSKIP("chattr +i does not work here");
    QString reason;
    QCOMPARE(VersionRecordFile::rewrite(path, "1.2.3", "1.2.5", &reason),
        VersionRecordFile::Result::Written);
    QVERIFY(recordEntries(readFile(path)).contains("item software_version=1.2.5"));
}

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    if (argc > 1 && qstrcmp(argv[1], "--record-child") == 0)
        return recordChildMain(argc, argv);
#endif
    QCoreApplication app(argc, argv);
    tst_VersionRecord test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_versionrecord.moc"
