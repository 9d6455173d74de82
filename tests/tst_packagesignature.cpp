#include <QtTest>

#include "PackageManifest.h"
#include "PackageSignature.h"
#include "PackageSigner.h"
#include "support/TestPackage.h"

using PackageSignature::Verdict;
Q_DECLARE_METATYPE(PackageSignature::Verdict)
Q_DECLARE_METATYPE(PackageManifest::Verdict)

namespace {

const QByteArray reportContent = "the unique bytes of report.dll";
const QString toolPath = UPGRADE_BINARY_DIR "/tools/make_upgrade_package/make_upgrade_package";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct Run
{
    int exitCode = -1;
    QString output; // standard output and error
};

Run run(const QString &program, const QStringList &args, const QByteArray &input = {},
    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    process.write(input);
    process.closeWriteChannel();
    Run result;
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.output = QString::fromUtf8(process.readAll());
    return result;
}

bool haveMinisign()
{
    return !QStandardPaths::findExecutable("minisign").isEmpty();
}

// Flips one bit of the base64 line `line` of a signature file at decoded byte `at`.
QByteArray flipInLine(const QByteArray &file, int line, int at)
{
    QList<QByteArray> lines = file.split('\n');
    QByteArray raw = QByteArray::fromBase64(lines.at(line));
    raw[at] = char(raw.at(at) ^ 0x10);
    lines[line] = raw.toBase64();
    return lines.join('\n');
}

} // namespace

// Signature checks against signatures made by minisign itself, and the
// signatures the authors' tool makes, checked by minisign.
class tst_PackageSignature : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void verdicts_data();
    void verdicts();
    void loadsKeyFolder();
    void signs_data();
    void signs();

private:
    bool makeKeys(const QString &name, const QByteArray &password = {});

    QTemporaryDir m_tmp;
    QString m_package;
};

void tst_PackageSignature::initTestCase()
{
    QString error;
    m_package = TestPackage::build(m_tmp.path(),
        { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.5") },
            { "upgrade/update/bin/report.dll", reportContent } },
        &error);
    QVERIFY2(!m_package.isEmpty(), qPrintable(error));
    if (!haveMinisign())
        return;
    QVERIFY(makeKeys("a") && makeKeys("b"));
    QCOMPARE(run("minisign",
                 { "-S", "-s", m_tmp.filePath("a.sec"), "-m", m_package, "-t", "release 2.1.5" })
                 .exitCode,
        0);
    QCOMPARE(run("minisign",
                 { "-S", "-l", "-s", m_tmp.filePath("a.sec"), "-m", m_package, "-x",
                     m_tmp.filePath("legacy.minisig") })
                 .exitCode,
        0);
}

// Key pair <name>.pub / <name>.sec in the temporary folder, unencrypted
// without a password.
bool tst_PackageSignature::makeKeys(const QString &name, const QByteArray &password)
{
    QStringList args { "-G", "-p", m_tmp.filePath(name + ".pub"), "-s",
        m_tmp.filePath(name + ".sec") };
    if (password.isEmpty())
        args << "-W";
    return run("minisign", args, password + "\n" + password + "\n").exitCode == 0;
}

void tst_PackageSignature::verdicts_data()
{
    QTest::addColumn<QString>("change"); // of the package or its signature
    QTest::addColumn<QString>("keys"); // trusted key pairs
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<PackageManifest::Verdict>("manifest");
    const auto intact = PackageManifest::Verdict::Verified;
    const auto mismatch = PackageManifest::Verdict::Failed;
    QTest::newRow("signed, its key trusted") << ""
                                             << "a" << Verdict::Valid << intact;
    QTest::newRow("signed, two keys trusted") << ""
                                              << "ba" << Verdict::Valid << intact;
    QTest::newRow("legacy signature over the whole file") << "legacy"
                                                          << "a" << Verdict::Valid << intact;
    QTest::newRow("signed, another key trusted") << ""
                                                 << "b" << Verdict::Untrusted << intact;
    QTest::newRow("signed, no key trusted") << ""
                                            << "" << Verdict::Untrusted << intact;
    QTest::newRow("unsigned, a key trusted") << "unsigned"
                                             << "a" << Verdict::Unsigned << intact;
    QTest::newRow("unsigned, no key trusted") << "unsigned"
                                              << "" << Verdict::Unsigned << intact;
    QTest::newRow("byte flipped in a file's contents") << "content"
                                                       << "a" << Verdict::Invalid << mismatch;
    QTest::newRow("hash changed in the manifest") << "manifest"
                                                  << "a" << Verdict::Invalid << mismatch;
    QTest::newRow("byte flipped in the signature") << "signature"
                                                   << "a" << Verdict::Invalid << intact;
    QTest::newRow("trusted comment changed") << "comment"
                                             << "a" << Verdict::Invalid << intact;
    QTest::newRow("byte flipped in the comment signature") << "global"
                                                           << "a" << Verdict::Invalid << intact;
    QTest::newRow("key id changed") << "keyid"
                                    << "a" << Verdict::Untrusted << intact;
    QTest::newRow("signature file cut short") << "cut"
                                              << "a" << Verdict::Invalid << intact;
    QTest::newRow("signature file is a folder") << "folder"
                                                << "a" << Verdict::Invalid << intact;
}

