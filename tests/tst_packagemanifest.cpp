#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

#include "PackageManifest.h"
#include "UpgradeConstants.h"
#include "support/TestPackage.h"

using PackageManifest::ProblemKind;
using PackageManifest::Verdict;
Q_DECLARE_METATYPE(PackageManifest::Verdict)

namespace {

const QByteArray hashOfA = QCryptographicHash::hash("a", QCryptographicHash::Sha256).toHex();

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A tree on disk with a manifest of its files, hashed here independently.
bool writeListedTree(const QString &root, const QMap<QString, QByteArray> &files)
{
    QByteArray manifest;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(root + "/" + it.key(), it.value()))
            return false;
        manifest += QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex() + "  "
            + it.key().toUtf8() + "\n";
    }
    return writeFile(root + "/manifest.sha256", manifest);
}

QStringList problemsOf(const PackageManifest::Result &result)
{
    static const char *kinds[] = { "mismatch", "missing", "extra", "unreadable" };
    QStringList list;
    for (const auto &problem : result.problems)
        list << QString("%1:%2").arg(kinds[int(problem.kind)], problem.path);
    return list;
}

} // namespace

// The content manifest: its form, and the check of a tree against it.
class tst_PackageManifest : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void verifyFolder_data();
    void verifyFolder();
    void verifyRegisteredPackage();
    void compareDigests_data();
    void compareDigests();
};

void tst_PackageManifest::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("paths"); // empty with an error expected
    QTest::addColumn<QString>("error");
    const QByteArray h = hashOfA;
    QTest::newRow("two lines") << h + "  update/a.dll\n" + h.toUpper() + "  中文/b c.txt\n"
                               << QStringList { "update/a.dll", "中文/b c.txt" } << "";
    QTest::newRow("binary marker, no final line end")
        << h + " *add/x" << QStringList { "add/x" } << "";
    QTest::newRow("empty manifest") << QByteArray() << QStringList() << "";
    QTest::newRow("short hash") << h.left(63) + "  a\n" << QStringList() << "line 1";
    QTest::newRow("not hex") << "g" + h.mid(1) + "  a\n" << QStringList() << "hex";
    QTest::newRow("one blank only") << h + " a\n" << QStringList() << "line 1";
    QTest::newRow("empty line") << h + "  a\n\n" + h + "  b\n" << QStringList() << "line 2";
    QTest::newRow("listed twice") << h + "  a\n" + h + "  a\n" << QStringList() << "twice";
    QTest::newRow("parent folder") << h + "  update/../../x\n" << QStringList() << "\"..\"";
    QTest::newRow("absolute path") << h + "  /etc/passwd\n" << QStringList() << "absolute";
    QTest::newRow("drive") << h + "  C:x\n" << QStringList() << "drive";
    QTest::newRow("backslash") << h + "  update\\a\n" << QStringList() << "backslash";
    QTest::newRow("CRLF line end") << h + "  a\r\n" << QStringList() << "control";
    QTest::newRow("not UTF-8") << h + "  a\xff.txt\n" << QStringList() << "UTF-8";
    QTest::newRow("lists itself") << h + "  manifest.sha256\n" << QStringList() << "itself";
}

void tst_PackageManifest::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, paths);
    QFETCH(QString, error);
    QVector<PackageManifest::Entry> entries;
    QString reason;
    const bool ok = PackageManifest::parse(text, &entries, &reason);
    QVERIFY2(ok == error.isEmpty(), qPrintable(reason));
    QVERIFY2(reason.contains(error), qPrintable(reason));
    QStringList parsed;
    for (const auto &entry : qAsConst(entries)) {
        QCOMPARE(entry.sha256.toHex(), hashOfA);
        parsed << entry.path;
    }
    QCOMPARE(parsed, paths);
}

void tst_PackageManifest::verifyFolder_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<QStringList>("problems");
    QTest::addColumn<QString>("detail");
    QTest::newRow("intact") << "" << Verdict::Verified << QStringList() << "";
    QTest::newRow("content changed") << "change update/report.dll" << Verdict::Failed
                                     << QStringList { "mismatch:update/report.dll" }
                                     << "update/report.dll: content does not match the manifest";
    QTest::newRow("file missing") << "remove add/b/c.txt" << Verdict::Failed
                                  << QStringList { "missing:add/b/c.txt" } << "missing";
    QTest::newRow("hidden file not listed")
        << "create update/.hidden" << Verdict::Failed << QStringList { "extra:update/.hidden" }
        << "not listed";
    QTest::newRow("listed file is a folder")
        << "folder readme.txt" << Verdict::Failed << QStringList { "unreadable:readme.txt" }
        << "cannot be read";
#ifdef Q_OS_UNIX
    QTest::newRow("listed file is a pipe")
        << "fifo update/report.dll" << Verdict::Failed
        << QStringList { "unreadable:update/report.dll" } << "not a regular file";
#endif
    QTest::newRow("every problem, in path order")
        << "remove update/report.dll,create add/new.txt,change readme.txt" << Verdict::Failed
        << QStringList { "extra:add/new.txt", "mismatch:readme.txt", "missing:update/report.dll" }
        << "add/new.txt";
    QTest::newRow("no manifest") << "remove manifest.sha256" << Verdict::NoManifest << QStringList()
                                 << "";
    QTest::newRow("malformed manifest line")
        << "append manifest.sha256" << Verdict::Malformed << QStringList() << "line 4";
    QTest::newRow("manifest is a folder")
        << "folder manifest.sha256" << Verdict::Malformed << QStringList() << "folder";
}

