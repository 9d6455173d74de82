#include <QtTest>

#include "InstallationRecord.h"
#include "PackageDescriptor.h"
#include "UpgradeRun.h"
#include "UpgradeConstants.h"
#include "support/EngineHarness.h"
#include "support/PlatformFiles.h"

using EngineHarness::readFile;
using EngineHarness::writeFile;

// The worker's database step on a prepared installation: a main directory
// with product/app/ and the second record copy, a staging tree made by hand,
// and the first record copy below the working directory. The helper is a
// small shell script that notes its arguments and working directory next to
// itself and then runs the row's commands (on Windows the helper double runs
// the same as a script of the test shell). The real helper is run on real
// databases by tst_installhelper and through the window by tst_upgraderoad.
class tst_DatabaseStep : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void helperArguments_data();
    void helperArguments();
    void helperOutput_data();
    void helperOutput();
    void helperEnd_data();
    void helperEnd();

private:
    struct Run
    {
        QStringList log;
        bool succeeded = false;
    };
    // Runs the step with the record's isDb and the descriptor's if_upgrade_db;
    // the helper is `body` (empty: none).
    Run runStep(int isDb, int ifUpgradeDb, const QByteArray &body);
    QString program(const QString &name) const { return m_main + "/product/app/" + name; }
    QStringList noted(const QString &name) const;
    QStringList recordLines() const;
    void removeAbsoluteRecord() const;

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_previousDir;
    QString m_main;
    QString m_records[2];
    const QByteArray m_record
        = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root><module>"
          "<item key=\"software_version\" value=\"1.2.3\"/></module></root>\n";
};

void tst_DatabaseStep::init()
{
    m_dir.reset(new QTemporaryDir);
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_main = m_dir->filePath("main");
    const QString sep = QDir::separator();
    m_records[0] = UpgradeConstants::installDir() + sep + "setup_config.xml";
    m_records[1]
        = m_main + sep + "product" + sep + "common" + sep + "sysconfig" + sep + "setup_config.xml";
    removeAbsoluteRecord(); // whatever an earlier run left there
    for (const QString &record : m_records)
        QVERIFY(writeFile(record, m_record));
    QVERIFY(QDir().mkpath(program(QString())));
    QVERIFY(QDir().mkpath(m_main + "/upgrade_temp/upgrade/db/db_before"));
    QVERIFY(QDir().mkpath(m_main + "/upgrade_temp/upgrade/db/db_after"));
}

void tst_DatabaseStep::cleanup()
{
    QDir::setCurrent(m_previousDir);
    // A helper's folder goes once the helper is gone; a process that just
    // ended may take a moment to let go of its working folder (wine).
    QTRY_VERIFY(QDir(m_dir->path()).removeRecursively());
    m_dir.reset();
    removeAbsoluteRecord();
}

// Where the installation directory is absolute (Windows), the first record
// copy lies outside the temporary folder: it goes with each row.
void tst_DatabaseStep::removeAbsoluteRecord() const
{
    if (QDir::isAbsolutePath(UpgradeConstants::installDir()))
        QFile::remove(m_records[0]);
}

QStringList tst_DatabaseStep::recordLines() const
{
    // The log names paths with the system's separators.
    return { QStringLiteral("修改%1版本信息成功!").arg(QDir::toNativeSeparators(m_records[0])),
        QStringLiteral("修改%1版本信息成功!").arg(QDir::toNativeSeparators(m_records[1])) };
}

