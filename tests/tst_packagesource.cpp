#include <QtTest>

#include "BuiltPackageCheck.h"
#include "LoadedPackage.h"
#include "PackageSource.h"
#include "PackageWriter.h"
#include "support/TestPackage.h"

using Kinds = QVector<PackageSource::Kind>;
Q_DECLARE_METATYPE(TestPackage::Files)
Q_DECLARE_METATYPE(Kinds)

namespace {

const QByteArray goodDescriptor = TestPackage::descriptor(7, "2.1.0", "2.1.5");

} // namespace

// The check of a package's source, and of the package written from it.
class tst_PackageSource : public QObject
{
    Q_OBJECT
private slots:
    void problems_data();
    void problems();
    void writtenPackage_data();
    void writtenPackage();
};

void tst_PackageSource::problems_data()
{
    using K = PackageSource::Kind;
    QTest::addColumn<TestPackage::Files>("files");
    QTest::addColumn<QString>("output"); // relative to the temporary folder
    QTest::addColumn<Kinds>("kinds");
    const TestPackage::Files config { { "upgrade/upgrade_config.xml", goodDescriptor } };
    QTest::newRow("a tree that builds")
        << config + TestPackage::Files { { "upgrade/add/a.txt", "a" }, { "upgrade/db/", {} } }
        << "out.rcc" << Kinds {};
    QTest::newRow("no tree") << TestPackage::Files { { "other/a.txt", "a" } } << "out.rcc"
                             << Kinds { K::NoTree };
    QTest::newRow("output inside the tree")
        << config << "src/upgrade/add/p.rcc" << Kinds { K::Output };
    QTest::newRow("readme not UTF-8")
        << config + TestPackage::Files { { "upgrade/readme.txt", "\xff" } } << "out.rcc"
        << Kinds { K::Readme };
    QTest::newRow("letter case only") << config
            + TestPackage::Files { { "upgrade/add/a.txt", "a" }, { "upgrade/add/A.txt", "A" } }
                                      << "out.rcc" << Kinds { K::Name };
    // Every problem in the order found; a refused folder is not looked into.
    QTest::newRow("every problem") << TestPackage::Files {
        { "upgrade/extra/a\u202E.txt", "x" }, { "upgrade/readme.txt", "\xff" },
        { "upgrade/stray.txt", "x" }, { "upgrade/update/a\u202E.txt", "x" }
    } << "" << Kinds { K::Output, K::Descriptor, K::Place, K::Place, K::Name, K::Readme };
}

void tst_PackageSource::problems()
{
    QFETCH(TestPackage::Files, files);
    QFETCH(QString, output);
#ifdef Q_OS_WIN
    if (QString(QTest::currentDataTag()) == "letter case only")
        QSKIP("a Windows file system holds no two names that differ only in letter case");
#endif
    QTemporaryDir tmp;
    QVERIFY(TestPackage::writeTree(tmp.filePath("src"), files));
    const PackageSource::Result result = PackageSource::check(
        tmp.filePath("src"), output.isEmpty() ? output : tmp.filePath(output));
    QFETCH(Kinds, kinds);
    Kinds found;
    QStringList texts;
    for (const PackageSource::Problem &problem : result.problems) {
        found.append(problem.kind);
        texts.append(problem.text);
    }
    QVERIFY2(found == kinds, qPrintable(texts.join(" | ")));
}

void tst_PackageSource::writtenPackage_data()
{
    QTest::addColumn<QString>("change"); // of the package or of the sizes listed
    QTest::addColumn<QString>("problem"); // part of the problem; empty: none
    QTest::newRow("as written") << ""
                                << "";
    QTest::newRow("a file not listed") << "unlisted"
                                       << "holds upgrade/add/a.txt, which is not in the tree";
    QTest::newRow("another size listed")
        << "size"
        << "upgrade/add/a.txt has 5 bytes in the package but 6 in the tree";
    QTest::newRow("a listed file not written") << "missing"
                                               << "upgrade/add/b.txt is missing from the package";
    QTest::newRow("a byte changed") << "content"
                                    << "does not match its manifest (did a file change while the "
                                       "package was built?): add/a.txt: content does not match";
    QTest::newRow("cut in half") << "cut"
                                 << "the written package fails the structural check: ";
    QTest::newRow("empty") << "empty"
                           << "the package would be 0 bytes";
}

// A written package is read back as the installer loads it, under a map root
// of its own: the installer's package, registered meanwhile, is not seen.
void tst_PackageSource::writtenPackage()
{
    QFETCH(QString, change);
    QFETCH(QString, problem);
    QTemporaryDir tmp;
    QString error;
    const QString installers = TestPackage::build(tmp.path(),
        { { "upgrade/upgrade_config.xml", goodDescriptor }, { "upgrade/add/other.txt", "x" } },
        &error);
    QVERIFY2(!installers.isEmpty(), qPrintable(error));
    LoadedPackage installer;
    QCOMPARE(installer.load(installers), LoadedPackage::Result::Registered);

    QVERIFY(TestPackage::writeTree(tmp.filePath("src"),
        { { "upgrade/upgrade_config.xml", goodDescriptor }, { "upgrade/add/a.txt", "abcde" } }));
    const PackageSource::Result source
        = PackageSource::check(tmp.filePath("src"), tmp.filePath("out.rcc"));
    PackageWriter::Written written;
    QVERIFY(QDir().mkpath(tmp.filePath("work")));
    QVERIFY2(
        PackageWriter::write(source, tmp.filePath("work"), &written, &error), qPrintable(error));
    QFile file(written.path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    file.close();
    if (change == "unlisted")
        written.sizes.remove("upgrade/add/a.txt");
    if (change == "size")
        written.sizes["upgrade/add/a.txt"] = 6;
    if (change == "missing")
        written.sizes["upgrade/add/b.txt"] = 1;
    if (change == "content")
        bytes.replace("abcde", "abcdE");
    if (change == "cut")
        bytes.truncate(bytes.size() / 2);
    if (change == "empty")
        bytes.clear();
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    const QString found = BuiltPackageCheck::problem(written.path, written.sizes);
    QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.contains(problem), qPrintable(found));
}

QTEST_GUILESS_MAIN(tst_PackageSource)
#include "tst_packagesource.moc"
