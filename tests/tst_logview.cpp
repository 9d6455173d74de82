#include <QtTest>

#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTextBlock>
#include <QTextEdit>

#include "LogView.h"
#include "MainWindow.h"

// The window's log: lines from the worker are appended in batches, and the
// view must end exactly as if each line had been appended on its own with
// QTextEdit::append (one paragraph each, in order, rich text taken as rich
// text), and be complete whenever "继续" can be seen.
class tst_LogView : public QObject
{
    Q_OBJECT

private slots:
    void sameAsAppendingEachLine_data();
    void sameAsAppendingEachLine();
    void eventLoopRunsBetweenBatches();
    void viewFollowsTheEndUnlessScrolledAway();
    void drainsAndLoadsOnlyItsOwnImages();
};

namespace {

QTextEdit *logOf(MainWindow &window)
{
    return window.findChild<QTextEdit *>(QStringLiteral("textEdit"));
}

// The window during an upgrade: progress page shown, "继续" hidden.
void showProgressPage(MainWindow &window)
{
    window.resize(900, 600);
    window.show();
    window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->setCurrentIndex(1);
    window.slotNextShow(false);
}

// Runs a function whenever a widget gets a given event.
class EventWatch : public QObject
{
public:
    EventWatch(QObject *watched, QEvent::Type type, std::function<void()> seen)
        : type(type)
        , seen(std::move(seen))
    {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == type)
            seen();
        return false;
    }

private:
    QEvent::Type type;
    std::function<void()> seen;
};

QStringList paragraphs(QTextDocument *document)
{
    QStringList result;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        result << block.text();
    return result;
}

} // namespace

void tst_LogView::sameAsAppendingEachLine_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>(
        "atContinue"); // checked when "继续" appears, else once the timer has run

    const QStringList plain { QStringLiteral("开始拷贝升级包信息"),
        QStringLiteral("正在更新文件:C:/suite/a.dll"),
        QStringLiteral("更新文件:C:/suite/a.dll成功") };
    // Qt::mightBeRichText looks at the first tag of the first line.
    const QStringList richText { QStringLiteral("<b>粗体</b>"), QStringLiteral("plain"),
        QStringLiteral("<font color=\"red\">红色</font> and more"), QStringLiteral("a <i>b</i>"),
        QStringLiteral("x &lt; y"), QStringLiteral("1 < 2 > 0"), QStringLiteral("<unknowntag>x"),
        QStringLiteral("<ul><li>one</li><li>two</li></ul>"), QStringLiteral("after the list") };
    // The first paragraph's format is what append gives every later one.
    const QStringList headingFirst { QStringLiteral("<h1>标题</h1>"), QStringLiteral("plain"),
        QStringLiteral("<p align=\"center\">centred</p>"), QStringLiteral("plain again") };
    const QStringList emptyLines { QString(), QString(), QStringLiteral("first text"), QString(),
        QStringLiteral("after an empty line") };
    const QStringList lineBreaks { QStringLiteral("one\ntwo"), QStringLiteral("three"),
        QStringLiteral("<b>four</b>\nfive") };
    QStringList many;
    for (int i = 0; i < 6000; ++i)
        many << (i % 1000 == 7 ? QStringLiteral("<b>%1</b>").arg(i)
                               : QStringLiteral("正在更新文件:C:/suite/top_%1.dat").arg(i));

    for (const bool atContinue : { false, true }) {
        const char *when = atContinue ? "at 继续" : "by the timer";
        QTest::addRow("plain lines, %s", when) << plain << atContinue;
        QTest::addRow("rich text lines, %s", when) << richText << atContinue;
        QTest::addRow("heading first, %s", when) << headingFirst << atContinue;
        QTest::addRow("empty lines, %s", when) << emptyLines << atContinue;
        QTest::addRow("line breaks inside a line, %s", when) << lineBreaks << atContinue;
        QTest::addRow("6000 lines in several batches, %s", when) << many << atContinue;
    }
}

