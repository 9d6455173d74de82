#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "SuiteLayout.h"

namespace {

bool writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Every entry below root as "relative path" (folders end in "/") with its bytes.
QMap<QString, QByteArray> treeOf(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(
        root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isDir())
            tree.insert(relative + QLatin1Char('/'), QByteArray());
        else
            tree.insert(relative, readFile(path));
    }
    return tree;
}

QByteArray sampleDatabase()
{
    QByteArray bytes("SQLite format 3");
    bytes.append('\0');
    for (int i = 0; i < 70000; ++i)
        bytes.append(char((i * 131) % 251));
    return bytes;
}

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

// A suite main directory with the tool in platform/x64.
class Suite
{
public:
    Suite()
    {
        tool = dir.filePath(QStringLiteral("platform/x64/db_manager.exe"));
        ok = dir.isValid() && QDir().mkpath(QFileInfo(tool).absolutePath())
            && QFile::copy(QStringLiteral(DB_MANAGER_PATH), tool);
    }

    QString mainPath() const { return dir.path(); }
    QString data() const { return SuiteLayout::dataFolder(dir.path()); }
    QString backups() const { return SuiteLayout::backupFolder(dir.path()); }

    Run run(const QStringList &arguments = { QStringLiteral("--no-gui") }) const
    {
        Run result;
        QProcess process;
        process.start(tool, arguments);
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished(5000);
            result.err = QStringLiteral("did not end");
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
        result.out = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
        result.err = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return result;
    }

    QTemporaryDir dir;
    QString tool;
    bool ok = false;
};

const QRegularExpression backupName(QStringLiteral("^(\\d{8}-\\d{6})(-\\d+)?$"));

} // namespace

class tst_DbManager : public QObject
{
    Q_OBJECT

private slots:
    void backupCopiesTheDataFolder();
    void twoBackupsInTheSameSecond();
    void refusals_data();
    void refusals();
    void failedCopyLeavesNoHalfBackup();
};

void tst_DbManager::backupCopiesTheDataFolder()
{
    Suite suite;
    QVERIFY(suite.ok);
    QVERIFY(writeFile(SuiteLayout::databaseFile(suite.mainPath()), sampleDatabase()));
    QVERIFY(writeFile(suite.data() + QStringLiteral("/suite.db-journal"), "journal"));
    QVERIFY(writeFile(suite.data() + QStringLiteral("/工程/图纸 1.dwg"), "drawing"));
    QVERIFY(writeFile(suite.data() + QStringLiteral("/.settings"), "hidden"));
    QVERIFY(QDir().mkpath(suite.data() + QStringLiteral("/empty")));
    QVERIFY(QFile::link(
        suite.data() + QStringLiteral("/工程"), suite.data() + QStringLiteral("/link to folder")));
    const QMap<QString, QByteArray> before = treeOf(suite.data());

    const QDateTime start = QDateTime::currentDateTime().addSecs(-1);
    const Run run = suite.run();
    const QDateTime end = QDateTime::currentDateTime().addSecs(1);
    QCOMPARE(run.exitCode, 0);

    const QStringList made = QDir(suite.backups()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(made.size(), 1);
    const QRegularExpressionMatch match = backupName.match(made.first());
    QVERIFY2(match.hasMatch(), qPrintable(made.first()));
    const QDateTime stamp
        = QDateTime::fromString(match.captured(1), QStringLiteral("yyyyMMdd-hhmmss"));
    QVERIFY(stamp.isValid());
    QVERIFY2(
        stamp >= start.addMSecs(-start.time().msec()) && stamp <= end, qPrintable(made.first()));

    const QString copy = suite.backups() + QLatin1Char('/') + made.first();
    QCOMPARE(run.out, QStringLiteral("工程数据已备份到:%1").arg(QDir::toNativeSeparators(copy)));
    // Same entries, same bytes; the folder link is copied as a link, not followed.
    QCOMPARE(treeOf(copy), before);
    QVERIFY(QFileInfo(copy + QStringLiteral("/link to folder")).isSymLink());
    // The data itself is untouched.
    QCOMPARE(treeOf(suite.data()), before);
}

void tst_DbManager::twoBackupsInTheSameSecond()
{
    Suite suite;
    QVERIFY(suite.ok);
    QVERIFY(writeFile(SuiteLayout::databaseFile(suite.mainPath()), "db"));
    // Earlier backups under every name the next seconds could take.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList taken;
    for (int s = -2; s <= 20; ++s) {
        const QString name = now.addSecs(s).toString(QStringLiteral("yyyyMMdd-hhmmss"));
        QVERIFY(writeFile(
            suite.backups() + QLatin1Char('/') + name + QStringLiteral("/suite.db"), "older"));
        taken << name;
    }

    const Run run = suite.run();
    QCOMPARE(run.exitCode, 0);
    QStringList made = QDir(suite.backups()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : qAsConst(taken)) {
        QVERIFY(made.removeOne(name));
        QCOMPARE(readFile(suite.backups() + QLatin1Char('/') + name + QStringLiteral("/suite.db")),
            QByteArray("older"));
    }
    QCOMPARE(made.size(), 1);
    QVERIFY2(taken.contains(made.first().chopped(2)) && made.first().endsWith(QLatin1String("-2")),
        qPrintable(made.first()));
    QCOMPARE(
        readFile(suite.backups() + QLatin1Char('/') + made.first() + QStringLiteral("/suite.db")),
        QByteArray("db"));
}

void tst_DbManager::refusals_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const QStringList noGui { QStringLiteral("--no-gui") };
    QTest::newRow("no data folder") << QStringLiteral("none") << noGui << 1
                                    << QStringLiteral("未找到工程数据目录:%1,未进行备份");
    QTest::newRow("data is a file, not a folder") << QStringLiteral(
        "file") << noGui << 1 << QStringLiteral("未找到工程数据目录:%1,未进行备份");
    QTest::newRow("backup folder blocked by a file") << QStringLiteral(
        "blocked") << noGui << 2 << QStringLiteral("工程数据备份失败,工程数据未改动:");
    QTest::newRow("unknown argument") << QStringLiteral("data") << QStringList { "--bogus" } << 3
                                      << QStringLiteral("Unknown argument: --bogus");
}