void tst_PackageSignature::verdicts()
{
    QFETCH(QString, change);
    QFETCH(QString, keys);
    if ((change != "unsigned" || !keys.isEmpty()) && !haveMinisign())
        QSKIP("minisign is not installed; signatures are made with it");
    QByteArray bytes = readFile(m_package);
    PackageSignature::SignatureFile signature = PackageSignature::readSignatureFile(
        change == "unsigned" ? m_tmp.filePath("x.rcc") : m_package);
    QByteArray &text = signature.bytes;
    if (change == "legacy")
        text = readFile(m_tmp.filePath("legacy.minisig"));
    if (change == "content" || change == "manifest") {
        const int at = change == "content" ? bytes.indexOf(reportContent) + 2
                                           : bytes.indexOf("  update/bin/report.dll\n") - 1;
        QVERIFY(at > 2);
        bytes[at] = change == "content" ? char(bytes.at(at) ^ 0x01)
            : bytes.at(at) == '0'       ? '1'
                                        : '0';
    }
    if (change == "signature" || change == "keyid")
        text = flipInLine(text, 1, change == "signature" ? 40 : 4);
    if (change == "global")
        text = flipInLine(text, 3, 20);
    if (change == "comment")
        text.replace("release 2.1.5", "release 2.1.6");
    if (change == "cut")
        text.truncate(text.lastIndexOf("trusted comment"));
    if (change == "folder") {
        QTemporaryDir other;
        QVERIFY(QDir().mkpath(other.filePath("p.rcc.minisig")));
        signature = PackageSignature::readSignatureFile(other.filePath("p.rcc"));
    }
    QVector<Minisign::PublicKey> trusted;
    for (const QChar name : keys) {
        Minisign::PublicKey key;
        QString error;
        QVERIFY2(PackageSignature::loadKey(m_tmp.filePath(QString(name) + ".pub"), &key, &error),
            qPrintable(error));
        trusted.append(key);
    }

    const PackageSignature::Result result = PackageSignature::verify(bytes, signature, trusted);
    QTEST(result.verdict, "verdict");
    QCOMPARE(result.detail.isEmpty(),
        result.verdict == Verdict::Valid || result.verdict == Verdict::Unsigned);
    if (result.verdict == Verdict::Valid) {
        // The key id as minisign writes it into the public key's comment.
        QVERIFY(readFile(m_tmp.filePath("a.pub")).contains(result.keyId.toLatin1()));
        // Upper-case hex without leading zeros: 16 digits, fewer for one key
        // in 16 whose id starts with a zero nibble.
        QVERIFY2(QRegularExpression("^[1-9A-F][0-9A-F]{0,15}$").match(result.keyId).hasMatch(),
            qPrintable(result.keyId));
        if (change.isEmpty())
            QCOMPARE(result.trustedComment, QString("release 2.1.5"));
    }
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    QVERIFY(QResource::registerResource(data, "/signed"));
    const auto manifest = PackageManifest::verifyTree(":/signed/upgrade");
    QVERIFY(QResource::unregisterResource(data, "/signed"));
    QTEST(manifest.verdict, "manifest");
}

