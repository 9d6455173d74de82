#include <QtTest>

#include "InstallationRecord.h"
#include "LoadedPackage.h"
#include "PackageDescriptor.h"
#include "PackageFit.h"
#include "PackageManifest.h"
#include "PackageSignature.h"
#include "UpgradeConstants.h"
#include "support/TestPackage.h"

#include <sys/stat.h>

Q_DECLARE_METATYPE(LoadedPackage::Result)
Q_DECLARE_METATYPE(FitVerdict)

// The chosen package's registration, and the verdict on whether it fits.
class tst_LoadedPackage : public QObject
{
    Q_OBJECT
private slots:
    void load_data();
    void load();
    void problemWording_data();
    void problemWording();
    void treeInUseOutlivesRelease();
    void ownMapRootInTwoSteps_data();
    void ownMapRootInTwoSteps();
    void trust_data();
    void trust();
    void fit_data();
    void fit();
};

void tst_LoadedPackage::load_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<LoadedPackage::Result>("result");
    QTest::addColumn<QString>("text"); // in the detail or the signature summary
    using R = LoadedPackage::Result;
    QTest::newRow("a package") << "package" << R::Registered << "";
    QTest::newRow("missing file") << "missing" << R::Unreadable << "";
    QTest::newRow("a folder") << "folder" << R::Unreadable << "not a regular file";
    QTest::newRow("not a resource file") << "text" << R::NotResourceFile << "";
    QTest::newRow("cut off") << "truncated" << R::Damaged << "";
    // Refused at once, without waiting for a writer or reading a device dry.
    QTest::newRow("a named pipe") << "pipe" << R::Unreadable << "a named pipe";
    QTest::newRow("a device") << "/dev/zero" << R::Unreadable << "a device";
    QTest::newRow("signature file a named pipe")
        << "pipe signature" << R::Registered << "升级包签名文件有误,未核验";
    QTest::newRow("trusted key a named pipe") << "pipe key" << R::Unsigned << "a named pipe";
    // A sparse file: refused by its size before anything is read.
    QTest::newRow("larger than the format holds") << "huge" << R::TooLarge << "at most 4 GiB";
    // Qt 5 takes section offsets for signed numbers: it would read outside,
    // so the package is too large for it, whatever the format holds.
    QTest::newRow("its tree past 2 GiB") << "far tree" << R::TooLarge << "past 2 GiB";
}

