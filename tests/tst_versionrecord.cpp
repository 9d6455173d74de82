#include <QCoreApplication>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include "CUpgradeWorker.h"
#include "RecordLayout.h"
#include "UpgradeConstants.h"
#include "VersionRecordFile.h"

#ifdef Q_OS_UNIX
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

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
    void keepsDeclaredEncoding_data();
    void keepsDeclaredEncoding();
    void logLines_data();
    void logLines();
    void updatesBothCopies();
    void missingSecondCopy();
    void failedWriteKeepsOldRecord();
    void unwritableRecord_data();
    void unwritableRecord();

private:
    QString recordPath1() const;
    QString recordPath2() const;
    // Runs updateVersionRecord in a child copy of this test program, with a
    // file-size limit (bytes, -1 for none) and, when it runs as root, as an
    // ordinary user; returns the child's log lines.
    QStringList updateInChild(const QString &path, qint64 sizeLimit, bool asOtherUser);

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_previousDir;
    QString m_mainPath;
};

static QString entryXml(const QString &key, const QString &value)
{
    return QStringLiteral("<item key=\"%1\" value=\"%2\"/>").arg(key, value);
}

static QByteArray sampleRecord(const QString &version = QStringLiteral("1.2.3"))
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<root><module>%1%2%3%4</module></root>\n")
        .arg(entryXml(QStringLiteral("software_product_id"), QStringLiteral("12")),
            entryXml(QStringLiteral("software_name_zh"), QStringLiteral("测试软件")),
            entryXml(QStringLiteral("software_version"), version),
            entryXml(QStringLiteral("MainPath"), QStringLiteral("D:/suite")))
        .toUtf8();
}

static bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

static QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

// "tag key=value" for every element with a "key" attribute, in document
// order (a missing "value" attribute shows as "tag key" alone).
static void collectEntries(const QDomNode &parent, QStringList *entries)
{
    for (QDomNode node = parent.firstChild(); !node.isNull(); node = node.nextSibling()) {
        const QDomElement element = node.toElement();
        if (element.isNull())
            continue;
        if (element.hasAttribute(QStringLiteral("key"))) {
            QString text
                = element.tagName() + QLatin1Char(' ') + element.attribute(QStringLiteral("key"));
            if (element.hasAttribute(QStringLiteral("value")))
                text += QLatin1Char('=') + element.attribute(QStringLiteral("value"));
            *entries << text;
        }
        collectEntries(element, entries);
    }
}

static QStringList recordEntries(const QByteArray &bytes)
{
    QDomDocument document;
    if (!document.setContent(bytes))
        return { QStringLiteral("<not well-formed>") };
    QStringList entries;
    collectEntries(document, &entries);
    return entries;
}

// Empty when every line is indented by four blanks per nesting level,
// otherwise the first line that is not.
static QString misindentedLine(const QByteArray &bytes)
{
    int depth = 0;
    const QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1String("<?")))
            continue;
        if (trimmed.startsWith(QLatin1String("</")))
            --depth;
        int indent = 0;
        while (indent < line.size() && line.at(indent) == QLatin1Char(' '))
            ++indent;
        if (indent != 4 * depth)
            return line;
        const bool opens = !trimmed.startsWith(QLatin1String("</"))
            && !trimmed.startsWith(QLatin1String("<!--")) && !trimmed.endsWith(QLatin1String("/>"))
            && !trimmed.contains(QLatin1String("</"));
        if (opens)
            ++depth;
    }
    return QString();
}

static QString successLine(const QString &path)
{
    return QStringLiteral("修改%1版本信息成功!").arg(path);
}

static QString failureLine(const QString &path)
{
    return QStringLiteral("升级成功,但修改%1版本信息失败,请手动修改!").arg(path);
}

void tst_VersionRecord::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    // The installation directory is relative to the working directory here.
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_mainPath = m_dir->filePath(QStringLiteral("main"));
    QVERIFY(QDir().mkpath(m_mainPath + QStringLiteral("/product/common/sysconfig")));
    QVERIFY(QDir().mkpath(UpgradeConstants::installDir()));
}

