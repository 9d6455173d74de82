#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QtTest>

#include "ApplicationStyle.h"
#include "ElidedLabel.h"
#include "MainWindow.h"

namespace {

// Mean colour of an area, so that stray dots or anti-aliasing don't decide.
QColor meanColour(const QImage &image, const QRect &area)
{
    qint64 r = 0, g = 0, b = 0, n = 0;
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x, ++n) {
            r += qRed(argb.pixel(x, y));
            g += qGreen(argb.pixel(x, y));
            b += qBlue(argb.pixel(x, y));
        }
    }
    return n ? QColor(int(r / n), int(g / n), int(b / n)) : QColor();
}

int colourDistance(const QColor &a, const QColor &b)
{
    return qMax(
        qAbs(a.red() - b.red()), qMax(qAbs(a.green() - b.green()), qAbs(a.blue() - b.blue())));
}

// Largest difference between a grabbed button and a face image stretched to
// its size, over the two end strips that hold no text.
int faceDistance(QWidget *button, const QString &face)
{
    const QImage grabbed = button->grab().toImage();
    const QImage expected
        = QImage(":/res/" + face)
              .scaled(grabbed.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const int h = grabbed.height(), w = grabbed.width();
    int worst = 0;
    for (const QRect &strip : { QRect(4, 4, 6, h - 8), QRect(w - 10, 4, 6, h - 8) })
        worst
            = qMax(worst, colourDistance(meanColour(grabbed, strip), meanColour(expected, strip)));
    return worst;
}

// Moves the pointer over a widget's centre the way a real pointer arrives, so
// that the style sheet's :hover rules take effect. A move to where the pointer
// already is gives no event, so it steps aside first.
bool moveMouseOnto(QWidget *widget)
{
    QWidget *window = widget->window();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window))
        return false;
    QTest::mouseMove(window->windowHandle(), QPoint(1, 1));
    QTest::mouseMove(window->windowHandle(), widget->mapTo(window, widget->rect().center()));
    return QTest::qWaitFor([widget] { return widget->underMouse(); }, 5000);
}

const char *const buttonNames[]
    = { "pushButton_3", "pDetails", "pushButton", "pushButton_9", "pushButton_10", "pushButton_5" };
const int buttonPages[] = { 0, 0, 0, 0, 1, 2 };

} // namespace

// The application's look with the embedded style sheet applied as main()
// applies it: the images, the buttons, the icon.
class tst_Look : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void images_data();
    void images();
    void icon();
    void buttons_data();
    void buttons();
    void messageBoxButtons();
    void progressPage();
    void logLineMovesNothing();
    void assetsMatchDrawingProgram();
};

void tst_Look::initTestCase()
{
    installApplicationStyle(*qobject_cast<QApplication *>(QCoreApplication::instance()));
    QVERIFY(!qApp->styleSheet().isEmpty());
}

void tst_Look::images_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::newRow("background") << "背景.png" << QSize(1366, 668);
    QTest::newRow("grey button face") << "按钮_灰色.png" << QSize(79, 46);
    QTest::newRow("blue button face") << "按钮_蓝色.png" << QSize(79, 46);
    QTest::newRow("disabled button face") << "按钮_禁用.png" << QSize(82, 48);
    QTest::newRow("check mark checked") << "勾选_选中.png" << QSize(18, 18);
    QTest::newRow("check mark unchecked") << "勾选_未选中.png" << QSize(18, 18);
    QTest::newRow("success") << "升级_成功.png" << QSize(121, 120);
    QTest::newRow("failure") << "升级_失败.png" << QSize(121, 120);
    QTest::newRow("icon") << "sys_upgrade.ico" << QSize(54, 48);
}

void tst_Look::images()
{
    QFETCH(QString, name);
    QTEST(QImage(":/res/" + name).size(), "size");
}

void tst_Look::icon()
{
    QFile file(":/res/sys_upgrade.ico");
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    QVERIFY(data.size() >= 6 + 16);
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    auto u16 = [bytes](int at) { return int(qFromLittleEndian<quint16>(bytes + at)); };
    auto u32 = [bytes](int at) { return qint64(qFromLittleEndian<quint32>(bytes + at)); };
    // Reserved 0, type 1 (icon), one image of 54 x 48, 1 plane, 32 bits per
    // pixel, its data ending with the file.
    QCOMPARE((QList<int> { u16(0), u16(2), u16(4), bytes[6], bytes[7], u16(10), u16(12) }),
        (QList<int> { 0, 1, 1, 54, 48, 1, 32 }));
    const qint64 offset = u32(18);
    QCOMPARE(offset + u32(14), qint64(data.size()));
    // The image agrees with its entry: a DIB header with colour and mask rows.
    QVERIFY(offset + 40 <= data.size());
    QCOMPARE((QList<qint64> { u32(offset), u32(offset + 4), u32(offset + 8), u16(offset + 14) }),
        (QList<qint64> { 40, 54, 2 * 48, 32 }));
    const QImage image(":/res/sys_upgrade.ico");
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0); // transparent corner
    QCOMPARE(qAlpha(image.pixel(27, 24)), 255);
}

void tst_Look::buttons_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("face");
    for (int i = 0; i < 6; ++i) {
        QTest::addRow("%s normal", buttonNames[i]) << i << "normal" << QString("按钮_灰色.png");
        QTest::addRow("%s hover", buttonNames[i]) << i << "hover" << QString("按钮_蓝色.png");
        QTest::addRow("%s disabled", buttonNames[i]) << i << "disabled" << QString("按钮_禁用.png");
    }
}

