#include <QtTest>

#include "SuiteLayout.h"
#include "UpgradeAdmission.h"

Q_DECLARE_METATYPE(UpgradeAdmission::Refusal)

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
        && file.write(content) == content.size();
}

InstallationRecord installation(const QString &mainPath, int isDb)
{
    InstallationRecord record;
    record.productId = 7;
    record.version = QStringLiteral("2.1.5");
    record.isDb = isDb;
    record.mainPath = mainPath;
    return record;
}

PackageDescriptor package(int productId, const QString &exePath, int ifUpgradeDb)
{
    PackageDescriptor package;
    package.upgradeType = 0;
    package.productId = productId;
    package.versionFrom = QStringLiteral("2.1.0");
    package.versionTo = QStringLiteral("2.1.9");
    package.ifUpgradeDb = ifUpgradeDb;
    package.exePath = exePath;
    return package;
}

} // namespace

// Whether an upgrade may start: each refusal, and the order of the steps
// (the first that fails decides, the later ones don't run).
class tst_UpgradeAdmission : public QObject
{
    Q_OBJECT
private slots:
    void refusals_data();
    void refusals();
    void databaseFlags_data();
    void databaseFlags();
    void upToDate_data();
    void upToDate();
    void accessDeniedHint();
};

void tst_UpgradeAdmission::refusals_data()
{
    QTest::addColumn<int>("productId"); // the package's; the installation's is 7
    QTest::addColumn<QString>("exePath");
    QTest::addColumn<bool>("helperMissing"); // a database upgrade without its helper
    QTest::addColumn<QString>("running"); // the suite program that runs, or empty
    QTest::addColumn<UpgradeAdmission::Refusal>("refusal");
    QTest::addColumn<QString>("detail"); // "%helper": the missing helper's line
    QTest::addColumn<bool>("guardAsked"); // the running programs were looked for
    QTest::addColumn<int>("planned"); // what the pre-flight's report would add

    using R = UpgradeAdmission::Refusal;
    const QString none;
    const QString bad = QStringLiteral("../..");
    const QString badLine = QStringLiteral("升级包的程序目录exe_path无效:../..");
    QTest::newRow("admitted") << 7 << "bin" << false << none << R::None << "" << true << 1;
    QTest::newRow("empty exe_path is plain")
        << 7 << "" << false << none << R::None << "" << true << 1;
    const QString misfit = QStringLiteral("产品ID不匹配:升级包适用于产品ID 8,本机安装的产品ID为 7");
    QTest::newRow("misfit") << 8 << "bin" << false << none << R::DoesNotFit << misfit << false << 0;
    QTest::newRow("not selected") << -1 << "bin" << false << none << R::DoesNotFit << "未选择升级包"
                                  << false << 0;
    QTest::newRow("misfit wins over everything")
        << 8 << bad << true << "server.exe" << R::DoesNotFit << misfit << false << 0;
    QTest::newRow("suite program running")
        << 7 << "bin" << false << "server.exe" << R::SuiteRunning << "server.exe" << true << 0;
    QTest::newRow("a running program wins over the pre-flight")
        << 7 << "bin" << true << "server.exe" << R::SuiteRunning << "server.exe" << true << 0;
    QTest::newRow("bad exe_path: refused before the guard looks outside the suite")
        << 7 << bad << false << "server.exe" << R::PreflightFailed << badLine << false << 0;
    QTest::newRow("bad exe_path: the pre-flight's one line")
        << 7 << bad << true << none << R::PreflightFailed << badLine << false << 0;
    QTest::newRow("exe_path with a separator")
        << 7 << "bin/x64" << false << "server.exe" << R::PreflightFailed
        << "升级包的程序目录exe_path无效:bin/x64" << false << 0;
    QTest::newRow("pre-flight failed")
        << 7 << "bin" << true << none << R::PreflightFailed << "%helper" << true << 1;
}