void tst_LogView::sameAsAppendingEachLine()
{
    QFETCH(QStringList, lines);
    QFETCH(bool, atContinue);

    // The reference: an identical window whose log gets each line through
    // QTextEdit::append, as the window did before batching.
    MainWindow reference;
    showProgressPage(reference);
    for (const QString &line : lines)
        logOf(reference)->append(line);

    MainWindow window;
    showProgressPage(window);
    QTextDocument *document = logOf(window)->document();
    if (atContinue) {
        // Every time "继续" is drawn, the log must hold every line.
        auto *next = window.findChild<QPushButton *>(QStringLiteral("pushButton_10"));
        QVector<int> shownWithContinue;
        EventWatch watch(next, QEvent::Paint, [&] { shownWithContinue << document->blockCount(); });
        for (const QString &line : lines)
            window.addMsg(line);
        // The worker's end, before the view could take a single batch.
        window.slotSuccessClearEnd();
        QTRY_VERIFY(next->isVisible());
        const int complete = paragraphs(logOf(reference)->document()).size();
        QCOMPARE(document->blockCount(), complete);
        QTRY_VERIFY(!shownWithContinue.isEmpty());
        QCOMPARE(shownWithContinue, QVector<int>(shownWithContinue.size(), complete));
    } else {
        // Lines arrive while earlier batches are being appended.
        for (int i = 0; i < lines.size(); ++i) {
            window.addMsg(lines.at(i));
            if (i % 1500 == 1499)
                QTest::qWait(40);
        }
        const QStringList expected = paragraphs(logOf(reference)->document());
        QTRY_COMPARE_WITH_TIMEOUT(paragraphs(document), expected, 20000);
    }
    QCOMPARE(paragraphs(document), paragraphs(logOf(reference)->document()));
    QCOMPARE(document->toHtml(), logOf(reference)->document()->toHtml());
}

void tst_LogView::eventLoopRunsBetweenBatches()
{
    MainWindow window;
    showProgressPage(window);
    QTextDocument *document = logOf(window)->document();
    const int count = 30000;
    for (int i = 0; i < count; ++i)
        window.addMsg(QStringLiteral("正在更新文件:C:/suite/top_%1.dat").arg(i));

    // A timer of the event loop records how far the log was each time it ran.
    QList<int> seen;
    QTimer probe;
    probe.setInterval(1);
    connect(&probe, &QTimer::timeout, this, [&] { seen << document->blockCount(); });
    probe.start();
    QTRY_COMPARE_WITH_TIMEOUT(document->blockCount(), count, 30000);
    probe.stop();
    bool midway = false;
    for (int blocks : seen)
        midway = midway || (blocks > 1 && blocks < count);
    QVERIFY2(midway, "the whole log was appended without the event loop running in between");
    QCOMPARE(paragraphs(document).last(),
        QStringLiteral("正在更新文件:C:/suite/top_%1.dat").arg(count - 1));
}

void tst_LogView::viewFollowsTheEndUnlessScrolledAway()
{
    MainWindow window;
    showProgressPage(window);
    QTextEdit *log = logOf(window);
    QScrollBar *bar = log->verticalScrollBar();
    for (int i = 0; i < 3000; ++i)
        window.addMsg(QStringLiteral("line %1").arg(i));
    QTRY_COMPARE(log->document()->blockCount(), 3000);
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());

    // Scrolled back by the operator: new lines leave the view where it is.
    bar->setValue(bar->maximum() / 2);
    const int kept = bar->value();
    for (int i = 0; i < 3000; ++i)
        window.addMsg(QStringLiteral("more %1").arg(i));
    QTRY_COMPARE(log->document()->blockCount(), 6000);
    QCOMPARE(bar->value(), kept);

    // Back at the end: it follows again.
    bar->setValue(bar->maximum());
    window.addMsg(QStringLiteral("last"));
    QTRY_COMPARE(log->document()->blockCount(), 6001);
    QCOMPARE(bar->value(), bar->maximum());
}

// The log view on its own: it says when it has drained, and a line's markup
// never makes it read a file from outside the program.
void tst_LogView::drainsAndLoadsOnlyItsOwnImages()
{
    QTemporaryDir tmp;
    const QString outside = tmp.filePath("outside.png");
    QImage(5, 7, QImage::Format_RGB32).save(outside);
    LogView log;
    QSignalSpy drained(&log, &LogView::drained);
    log.appendLine(QStringLiteral("<img src=\"%1\">").arg(outside));
    log.appendLine(QStringLiteral("<img src=\":/res/升级_成功.png\">"));
    QVERIFY(log.hasPending());
    QTRY_COMPARE(drained.count(), 1);
    QVERIFY(!log.hasPending());
    QCOMPARE(log.document()->blockCount(), 2);
    QTextDocument *document = log.document();
    const auto image = [document](const QString &name) {
        return document->resource(QTextDocument::ImageResource, QUrl(name)).value<QImage>().size();
    };
    QVERIFY(image(outside) != QSize(5, 7));
    QCOMPARE(image(":/res/升级_成功.png"), QSize(121, 120));
}

QTEST_MAIN(tst_LogView)
#include "tst_logview.moc"