// Every push button wears the face of its state; "选择" and "详情" are small,
// the others at least 30 high, "升级" no wider than 80, none narrower.
void tst_Look::buttons()
{
    QFETCH(int, button);
    QFETCH(QString, state);
    QFETCH(QString, face);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QStackedWidget *>("stackedWidget")->setCurrentIndex(buttonPages[button]);
    auto *widget = window.findChild<QPushButton *>(buttonNames[button]);
    QVERIFY(widget && widget->isVisible());
    const QSize size = widget->size();
    const bool small = button < 2;
    QVERIFY2(small ? size.height() <= 23 : size.height() >= 30,
        qPrintable(QString::number(size.height())));
    QVERIFY2(size.width() >= 80 && (button != 2 || size.width() <= 80),
        qPrintable(QString::number(size.width())));
    widget->setEnabled(state != "disabled");
    if (state == "hover")
        QVERIFY(moveMouseOnto(widget));
    const int distance = faceDistance(widget, face);
    QVERIFY2(distance <= 12, qPrintable(QString("differs from %1 by %2").arg(face).arg(distance)));
}

void tst_Look::messageBoxButtons()
{
    MainWindow window;
    window.show();
    QMessageBox box(
        QMessageBox::Question, "提醒", "是否退出?", QMessageBox::Yes | QMessageBox::No, &window);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    const QList<QPushButton *> buttons = box.findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 2);
    for (QPushButton *button : buttons) {
        QVERIFY2(button->height() >= 30 && button->width() >= 80,
            qPrintable(QString("%1 x %2").arg(button->width()).arg(button->height())));
        QVERIFY2(faceDistance(button, "按钮_灰色.png") <= 12, "normal face");
        QVERIFY(moveMouseOnto(button));
        QVERIFY2(faceDistance(button, "按钮_蓝色.png") <= 12, "hover face");
        QTest::mouseMove(box.windowHandle(), QPoint(2, 2));
        QTRY_VERIFY(!button->underMouse());
    }
}

// Above the log, the action line in the labels' white and the bar in the
// log's frame colours, its filled part in the frame's blue.
void tst_Look::progressPage()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QStackedWidget *>("stackedWidget")->setCurrentIndex(1);
    auto *bar = window.findChild<QProgressBar *>("progressBar");
    auto *action = window.findChild<ElidedLabel *>("label_action");
    QWidget *log = window.findChild<QWidget *>("textEdit");
    bar->setRange(0, 100);
    bar->setValue(50);
    action->setFullText("正在更新 a.dll");
    QTRY_VERIFY(bar->isVisible() && action->isVisible());
    const int barBottom = bar->mapTo(&window, QPoint(0, bar->height())).y();
    QVERIFY(action->mapTo(&window, QPoint()).y() < bar->mapTo(&window, QPoint()).y());
    QVERIFY(barBottom <= log->mapTo(&window, QPoint()).y());
    QVERIFY(log->height() > 200);

    const QImage image = bar->grab().toImage();
    const int h = image.height(), w = image.width();
    const QColor filled = meanColour(image, QRect(4, 4, w / 8, h - 8));
    const QColor empty = meanColour(image, QRect(w - 4 - w / 8, 4, w / 8, h - 8));
    QVERIFY2(colourDistance(filled, QColor(0, 134, 227)) <= 40, qPrintable(filled.name()));
    QVERIFY2(filled.blue() > empty.blue() + 40, qPrintable(filled.name() + " " + empty.name()));
    int brightest = 0;
    const QImage text = action->grab().toImage();
    for (int y = 0; y < text.height(); ++y)
        for (int x = 0; x < text.width(); ++x)
            brightest = qMax(brightest, qGray(text.pixel(x, y)));
    QVERIFY2(brightest >= 240, qPrintable(QString::number(brightest)));
}

// The result page's log line, however long, moves nothing and widens nothing.
void tst_Look::logLineMovesNothing()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QStackedWidget *>("stackedWidget")->setCurrentIndex(2);
    const QStringList names { "label_icon", "label_text", "pushButton_5" };
    auto geometries = [&] {
        QList<QRect> all;
        for (const QString &name : names) {
            QWidget *widget = window.findChild<QWidget *>(name);
            all << QRect(widget->mapTo(&window, QPoint()), widget->size());
        }
        return all << QRect(QPoint(), window.minimumSizeHint());
    };
    QTest::qWait(0);
    const QList<QRect> before = geometries();
    window.findChild<ElidedLabel *>("label_log")
        ->setFullText("升级日志:" + QString("/很长的目录").repeated(60) + "/upgrade.log");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCOMPARE(geometries(), before);
}

// The committed images are the drawing program's output, byte for byte:
// running it again and committing leaves nothing to commit.
void tst_Look::assetsMatchDrawingProgram()
{
    QTemporaryDir out;
    QProcess draw;
    draw.setProcessChannelMode(QProcess::ForwardedChannels);
    draw.start(UPGRADE_BINARY_DIR "/tools/draw_assets/draw_assets", { out.path() });
    QVERIFY(draw.waitForFinished(60 * 1000));
    QCOMPARE(draw.exitCode(), 0);
    const QStringList names = QDir(out.path()).entryList(QDir::Files);
    QCOMPARE(names.size(), 9);
    for (const QString &name : names) {
        QFile drawn(out.filePath(name)), committed(":/res/" + name);
        QVERIFY(drawn.open(QIODevice::ReadOnly) && committed.open(QIODevice::ReadOnly));
        QVERIFY2(drawn.readAll() == committed.readAll(),
            qPrintable(QString("%1 differs; run draw_assets res/").arg(name)));
    }
}

QTEST_MAIN(tst_Look)
#include "tst_look.moc"
