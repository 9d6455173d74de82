#include <QBuffer>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QtEndian>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QStackedWidget>
#include <QTextEdit>
#include <QtTest>

#include "MainWindow.h"
#include "RecordLayout.h"

#include "support/MessageBoxDriver.h"
#include "support/SampleInstallation.h"
#include "support/TestPackage.h"

Q_DECLARE_METATYPE(TestPackage::Files)

// Bad input an operator or a package author can produce, tried one case at a
// time through the real window: every case must end with a clear message,
// without a crash or a hang, with nothing changed beyond what the package
// meant to change, the installation record on its old version after a
// failure, and no staging folder left behind. Each row prints the outcome the
// operator sees as "case: <name> -> <outcome>".
class tst_Robustness : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void installationRecord_data();
    void installationRecord();
    void refusedPackage_data();
    void refusedPackage();
    void failedUpgrade_data();
    void failedUpgrade();
    void nestingLimit_data();
    void nestingLimit();
};

namespace {

const QString initFailureText = QStringLiteral("获取本地系统安装信息失败,程序自动退出");

// Path of an entry below root -> what it is: "dir" or the file's checksum.
using TreeState = QMap<QString, QByteArray>;

TreeState treeState(const QString &root)
{
    TreeState state;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink()) {
            state.insert(relative, "link:" + info.symLinkTarget().toUtf8());
        } else if (info.isDir()) {
            state.insert(relative, "dir");
        } else {
            QFile file(info.filePath());
            QCryptographicHash hash(QCryptographicHash::Sha1);
            if (file.open(QIODevice::ReadOnly))
                hash.addData(&file);
            state.insert(relative, "file:" + hash.result().toHex());
        }
    }
    return state;
}

// Entries that appeared, went or changed between two states, sorted.
QStringList changedEntries(const TreeState &before, const TreeState &after)
{
    QStringList changed;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (after.value(it.key()) != it.value())
            changed << it.key();
    }
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (!before.contains(it.key()))
            changed << it.key();
    }
    changed.sort();
    return changed;
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// A record whose module is sound, followed by an element nested depth levels
// deep. Qt's DOM parser descends once per level.
QByteArray deeplyNested(const QByteArray &sound, int depth)
{
    QByteArray xml = sound;
    const int end = xml.lastIndexOf("</root>");
    QByteArray nested;
    nested.reserve(depth * 7);
    for (int i = 0; i < depth; ++i)
        nested += "<d>";
    for (int i = 0; i < depth; ++i)
        nested += "</d>";
    xml.insert(end, nested);
    return xml;
}

template <typename T> T *child(MainWindow &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

QString statusTip(MainWindow &window)
{
    return child<QLabel>(window, "tip")->text();
}

// Sets PATH for as long as it lives; the worker thread starts its programs
// with the process environment of the moment.
class PathOverride
{
public:
    explicit PathOverride(const QByteArray &path)
        : saved(qgetenv("PATH"))
        , active(!path.isNull())
    {
        if (active)
            qputenv("PATH", path);
    }
    ~PathOverride()
    {
        if (active)
            qputenv("PATH", saved);
    }

private:
    QByteArray saved;
    bool active;
};

} // namespace

void tst_Robustness::init()
{
    // Nothing may be left open by an earlier case.
    QVERIFY(!QApplication::activeModalWidget());
}

// ---- The installation record --------------------------------------------------