tst_DatabaseStep::Run tst_DatabaseStep::runStep(int isDb, int ifUpgradeDb, const QByteArray &body)
{
    const QString helper = program("upgrade_install_helper.exe");
#ifdef Q_OS_WIN
    if (!body.isNull()) {
        QFile::copy(QCoreApplication::applicationDirPath() + "/wine/helper_double.exe", helper);
        writeFile(program("upgrade_install_helper.sh"),
            "printf '%s\\n' \"$@\" > \"" + program("args.txt").toUtf8() + "\"\n"
                + "echo \"$PWD\" > \"" + program("cwd.txt").toUtf8() + "\"\n" + body + "\n");
    }
#else
    if (!body.isNull()) {
        writeFile(helper,
            "#!/bin/sh\nhere=$(dirname \"$0\")\n"
            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$here/args.txt\"\n"
            "pwd > \"$here/cwd.txt\"\n"
                + body + "\n");
        QFile::setPermissions(
            helper, QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    }
#endif
    // The run's database stage alone, as the chain enters it after the
    // after scripts; the records and the clean-up follow.
    InstallationRecord record;
    record.isDb = isDb;
    PackageDescriptor package;
    package.ifUpgradeDb = ifUpgradeDb;
    UpgradeRequest request = UpgradeRequest::of(record, package);
    request.mainPath = m_main;
    request.exePath = "app";
    request.version = "1.2.3";
    request.versionTo = "1.2.5";
    CancelRequest cancel;
    UpgradeRun upgrade(request, cancel);
    QSignalSpy status(&upgrade, &UpgradeRun::line);
    QSignalSpy ended(&upgrade, &UpgradeRun::ended);
    upgrade.enter(UpgradeRun::Stage::Database);
    Run run;
    if (!QTest::qWaitFor([&] { return ended.count() > 0; }, 30000))
        return run;
    // Whatever else the process reports has been delivered by now; the end is
    // taken exactly once.
    QCoreApplication::processEvents();
    if (ended.count() != 1)
        return run;
    for (const QList<QVariant> &arguments : status)
        run.log << arguments.at(0).toString();
    run.succeeded = ended.first().first().value<UpgradeOutcome>() == UpgradeOutcome::Upgraded;
    return run;
}

QStringList tst_DatabaseStep::noted(const QString &name) const
{
    QFile file(program(name));
    if (!file.open(QIODevice::ReadOnly))
        return { QStringLiteral("<not run>") };
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

void tst_DatabaseStep::helperArguments_data()
{
    QTest::addColumn<int>("isDb");
    QTest::addColumn<int>("ifUpgradeDb");
    QTest::addColumn<QStringList>("before"); // "name@": a link to a script outside
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QStringList>("expected"); // empty: the helper does not run

    const QStringList sql { "001.sql" };
    const QStringList none;
    QTest::newRow("no database part: never runs, whatever the package holds")
        << 0 << 1 << sql << sql << none;
    QTest::newRow("nothing to do: does not run") << 1 << 0 << none << none << none;
    QTest::newRow("other files and hidden scripts do not count")
        << 1 << 0 << QStringList { "readme.txt", ".hidden.sql", "sql" }
        << QStringList { "notes.sql.txt" } << none;
    QTest::newRow("linked scripts do not count")
        << 1 << 0 << QStringList { "linked.sql@" } << none << none;
    QTest::newRow("database upgrade only")
        << 1 << 1 << none << none << QStringList { "--up", "yes" };
    QTest::newRow("any nonzero database flag counts")
        << 2 << 5 << none << none << QStringList { "--up", "yes" };
    QTest::newRow("scripts only in db_after")
        << 1 << 0 << none << sql << QStringList { "--after", "<after>" };
    QTest::newRow("upper-case extension counts")
        << 1 << 0 << QStringList { "A.SQL" } << none << QStringList { "--before", "<before>" };
    QTest::newRow("everything, in order")
        << 1 << 1 << sql << sql
        << QStringList { "--up", "yes", "--before", "<before>", "--after", "<after>" };
}

void tst_DatabaseStep::helperArguments()
{
    QFETCH(int, isDb);
    QFETCH(int, ifUpgradeDb);
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(QStringList, expected);
    const QString db = m_main + "/upgrade_temp/upgrade/db/";
    QVERIFY(writeFile(m_dir->filePath("outside.sql"), "SELECT 1;"));
    for (const auto &[folder, names] :
        { std::make_pair(db + "db_before/", before), std::make_pair(db + "db_after/", after) }) {
        for (const QString &name : names) {
            QString why;
            if (!name.endsWith('@')) {
                QVERIFY(writeFile(folder + name, "SELECT 1;"));
                if (name.startsWith('.'))
                    markHidden(folder + name); // hidden on Windows too
            } else if (!makeSymLink(
                           m_dir->filePath("outside.sql"), folder + name.chopped(1), &why)) {
#ifdef Q_OS_WIN
                QSKIP(qPrintable(why));
#else
                QFAIL(qPrintable(why));
#endif
            }
        }
    }

    const Run run = runStep(isDb, ifUpgradeDb, "exit 0");
    QVERIFY(run.succeeded);
    QCOMPARE(run.log, recordLines());
    expected.replaceInStrings("<before>", db + "db_before");
    expected.replaceInStrings("<after>", db + "db_after");
    // Absolute folder paths with forward slashes, and no working directory of
    // its own: the installer's.
    QCOMPARE(noted("args.txt"), expected.isEmpty() ? QStringList { "<not run>" } : expected);
    if (!expected.isEmpty())
        QCOMPARE(noted("cwd.txt").replaceInStrings(QDir::separator(), "/"),
            QStringList { QFileInfo(m_dir->path()).canonicalFilePath() });
}

void tst_DatabaseStep::helperOutput_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("blanks trimmed and runs reduced to one")
        << QByteArray("printf '  first \\t  line  \\n'") << QStringList { "first line" };
    QTest::newRow("blank lines give empty lines")
        << QByteArray("printf 'a\\n\\n   \\nb\\n'") << QStringList { "a", "", "", "b" };
    QTest::newRow("last fragment without a line end is not logged")
        << QByteArray("printf 'one\\ntwo'") << QStringList { "one" };
    QTest::newRow("UTF-8 text, Windows line ends")
        << QByteArray("printf '执行脚本 V1__a.sql 成功\\r\\n完成\\r\\n'")
        << QStringList { "执行脚本 V1__a.sql 成功", "完成" };
    QTest::newRow("error output is not shown")
        << QByteArray("printf 'out\\n'; printf 'err\\n' >&2") << QStringList { "out" };
    QTest::newRow("output in pieces, a line split across writes") << QByteArray(
        "printf 'par'; sleep 0.1; printf 'tial\\nnext\\n'") << QStringList { "partial", "next" };
}

void tst_DatabaseStep::helperOutput()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, expected);
    const Run run = runStep(1, 1, body);
    QVERIFY(run.succeeded);
    QCOMPARE(run.log, expected + recordLines());
}