void tst_VersionRecord::cleanup()
{
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

QString tst_VersionRecord::recordPath1() const
{
    return UpgradeConstants::installDir() + QDir::separator() + QStringLiteral("setup_config.xml");
}

QString tst_VersionRecord::recordPath2() const
{
    const QString sep = QDir::separator();
    return m_mainPath + sep + QStringLiteral("product") + sep + QStringLiteral("common") + sep
        + QStringLiteral("sysconfig") + sep + QStringLiteral("setup_config.xml");
}

void tst_VersionRecord::rewritesEntries_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QStringList>("expected");

    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    QTest::newRow("version entry replaced, the others kept")
        << sampleRecord()
        << QStringList { QStringLiteral("item software_product_id=12"),
               QStringLiteral("item software_name_zh=测试软件"),
               QStringLiteral("item software_version=1.2.5"),
               QStringLiteral("item MainPath=D:/suite") };
    QTest::newRow("every entry with the old value, whatever its key and tag")
        << head
            + "<root><module><a key=\"software_version\" value=\"1.2.3\"/>"
              "<b key=\"db_version\" value=\"1.2.3\"/><a key=\"x\" value=\"1.2.30\"/>"
              "<a key=\"y\" value=\" 1.2.3\"/><a key=\"z\"/></module></root>"
        << QStringList { QStringLiteral("a software_version=1.2.5"),
               QStringLiteral("b db_version=1.2.5"), QStringLiteral("a x=1.2.30"),
               QStringLiteral("a y= 1.2.3"), QStringLiteral("a z") };
    QTest::newRow("no entry has the old value: nothing changes")
        << sampleRecord(QStringLiteral("1.2.4"))
        << QStringList { QStringLiteral("item software_product_id=12"),
               QStringLiteral("item software_name_zh=测试软件"),
               QStringLiteral("item software_version=1.2.4"),
               QStringLiteral("item MainPath=D:/suite") };
    QTest::newRow("first child of root is a comment: nothing changes") << head
            + "<root><!-- note --><module><item key=\"software_version\" value=\"1.2.3\"/>"
              "</module></root>" << QStringList { QStringLiteral("item software_version=1.2.3") };
    QTest::newRow("first child of root is another element: nothing changes")
        << head
            + "<root><other><item key=\"software_version\" value=\"1.2.3\"/></other>"
              "<module><item key=\"software_version\" value=\"1.2.3\"/></module></root>"
        << QStringList { QStringLiteral("item software_version=1.2.3"),
               QStringLiteral("item software_version=1.2.3") };
    QTest::newRow("the root's own name is not examined") << head
            + "<config><module><item key=\"software_version\" value=\"1.2.3\"/></module>"
              "</config>" << QStringList { QStringLiteral("item software_version=1.2.5") };
}