void tst_Robustness::installationRecord_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("record"); // the file's bytes (when present)
    QTest::addColumn<bool>("isFolder"); // a folder in the record's place
    QTest::addColumn<bool>("starts"); // init() accepts the record
    QTest::addColumn<QString>("message"); // the warning, or the verdict on a fitting package
    QTest::addColumn<QString>("infoLine"); // last line of the system information (empty: any)

    // The main path is not used by these cases: nothing is upgraded.
    const QString mainPath = QStringLiteral("/suite");
    const QByteArray sound = SampleInstallation::recordXml(7, QStringLiteral("2.1.5"), mainPath);

    QByteArray garbage(64 * 1024, '\0');
    QRandomGenerator random(20240611);
    for (char &byte : garbage)
        byte = char(random.bounded(256));

    // 50 MB of well-formed padding: 50,000 extra entries of 1 KB each.
    QByteArray huge = sound;
    {
        QByteArray padding;
        const QByteArray value(1000, 'x');
        padding.reserve(52 * 1024 * 1024);
        for (int i = 0; i < 50000; ++i)
            padding += "  <item key=\"padding" + QByteArray::number(i) + "\" value=\"" + value
                + "\"/>\n";
        huge.insert(huge.indexOf(" </module>"), padding);
    }

    QTest::newRow("record missing")
        << false << QByteArray() << false << false << initFailureText << QString();
    QTest::newRow("record is a folder")
        << false << QByteArray() << true << false << initFailureText << QString();
    QTest::newRow("record empty") << true << QByteArray() << false << false << initFailureText
                                  << QString();
    QTest::newRow("record is binary garbage")
        << true << garbage << false << false << initFailureText << QString();
    QTest::newRow("record cut off in the middle")
        << true << sound.left(sound.size() / 2) << false << false << initFailureText << QString();
    QTest::newRow("record with the wrong root element")
        << true << QByteArray(sound).replace("root>", "config>") << false << false
        << initFailureText << QStringLiteral("配置文件有误");
    QTest::newRow("record of 50 MB (valid padding entries)")
        << true << huge << false << true << QString() << QString();
    QTest::newRow("record nested 100000 levels deep")
        << true << deeplyNested(sound, 100000) << false << false << initFailureText << QString();
    QTest::newRow("record version malformed")
        << true << SampleInstallation::recordXml(7, QStringLiteral("2.1"), mainPath) << false
        << true << QStringLiteral("系统版本格式有误") << QString();
    QTest::newRow("record version empty")
        << true << SampleInstallation::recordXml(7, QString(), mainPath) << false << true
        << QStringLiteral("系统版本格式有误") << QString();
}

void tst_Robustness::installationRecord()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, record);
    QFETCH(bool, isFolder);
    QFETCH(bool, starts);
    QFETCH(QString, message);
    QFETCH(QString, infoLine);

    SampleInstallation install;
    if (present)
        QVERIFY(install.writeRecord(record));
    if (isFolder)
        QVERIFY(QDir().mkpath(install.recordPath()));
    const TestPackage::Files files {
        { QStringLiteral("upgrade/upgrade_config.xml"),
            TestPackage::descriptor(7, QStringLiteral("2.1.0"), QStringLiteral("2.1.9")) },
        { QStringLiteral("upgrade/readme.txt"), "readme\n" },
        { QStringLiteral("upgrade/update/product/bin/report.dll"), "new\n" },
    };
    QString error;
    const QString package = TestPackage::build(install.path(), files, &error);
    QVERIFY2(!package.isEmpty(), qPrintable(error));
    const TreeState before = treeState(install.mainPath());

    MainWindow window;
    window.show();
    QElapsedTimer clock;
    clock.start();
    bool started = false;
    qint64 readMs = 0;
    QString warningTitle;
    QString warningText;
    {
        // Answers the start-up warning only; it must not outlive init().
        MessageBoxDriver warning;
        warning.answer(QMessageBox::Ok);
        started = window.init();
        readMs = clock.elapsed();
        if (warning.wasShown()) {
            warningTitle = warning.title();
            warningText = warning.text();
        }
    }
    // Reading may take its time, but never long enough to look like a hang.
    QVERIFY2(readMs < 30000, qPrintable(QStringLiteral("reading took %1 ms").arg(readMs)));
    const QStringList info
        = child<QTextEdit>(window, "textEdit_3")->toPlainText().split(QLatin1Char('\n'));

    QString outcome;
    if (!started) {
        QVERIFY(!warningText.isEmpty());
        outcome = QStringLiteral("start refused with \"%1\"").arg(warningText);
        if (!infoLine.isEmpty())
            outcome += QStringLiteral(", information line \"%1\"").arg(info.last());
        QCOMPARE(warningTitle, QStringLiteral("警告"));
        QCOMPARE(warningText, message);
    } else {
        QVERIFY2(warningText.isEmpty(), qPrintable(warningText));
        window.loadPackage(package);
        const QString verdict = statusTip(window);
        // "升级" runs the same checks again and must not start anything.
        QSignalSpy startedCopy(&window, &MainWindow::startCopyAll);
        MessageBoxDriver question;
        question.answer(QStringLiteral("取消升级"));
        child<QPushButton>(window, "pushButton")->click();
        const bool asked = question.wasShown();
        outcome = QStringLiteral("started (%1 ms), version \"%2\", package verdict: %3; "
                                 "\"升级\" %4")
                      .arg(readMs)
                      .arg(window.installationRecord().version,
                          verdict.isEmpty() ? QStringLiteral("fits")
                                            : QStringLiteral("\"%1\"").arg(verdict),
                          asked ? QStringLiteral("asks \"%1\"").arg(question.text())
                                : QStringLiteral("shows \"%1\"").arg(statusTip(window)));
        qInfo().noquote() << QStringLiteral("case: %1 -> %2").arg(QTest::currentDataTag(), outcome);
        QCOMPARE(verdict, message);
        if (!message.isEmpty()) {
            QVERIFY(!asked);
            QCOMPARE(statusTip(window), message);
        } else {
            QVERIFY(asked); // the backup question, answered "取消升级"
        }
        QCOMPARE(startedCopy.count(), 0);
    }
    if (!started)
        qInfo().noquote() << QStringLiteral("case: %1 -> %2").arg(QTest::currentDataTag(), outcome);
    QCOMPARE(started, starts);
    if (!infoLine.isEmpty())
        QCOMPARE(info.last(), infoLine);

    // Nothing was written: the record is as it was, the installation untouched.
    if (present)
        QVERIFY(readBytes(install.recordPath()) == record);
    else if (isFolder)
        QVERIFY(QFileInfo(install.recordPath()).isDir());
    else
        QVERIFY(!QFileInfo::exists(install.recordPath()));
    QCOMPARE(changedEntries(before, treeState(install.mainPath())), QStringList());
}