// Every *.pub of the folder in name order; broken ones skipped and named.
void tst_PackageSignature::loadsKeyFolder()
{
    if (!haveMinisign())
        QSKIP("minisign is not installed; keys are made with it");
    QTemporaryDir dir;
    QVERIFY(QFile::copy(m_tmp.filePath("a.pub"), dir.filePath("2-a.pub")));
    QVERIFY(QFile::copy(m_tmp.filePath("b.pub"), dir.filePath("1-b.pub")));
    QVERIFY(writeFile(dir.filePath("broken.pub"), "untrusted comment: x\nRWQAAAA\n"));
    QVERIFY(writeFile(dir.filePath("notes.txt"), "not a key"));
    QVERIFY(QDir().mkpath(dir.filePath("folder.pub")));
    const PackageSignature::KeyStore store = PackageSignature::loadKeys(dir.path());
    QCOMPARE(store.keys.size(), 2);
    QVERIFY(readFile(m_tmp.filePath("b.pub")).contains(store.keys.at(0).keyIdText().toLatin1()));
    QVERIFY(readFile(m_tmp.filePath("a.pub")).contains(store.keys.at(1).keyIdText().toLatin1()));
    QCOMPARE(store.problems.size(), 2);
    QVERIFY(store.problems.at(0).contains("broken.pub"));
    QVERIFY(store.problems.at(1).contains("folder.pub"));

    const PackageSignature::KeyStore none = PackageSignature::loadKeys(dir.filePath("missing"));
    QVERIFY(none.keys.isEmpty() && none.problems.isEmpty());
}

void tst_PackageSignature::signs_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("password"); // null: none to be had
    QTest::addColumn<QString>("comment"); // null: the default
    QTest::addColumn<QString>("message"); // empty: signed
    QTest::newRow("unencrypted key, default comment") << "a" << QByteArray() << QString() << "";
    QTest::newRow("unencrypted key, comment given") << "a" << QByteArray() << "版本 2.1.5 release"
                                                    << "";
    QTest::newRow("encrypted key, password from MINISIGN_PASSWORD")
        << "enc" << QByteArray("pass word") << QString() << "";
    QTest::newRow("encrypted key, wrong password")
        << "enc" << QByteArray("wrong") << QString() << "wrong password";
    QTest::newRow("encrypted key, no password to be had")
        << "enc" << QByteArray() << QString() << "MINISIGN_PASSWORD";
    QTest::newRow("comment of two lines") << "a" << QByteArray() << "one\ntwo"
                                          << "one line";
}

void tst_PackageSignature::signs()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, password);
    QFETCH(QString, comment);
    QFETCH(QString, message);
    if (!haveMinisign())
        QSKIP("minisign is not installed; it checks the signatures");
    if (key == "enc" && !QFileInfo::exists(m_tmp.filePath("enc.sec")))
        QVERIFY(makeKeys(key, "pass word"));
    QTemporaryDir dir;
    const QString package = dir.filePath("package.rcc");
    QVERIFY(QFile::copy(m_package, package));
    const QString secret = m_tmp.filePath(key + ".sec");

    Run signing;
    if (key == "enc" && password.isNull()) {
        // The library's own road: the tool would ask on a terminal.
        QString error;
        const auto none = [](QByteArray *, QString *why) {
            *why = "none";
            return false;
        };
        signing.exitCode = PackageSigner::signFile(package, secret, "c", none, &error) ? 0 : 1;
        signing.output = error;
    } else {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("MINISIGN_PASSWORD");
        if (!password.isNull())
            env.insert("MINISIGN_PASSWORD", QString::fromUtf8(password));
        QStringList args { "--sign", package, "--secret-key", secret };
        if (!comment.isNull())
            args << "--trusted-comment" << comment;
        signing = run(toolPath, args, {}, env);
    }
    QVERIFY2(signing.output.contains(message), qPrintable(signing.output));
    QCOMPARE(signing.exitCode, message.isEmpty() ? 0 : 1);
    QCOMPARE(QFileInfo::exists(package + ".minisig"), message.isEmpty());
    if (!message.isEmpty())
        return;

    const Run check = run("minisign", { "-V", "-p", m_tmp.filePath(key + ".pub"), "-m", package });
    QVERIFY2(check.exitCode == 0, qPrintable(check.output));
    if (!comment.isNull()) {
        QVERIFY2(check.output.contains("Trusted comment: " + comment), qPrintable(check.output));
        return;
    }
    // minisign's own default: the time of signing and the file's name.
    const QRegularExpressionMatch match
        = QRegularExpression("Trusted comment: timestamp:(\\d+)\tfile:package.rcc\thashed\n")
              .match(check.output);
    QVERIFY2(match.hasMatch(), qPrintable(check.output));
    QVERIFY(qAbs(match.captured(1).toLongLong() - QDateTime::currentSecsSinceEpoch()) < 600);
}

QTEST_GUILESS_MAIN(tst_PackageSignature)
#include "tst_packagesignature.moc"