void tst_VersionRecord::rewritesEntries()
{
    QFETCH(QByteArray, record);
    QFETCH(QStringList, expected);
    const QString path = m_dir->filePath(QStringLiteral("setup_config.xml"));
    QVERIFY(writeFile(path, record));

    QString reason;
    QCOMPARE(
        VersionRecordFile::rewrite(path, QStringLiteral("1.2.3"), QStringLiteral("1.2.5"), &reason),
        VersionRecordFile::Result::Written);
    const QByteArray written = readFile(path);
    QCOMPARE(recordEntries(written), expected);

    // Written back with four blanks per level, whatever the input's layout.
    QVERIFY2(written.count('\n') >= 4, written.constData());
    const QString badLine = misindentedLine(written);
    QVERIFY2(badLine.isEmpty(), qPrintable(badLine));
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
    QTest::newRow("UTF-8 declared") << QByteArray("UTF-8") << true << QStringLiteral("测试软件");
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

    QString text;
    if (declared)
        text = QStringLiteral("<?xml version=\"1.0\" encoding=\"%1\"?>\n")
                   .arg(QString::fromLatin1(codecName));
    text += QStringLiteral("<root><module>%1%2</module></root>\n")
                .arg(entryXml(QStringLiteral("software_name_zh"), name),
                    entryXml(QStringLiteral("software_version"), QStringLiteral("1.2.3")));
    const QString path = m_dir->filePath(QStringLiteral("setup_config.xml"));
    QVERIFY(writeFile(path, codec->fromUnicode(text)));

    QCOMPARE(VersionRecordFile::rewrite(path, QStringLiteral("1.2.3"), QStringLiteral("1.2.5")),
        VersionRecordFile::Result::Written);
    const QByteArray written = readFile(path);
    QVERIFY2(written.contains(codec->fromUnicode(name)), written.constData());
    if (codecName != "UTF-8")
        QVERIFY(!written.contains(name.toUtf8()));
    QCOMPARE(written.contains("encoding="), declared);
    if (declared)
        QVERIFY(written.contains("encoding='" + codecName + "'")
            || written.contains("encoding=\"" + codecName + "\""));

    RecordLayout::Entries entries;
    QCOMPARE(RecordLayout::readFile(path, &entries), RecordLayout::ReadResult::Ok);
    QCOMPARE(entries.value(QStringLiteral("software_name_zh")), name);
    QCOMPARE(entries.value(QStringLiteral("software_version")), QStringLiteral("1.2.5"));
}

void tst_VersionRecord::logLines_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("logsFailure");
    QTest::addColumn<bool>("logsSuccess");

    QTest::newRow("well-formed record: success line") << "good" << false << true;
    QTest::newRow("missing record: failure line, nothing created") << "missing" << true << false;
    QTest::newRow("a folder in the record's place: failure line") << "folder" << true << false;
    QTest::newRow("not well-formed: untouched, no line") << "broken" << false << false;
    QTest::newRow("path through a regular file: failure line") << "through-file" << true << false;
}

void tst_VersionRecord::logLines()
{
    QFETCH(QString, kind);
    QFETCH(bool, logsFailure);
    QFETCH(bool, logsSuccess);

    QString path = m_dir->filePath(QStringLiteral("setup_config.xml"));
    QByteArray before;
    if (kind == QLatin1String("good")) {
        before = sampleRecord();
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(path));
    } else if (kind == QLatin1String("broken")) {
        before = "<root><module><item key=\"software_version\" value=\"1.2.3\"></module>";
    } else if (kind == QLatin1String("through-file")) {
        QVERIFY(writeFile(m_dir->filePath(QStringLiteral("plain")), "x"));
        path = m_dir->filePath(QStringLiteral("plain/setup_config.xml"));
    }
    if (!before.isEmpty())
        QVERIFY(writeFile(path, before));

    CUpgradeWorker worker;
    worker.setVersions(QStringLiteral("1.2.3"), QStringLiteral("1.2.5"));
    QSignalSpy status(&worker, &CUpgradeWorker::status);
    worker.updateVersionRecord(path);

    QStringList expected;
    if (logsFailure)
        expected << failureLine(path);
    if (logsSuccess)
        expected << successLine(path);
    QStringList lines;
    for (const QList<QVariant> &arguments : qAsConst(status))
        lines << arguments.at(0).toString();
    QCOMPARE(lines, expected);

    if (kind == QLatin1String("missing"))
        QVERIFY(!QFileInfo::exists(path));
    if (kind == QLatin1String("folder"))
        QVERIFY(QFileInfo(path).isDir());
    if (kind == QLatin1String("broken"))
        QCOMPARE(readFile(path), before);
    if (kind == QLatin1String("good"))
        QVERIFY(
            recordEntries(readFile(path)).contains(QStringLiteral("item software_version=1.2.5")));
    // No temporary file is left next to the record.
    const QStringList left
        = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &name : left)
        QVERIFY2(!name.startsWith(QLatin1String("setup_config.xml.")), qPrintable(name));
}