// ---- Packages refused before anything starts -------------------------------------

namespace {
enum Damage { Intact, CutInHalf, FlipTreeOffset, FlipNameHash, CutAfterHeader };
}

void tst_Robustness::refusedPackage_data()
{
    QTest::addColumn<QByteArray>("descriptor");
    QTest::addColumn<int>("damage");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("details"); // "详情" enabled afterwards

    const QByteArray fitting
        = TestPackage::descriptor(7, QStringLiteral("2.1.3"), QStringLiteral("2.1.9"));
    const QString damaged = QStringLiteral("升级包文件已损坏");
    const QString notForThis = QStringLiteral("此升级包不适用于本系统升级");

    QTest::newRow("package cut in half") << fitting << int(CutInHalf) << damaged << false;
    QTest::newRow("package cut after its header")
        << fitting << int(CutAfterHeader) << damaged << false;
    QTest::newRow("package with a flipped byte in its header")
        << fitting << int(FlipTreeOffset) << damaged << false;
    QTest::newRow("package with a flipped byte in a name")
        << fitting << int(FlipNameHash) << damaged << false;
    QTest::newRow("package for another product")
        << TestPackage::descriptor(8, QStringLiteral("2.1.3"), QStringLiteral("2.1.9"))
        << int(Intact)
        << QStringLiteral("产品ID不匹配:升级包适用于产品ID 8,本机安装的产品ID为 7") << true;
    QTest::newRow("package for newer systems only")
        << TestPackage::descriptor(7, QStringLiteral("2.1.6"), QStringLiteral("2.1.9"))
        << int(Intact) << notForThis << true;
    QTest::newRow("package for older systems only")
        << TestPackage::descriptor(7, QStringLiteral("2.1.0"), QStringLiteral("2.1.4"))
        << int(Intact) << notForThis << true;
    QTest::newRow("package of an unknown upgrade type")
        << TestPackage::descriptor(7, QStringLiteral("2.1.3"), QStringLiteral("2.1.9"), 5)
        << int(Intact) << notForThis << true;
    QTest::newRow("package descriptor nested 100000 levels deep")
        << deeplyNested(fitting, 100000) << int(Intact) << QStringLiteral("未选择升级包") << false;
}

