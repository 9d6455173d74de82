#include <QApplication>
#include <QGridLayout>
#include <QPushButton>
#include <QResource>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include "CReadmeDialog.h"
#include "MainWindow.h"

#include "support/TestPackage.h"

// The package details dialog: its form, its title and the readme it shows.
class tst_ReadmeDialog : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();

    void form();
    void paragraphs_data();
    void paragraphs();
    void withoutReadme_data();
    void withoutReadme();
    void title_data();
    void title();
    void readsAfreshOnEveryOpening();
    void detailsButtonOpensDialog_data();
    void detailsButtonOpensDialog();

private:
    // Builds a package holding the given readme (none when readme is null)
    // into dir and registers it; the path is remembered for cleanup().
    bool registerPackage(
        const QString &dir, const QString &name, const QByteArray &readme, bool withReadme = true);
    static QString buildPackage(const QString &dir, const QString &name, const QByteArray &readme,
        bool withReadme, QString *error);
    static QTextEdit *textEdit(QWidget *dialog);
    static QStringList paragraphsOf(QTextEdit *edit);

    QStringList registered;
};

QString tst_ReadmeDialog::buildPackage(const QString &dir, const QString &name,
    const QByteArray &readme, bool withReadme, QString *error)
{
    TestPackage::Files files {
        { QStringLiteral("upgrade/upgrade_config.xml"),
            TestPackage::descriptor(7, "2.1.0", "2.1.5") },
        { QStringLiteral("upgrade/update/"), {} },
    };
    if (withReadme)
        files.append({ QStringLiteral("upgrade/readme.txt"), readme });
    return TestPackage::build(dir, files, error, name);
}

bool tst_ReadmeDialog::registerPackage(
    const QString &dir, const QString &name, const QByteArray &readme, bool withReadme)
{
    QString error;
    const QString path = buildPackage(dir, name, readme, withReadme, &error);
    if (path.isEmpty()) {
        qWarning("package not built: %s", qPrintable(error));
        return false;
    }
    if (!QResource::registerResource(path))
        return false;
    registered.append(path);
    return true;
}

void tst_ReadmeDialog::cleanup()
{
    for (const QString &path : qAsConst(registered))
        QResource::unregisterResource(path);
    registered.clear();
    QVERIFY(!QFile::exists(QStringLiteral(":/upgrade/readme.txt")));
}

QTextEdit *tst_ReadmeDialog::textEdit(QWidget *dialog)
{
    return dialog->findChild<QTextEdit *>(QStringLiteral("readmeTextEdit"));
}

QStringList tst_ReadmeDialog::paragraphsOf(QTextEdit *edit)
{
    QStringList texts;
    for (QTextBlock block = edit->document()->begin(); block.isValid(); block = block.next())
        texts.append(block.text());
    return texts;
}

void tst_ReadmeDialog::form()
{
    CReadmeDialog dialog(QStringLiteral("pkg"));
    QCOMPARE(dialog.objectName(), QStringLiteral("CReadmeDialog"));
    QCOMPARE(dialog.size(), QSize(400, 300));

    auto *outer = qobject_cast<QGridLayout *>(dialog.layout());
    QVERIFY(outer);
    QCOMPARE(outer->objectName(), QStringLiteral("gridLayout"));
    QCOMPARE(outer->contentsMargins(), QMargins(0, 0, 0, 0));
    auto *widget = dialog.findChild<QWidget *>(QStringLiteral("widget"));
    QVERIFY(widget);
    QCOMPARE(outer->itemAtPosition(0, 0)->widget(), widget);
    auto *inner = qobject_cast<QGridLayout *>(widget->layout());
    QVERIFY(inner);
    QCOMPARE(inner->objectName(), QStringLiteral("gridLayout_2"));
    QTextEdit *edit = textEdit(&dialog);
    QVERIFY(edit);
    QCOMPARE(inner->itemAtPosition(0, 0)->widget(), edit);
    QVERIFY(edit->isReadOnly());
}

void tst_ReadmeDialog::paragraphs_data()
{
    QTest::addColumn<QByteArray>("readme");
    QTest::addColumn<QStringList>("expected");
    const QStringList abc { QStringLiteral("第一行"), QStringLiteral("second line"),
        QStringLiteral("第三行 third") };
    QTest::newRow("three lines") << QByteArray("第一行\nsecond line\n第三行 third\n") << abc;
    QTest::newRow("three lines, no final line end")
        << QByteArray("第一行\nsecond line\n第三行 third") << abc;
    QTest::newRow("three lines, CRLF")
        << QByteArray("第一行\r\nsecond line\r\n第三行 third\r\n") << abc;
    QTest::newRow("byte-order mark is not text")
        << QByteArray("\xEF\xBB\xBF第一行\nsecond line\n第三行 third\n") << abc;
    QTest::newRow("empty line in the middle kept")
        << QByteArray("a\n\nc\n") << QStringList { "a", "", "c" };
    QTest::newRow("single line") << QByteArray("only") << QStringList { "only" };
    QTest::newRow("invalid bytes become replacement characters")
        << QByteArray("ok \xFF\xFE end\n\xE4\xB8\xAD\xE6\x96\x87 \xC3(\n")
        << QStringList { QStringLiteral("ok \uFFFD\uFFFD end"), QStringLiteral("中文 \uFFFD(") };
    QTest::newRow("sequence cut off at the end of the file") << QByteArray(
        "abc\xE4\xB8") << QStringList { QStringLiteral("abc\uFFFD\uFFFD") }; // one per byte
    QTest::newRow("lone continuation byte")
        << QByteArray("a\x80z\n") << QStringList { QStringLiteral("a\uFFFDz") };
}

