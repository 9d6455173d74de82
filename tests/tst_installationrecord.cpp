#include <QtTest>

#include "InstallationRecord.h"
#include "PackageDescriptor.h"
#include "RecordLayout.h"

using RecordLayout::ReadResult;
Q_DECLARE_METATYPE(ReadResult)

namespace {

QByteArray wrap(const QByteArray &entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n<module>\n" + entries
        + "</module>\n</root>\n";
}

// The record's fields as "id|nameZh|version|isMain|isDb|mainPath".
QString fields(const InstallationRecord &r)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6")
        .arg(r.productId)
        .arg(r.nameZh, r.version)
        .arg(r.isMain)
        .arg(r.isDb)
        .arg(r.mainPath);
}

} // namespace

// Reading the installation record and the package descriptor.
class tst_InstallationRecord : public QObject
{
    Q_OBJECT
private slots:
    void readRecord_data();
    void readRecord();
    void fileErrors();
    void declaredEncoding();
    void descriptorKeys();
};

void tst_InstallationRecord::readRecord_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<ReadResult>("result");
    QTest::addColumn<QString>("fields");
    const QString empty = "-1|||0|0|";

    QTest::newRow("all keys") << wrap(
        "<item key=\"software_product_id\" value=\"7\"/><item key=\"software_name_zh\" "
        "value=\"测试套件\"/>"
        "<item key=\"software_name_en\" value=\"Suite\"/><item key=\"software_version\" "
        "value=\"2.1.5\"/>"
        "<item key=\"isMain\" value=\"1\"/><item key=\"isDb\" value=\"1\"/>"
        "<item key=\"isWeb\" value=\"0\"/><item key=\"MainPath\" value=\"D:/Suite\"/>")
                              << ReadResult::Ok << "7|测试套件|2.1.5|1|1|D:/Suite";
    QTest::newRow("root name differs in case")
        << QByteArray("<Root><module><e key=\"software_product_id\" value=\"7\"/></module></Root>")
        << ReadResult::WrongRoot << empty;
    QTest::newRow("comment before module gives an empty record") << QByteArray(
        "<root><!-- note --><module><e key=\"software_product_id\" value=\"7\"/></module></root>")
                                                                 << ReadResult::Ok << empty;
    QTest::newRow("another element first gives an empty record")
        << QByteArray("<root><info/><module><e key=\"isMain\" value=\"1\"/></module></root>")
        << ReadResult::Ok << empty;
    QTest::newRow("whitespace before module is no node")
        << QByteArray("<root>\n   \n<module><e key=\"isMain\" value=\"1\"/></module></root>")
        << ReadResult::Ok << "-1|||1|0|";
    QTest::newRow("only the first module counts") << QByteArray(
        "<root><module><e key=\"isDb\" value=\"1\"/></module><module><e key=\"isMain\" "
        "value=\"1\"/>"
        "</module></root>") << ReadResult::Ok << "-1|||0|1|";
    QTest::newRow("entries of any tag name, one without key skipped") << wrap(
        "<anything key=\"software_version\" value=\"1.0.0\"/><entry value=\"9.9.9\"/>"
        "<x key=\"MainPath\" value=\"/opt/s\"/>") << ReadResult::Ok << "-1||1.0.0|0|0|/opt/s";
    QTest::newRow("later duplicate wins") << wrap("<e key=\"software_version\" value=\"1.0.0\"/><e "
                                                  "key=\"software_version\" value=\"1.0.1\"/>")
                                          << ReadResult::Ok << "-1||1.0.1|0|0|";
    QTest::newRow("non-integers give 0")
        << wrap("<e key=\"software_product_id\" value=\"12a\"/><e key=\"isMain\" value=\"2\"/><e "
                "key=\"isDb\" value=\"yes\"/>")
        << ReadResult::Ok << "0|||2|0|";
    QTest::newRow("missing value gives empty or 0")
        << wrap("<e key=\"software_product_id\"/><e key=\"software_name_zh\"/><e key=\"isMain\"/>")
        << ReadResult::Ok << "0|||0|0|";
    QTest::newRow("keys are matched with their case")
        << wrap("<e key=\"mainpath\" value=\"/x\"/><e key=\"ISMAIN\" value=\"1\"/>")
        << ReadResult::Ok << empty;
    QTest::newRow("non-element children of module skipped")
        << wrap("text<!-- c --><e key=\"isMain\" value=\"1\"/>") << ReadResult::Ok << "-1|||1|0|";
    QTest::newRow("malformed") << QByteArray("<root><module>") << ReadResult::ParseError << empty;
    QTest::newRow("binary") << QByteArray("\x00\x01\xff\xfe garbage", 13) << ReadResult::ParseError
                            << empty;
    QTest::newRow("empty") << QByteArray() << ReadResult::ParseError << empty;
}