void tst_Robustness::refusedPackage()
{
    QFETCH(QByteArray, descriptor);
    QFETCH(int, damage);
    QFETCH(QString, message);
    QFETCH(bool, details);

    SampleInstallation install;
    QVERIFY(install.writeRecord());
    QVERIFY(install.writeSecondRecord());
    const TestPackage::Files files {
        { QStringLiteral("upgrade/upgrade_config.xml"), descriptor },
        { QStringLiteral("upgrade/readme.txt"), "readme\n" },
        { QStringLiteral("upgrade/update/product/bin/report.dll"), "new\n" },
    };
    QString error;
    const QString package = TestPackage::buildUnchecked(install.path(), files, &error);
    QVERIFY2(!package.isEmpty(), qPrintable(error));

    if (damage != Intact) {
        QFile file(package);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        QVERIFY(bytes.startsWith("qres"));
        const auto number = [&bytes](int at) {
            return qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(bytes.constData()) + at);
        };
        switch (damage) {
        case CutInHalf:
            bytes.truncate(bytes.size() / 2);
            break;
        case CutAfterHeader:
            bytes.truncate(24);
            break;
        case FlipTreeOffset:
            bytes[8] = char(bytes.at(8) ^ 0xff); // high byte of the tree's offset
            break;
        case FlipNameHash: {
            // The first name's hash, which the lookup of every path relies on.
            const quint32 names = number(16);
            QVERIFY(names + 6 < quint32(bytes.size()));
            bytes[int(names) + 4] = char(bytes.at(int(names) + 4) ^ 0x5a);
            break;
        }
        }
        QVERIFY(file.resize(0));
        QVERIFY(file.write(bytes) == bytes.size());
    }
    const QByteArray recordBefore = readBytes(install.recordPath());
    const QByteArray secondBefore = readBytes(install.secondRecordPath());
    const TreeState before = treeState(install.mainPath());

    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(package);
    const QString verdict = statusTip(window);
    const bool detailsOn = child<QPushButton>(window, "pDetails")->isEnabled();

    QSignalSpy started(&window, &MainWindow::startCopyAll);
    MessageBoxDriver anyBox;
    anyBox.answer(QStringLiteral("取消升级"));
    child<QPushButton>(window, "pushButton")->click();
    const QString onUpgrade = statusTip(window);

    qInfo().noquote() << QStringLiteral(
        "case: %1 -> status line \"%2\", details %3; \"升级\" shows \"%4\"")
                             .arg(QTest::currentDataTag(), verdict,
                                 detailsOn ? QStringLiteral("enabled") : QStringLiteral("disabled"),
                                 onUpgrade);
    QCOMPARE(verdict, message);
    QCOMPARE(detailsOn, details);
    QVERIFY2(!anyBox.wasShown(), qPrintable(anyBox.text()));
    QVERIFY(!onUpgrade.isEmpty());
    QCOMPARE(started.count(), 0);
    QCOMPARE(child<QStackedWidget>(window, "stackedWidget")->currentIndex(), 0);
    QVERIFY(readBytes(install.recordPath()) == recordBefore);
    QVERIFY(readBytes(install.secondRecordPath()) == secondBefore);
    QCOMPARE(changedEntries(before, treeState(install.mainPath())), QStringList());
}

// ---- Upgrades that fail on the way ------------------------------------------------

namespace {

enum Setup {
    Sound, // helper in place, records fitting
    HelperCrashes, // the helper program dies of a signal (after answering the pre-flight)
    HelperMissing, // no helper program in product/<exe>
    NoShell, // "sh" cannot be found on the search path
    FolderAtUpdatedFile, // a folder where the package replaces a file
    LongNameInPackage, // the package adds a file whose name has 304 bytes (104 characters)
    SecondRecordDeep // the record copy below the main directory is nested very deep
};

// Short enough for a package (and Windows), too long in bytes for this file system.
const QString longName = QString(100, QChar(0x540d)) + QStringLiteral(".dll");

// The search path without sh: an empty folder; on Windows every folder but
// those that hold sh.exe, since the helper and the programs need the
// libraries found there.
QByteArray searchPathWithoutShell(const QString &emptyFolder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(emptyFolder)
    QStringList kept;
    for (const QString &folder : QString::fromLocal8Bit(qgetenv("PATH")).split(QLatin1Char(';'))) {
        if (!QFileInfo::exists(folder + QStringLiteral("/sh.exe")))
            kept << folder;
    }
    return kept.join(QLatin1Char(';')).toLocal8Bit();
#else
    return QFile::encodeName(emptyFolder);
#endif
}

// The first line of the pre-flight's refusal: a row whose lines start with it
// expects the upgrade not to start, its lines in the refusal.
const QString refusedByPreflight = QStringLiteral("无法开始升级,升级前检查发现以下问题:");

// Takes the upgrade's log file (logs/upgrade-*.log below the main directory)
// out of the changed entries; false when there isn't exactly one.
bool takeUpgradeLog(QStringList *changed)
{
    const QStringList logs
        = changed->filter(QRegularExpression(QStringLiteral("^logs/upgrade-.*\\.log$")));
    if (logs.size() != 1 || !changed->contains(QStringLiteral("logs")))
        return false;
    changed->removeAll(QStringLiteral("logs"));
    changed->removeAll(logs.first());
    return true;
}

// The package used by every upgrade case, with the given scripts and files.
TestPackage::Files upgradePackage(
    const QByteArray &before, const QByteArray &after, const TestPackage::Files &extra = {})
{
    TestPackage::Files files {
        { QStringLiteral("upgrade/upgrade_config.xml"),
            TestPackage::descriptor(7, QStringLiteral("2.1.3"), QStringLiteral("2.1.9"), 0, 1) },
        { QStringLiteral("upgrade/readme.txt"), "sweep\n" },
        { QStringLiteral("upgrade/delete/product/bin/old.dll"), "x" },
        { QStringLiteral("upgrade/update/product/bin/report.dll"), "report 2.1.9\n" },
        { QStringLiteral("upgrade/add/product/bin/new.dll"), "new\n" },
        { QStringLiteral("upgrade/db/db_before/001_table.sql"),
            "CREATE TABLE projects (id INTEGER PRIMARY KEY, name TEXT);\n" },
    };
    if (!before.isEmpty())
        files.append({ QStringLiteral("upgrade/shell/shell_before/01.bat"), before });
    if (!after.isEmpty())
        files.append({ QStringLiteral("upgrade/shell/shell_after/01.bat"), after });
    return files + extra;
}

} // namespace