void tst_UpgradeAdmission::refusals()
{
    QFETCH(int, productId);
    QFETCH(QString, exePath);
    QFETCH(bool, helperMissing);
    QFETCH(QString, running);
    QFETCH(UpgradeAdmission::Refusal, refusal);
    QFETCH(QString, detail);
    QFETCH(bool, guardAsked);
    QFETCH(int, planned);

    QTemporaryDir root;
    const QString main = root.filePath("main");
    const QString packageRoot = root.filePath("upgrade");
    QVERIFY(writeFile(main + "/product/bin/app.dll", "old"));
    QVERIFY(writeFile(packageRoot + "/add/product/bin/new.dll", "new"));

    UpgradeAdmission admission(installation(main, helperMissing ? 1 : 0),
        package(productId, exePath, helperMissing ? 1 : 0));
    admission.setPackageRoot(packageRoot);
    QStringList asked;
    admission.setRunningProgram([&](const QString &mainPath, const QString &exe) {
        asked << mainPath + '|' + exe;
        return running;
    });
    const UpgradeAdmission::Verdict verdict = admission.check();

    if (detail == "%helper")
        detail = QStringLiteral("数据库升级程序不存在:%1")
                     .arg(QDir::toNativeSeparators(SuiteLayout::helperProgram(main, exePath)));
    QCOMPARE(verdict.refusal, refusal);
    QCOMPARE(verdict.admitted(), refusal == UpgradeAdmission::Refusal::None);
    QCOMPARE(verdict.detail, detail);
    QCOMPARE(verdict.fit,
        productId == 7 ? FitVerdict::Fits
                       : (productId == -1 ? FitVerdict::NotSelected : FitVerdict::ProductMismatch));
    QCOMPARE(asked, guardAsked ? QStringList { main + '|' + exePath } : QStringList());
    QCOMPARE(verdict.report.adds.size(), planned);
    // The pre-flight's problems are the detail, one a line.
    QCOMPARE(verdict.problemLines().join('\n'),
        refusal == UpgradeAdmission::Refusal::PreflightFailed ? detail : QString());
}

// The record's isDb and the descriptor's if_upgrade_db count with any value
// but 0: the pre-flight then asks for the database helper.
void tst_UpgradeAdmission::databaseFlags_data()
{
    QTest::addColumn<int>("isDb");
    QTest::addColumn<int>("ifUpgradeDb");
    QTest::addColumn<bool>("helperNeeded");

    QTest::newRow("isDb 2, if_upgrade_db 1") << 2 << 1 << true;
    QTest::newRow("isDb -1, if_upgrade_db 7") << -1 << 7 << true;
    QTest::newRow("isDb 0, if_upgrade_db 2") << 0 << 2 << false;
    QTest::newRow("isDb 1, if_upgrade_db -3") << 1 << -3 << true;
}

void tst_UpgradeAdmission::databaseFlags()
{
    QFETCH(int, isDb);
    QFETCH(int, ifUpgradeDb);
    QFETCH(bool, helperNeeded);

    QTemporaryDir root;
    const QString main = root.filePath("main");
    QVERIFY(writeFile(main + "/product/bin/app.dll", "old"));
    QVERIFY(writeFile(root.filePath("upgrade/add/product/bin/new.dll"), "new"));
    UpgradeAdmission admission(installation(main, isDb), package(7, "bin", ifUpgradeDb));
    admission.setPackageRoot(root.filePath("upgrade"));
    admission.setRunningProgram([](const QString &, const QString &) { return QString(); });
    const UpgradeAdmission::Verdict verdict = admission.check();
    QCOMPARE(verdict.refusal,
        helperNeeded ? UpgradeAdmission::Refusal::PreflightFailed
                     : UpgradeAdmission::Refusal::None);
    QCOMPARE(verdict.detail,
        helperNeeded ? QStringLiteral("数据库升级程序不存在:%1")
                           .arg(QDir::toNativeSeparators(SuiteLayout::helperProgram(main, "bin")))
                     : QString());
}

