#include <QtTest>

#include "Minisign.h"
#include "PackageImage.h"
#include "PackagePass.h"

// The one read of a package file: every span's SHA-256 and the whole file's
// prehash must be those of the bytes, wherever a span lies against the
// blocks the file is read in (8 MB).
class tst_PackagePass : public QObject
{
    Q_OBJECT

private slots:
    void digestsOfTheBytes_data();
    void digestsOfTheBytes();
    void fileCutShort();
};

namespace {

const qint64 block = qint64(8) << 20;
const qint64 fileSize = 2 * block + 1000;

QByteArray contents()
{
    QByteArray bytes(int(fileSize), Qt::Uninitialized);
    quint32 state = 12345;
    for (char &c : bytes) {
        state = state * 1103515245u + 12345u;
        c = char(state >> 24);
    }
    return bytes;
}

QString writePackageFile(const QTemporaryDir &dir, const QByteArray &bytes)
{
    const QString path = dir.filePath("package.rcc");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

} // namespace

void tst_PackagePass::digestsOfTheBytes_data()
{
    QTest::addColumn<QVector<qint64>>("spans"); // offset, size, offset, size, ...
    QTest::addColumn<bool>("prehash");
    QTest::newRow("one small span") << QVector<qint64> { 100, 10 } << false;
    QTest::newRow("across the first block's end") << QVector<qint64> { block - 5, 10 } << true;
    QTest::newRow("ending at a block's end, then the next")
        << QVector<qint64> { block - 10, 10, block, 10 } << false;
    QTest::newRow("over every block") << QVector<qint64> { 1, fileSize - 1 } << true;
    QTest::newRow("out of order, overlapping, empty")
        << QVector<qint64> { 2 * block, 1000, 10, block, 20, 0, block - 1, 2 } << true;
    QTest::newRow("no spans, the prehash alone") << QVector<qint64> {} << true;
}

void tst_PackagePass::digestsOfTheBytes()
{
    QFETCH(QVector<qint64>, spans);
    QFETCH(bool, prehash);
    QTemporaryDir dir;
    const QByteArray bytes = contents();
    QString reason;
    const auto image = PackageImage::open(writePackageFile(dir, bytes), &reason);
    QVERIFY2(image, qPrintable(reason));
    QVector<PackageManifest::Span> asked;
    for (int i = 0; i + 1 < spans.size(); i += 2)
        asked.append({ spans.at(i), spans.at(i + 1) });
    PackagePass::Digests digests;
    QVERIFY2(PackagePass::run(*image, asked, prehash, &digests, &reason), qPrintable(reason));
    QCOMPARE(digests.spans.size(), asked.size());
    for (int i = 0; i < asked.size(); ++i)
        QCOMPARE(digests.spans.at(i),
            PackageManifest::hashBytes(bytes.constData() + asked.at(i).offset, asked.at(i).size));
    QCOMPARE(digests.prehash,
        prehash ? Minisign::prehash(bytes.constData(), bytes.size()) : QByteArray());
}

void tst_PackagePass::fileCutShort()
{
    QTemporaryDir dir;
    const QString path = writePackageFile(dir, contents());
    QString reason;
    const auto image = PackageImage::open(path, &reason);
    QVERIFY2(image, qPrintable(reason));
#ifdef Q_OS_WIN
    QSKIP("the package is opened without write sharing: it can't be cut short");
#endif
    QVERIFY(QFile::resize(path, block + 10));
    PackagePass::Digests digests;
    QVERIFY(!PackagePass::run(*image, { { block, 100 } }, true, &digests, &reason));
    QVERIFY(!reason.isEmpty());
}

QTEST_GUILESS_MAIN(tst_PackagePass)
#include "tst_packagepass.moc"