void tst_LoadedPackage::load()
{
    QFETCH(QString, kind);
    QTemporaryDir tmp;
    QString error;
    const QString rcc = TestPackage::build(tmp.path(),
        { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.5") } }, &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    QString path = tmp.filePath(kind);
    LoadedPackage loaded;
#ifdef Q_OS_WIN
    // Windows has no named pipes among files, nor /dev.
    if (kind.contains("pipe") || kind.startsWith("/dev/"))
        QSKIP("named pipes and devices as files are a Unix matter");
    const auto makePipe = [](const QString &) { return false; };
#else
    const auto makePipe = [](const QString &pipe) {
        return ::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0;
    };
#endif
    if (kind == "package")
        path = rcc;
    else if (kind == "folder")
        QVERIFY(QDir().mkpath(path));
    else if (kind == "pipe")
        QVERIFY(makePipe(path));
    else if (kind.startsWith("/dev/"))
        path = kind;
    else if (kind == "huge") {
        QFile huge(path);
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.write("qres") == 4);
        QVERIFY(huge.resize((qint64(4) << 30) + 1));
    } else if (kind == "far tree") {
        // Sparse: a header, and an empty root folder at 2.5 GiB.
        const QByteArray header = QByteArray::fromHex("71726573000000039000000000000018000000180000"
                                                      "0000");
        const QByteArray root = QByteArray::fromHex("00000000000200000000000000000000000000000000");
        QFile far(path);
        QVERIFY(far.open(QIODevice::WriteOnly) && far.write(header) == header.size());
        QVERIFY(far.seek(qint64(0x90000000)) && far.write(root) == root.size());
    } else if (kind == "pipe signature") {
        path = rcc;
        QVERIFY(makePipe(rcc + ".minisig"));
    } else if (kind == "pipe key") {
        path = rcc;
        QVERIFY(QDir().mkpath(tmp.filePath("keys")));
        QVERIFY(makePipe(tmp.filePath("keys/vendor.pub")));
        loaded.setTrustedKeysFolder(tmp.filePath("keys"));
    } else if (kind != "missing") {
        QFile in(rcc), out(path);
        QVERIFY(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
        out.write(kind == "text" ? QByteArray("plain text") : in.read(in.size() / 2));
    }

    QFETCH(LoadedPackage::Result, result);
    QFETCH(QString, text);
    QCOMPARE(loaded.load(path), result);
    QVERIFY2(
        (loaded.detail() + loaded.signatureSummary()).contains(text), qPrintable(loaded.detail()));
    const bool registered = result == LoadedPackage::Result::Registered;
    QCOMPARE(loaded.isRegistered(), registered);
    QCOMPARE(QFile::exists(UpgradeConstants::packageDescriptorPath()), registered);
    QCOMPARE(LoadedPackage::message(result).isEmpty(),
        registered || result == LoadedPackage::Result::NotResourceFile);
    loaded.release();
    QVERIFY(!QFile::exists(UpgradeConstants::packageDescriptorPath()));
}

void tst_LoadedPackage::problemWording_data()
{
    QTest::addColumn<LoadedPackage::Result>("result");
    QTest::addColumn<QString>("manifest"); // "malformed", or problem kinds (M, X, E, U)
    QTest::addColumn<QStringList>("lines"); // %1 the package, %2 its signature file
    using R = LoadedPackage::Result;
    QTest::newRow("unreadable") << R::Unreadable << "" << QStringList { "无法读取升级包文件 %1" };
    QTest::newRow("too large") << R::TooLarge << ""
                               << QStringList { "升级包文件 %1 过大:升级包最大为 2 GiB" };
    QTest::newRow("damaged") << R::Damaged << ""
                             << QStringList { "升级包文件 %1 已损坏:文件结构有误" };
    QTest::newRow("manifest malformed")
        << R::Corrupted << "malformed"
        << QStringList { "升级包清单 manifest.sha256 无法读取或格式有误" };
    QTest::newRow("each kind of file problem")
        << R::Corrupted << "MXEU"
        << QStringList { "文件 f0 与升级包清单不符", "文件 f1 列在升级包清单中,但升级包中没有",
               "文件 f2 不在升级包清单中", "文件 f3 无法读取" };
    QTest::newRow("seven files: five and how many more")
        << R::Corrupted << "MMMMMMM"
        << QStringList { "文件 f0 与升级包清单不符", "文件 f1 与升级包清单不符",
               "文件 f2 与升级包清单不符", "文件 f3 与升级包清单不符", "文件 f4 与升级包清单不符",
               "……另有2个文件与升级包清单不符" };
    QTest::newRow("unsigned") << R::Unsigned << "" << QStringList { "缺少升级包的签名文件 %2" };
    QTest::newRow("bad signature")
        << R::BadSignature << "" << QStringList { "签名文件 %2 有误或与升级包不符" };
    QTest::newRow("untrusted signer")
        << R::UntrustedSigner << "" << QStringList { "签名文件 %2 的签名密钥不受本机信任" };
    QTest::newRow("not a package: no line") << R::NotResourceFile << "" << QStringList();
}

// Each refusal in Chinese, naming the package, the file in it or its signature.
void tst_LoadedPackage::problemWording()
{
    QFETCH(LoadedPackage::Result, result);
    QFETCH(QString, manifest);
    QFETCH(QStringList, lines);
    PackageManifest::Result checked;
    checked.verdict = manifest == "malformed" ? PackageManifest::Verdict::Malformed
                                              : PackageManifest::Verdict::Failed;
    const QString kinds = manifest == "malformed" ? QString() : manifest;
    for (int i = 0; i < kinds.size(); ++i) {
        using K = PackageManifest::ProblemKind;
        const K kind = kinds[i] == 'X' ? K::Missing
            : kinds[i] == 'E'          ? K::Extra
            : kinds[i] == 'U'          ? K::Unreadable
                                       : K::Mismatch;
        checked.problems.append({ kind, QString("f%1").arg(i), "reason" });
    }
    const QString path = QDir::temp().filePath("p.rcc");
    for (QString &line : lines)
        line = line.replace("%1", QDir::toNativeSeparators(path))
                   .replace("%2", QDir::toNativeSeparators(path + ".minisig"));
    QCOMPARE(LoadedPackage::problems(result, path, checked), lines);
}

// A file of the tree still open when the package is released: its bytes stay.
void tst_LoadedPackage::treeInUseOutlivesRelease()
{
    QTemporaryDir tmp;
    QString error;
    const QString rcc = TestPackage::build(tmp.path(),
        { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.5") },
            { "upgrade/readme.txt", "still readable" } },
        &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    LoadedPackage loaded;
    QCOMPARE(loaded.load(rcc), LoadedPackage::Result::Registered);
    QFile open(UpgradeConstants::packageReadmePath());
    QVERIFY(open.open(QIODevice::ReadOnly));
    loaded.release();
    QCOMPARE(open.readAll(), QByteArray("still readable"));
}

namespace {

const QByteArray reportContent = "the unique bytes of report.dll";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Runs minisign without input; true when it succeeded.
bool minisign(const QStringList &args)
{
    QProcess process;
    process.start("minisign", args);
    process.closeWriteChannel();
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

} // namespace

void tst_LoadedPackage::ownMapRootInTwoSteps_data()
{
    QTest::addColumn<bool>("changed"); // a file's bytes, after the build
    QTest::addColumn<LoadedPackage::Result>("verdict");
    QTest::newRow("intact") << false << LoadedPackage::Result::Registered;
    QTest::newRow("a file changed") << true << LoadedPackage::Result::Corrupted;
}

// A package under a map root of its own, beside the installer's: open()
// registers it there, verify() judges it as load() does.
void tst_LoadedPackage::ownMapRootInTwoSteps()
{
    QFETCH(bool, changed);
    QTemporaryDir tmp;
    QString error;
    const QByteArray config = TestPackage::descriptor(7, "2.1.0", "2.1.5");
    const QString installers = TestPackage::build(
        tmp.path(), { { "upgrade/upgrade_config.xml", config } }, &error, "a.rcc");
    const QString own = TestPackage::build(tmp.path(),
        { { "upgrade/upgrade_config.xml", config }, { "upgrade/add/own.txt", "abcde" } }, &error,
        "b.rcc");
    QVERIFY2(!installers.isEmpty() && !own.isEmpty(), qPrintable(error));
    QByteArray bytes = readAll(own);
    if (changed)
        QVERIFY(writeAll(own, bytes.replace("abcde", "abcdE")));

    LoadedPackage installer, builder;
    QCOMPARE(installer.load(installers), LoadedPackage::Result::Registered);
    builder.setMapRoot("/builder-check");
    QCOMPARE(builder.treeRoot(), QString(":/builder-check/upgrade"));
    QCOMPARE(builder.open(own), LoadedPackage::Result::Registered);
    QCOMPARE(readAll(":/builder-check/upgrade/add/own.txt"), changed ? "abcdE" : "abcde");
    QTEST(builder.verify(), "verdict");
    QCOMPARE(builder.manifestResult().verdict,
        changed ? PackageManifest::Verdict::Failed : PackageManifest::Verdict::Verified);
    QCOMPARE(QFile::exists(":/builder-check/upgrade/add/own.txt"), !changed);
    builder.setMapRoot(QString());
    QVERIFY(!QFile::exists(":/builder-check/upgrade/add/own.txt"));
    QVERIFY(QFile::exists(UpgradeConstants::packageDescriptorPath()));
}

void tst_LoadedPackage::trust_data()
{
    QTest::addColumn<QString>("change"); // of the package or its signature file
    QTest::addColumn<QString>("keys"); // in the trusted folder: a, b, or "unusable"
    QTest::addColumn<LoadedPackage::Result>("result");
    QTest::addColumn<QString>("text"); // in the summary when accepted, else in the detail
    using R = LoadedPackage::Result;
    QTest::newRow("signed by minisign, its key trusted")
        << ""
        << "a" << R::Registered << "签名:release 2.1.5(密钥A)";
    QTest::newRow("signed, the key of another trusted")
        << ""
        << "b" << R::UntrustedSigner << "none of the trusted keys";
    QTest::newRow("signed, both keys trusted")
        << ""
        << "ba" << R::Registered << "签名:release 2.1.5(密钥A)";
    QTest::newRow("byte flipped in a file's contents")
        << "content"
        << "a" << R::Corrupted << "update/bin/report.dll: content does not match";
    QTest::newRow("byte flipped in the manifest")
        << "manifest"
        << "a" << R::Corrupted << "update/bin/report.dll: content does not match";
    QTest::newRow("byte flipped in the signature")
        << "signature"
        << "a" << R::BadSignature << "changed after signing";
    QTest::newRow("trusted comment changed")
        << "comment"
        << "a" << R::BadSignature << "trusted comment does not match";
    QTest::newRow("unsigned, a key trusted") << "unsigned"
                                             << "a" << R::Unsigned << "no signature file";
    QTest::newRow("unsigned, the only key file unusable")
        << "unsigned"
        << "unusable" << R::Unsigned << "no usable trusted key: ";
    QTest::newRow("unsigned, no key trusted") << "unsigned"
                                              << "" << R::Registered << "升级包未签名";
    QTest::newRow("signed, no key trusted: shown, not checked")
        << ""
        << "" << R::Registered << "签名:release 2.1.5(密钥A,本机没有受信任的密钥,未核验)";
    QTest::newRow("signature file cut short, no key trusted")
        << "cut"
        << "" << R::Registered << "升级包签名文件有误,未核验";
    QTest::newRow("signature file cut short, a key trusted")
        << "cut"
        << "a" << R::BadSignature << "malformed";
}

// What the operator gets for a package, its signature and the keys installed:
// the checks' order is structure, manifest, signature, and a refused package
// stays unregistered.
void tst_LoadedPackage::trust()
{
    QFETCH(QString, change);
    QFETCH(QString, keys);
    QFETCH(LoadedPackage::Result, result);
    QFETCH(QString, text);
    if (QStandardPaths::findExecutable("minisign").isEmpty())
        QSKIP("minisign is not installed; the keys and signatures are made with it");
    QTemporaryDir tmp;
    QString error;
    const QString rcc = TestPackage::build(tmp.path(),
        { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.5") },
            { "upgrade/update/bin/report.dll", reportContent } },
        &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    const QString trusted = tmp.filePath("trusted_keys");
    QVERIFY(QDir().mkpath(trusted));
    for (const QString name : { "a", "b" }) {
        QVERIFY(minisign(
            { "-G", "-W", "-p", tmp.filePath(name + ".pub"), "-s", tmp.filePath(name + ".sec") }));
        if (keys != "unusable" && keys.contains(name))
            QVERIFY(QFile::copy(tmp.filePath(name + ".pub"), trusted + "/" + name + ".pub"));
    }
    if (keys == "unusable")
        QVERIFY(writeAll(trusted + "/vendor.pub", "untrusted comment: cut\nRWQ"));
    if (change != "unsigned")
        QVERIFY(minisign({ "-S", "-s", tmp.filePath("a.sec"), "-m", rcc, "-t", "release 2.1.5" }));

    QByteArray package = readAll(rcc);
    QByteArray signature = readAll(rcc + ".minisig");
    if (change == "content") {
        const int at = package.indexOf(reportContent);
        QVERIFY(at > 0);
        package[at + 3] = char(package.at(at + 3) ^ 0x01);
    } else if (change == "manifest") {
        const int at = package.indexOf("  update/bin/report.dll\n") - 1;
        QVERIFY(at > 0);
        package[at] = package.at(at) == '0' ? '1' : '0';
    } else if (change == "signature") {
        QList<QByteArray> lines = signature.split('\n');
        QByteArray raw = QByteArray::fromBase64(lines.at(1));
        raw[40] = char(raw.at(40) ^ 0x10);
        lines[1] = raw.toBase64();
        signature = lines.join('\n');
    } else if (change == "comment") {
        signature.replace("release 2.1.5", "release 2.1.6");
    } else if (change == "cut") {
        signature.truncate(signature.indexOf("trusted comment"));
    }
    QVERIFY(writeAll(rcc, package));
    if (change != "unsigned")
        QVERIFY(writeAll(rcc + ".minisig", signature));
    Minisign::PublicKey keyA;
    QVERIFY(PackageSignature::loadKey(tmp.filePath("a.pub"), &keyA, &error));
    text.replace("密钥A", "密钥" + keyA.keyIdText());

    LoadedPackage loaded;
    loaded.setTrustedKeysFolder(trusted);
    QCOMPARE(loaded.load(rcc), result);
    const bool accepted = result == LoadedPackage::Result::Registered;
    QCOMPARE(loaded.isRegistered(), accepted);
    QCOMPARE(QFile::exists(UpgradeConstants::packageDescriptorPath()), accepted);
    if (accepted)
        QCOMPARE(loaded.signatureSummary(), text);
    else
        QVERIFY2(loaded.detail().contains(text), qPrintable(loaded.detail()));
    QCOMPARE(LoadedPackage::message(result).isEmpty(), accepted);
}

void tst_LoadedPackage::fit_data()
{
    QTest::addColumn<int>("installedId");
    QTest::addColumn<int>("packageId");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<int>("upgradeType");
    QTest::addColumn<FitVerdict>("verdict");
    QTest::newRow("fits") << 7 << 7 << "2.1.5" << 0 << FitVerdict::Fits;
    QTest::newRow("no package, whatever the versions")
        << 7 << -1 << "x" << 9 << FitVerdict::NotSelected;
    QTest::newRow("record without product") << -1 << 7 << "2.1.5" << 0 << FitVerdict::NotSelected;
    QTest::newRow("other product before versions")
        << 7 << 8 << "x" << 0 << FitVerdict::ProductMismatch;
    QTest::newRow("bad installed version")
        << 7 << 7 << "2.1" << 0 << FitVerdict::BadInstalledVersion;
    QTest::newRow("outside the range") << 7 << 7 << "2.1.9" << 0 << FitVerdict::NotApplicable;
    QTest::newRow("unknown type") << 7 << 7 << "2.1.5" << 2 << FitVerdict::NotApplicable;
}

void tst_LoadedPackage::fit()
{
    QFETCH(int, installedId);
    QFETCH(int, packageId);
    QFETCH(QString, installed);
    QFETCH(int, upgradeType);
    InstallationRecord record;
    record.productId = installedId;
    record.version = installed;
    PackageDescriptor package;
    package.productId = packageId;
    package.versionFrom = "2.1.0";
    package.versionTo = "2.1.5";
    package.upgradeType = upgradeType;
    QTEST(PackageFit::judge(record, package), "verdict");
}

QTEST_GUILESS_MAIN(tst_LoadedPackage)
#include "tst_loadedpackage.moc"