// At the package's version with all of it in place, a run ends with nothing
// to do before it looks for running programs; anything short of that goes on.
void tst_UpgradeAdmission::upToDate_data()
{
    QTest::addColumn<QString>("version"); // installed; the package goes to 2.1.9
    QTest::addColumn<QString>("file"); // written into the installation (":gone": removed)
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<UpgradeAdmission::Refusal>("refusal");

    using R = UpgradeAdmission::Refusal;
    const QString none;
    QTest::newRow("equal and complete, a program running")
        << "2.1.9" << none << QByteArray() << R::UpToDate;
    QTest::newRow("third part compares as a number")
        << "2.1.09" << none << QByteArray() << R::UpToDate;
    QTest::newRow("equal, a file differs")
        << "2.1.9"
        << "product/bin/app.dll" << QByteArray("v1") << R::SuiteRunning;
    QTest::newRow("equal, an added file the operator changed: kept by the add step")
        << "2.1.9"
        << "product/bin/new.dll" << QByteArray("edited") << R::UpToDate;
    QTest::newRow("equal, an added file missing") << "2.1.9"
                                                  << ":gone" << QByteArray() << R::SuiteRunning;
    QTest::newRow("equal, a deleted file still there")
        << "2.1.9"
        << "product/bin/old.dll" << QByteArray("old") << R::SuiteRunning;
    QTest::newRow("below the target") << "2.1.5" << none << QByteArray() << R::SuiteRunning;
}

void tst_UpgradeAdmission::upToDate()
{
    QFETCH(QString, version);
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QTemporaryDir root;
    const QString main = root.filePath("main");
    const QString upgrade = root.filePath("upgrade");
    QVERIFY(writeFile(upgrade + "/update/product/bin/app.dll", "v2"));
    QVERIFY(writeFile(upgrade + "/add/product/bin/new.dll", "n"));
    QVERIFY(writeFile(upgrade + "/delete/product/bin/old.dll", ""));
    QVERIFY(writeFile(main + "/product/bin/app.dll", "v2"));
    QVERIFY(writeFile(main + "/product/bin/new.dll", "n"));
    if (file == ":gone")
        QVERIFY(QFile::remove(main + "/product/bin/new.dll"));
    else if (!file.isEmpty())
        QVERIFY(writeFile(main + '/' + file, content));

    InstallationRecord record = installation(main, 0);
    record.version = version;
    UpgradeAdmission admission(record, package(7, "bin", 0));
    admission.setPackageRoot(upgrade);
    admission.setRunningProgram([](const QString &, const QString &) { return "server.exe"; });
    const UpgradeAdmission::Verdict verdict = admission.check();
    QTEST(verdict.refusal, "refusal");
    if (verdict.refusal == UpgradeAdmission::Refusal::UpToDate)
        QCOMPARE(verdict.detail, QStringLiteral("已是最新版本,无需升级"));
}

// Files the system denies access to: their lines, then once which account to
// run as.
void tst_UpgradeAdmission::accessDeniedHint()
{
    using P = PreflightProblem;
    UpgradeAdmission::Verdict verdict;
    verdict.report.problems = { { P::NotWritable, "a.dll", "denied", true },
        { P::InUse, "b.dll", "" }, { P::NotWritable, "c.dll", "denied", true } };
#ifdef Q_OS_WIN
    const QString hint = QStringLiteral("请以管理员身份运行升级程序");
#else
    const QString hint = QStringLiteral("请以套件文件所有者(或root)身份运行升级程序");
#endif
    const QStringList lines = verdict.problemLines();
    QCOMPARE(lines.mid(0, 3),
        QStringList({ verdict.report.problems.at(0).text(), verdict.report.problems.at(1).text(),
            verdict.report.problems.at(2).text() }));
    QCOMPARE(lines.mid(3), QStringList { hint });
}

QTEST_GUILESS_MAIN(tst_UpgradeAdmission)
#include "tst_upgradeadmission.moc"