void tst_Robustness::failedUpgrade_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<TestPackage::Files>("files");
    QTest::addColumn<bool>("succeeds");
    // Log lines that must be there: %MAIN% is the main directory, %STAGE% the
    // staged package; a trailing "*" matches any rest of the line. Starting
    // with refusedByPreflight: parts of the pre-flight's refusal instead.
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("absent"); // no log line may contain these
    // Entries below the main directory that differ afterwards (exactly these,
    // besides the upgrade's log file); null: the main directory itself is gone.
    QTest::addColumn<QStringList>("changes");

    const QByteArray before = "echo before > before.txt\n";
    const QByteArray after = "echo after > after.txt\n";
    const QStringList fileChanges { QStringLiteral("product/bin/new.dll"),
        QStringLiteral("product/bin/old.dll"), QStringLiteral("product/bin/report.dll") };
    const QStringList scriptsAndFiles
        = QStringList { QStringLiteral("after.txt"), QStringLiteral("before.txt") } + fileChanges;
    const QString recordLine = QStringLiteral("版本信息");
    const QString beforeOk = QStringLiteral("%STAGE%/shell/shell_before/01.bat 执行成功!");

    QTest::newRow("sound package (control)")
        << int(Sound) << upgradePackage(before, after) << true
        << QStringList { beforeOk, QStringLiteral("%STAGE%/shell/shell_after/01.bat 执行成功!"),
               QStringLiteral("修改C:/Program Files/Tessaron/setup_config.xml版本信息成功!") }
        << QStringList { QStringLiteral("失败") }
        << QStringList(scriptsAndFiles
               + QStringList { QStringLiteral("data"), QStringLiteral("data/suite.db"),
                   QStringLiteral("product/common/sysconfig/setup_config.xml") });

    QTest::newRow("before script fails")
        << int(Sound) << upgradePackage(before + "exit 1\n", after) << false
        << QStringList { QStringLiteral("%STAGE%/shell/shell_before/01.bat 执行失败!"),
               QStringLiteral("失败原因:*") }
        << QStringList { QStringLiteral("正在删除"), QStringLiteral("正在更新"),
               QStringLiteral("正在添加"), QStringLiteral("shell_after"), recordLine }
        << QStringList { QStringLiteral("before.txt") };

    // A failure undoes the file changes; what scripts did stays.
    const QStringList scriptsOnly { QStringLiteral("after.txt"), QStringLiteral("before.txt") };
    const QString restored = QStringLiteral("已恢复到升级前的版本");
    QTest::newRow("after script fails: file changes undone")
        << int(Sound) << upgradePackage(before, after + "exit 1\n") << false
        << QStringList { QStringLiteral("更新目录:%MAIN%/product成功"),
               QStringLiteral("%STAGE%/shell/shell_after/01.bat 执行失败!"), restored }
        << QStringList { QStringLiteral("001_table.sql"), recordLine } << scriptsOnly;

    QTest::newRow("database helper crashes")
        << int(HelperCrashes) << upgradePackage(before, after) << false
        << QStringList { QStringLiteral("helper about to crash"), restored }
        << QStringList { recordLine } << scriptsOnly;

    // The pre-flight finds these before anything changes.
    const QString blocked = QStringLiteral("文件%MAIN%/product/bin/report.dll无法写入或删除:");
    QTest::newRow("database helper missing")
        << int(HelperMissing) << upgradePackage(before, after) << false
        << QStringList { refusedByPreflight,
               QStringLiteral(
                   "数据库升级程序不存在:%MAIN%/product/bin/upgrade_install_helper.exe") }
        << QStringList() << QStringList();

    QTest::newRow("sh not found on the search path")
        << int(NoShell) << upgradePackage(before, after) << false
        << QStringList { QStringLiteral("%STAGE%/shell/shell_before/01.bat 执行失败!"),
               QStringLiteral("失败原因:*") }
        << QStringList { QStringLiteral("正在删除"), QStringLiteral("shell_after"), recordLine }
        << QStringList();

    QTest::newRow("folder where the package replaces a file")
        << int(FolderAtUpdatedFile) << upgradePackage(before, after) << false
        << QStringList { refusedByPreflight, blocked } << QStringList() << QStringList();

    QTest::newRow("file to add below an installed file")
        << int(Sound)
        << upgradePackage(before, after,
               { { QStringLiteral("upgrade/add/product/bin/report.dll/extra.txt"), "extra\n" } })
        << false << QStringList { refusedByPreflight, blocked } << QStringList() << QStringList();

    QTest::newRow("package file name longer than 255 bytes")
        << int(LongNameInPackage)
        << upgradePackage(
               before, after, { { QStringLiteral("upgrade/add/product/bin/long.dll"), "long\n" } })
        << false
        << QStringList { refusedByPreflight,
               QStringLiteral("名称过长(304个字节):%MAIN%/product/bin/") }
        << QStringList() << QStringList();

    QTest::newRow("before script removes the main directory")
        << int(Sound) << upgradePackage("rm -rf \"$PWD\"\n", after) << false
        << QStringList { beforeOk, QStringLiteral("安装目录%MAIN%不存在,升级终止") }
        << QStringList { QStringLiteral("正在删除"), QStringLiteral("shell_after"), recordLine }
        << QStringList { QString() };

    QTest::newRow("record copy in the main directory nested 100000 levels deep")
        << int(SecondRecordDeep) << upgradePackage(before, after) << true
        << QStringList { QStringLiteral(
                             "修改C:/Program Files/Tessaron/setup_config.xml版本信息成功!"),
               QStringLiteral("升级成功,但修改%MAIN%/product/common/sysconfig/setup_config.xml"
                              "版本信息失败,请手动修改!") }
        << QStringList { QStringLiteral("执行失败") }
        << QStringList(scriptsAndFiles
               + QStringList { QStringLiteral("data"), QStringLiteral("data/suite.db") });
}