void tst_DatabaseStep::helperEnd_data()
{
    QTest::addColumn<QByteArray>("body"); // null: no helper
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QString>("lastLine"); // start of the last line on failure

    QTest::newRow("exit code 0: success") << QByteArray("exit 0") << true << QString();
    // A normal end with another code is the helper's own report of failure.
    QTest::newRow("exit code 3: failure with the code")
        << QByteArray("echo done; exit 3") << false << "数据库升级程序执行失败,退出码为3";
    QTest::newRow("exit code 3: the error output's last line closes the log")
        << QByteArray("echo done; echo 'first'>&2; echo ' no such table: x '>&2; exit 3") << false
        << "错误输出:no such table: x";
    QTest::newRow("crash: failure, records unchanged")
        << QByteArray("echo before the crash\nulimit -c 0\nkill -SEGV $$\nsleep 5") << false
        << "数据库升级程序异常结束";
    QTest::newRow("helper missing: failure with the start error")
        << QByteArray() << false << "数据库升级程序启动失败:";
}

void tst_DatabaseStep::helperEnd()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, succeeds);
    QFETCH(QString, lastLine);
    QVERIFY(writeFile(m_main + "/upgrade_temp/upgrade/db/db_before/001.sql", "SELECT 1;"));

    const Run run = runStep(1, 0, body);
    QCOMPARE(run.succeeded, succeeds);
    if (succeeds) {
        QCOMPARE(run.log.mid(run.log.size() - 2), recordLines());
        for (const QString &record : m_records)
            QVERIFY(readFile(record).contains("1.2.5"));
    } else {
        // The start error carries the process's own text.
        QVERIFY2(!run.log.isEmpty() && run.log.last().startsWith(lastLine),
            qPrintable(run.log.join('\n')));
        if (lastLine.endsWith(':'))
            QVERIFY2(run.log.last().size() > lastLine.size(), qPrintable(run.log.last()));
        for (const QString &record : m_records)
            QCOMPARE(readFile(record), m_record);
    }
    // The clean-up removed the staging folder either way.
    QVERIFY(!QFileInfo::exists(m_main + "/upgrade_temp"));
}

QTEST_GUILESS_MAIN(tst_DatabaseStep)
#include "tst_databasestep.moc"