void tst_ReadmeDialog::paragraphs()
{
    QFETCH(QByteArray, readme);
    QFETCH(QStringList, expected);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(registerPackage(tmp.path(), QStringLiteral("p.rcc"), readme));

    CReadmeDialog dialog(QStringLiteral("p"));
    QTextEdit *edit = textEdit(&dialog);
    QVERIFY(edit);
    QCOMPARE(edit->document()->blockCount(), expected.size());
    QCOMPARE(paragraphsOf(edit), expected);
}

void tst_ReadmeDialog::withoutReadme_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("empty readme") << QStringLiteral("empty");
    QTest::newRow("package without readme") << QStringLiteral("missing");
    QTest::newRow("no package registered") << QStringLiteral("none");
}

void tst_ReadmeDialog::withoutReadme()
{
    QFETCH(QString, situation);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    if (situation != QLatin1String("none"))
        QVERIFY(registerPackage(tmp.path(), QStringLiteral("p.rcc"), QByteArray(),
            situation == QLatin1String("empty")));

    CReadmeDialog dialog(QStringLiteral("p"));
    QTextEdit *edit = textEdit(&dialog);
    QVERIFY(edit);
    QVERIFY(edit->isReadOnly());
    QCOMPARE(edit->toPlainText(), QString());
    QCOMPARE(edit->document()->blockCount(), 1); // a document always has one, empty block
    QCOMPARE(dialog.windowTitle(), QStringLiteral("p 详情"));
}

void tst_ReadmeDialog::title_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("title");
    QTest::newRow("plain") << QStringLiteral("upgrade") << QStringLiteral("upgrade 详情");
    QTest::newRow("chinese") << QStringLiteral("升级包") << QStringLiteral("升级包 详情");
    QTest::newRow("percent sign kept") << QStringLiteral("a%1b") << QStringLiteral("a%1b 详情");
    QTest::newRow("empty name") << QString() << QStringLiteral(" 详情");
}

void tst_ReadmeDialog::title()
{
    QFETCH(QString, name);
    QFETCH(QString, title);
    CReadmeDialog dialog(name);
    QCOMPARE(dialog.windowTitle(), title);
}

void tst_ReadmeDialog::readsAfreshOnEveryOpening()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(registerPackage(tmp.path(), QStringLiteral("first.rcc"), "first readme\n"));
    {
        CReadmeDialog dialog(QStringLiteral("first"));
        QCOMPARE(paragraphsOf(textEdit(&dialog)), QStringList { "first readme" });
    }
    {
        CReadmeDialog again(QStringLiteral("first"));
        QCOMPARE(paragraphsOf(textEdit(&again)), QStringList { "first readme" });
    }
    QVERIFY(QResource::unregisterResource(registered.takeFirst()));
    QVERIFY(registerPackage(tmp.path(), QStringLiteral("second.rcc"), "second\nreadme\n"));
    CReadmeDialog dialog(QStringLiteral("second"));
    QCOMPARE(paragraphsOf(textEdit(&dialog)), (QStringList { "second", "readme" }));
}

void tst_ReadmeDialog::detailsButtonOpensDialog_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("title");
    QTest::newRow("one dot") << QStringLiteral("suite_upgrade.rcc")
                             << QStringLiteral("suite_upgrade 详情");
    QTest::newRow("several dots") << QStringLiteral("suite.v2.1.5.final.rcc")
                                  << QStringLiteral("suite 详情");
}

// Through the window: the details button opens the dialog modally over the
// window, titled with the package's base name, showing the registered
// package's readme, and a newly chosen package shows its own readme.
void tst_ReadmeDialog::detailsButtonOpensDialog()
{
    QFETCH(QString, fileName);
    QFETCH(QString, title);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QString error;
    const QString first = buildPackage(tmp.path(), fileName, "line one\nline two\n", true, &error);
    QVERIFY2(!first.isEmpty(), qPrintable(error));
    const QString second
        = buildPackage(tmp.path(), QStringLiteral("other.rcc"), "other\n", true, &error);
    QVERIFY2(!second.isEmpty(), qPrintable(error));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *details = window.findChild<QPushButton *>(QStringLiteral("pDetails"));
    QVERIFY(details);

    struct Seen
    {
        bool shown = false;
        bool modal = false;
        QWidget *parent = nullptr;
        QString title;
        QStringList paragraphs;
    };
    // Clicks "详情", reads the dialog while exec() runs, then closes it.
    auto openDetails = [&]() {
        Seen seen;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&]() {
            auto *dialog = qobject_cast<CReadmeDialog *>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible())
                return;
            poll.stop();
            seen.shown = true;
            seen.modal = dialog->isModal();
            seen.parent = dialog->parentWidget();
            seen.title = dialog->windowTitle();
            seen.paragraphs = paragraphsOf(textEdit(dialog));
            dialog->reject();
        });
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, [&]() {
            // Never leave a modal dialog hanging if the poll didn't find it.
            if (QWidget *modal = QApplication::activeModalWidget())
                modal->close();
        });
        poll.start();
        limit.start(10000);
        details->click();
        return seen;
    };

    window.loadPackage(first);
    QVERIFY(details->isEnabled());
    Seen seen = openDetails();
    QVERIFY(seen.shown);
    QVERIFY(seen.modal);
    QCOMPARE(seen.parent, &window);
    QCOMPARE(seen.title, title);
    QCOMPARE(seen.paragraphs, (QStringList { "line one", "line two" }));

    window.loadPackage(second);
    QVERIFY(details->isEnabled());
    seen = openDetails();
    QVERIFY(seen.shown);
    QCOMPARE(seen.title, QStringLiteral("other 详情"));
    QCOMPARE(seen.paragraphs, QStringList { "other" });
}

QTEST_MAIN(tst_ReadmeDialog)
#include "tst_readmedialog.moc"