void tst_Robustness::failedUpgrade()
{
    QFETCH(int, setup);
    QFETCH(TestPackage::Files, files);
    QFETCH(bool, succeeds);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, absent);
    QFETCH(QStringList, changes);
#ifdef Q_OS_WIN
    if (changes == QStringList { QString() })
        QSKIP("Windows removes no folder that a running process works in, and a script runs in "
              "the main directory: no script can remove it");
    if (setup == LongNameInPackage)
        QSKIP("Windows takes names of up to 255 characters, and a package with a longer one is "
              "refused as damaged when it is opened: no name the pre-flight finds too long can "
              "come from a package there");
#endif

    SampleInstallation install;
    const QString main = install.mainPath();
    QVERIFY(install.writeRecord());
    QVERIFY(install.writeSecondRecord());
    if (setup == SecondRecordDeep)
        QVERIFY(writeBytes(install.secondRecordPath(),
            deeplyNested(SampleInstallation::recordXml(7, QStringLiteral("2.1.5"), main), 100000)));
    const QString helper = main + QStringLiteral("/product/bin/upgrade_install_helper.exe");
    const QByteArray crash = "echo 'helper about to crash'\nkill -SEGV $$\n";
    QString built = QStringLiteral(UPGRADE_BINARY_DIR)
        + QStringLiteral("/tools/upgrade_install_helper/upgrade_install_helper.exe");