void tst_DbManager::refusals()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    Suite suite;
    QVERIFY(suite.ok);
    if (setup == QLatin1String("file"))
        QVERIFY(writeFile(suite.data(), "not a folder"));
    if (setup == QLatin1String("data") || setup == QLatin1String("blocked"))
        QVERIFY(writeFile(SuiteLayout::databaseFile(suite.mainPath()), "db"));
    if (setup == QLatin1String("blocked"))
        QVERIFY(writeFile(suite.backups(), "a file where the backups go"));
    const QMap<QString, QByteArray> before = treeOf(suite.mainPath());

    const Run run = suite.run(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY(run.out.isEmpty());
    message.replace(QLatin1String("%1"), QDir::toNativeSeparators(suite.data()));
    QVERIFY2(run.err.startsWith(message), qPrintable(run.err));
    // Nothing created, nothing lost.
    QCOMPARE(treeOf(suite.mainPath()), before);
}

void tst_DbManager::failedCopyLeavesNoHalfBackup()
{
    Suite suite;
    QVERIFY(suite.ok);
    QVERIFY(writeFile(suite.data() + QStringLiteral("/a_first.db"), "copied first"));
    // A file whose path just fits, so that its copy below backup/<time>/ (18
    // characters longer) doesn't: the copy fails after the first file.
    const int pathMax = 4096;
    QString deep = suite.data() + QStringLiteral("/z");
    const int length = pathMax - 8;
    while (length - deep.size() - 1 > 250)
        deep += QLatin1Char('/') + QString(240, QLatin1Char('d'));
    deep += QLatin1Char('/') + QString(length - deep.size() - 1, QLatin1Char('f'));
    QCOMPARE(deep.toLocal8Bit().size(), length);
    QVERIFY(writeFile(deep, "deep"));
    const QMap<QString, QByteArray> before = treeOf(suite.data());

    const Run run = suite.run();
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith(QStringLiteral("工程数据备份失败,工程数据未改动:")),
        qPrintable(run.err));
    QCOMPARE(
        QDir(suite.backups()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(treeOf(suite.data()), before);
}

QTEST_GUILESS_MAIN(tst_DbManager)
#include "tst_dbmanager.moc"
