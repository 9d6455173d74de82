#include <QtTest>

#include "VersionText.h"

Q_DECLARE_METATYPE(VersionVerdict)

class tst_VersionText : public QObject
{
    Q_OBJECT
private slots:
    void judge_data();
    void judge();
};

void tst_VersionText::judge_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("type");
    QTest::addColumn<VersionVerdict>("verdict");

    const auto fits = VersionVerdict::Fits;
    const auto below = VersionVerdict::BelowRange;
    const auto above = VersionVerdict::AboveRange;

    QTest::newRow("inside range") << "2.1.5"
                                  << "2.1.3"
                                  << "2.1.9" << 0 << fits;
    QTest::newRow("below lower bound") << "2.1.5"
                                       << "2.1.6"
                                       << "2.1.9" << 0 << below;
    QTest::newRow("third part is a number, not text") << "2.1.10"
                                                      << "2.1.9"
                                                      << "2.1.12" << 1 << fits;
    QTest::newRow("beta suffix ignored") << "2.1.5-beta"
                                         << "2.1.3"
                                         << "2.1.9" << 0 << fits;
    QTest::newRow("suffix on the bound ignored") << "2.1.9"
                                                 << "2.1.3"
                                                 << "2.1.9-rc1" << 0 << fits;
    QTest::newRow("four parts: fourth ignored") << "2.1.5.7"
                                                << "2.1.3"
                                                << "2.1.5" << 0 << fits;
    QTest::newRow("second part compared as text") << "2.01.5"
                                                  << "2.1.3"
                                                  << "2.1.9" << 0 << below;
    QTest::newRow("equal to the upper bound") << "2.1.9"
                                              << "2.1.3"
                                              << "2.1.9" << 0 << fits;
    QTest::newRow("equal to the lower bound") << "2.1.3"
                                              << "2.1.3"
                                              << "2.1.9" << 0 << fits;
    QTest::newRow("above the upper bound") << "2.1.10"
                                           << "2.1.3"
                                           << "2.1.9" << 0 << above;
    QTest::newRow("bounds in two series accept nothing") << "2.1.5"
                                                         << "2.1.3"
                                                         << "2.2.0" << 0 << above;
    QTest::newRow("other series below") << "2.2.5"
                                        << "2.1.3"
                                        << "2.1.9" << 0 << below;
    QTest::newRow("non-numeric third part counts as 0") << "2.1.x"
                                                        << "2.1.0"
                                                        << "2.1.3" << 0 << fits;
    QTest::newRow("non-numeric third part below 1") << "2.1.x"
                                                    << "2.1.1"
                                                    << "2.1.3" << 0 << below;
    QTest::newRow("empty parts count as parts") << "2..5"
                                                << "2..1"
                                                << "2..9" << 0 << fits;
    QTest::newRow("two parts") << "2.1"
                               << "2.1.3"
                               << "2.1.9" << 0 << VersionVerdict::BadInstalledVersion;
    QTest::newRow("empty installed") << ""
                                     << "2.1.3"
                                     << "2.1.9" << 0 << VersionVerdict::BadInstalledVersion;
    QTest::newRow("dash before the third part")
        << "2.1-5.3"
        << "2.1.3"
        << "2.1.9" << 0 << VersionVerdict::BadInstalledVersion;
    QTest::newRow("bad from version") << "2.1.5"
                                      << "2.1"
                                      << "2.1.9" << 0 << VersionVerdict::BadFromVersion;
    QTest::newRow("bad to version") << "2.1.5"
                                    << "2.1.3"
                                    << "" << 0 << VersionVerdict::BadToVersion;
    QTest::newRow("installed checked before the bounds")
        << "2"
        << "x"
        << "y" << 0 << VersionVerdict::BadInstalledVersion;
    QTest::newRow("type 1 accepted") << "2.1.5"
                                     << "2.1.3"
                                     << "2.1.9" << 1 << fits;
    QTest::newRow("type 2 refused") << "2.1.5"
                                    << "2.1.3"
                                    << "2.1.9" << 2 << VersionVerdict::UnknownUpgradeType;
    QTest::newRow("no type refused") << "2.1.5"
                                     << "2.1.3"
                                     << "2.1.9" << -1 << VersionVerdict::UnknownUpgradeType;
    QTest::newRow("range checked before type") << "2.1.1"
                                               << "2.1.3"
                                               << "2.1.9" << 5 << below;
    QTest::newRow("huge third part") << "2.1.99999999999"
                                     << "2.1.3"
                                     << "2.1.100000000000" << 0 << fits;
}

void tst_VersionText::judge()
{
    QFETCH(QString, installed);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(int, type);
    QTEST(judgeVersion(installed, from, to, type), "verdict");
}

QTEST_GUILESS_MAIN(tst_VersionText)
#include "tst_versiontext.moc"