#ifdef Q_OS_WIN
    // A cross build's "/work/..." lies on this program's drive (under wine),
    // not on the working directory's. The helper double answers the
    // pre-flight's question itself and runs the script beside it.
    if (built.startsWith(QLatin1Char('/')))
        built.prepend(QCoreApplication::applicationDirPath().left(2));
    if (setup == HelperCrashes) {
        QVERIFY(QFile::copy(
            QCoreApplication::applicationDirPath() + QStringLiteral("/wine/helper_double.exe"),
            helper));
        QVERIFY(writeBytes(main + QStringLiteral("/product/bin/upgrade_install_helper.sh"), crash));
    } else if (setup != HelperMissing) {
#else
    if (setup == HelperCrashes) {
        QVERIFY(writeBytes(helper,
            "#!/bin/sh\n[ \"$1\" = --help ] && exit 0\n" // the pre-flight's question
                + crash));
        QVERIFY(QFile::setPermissions(helper, QFile::permissions(helper) | QFile::ExeOwner));
    } else if (setup != HelperMissing) {
#endif
        QVERIFY2(QFile::copy(built, helper), qPrintable(built));
    }
    for (const char *name : { "product/bin/report.dll", "product/bin/old.dll",
             "product/bin/notes.txt", "platform/bin/keep.dll" })
        QVERIFY(writeBytes(main + QLatin1Char('/') + QLatin1String(name), "installed\n"));
    if (setup == FolderAtUpdatedFile) {
        QVERIFY(QFile::remove(main + QStringLiteral("/product/bin/report.dll")));
        QVERIFY(writeBytes(main + QStringLiteral("/product/bin/report.dll/inside.txt"), "kept\n"));
    }

    QString error;
    QString package;
    if (setup == LongNameInPackage) {
        // rcc directly: no file here can hold a name this long.
        TestPackage::Files named = files;
        for (auto &file : named) {
            if (file.first == QLatin1String("upgrade/add/product/bin/long.dll"))
                file.first = QStringLiteral("upgrade/add/product/bin/") + longName;
        }
        package = TestPackage::buildUnchecked(install.path(), named, &error);
    } else
        package = TestPackage::build(install.path(), files, &error);
    QVERIFY2(!package.isEmpty(), qPrintable(error));

    const QByteArray recordBefore = readBytes(install.recordPath());
    const QByteArray secondBefore = readBytes(install.secondRecordPath());
    const TreeState before = treeState(main);

    MainWindow window;
    window.show();
    QVERIFY(window.init());
    window.loadPackage(package);
    QVERIFY2(statusTip(window).isEmpty(), qPrintable(statusTip(window)));

    auto *next = child<QPushButton>(window, "pushButton_10");
    auto *pages = child<QStackedWidget>(window, "stackedWidget");
    QTemporaryDir emptyFolder;
    QVERIFY(emptyFolder.isValid());
    bool finished = false;
    qint64 elapsed = 0;
    const bool refused = lines.value(0) == refusedByPreflight;
    QString refusal;
    {
        const PathOverride path(
            setup == NoShell ? searchPathWithoutShell(emptyFolder.path()) : QByteArray());
        MessageBoxDriver question;
        question.answer(QStringLiteral("继续升级"));
        child<QPushButton>(window, "pushButton")->click();
        QVERIFY(question.wasShown());
        refusal = question.text();
        QVERIFY2(window.isUpgrading() != refused, qPrintable(refusal));
        QElapsedTimer clock;
        clock.start();
        while (!refused && !next->isVisible() && clock.elapsed() < 60000)
            QTest::qWait(20);
        finished = next->isVisible();
        elapsed = clock.elapsed();
    }
    if (refused) {
        // Found before anything changed: the refusal names the problems.
        qInfo().noquote() << QStringLiteral("case: %1 -> refused: %2")
                                 .arg(QTest::currentDataTag(),
                                     QString(refusal).replace(main, QStringLiteral("<main>")));
        // Paths appear with the system's separators.
        for (QString wanted : qAsConst(lines)) {
            wanted = QDir::toNativeSeparators(wanted.replace(QStringLiteral("%MAIN%"), main));
            QVERIFY2(refusal.contains(wanted), qPrintable(wanted));
        }
        QVERIFY(readBytes(install.recordPath()) == recordBefore);
        QCOMPARE(changedEntries(before, treeState(main)), QStringList());
        return;
    }
    const QStringList log
        = child<QTextEdit>(window, "textEdit")->toPlainText().split(QLatin1Char('\n'));
    QVERIFY2(finished,
        qPrintable(QStringLiteral("no end after %1 ms; log:\n%2")
                       .arg(elapsed)
                       .arg(log.join(QLatin1Char('\n')))));
    QCOMPARE(pages->currentIndex(), 1);
    next->click();
    QCOMPARE(pages->currentIndex(), 2);
    QVERIFY(!window.isUpgrading());
    const QString result = child<QLabel>(window, "label_text")->text();

    // The last log lines tell the operator why; the result page says how it ended.
    QStringList shown;
    for (int i = qMax(0, log.size() - 2); i < log.size(); ++i)
        shown << QStringLiteral("\"%1\"").arg(
            QString(log.at(i)).replace(main, QStringLiteral("<main>")));
    qInfo().noquote() << QStringLiteral("case: %1 -> \"%2\" after %3 ms; log ends %4")
                             .arg(QTest::currentDataTag(), result)
                             .arg(elapsed)
                             .arg(shown.join(QStringLiteral(", ")));

    const QString allLog = log.join(QLatin1Char('\n'));
    QCOMPARE(result, succeeds ? QStringLiteral("升级成功") : QStringLiteral("升级失败"));
    const QString stage = main + QStringLiteral("/upgrade_temp/upgrade");
    for (QString wanted : qAsConst(lines)) {
        wanted = QDir::toNativeSeparators(wanted.replace(QStringLiteral("%MAIN%"), main)
                                              .replace(QStringLiteral("%STAGE%"), stage));
        const bool prefix = wanted.endsWith(QLatin1Char('*'));
        if (prefix)
            wanted.chop(1);
        bool found = false;
        for (const QString &line : log)
            found = found || (prefix ? line.startsWith(wanted) : line == wanted);
        QVERIFY2(found, qPrintable(QStringLiteral("missing \"%1\" in:\n%2").arg(wanted, allLog)));
    }
    for (const QString &unwanted : qAsConst(absent))
        QVERIFY2(!allLog.contains(unwanted),
            qPrintable(QStringLiteral("\"%1\" in:\n%2").arg(unwanted, allLog)));

    // The installation record keeps its old version on any failure.
    if (succeeds) {
        const QByteArray record = readBytes(install.recordPath());
        QVERIFY(record.contains("value=\"2.1.9\""));
        QVERIFY(!record.contains("2.1.5"));
    } else {
        QVERIFY(readBytes(install.recordPath()) == recordBefore);
    }
    const bool mainGone = changes == QStringList { QString() };
    if (mainGone) {
        QVERIFY(!QFileInfo::exists(main));
        return;
    }
    if (!succeeds || setup == SecondRecordDeep)
        QVERIFY(readBytes(install.secondRecordPath()) == secondBefore);
    // Nothing else changed than what the package meant to change, and the
    // staging folder is gone.
    QVERIFY(!QFileInfo::exists(main + QStringLiteral("/upgrade_temp")));
    changes.sort();
    QStringList changed = changedEntries(before, treeState(main));
    QVERIFY2(takeUpgradeLog(&changed), qPrintable(changed.join(QLatin1Char(' '))));
    QCOMPARE(changed, changes);
}

