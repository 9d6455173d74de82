#include <QApplication>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include "CReadmeDialog.h"
#include "MainWindow.h"

#include "support/TestPackage.h"

namespace {

// Builds dir/name holding the given readme (none when readme is null).
QString buildPackage(const QString &dir, const QString &name, const QByteArray &readme)
{
    TestPackage::Files files { { "upgrade/upgrade_config.xml",
        TestPackage::descriptor(7, "2.1.0", "2.1.5") } };
    if (!readme.isNull())
        files.append({ "upgrade/readme.txt", readme });
    QString error;
    const QString path = TestPackage::build(dir, files, &error, name);
    if (path.isEmpty())
        qWarning("package not built: %s", qPrintable(error));
    return path;
}

QStringList paragraphsOf(QWidget *dialog)
{
    QStringList texts;
    const auto *edit = dialog->findChild<QTextEdit *>("readmeTextEdit");
    for (QTextBlock block = edit->document()->begin(); block.isValid(); block = block.next())
        texts.append(block.text());
    return texts;
}

} // namespace

// The package details dialog: its title and the readme it shows.
class tst_ReadmeDialog : public QObject
{
    Q_OBJECT
private slots:
    void paragraphs_data();
    void paragraphs();
    void readsAfreshOnEveryOpening();
    void detailsButtonOpensDialog();
    void closeButtonCloses();
};

void tst_ReadmeDialog::paragraphs_data()
{
    QTest::addColumn<QByteArray>("readme"); // null: no readme in the package
    QTest::addColumn<bool>("registered");
    QTest::addColumn<QStringList>("expected");
    const QStringList abc { "第一行", "second line", "第三行 third" };
    QTest::newRow("three lines, three paragraphs")
        << QByteArray("第一行\nsecond line\n第三行 third\n") << true << abc;
    QTest::newRow("no final line end")
        << QByteArray("第一行\nsecond line\n第三行 third") << true << abc;
    QTest::newRow("CRLF") << QByteArray("第一行\r\nsecond line\r\n第三行 third\r\n") << true << abc;
    QTest::newRow("byte-order mark is not text")
        << QByteArray("\xEF\xBB\xBF第一行\nsecond line\n第三行 third\n") << true << abc;
    QTest::newRow("empty line in the middle kept")
        << QByteArray("a\n\nc\n") << true << QStringList { "a", "", "c" };
    QTest::newRow("invalid bytes become replacement characters")
        << QByteArray("ok \xFF\xFE end\n\xE4\xB8\xAD\xE6\x96\x87 \xC3(\n") << true
        << QStringList { "ok \uFFFD\uFFFD end", "中文 \uFFFD(" };
    QTest::newRow("sequence cut off at the end of the file, one mark per byte")
        << QByteArray("abc\xE4\xB8") << true << QStringList { "abc\uFFFD\uFFFD" };
    // Markup is text: shown as written, nothing loaded from where it points.
    QTest::newRow("markup shown as written")
        << QByteArray("<img src=\"/no/such/image.png\">\n<b>bold</b> &amp; <a href=x>x</a>\n"
                      "  indented  twice\n")
        << true
        << QStringList { "<img src=\"/no/such/image.png\">", "<b>bold</b> &amp; <a href=x>x</a>",
               "  indented  twice" };
    // A document always has one, empty block.
    QTest::newRow("empty readme") << QByteArray("") << true << QStringList { "" };
    QTest::newRow("package without readme") << QByteArray() << true << QStringList { "" };
    QTest::newRow("no package registered") << QByteArray() << false << QStringList { "" };
}

void tst_ReadmeDialog::paragraphs()
{
    QFETCH(QByteArray, readme);
    QFETCH(bool, registered);
    QTemporaryDir tmp;
    const QString package = buildPackage(tmp.path(), "p.rcc", readme);
    QVERIFY(!package.isEmpty());
    QVERIFY(!registered || QResource::registerResource(package));

    CReadmeDialog dialog("p");
    QTEST(paragraphsOf(&dialog), "expected");
    QCOMPARE(dialog.windowTitle(), QStringLiteral("p 详情"));
    QVERIFY(dialog.findChild<QTextEdit *>("readmeTextEdit")->isReadOnly());
    QVERIFY(!registered || QResource::unregisterResource(package));
}

void tst_ReadmeDialog::readsAfreshOnEveryOpening()
{
    QTemporaryDir tmp;
    const QString first = buildPackage(tmp.path(), "first.rcc", "first readme\n");
    const QString second = buildPackage(tmp.path(), "second.rcc", "second\nreadme\n");
    const auto open = [](const QString &name) {
        CReadmeDialog dialog(name);
        return paragraphsOf(&dialog);
    };
    QVERIFY(QResource::registerResource(first));
    QCOMPARE(open("first"), QStringList { "first readme" });
    QCOMPARE(open("first"), QStringList { "first readme" });
    QVERIFY(QResource::unregisterResource(first));
    QVERIFY(QResource::registerResource(second));
    QCOMPARE(open("first"), (QStringList { "second", "readme" }));
    QVERIFY(QResource::unregisterResource(second));
}

// Through the window: "详情" opens the dialog modally over the window, titled
// with the package's name up to its first dot, showing the loaded package's
// readme; a newly chosen package shows its own.
void tst_ReadmeDialog::detailsButtonOpensDialog()
{
    QTemporaryDir tmp;
    const QString first
        = buildPackage(tmp.path(), "suite.v2.1.5.final.rcc", "line one\nline two\n");
    const QString second = buildPackage(tmp.path(), "other.rcc", "other\n");
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *details = window.findChild<QPushButton *>("pDetails");

    // Clicks "详情", reads the dialog while exec() runs, then closes it.
    const auto openDetails = [&] {
        QStringList seen;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto *dialog = qobject_cast<CReadmeDialog *>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible())
                return;
            poll.stop();
            seen << dialog->windowTitle()
                 << (dialog->isModal() && dialog->parentWidget() == &window
                            ? "modal on the window"
                            : "not modal on the window")
                 << paragraphsOf(dialog);
            dialog->reject();
        });
        poll.start(10);
        // Never leave a modal dialog hanging if the poll didn't find it.
        QTimer::singleShot(10000, &window, [] {
            if (QWidget *modal = QApplication::activeModalWidget())
                modal->close();
        });
        details->click();
        return seen;
    };

    window.loadPackage(first);
    QVERIFY(details->isEnabled());
    QCOMPARE(openDetails(),
        (QStringList { "suite 详情", "modal on the window", "line one", "line two" }));
    window.loadPackage(second);
    QCOMPARE(openDetails(), (QStringList { "other 详情", "modal on the window", "other" }));
}

void tst_ReadmeDialog::closeButtonCloses()
{
    CReadmeDialog dialog("p");
    dialog.show();
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    dialog.findChild<QPushButton *>("pClose")->click();
    QCOMPARE(rejected.count(), 1);
    QVERIFY(!dialog.isVisible());
}

QTEST_MAIN(tst_ReadmeDialog)
#include "tst_readmedialog.moc"
