#include <QtTest>

#include "CommandLine.h"

// What each command line asks for, and which ones need the window.
class tst_CommandLine : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
};

void tst_CommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("log");
    QTest::addColumn<bool>("flags"); // --backup-first and --dry-run both set
    QTest::addColumn<bool>("window"); // opensWindow()

    const int window = int(CommandLine::Mode::Window),
              unattended = int(CommandLine::Mode::Unattended),
              recover = int(CommandLine::Mode::Recover), help = int(CommandLine::Mode::Help),
              usage = int(CommandLine::Mode::Usage), version = int(CommandLine::Mode::Version);
    QTest::newRow("nothing: the window") << QStringList() << window << ""
                                         << "" << false << true;
    QTest::newRow("a package: the window with it")
        << QStringList { "/p/a b.rcc" } << window << "/p/a b.rcc"
        << "" << false << true;
    QTest::newRow("two packages") << QStringList { "a.rcc", "b.rcc" } << usage << ""
                                  << "" << false << false;
    QTest::newRow("unattended, every option") << QStringList { "--unattended", "--package", "a.rcc",
        "--log=/l.log", "--backup-first", "--dry-run" }
                                              << unattended << "a.rcc"
                                              << "/l.log" << true << false;
    QTest::newRow("unattended, package with =")
        << QStringList { "--package=a.rcc", "--unattended" } << unattended << "a.rcc"
        << "" << false << false;
    QTest::newRow("unattended without package") << QStringList { "--unattended" } << usage << ""
                                                << "" << false << false;
    QTest::newRow("package value missing")
        << QStringList { "--unattended", "--package" } << usage << ""
        << "" << false << false;
    QTest::newRow("package given twice")
        << QStringList { "--unattended", "--package", "a.rcc", "--package=b.rcc" } << usage << ""
        << "" << false << false;
    QTest::newRow("log given twice")
        << QStringList { "--unattended", "--package", "a.rcc", "--log", "a.log", "--log=b.log" }
        << usage << ""
        << "" << false << false;
    QTest::newRow("option as value")
        << QStringList { "--unattended", "--package", "--dry-run" } << usage << ""
        << "" << false << false;
    QTest::newRow("unattended options without --unattended")
        << QStringList { "--package", "a.rcc" } << usage << ""
        << "" << false << false;
    QTest::newRow("unknown option") << QStringList { "--silent" } << usage << ""
                                    << "" << false << false;
    QTest::newRow("flag with a value")
        << QStringList { "--unattended=yes", "--package", "a.rcc" } << usage << ""
        << "" << false << false;
    QTest::newRow("recover") << QStringList { "--recover" } << recover << ""
                             << "" << false << false;
    QTest::newRow("recover with more") << QStringList { "--recover", "--unattended" } << usage << ""
                                       << "" << false << false;
    QTest::newRow("recover with its report options")
        << QStringList { "--recover", "--log", "/l.log", "--result=/r.json", "--quiet" } << recover
        << ""
        << "/l.log" << false << false;
    QTest::newRow("recover with a package")
        << QStringList { "--recover", "--package", "a.rcc" } << usage << ""
        << "" << false << false;
    QTest::newRow("result without a mode") << QStringList { "--result", "r.json" } << usage << ""
                                           << "" << false << false;
    QTest::newRow("closing with a wait") << QStringList { "--unattended", "--package", "a.rcc",
        "--close-programs", "--wait-programs", "0" }
                                         << unattended << "a.rcc"
                                         << "" << false << false;
    QTest::newRow("wait without closing")
        << QStringList { "--unattended", "--package", "a.rcc", "--wait-programs", "5" } << usage
        << ""
        << "" << false << false;
    QTest::newRow("wait not a number") << QStringList { "--unattended", "--package", "a.rcc",
        "--close-programs", "--wait-programs=-3" }
                                       << usage << ""
                                       << "" << false << false;
    QTest::newRow("backup given no time") << QStringList { "--unattended", "--package", "a.rcc",
        "--backup-first", "--backup-timeout=0" }
                                          << usage << ""
                                          << "" << false << false;
    QTest::newRow("backup timeout without backup")
        << QStringList { "--unattended", "--package", "a.rcc", "--backup-timeout", "60" } << usage
        << ""
        << "" << false << false;
    QTest::newRow("version") << QStringList { "--version" } << version << ""
                             << "" << false << false;
    QTest::newRow("help wins") << QStringList { "--unattended", "--help" } << help << ""
                               << "" << false << false;
    QTest::newRow("file named like an option after --")
        << QStringList { "--", "-odd.rcc" } << window << "-odd.rcc"
        << "" << false << true;
}

void tst_CommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, mode);
    QFETCH(QString, package);
    QFETCH(QString, log);
    QFETCH(bool, flags);
    QFETCH(bool, window);

    const CommandLine line = CommandLine::parse(arguments);
    QCOMPARE(int(line.mode), mode);
    QCOMPARE(line.error.isEmpty(), mode != int(CommandLine::Mode::Usage));
    if (mode != int(CommandLine::Mode::Usage)) {
        QCOMPARE(line.package, package);
        QCOMPARE(line.logFile, log);
        QCOMPARE(line.backupFirst && line.dryRun, flags);
    }
    QList<QByteArray> bytes { "upgrade_install" };
    for (const QString &argument : arguments)
        bytes << argument.toLocal8Bit();
    QVector<const char *> argv;
    for (const QByteArray &b : bytes)
        argv << b.constData();
    QCOMPARE(CommandLine::opensWindow(argv.size(), argv.constData()), window);
}

QTEST_APPLESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