void tst_PackageManifest::verifyFolder()
{
    QFETCH(QString, change);
    QTemporaryDir tmp;
    const QString root = tmp.filePath("upgrade");
    QVERIFY(writeListedTree(root,
        { { "readme.txt", "read me\n" }, { "update/report.dll", QByteArray(300000, 'r') },
            { "add/b/c.txt", "" } }));
    for (const QString &step : change.split(',', Qt::SkipEmptyParts)) {
        const QString verb = step.section(' ', 0, 0), path = root + "/" + step.section(' ', 1);
        if (verb == "change" || verb == "create")
            QVERIFY(writeFile(path, "other bytes"));
        if (verb == "remove" || verb == "folder" || verb == "fifo")
            QVERIFY(QFile::remove(path));
#ifdef Q_OS_UNIX
        if (verb == "fifo")
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
#endif
        if (verb == "folder")
            QVERIFY(QDir().mkpath(path));
        if (verb == "append") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append) && file.write("oops\n") == 5);
        }
    }
    const PackageManifest::Result result = PackageManifest::verifyTree(root);
    QTEST(result.verdict, "verdict");
    QTEST(problemsOf(result), "problems");
    QFETCH(QString, detail);
    QVERIFY2(result.detail().contains(detail), qPrintable(result.detail()));
    QCOMPARE(result.detail().isEmpty(), detail.isEmpty());
}

// The builder's manifest lists every file with placeholders, in the form
// sha256sum reads; a byte changed in the registered bytes is found.
void tst_PackageManifest::verifyRegisteredPackage()
{
    QTemporaryDir tmp;
    const QByteArray content = "unique content of report.dll";
    QString error;
    const QString rcc = TestPackage::build(tmp.path(),
        { { "upgrade/upgrade_config.xml", TestPackage::descriptor(7, "2.1.0", "2.1.5") },
            { "upgrade/update/bin/report.dll", content }, { "upgrade/delete/old/", {} } },
        &error);
    QVERIFY2(!rcc.isEmpty(), qPrintable(error));
    QFile file(rcc);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();

    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    QVERIFY(QResource::registerResource(data, "/intact"));
    const PackageManifest::Result intact = PackageManifest::verifyTree(":/intact/upgrade");
    QCOMPARE(intact.verdict, Verdict::Verified);
    QCOMPARE(intact.fileCount, 3); // descriptor, report.dll, placeholder
    const QString extracted = tmp.filePath("extracted");
    for (const QString &name : { QString("manifest.sha256"), QString("upgrade_config.xml"),
             QString("update/bin/report.dll"),
             "delete/old/" + UpgradeConstants::placeholderFileName() }) {
        QFile in(":/intact/upgrade/" + name);
        QVERIFY(in.open(QIODevice::ReadOnly) && writeFile(extracted + "/" + name, in.readAll()));
    }
    QVERIFY(QResource::unregisterResource(data, "/intact"));
    if (!QStandardPaths::findExecutable("sha256sum").isEmpty()) {
        QProcess check;
        check.setWorkingDirectory(extracted);
        check.start("sha256sum", { "--check", "--strict", "--quiet", "manifest.sha256" });
        QVERIFY(check.waitForFinished(30000));
        QVERIFY2(check.exitCode() == 0, check.readAllStandardOutput().constData());
    }

    const int at = bytes.indexOf(content);
    QVERIFY(at > 0);
    bytes[at + 3] = char(bytes.at(at + 3) ^ 0x01);
    data = reinterpret_cast<const uchar *>(bytes.constData());
    QVERIFY(QResource::registerResource(data, "/changed"));
    const PackageManifest::Result changed = PackageManifest::verifyTree(":/changed/upgrade/");
    QVERIFY(QResource::unregisterResource(data, "/changed"));
    QCOMPARE(problemsOf(changed), QStringList { "mismatch:update/bin/report.dll" });
}

void tst_PackageManifest::compareDigests_data()
{
    QTest::addColumn<QStringList>("digests"); // path=content hashed, "path=" no digest
    QTest::addColumn<QStringList>("problems");
    QTest::newRow("all listed, all match")
        << QStringList { "a.txt=a", "b/c.txt=a", "manifest.sha256=x" } << QStringList();
    QTest::newRow("changed, missing, extra") << QStringList { "a.txt=b",
        "extra.txt=a" } << QStringList { "mismatch:a.txt", "missing:b/c.txt", "extra:extra.txt" };
    QTest::newRow("no digest taken")
        << QStringList { "a.txt=", "b/c.txt=a" } << QStringList { "unreadable:a.txt" };
}

// Digests taken while copying, checked against the manifest's entries.
void tst_PackageManifest::compareDigests()
{
    QVector<PackageManifest::Entry> entries;
    QVERIFY(PackageManifest::parse(hashOfA + "  a.txt\n" + hashOfA + "  b/c.txt\n", &entries));
    QFETCH(QStringList, digests);
    QHash<QString, QByteArray> taken;
    for (const QString &digest : digests) {
        const QByteArray content = digest.section('=', 1).toUtf8();
        taken.insert(digest.section('=', 0, 0),
            content.isEmpty() ? QByteArray()
                              : PackageManifest::hashBytes(content.constData(), content.size()));
    }
    const PackageManifest::Result result = PackageManifest::compareDigests(entries, taken);
    QTEST(problemsOf(result), "problems");
    QCOMPARE(result.verdict, result.problems.isEmpty() ? Verdict::Verified : Verdict::Failed);
}

QTEST_GUILESS_MAIN(tst_PackageManifest)
#include "tst_packagemanifest.moc"