void tst_InstallationRecord::readRecord()
{
    QFETCH(QByteArray, xml);
    QFETCH(ReadResult, result);
    QBuffer buffer(&xml);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    RecordLayout::Entries entries;
    QCOMPARE(RecordLayout::readDevice(&buffer, &entries), result);
    InstallationRecord record;
    if (result == ReadResult::Ok)
        record.apply(entries);
    QTEST(fields(record), "fields");
}

// A missing file, and a folder where the file is expected (even root can't read it).
void tst_InstallationRecord::fileErrors()
{
    QTemporaryDir dir;
    RecordLayout::Entries entries;
    QCOMPARE(RecordLayout::readFile(dir.filePath("missing.xml"), &entries), ReadResult::CannotOpen);
    QCOMPARE(RecordLayout::readFile(dir.path(), &entries), ReadResult::CannotOpen);
}

void tst_InstallationRecord::declaredEncoding()
{
    QTemporaryDir dir;
    QFile file(dir.filePath("setup_config.xml"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    // "测试" in GB18030 is B2 E2 CA D4.
    file.write("<?xml version=\"1.0\" encoding=\"GB18030\"?><root><module>"
               "<e key=\"software_name_zh\" value=\"\xb2\xe2\xca\xd4\"/></module></root>");
    file.close();
    RecordLayout::Entries entries;
    QCOMPARE(RecordLayout::readFile(file.fileName(), &entries), ReadResult::Ok);
    InstallationRecord record;
    record.apply(entries);
    QCOMPARE(record.nameZh, QStringLiteral("测试"));
}

// A fresh descriptor has no product and no type; a non-integer flag gives 0.
void tst_InstallationRecord::descriptorKeys()
{
    QByteArray xml = wrap(
        "<e key=\"upgrade_type\" value=\"1\"/><e key=\"software_product_id\" value=\"7\"/>"
        "<e key=\"software_version_from\" value=\"2.1.3\"/>"
        "<e key=\"software_version_to\" value=\"2.1.9\"/><e key=\"if_upgrade_db\" value=\"x\"/>"
        "<e key=\"exe_path\" value=\"bin\"/>");
    QBuffer buffer(&xml);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    RecordLayout::Entries entries;
    QCOMPARE(RecordLayout::readDevice(&buffer, &entries), ReadResult::Ok);
    PackageDescriptor package;
    const auto all = [&package] {
        return QStringLiteral("%1|%2|%3|%4|%5|%6")
            .arg(package.upgradeType)
            .arg(package.productId)
            .arg(package.versionFrom, package.versionTo)
            .arg(package.ifUpgradeDb)
            .arg(package.exePath);
    };
    QCOMPARE(all(), QStringLiteral("-1|-1|||0|"));
    package.apply(entries);
    QCOMPARE(all(), QStringLiteral("1|7|2.1.3|2.1.9|0|bin"));
}

QTEST_GUILESS_MAIN(tst_InstallationRecord)
#include "tst_installationrecord.moc"