void tst_VersionRecord::updatesBothCopies()
{
    QVERIFY(writeFile(recordPath1(), sampleRecord()));
    QVERIFY(writeFile(recordPath2(), sampleRecord()));

    CUpgradeWorker worker;
    worker.installPath = m_mainPath;
    worker.setVersions(QStringLiteral("1.2.3"), QStringLiteral("1.2.5"));
    QSignalSpy status(&worker, &CUpgradeWorker::status);
    worker.updateVersionRecords();

    // The paths are joined with the native separator, the first one relative
    // to the working directory on this platform.
    const QString sep = QDir::separator();
    const QString expected1
        = QStringLiteral("C:/Program Files/Tessaron") + sep + QStringLiteral("setup_config.xml");
    QCOMPARE(recordPath1(), expected1);
    QCOMPARE(status.count(), 2);
    QCOMPARE(status.at(0).at(0).toString(), successLine(expected1));
    QCOMPARE(status.at(1).at(0).toString(), successLine(recordPath2()));
    QVERIFY(status.at(1).at(0).toString().contains(sep + QStringLiteral("sysconfig") + sep));
    for (const QString &path : { recordPath1(), recordPath2() }) {
        RecordLayout::Entries entries;
        QCOMPARE(RecordLayout::readFile(path, &entries), RecordLayout::ReadResult::Ok);
        QCOMPARE(entries.value(QStringLiteral("software_version")), QStringLiteral("1.2.5"));
    }
}

void tst_VersionRecord::missingSecondCopy()
{
    QVERIFY(writeFile(recordPath1(), sampleRecord()));
    QVERIFY(QDir(m_mainPath + QStringLiteral("/product/common/sysconfig")).removeRecursively());

    CUpgradeWorker worker;
    worker.installPath = m_mainPath;
    worker.setVersions(QStringLiteral("1.2.3"), QStringLiteral("1.2.5"));
    QSignalSpy status(&worker, &CUpgradeWorker::status);
    worker.updateVersionRecords();

    QCOMPARE(status.count(), 2);
    QCOMPARE(status.at(0).at(0).toString(), successLine(recordPath1()));
    QCOMPARE(status.at(1).at(0).toString(), failureLine(recordPath2()));
    QVERIFY(!QFileInfo::exists(m_mainPath + QStringLiteral("/product/common/sysconfig")));
}

#ifdef Q_OS_UNIX
// The child side of updateInChild: limits, then one record update.
static int recordChildMain(int argc, char **argv)
{
    if (argc != 7)
        return 2;
    const long long sizeLimit = std::atoll(argv[2]);
    if (std::atoi(argv[3]) != 0 && geteuid() == 0) {
        // An ordinary user, so that file permissions apply.
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return 3;
    }
    if (sizeLimit >= 0) {
        // Writes beyond the limit fail with EFBIG instead of killing us.
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        limit.rlim_cur = rlim_t(sizeLimit);
        limit.rlim_max = rlim_t(sizeLimit);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 4;
    }
    QCoreApplication app(argc, argv);
    CUpgradeWorker worker;
    worker.setVersions(QString::fromUtf8(argv[5]), QString::fromUtf8(argv[6]));
    QObject::connect(&worker, &CUpgradeWorker::status, [](const QString &line) {
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fflush(stdout);
    });
    worker.updateVersionRecord(QString::fromUtf8(argv[4]));
    return 0;
}
#endif

QStringList tst_VersionRecord::updateInChild(
    const QString &path, qint64 sizeLimit, bool asOtherUser)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
        { QStringLiteral("--record-child"), QString::number(sizeLimit),
            asOtherUser ? QStringLiteral("1") : QStringLiteral("0"), path, QStringLiteral("1.2.3"),
            QStringLiteral("1.2.5") });
    if (!child.waitForStarted(30000) || !child.waitForFinished(60000)) {
        child.kill();
        child.waitForFinished(5000);
        return { QStringLiteral("<child did not run>") };
    }
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return { QStringLiteral("<child ended with %1>").arg(child.exitCode()) };
    QStringList lines = QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char('\n'));
    lines.removeAll(QString());
    return lines;
}