// ---- Where deep nesting starts to be refused --------------------------------------

void tst_Robustness::nestingLimit_data()
{
    QTest::addColumn<int>("depth"); // levels of the whole document, root included
    QTest::addColumn<bool>("read");

    QTest::newRow("the layout's own three levels") << 3 << true;
    QTest::newRow("as deep as allowed") << RecordLayout::maxNestingDepth << true;
    QTest::newRow("one level deeper than allowed") << RecordLayout::maxNestingDepth + 1 << false;
}

void tst_Robustness::nestingLimit()
{
    QFETCH(int, depth);
    QFETCH(bool, read);

    // root, module, one entry, then the padding element nested to the depth.
    const QByteArray sound
        = SampleInstallation::recordXml(7, QStringLiteral("2.1.5"), QStringLiteral("/suite"));
    const QByteArray xml = depth > 3 ? deeplyNested(sound, depth - 1) : sound;
    QCOMPARE(RecordLayout::withinNestingLimit(xml), read);
    QBuffer buffer;
    buffer.setData(xml);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    RecordLayout::Entries entries;
    const RecordLayout::ReadResult result = RecordLayout::readDevice(&buffer, &entries);
    QCOMPARE(result, read ? RecordLayout::ReadResult::Ok : RecordLayout::ReadResult::ParseError);
    QCOMPARE(entries.value(QStringLiteral("software_version")),
        read ? QStringLiteral("2.1.5") : QString());
}

QTEST_MAIN(tst_Robustness)
#include "tst_robustness.moc"