void tst_VersionRecord::failedWriteKeepsOldRecord()
{
#ifndef Q_OS_UNIX
    QSKIP("needs a file-size limit");
#else
    // A record well above the limit, so the new content cannot be written whole.
    QString padding;
    for (int i = 0; i < 80; ++i)
        padding += entryXml(QStringLiteral("entry_%1").arg(i), QStringLiteral("value %1").arg(i));
    QByteArray record = sampleRecord();
    record.replace("</module>", padding.toUtf8() + "</module>");
    QVERIFY(record.size() > 2048);
    const QString path = m_dir->filePath(QStringLiteral("setup_config.xml"));
    QVERIFY(writeFile(path, record));

    QCOMPARE(updateInChild(path, 1024, false), QStringList { failureLine(path) });
    QCOMPARE(readFile(path), record);
    QCOMPARE(QDir(m_dir->path())
                 .entryList({ QStringLiteral("setup_config.xml*") }, QDir::Files | QDir::Hidden),
        QStringList { QStringLiteral("setup_config.xml") });

    // The same child without the limit does rewrite it.
    QCOMPARE(updateInChild(path, -1, false), QStringList { successLine(path) });
    QVERIFY(recordEntries(readFile(path)).contains(QStringLiteral("item software_version=1.2.5")));
#endif
}

void tst_VersionRecord::unwritableRecord_data()
{
    QTest::addColumn<bool>("readOnlyFolder");
    QTest::addColumn<bool>("readOnlyFile");

    // The control shows that the child reaches and may replace the record.
    QTest::newRow("control: folder and record writable") << false << false;
    QTest::newRow("folder not writable") << true << false;
    QTest::newRow("record marked read-only") << false << true;
}

void tst_VersionRecord::unwritableRecord()
{
#ifndef Q_OS_UNIX
    QSKIP("needs POSIX permissions");
#else
    QFETCH(bool, readOnlyFolder);
    QFETCH(bool, readOnlyFile);
    // The child may run as another user: it needs to reach the folder.
    QVERIFY(QFile::setPermissions(m_dir->path(), QFileDevice::Permissions(0x7755)));
    const QString folder = m_dir->filePath(QStringLiteral("sysconfig"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/setup_config.xml");
    const QByteArray record = sampleRecord();
    QVERIFY(writeFile(path, record));
    const auto readable = QFileDevice::ReadOwner | QFileDevice::ReadUser | QFileDevice::ReadGroup
        | QFileDevice::ReadOther;
    const auto traversable = QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup
        | QFileDevice::ExeOther;
    QFileDevice::Permissions filePermissions = readable;
    if (!readOnlyFile)
        filePermissions |= QFileDevice::WriteOwner | QFileDevice::WriteUser
            | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    QFileDevice::Permissions folderPermissions = readable | traversable;
    if (!readOnlyFolder)
        folderPermissions |= QFileDevice::WriteOwner | QFileDevice::WriteUser
            | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    QVERIFY(QFile::setPermissions(path, filePermissions));
    QVERIFY(QFile::setPermissions(folder, folderPermissions));

    const QStringList lines = updateInChild(path, -1, true);
    QFile::setPermissions(folder, folderPermissions | QFileDevice::WriteOwner);
    if (!readOnlyFolder && !readOnlyFile) {
        QCOMPARE(lines, QStringList { successLine(path) });
        QVERIFY(
            recordEntries(readFile(path)).contains(QStringLiteral("item software_version=1.2.5")));
        return;
    }
    QCOMPARE(lines, QStringList { failureLine(path) });
    QCOMPARE(readFile(path), record);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList { QStringLiteral("setup_config.xml") });
#endif
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
