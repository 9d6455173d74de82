#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include "ApplicationStyle.h"
#include "CReadmeDialog.h"
#include "MainWindow.h"

// The application's look: the embedded style sheet applied as main() applies
// it, the images it names, the window icon and the Windows manifest.
class tst_Look : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void images_data();
    void images();
    void icon();
    void styleSheetFile();
    void backgroundPanels_data();
    void backgroundPanels();
    void buttonSizes_data();
    void buttonSizes();
    void buttonFaces_data();
    void buttonFaces();
    void messageBoxButtons();
    void checkBoxIndicators();
    void resultImages_data();
    void resultImages();
    void manifest();
    void assetsMatchDrawingProgram();

private:
    static QWidget *showPage(MainWindow &window, int index);
    static bool moveMouseOnto(QWidget *widget);
    static double faceDistance(const QImage &grabbed, const QString &facePath);
};

namespace {

// Mean colour of an area, so that stray grid dots or anti-aliasing don't decide.
QColor meanColour(const QImage &image, const QRect &area)
{
    qint64 r = 0, g = 0, b = 0, n = 0;
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb px = argb.pixel(x, y);
            r += qRed(px);
            g += qGreen(px);
            b += qBlue(px);
            ++n;
        }
    }
    if (n == 0)
        return QColor();
    return QColor(int(r / n), int(g / n), int(b / n));
}

int colourDistance(const QColor &a, const QColor &b)
{
    return qMax(
        qAbs(a.red() - b.red()), qMax(qAbs(a.green() - b.green()), qAbs(a.blue() - b.blue())));
}

} // namespace

void tst_Look::initTestCase()
{
    // Installed the way main() installs it.
    QVERIFY(QFile::exists(QStringLiteral(":/res/upgrade_style.qss")));
    installApplicationStyle(*qobject_cast<QApplication *>(QCoreApplication::instance()));
    QVERIFY(!qApp->styleSheet().isEmpty());
}

void tst_Look::cleanupTestCase()
{
    qApp->setStyleSheet(QString());
}

void tst_Look::images_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("background") << QStringLiteral(":/res/背景.png") << QSize(1366, 668);
    QTest::newRow("grey button face") << QStringLiteral(":/res/按钮_灰色.png") << QSize(79, 46);
    QTest::newRow("blue button face") << QStringLiteral(":/res/按钮_蓝色.png") << QSize(79, 46);
    QTest::newRow("disabled button face") << QStringLiteral(":/res/按钮_禁用.png") << QSize(82, 48);
    QTest::newRow("check mark checked") << QStringLiteral(":/res/勾选_选中.png") << QSize(18, 18);
    QTest::newRow("check mark unchecked")
        << QStringLiteral(":/res/勾选_未选中.png") << QSize(18, 18);
    QTest::newRow("success") << QStringLiteral(":/res/升级_成功.png") << QSize(121, 120);
    QTest::newRow("failure") << QStringLiteral(":/res/升级_失败.png") << QSize(121, 120);
}

void tst_Look::images()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), size);
}

void tst_Look::icon()
{
    QFile file(QStringLiteral(":/res/sys_upgrade.ico"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    QVERIFY(data.size() >= 6 + 16);
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    auto u16 = [bytes](int at) { return qFromLittleEndian<quint16>(bytes + at); };
    auto u32 = [bytes](int at) { return qFromLittleEndian<quint32>(bytes + at); };

    // ICONDIR: reserved 0, type 1 (icon), one image.
    QCOMPARE(u16(0), quint16(0));
    QCOMPARE(u16(2), quint16(1));
    QCOMPARE(u16(4), quint16(1));
    // The directory entry: 54 x 48, 1 plane, 32 bits per pixel, data inside the file.
    QCOMPARE(int(bytes[6]), 54);
    QCOMPARE(int(bytes[7]), 48);
    QCOMPARE(u16(6 + 4), quint16(1));
    QCOMPARE(u16(6 + 6), quint16(32));
    const quint32 imageSize = u32(6 + 8);
    const quint32 imageOffset = u32(6 + 12);
    QCOMPARE(quint64(imageOffset) + imageSize, quint64(data.size()));
    // The image itself agrees with its entry (a DIB header here).
    QVERIFY(imageOffset + 40 <= quint32(data.size()));
    QCOMPARE(u32(imageOffset), quint32(40));
    QCOMPARE(qint32(u32(imageOffset + 4)), 54);
    QCOMPARE(qint32(u32(imageOffset + 8)), 2 * 48); // colour rows and mask rows
    QCOMPARE(u16(imageOffset + 14), quint16(32));

    // Qt reads it too, which is how the window gets its icon.
    const QImage image(QStringLiteral(":/res/sys_upgrade.ico"));
    QCOMPARE(image.size(), QSize(54, 48));
    QVERIFY(image.hasAlphaChannel());
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0); // transparent corner
    QVERIFY(qAlpha(image.pixel(27, 24)) == 255);
}

void tst_Look::styleSheetFile()
{
    QFile file(QStringLiteral(":/res/upgrade_style.qss"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    QVERIFY(data.startsWith("\xEF\xBB\xBF"));
    QVERIFY(data.mid(3).startsWith(QStringLiteral("/*第一页*/").toUtf8()));
}

QWidget *tst_Look::showPage(MainWindow &window, int index)
{
    auto *stack = window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
    if (!stack)
        return nullptr;
    stack->setCurrentIndex(index);
    QApplication::processEvents();
    return stack->currentWidget();
}

void tst_Look::backgroundPanels_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("page");
    // The first panel is named by the sheet's first rule, right after the
    // byte-order mark and the opening comment.
    QTest::newRow("selection page panel") << QStringLiteral("upgradeWidget1") << 0;
    QTest::newRow("progress page panel") << QStringLiteral("upgradeWidget2") << 1;
    QTest::newRow("result page panel") << QStringLiteral("upgradeWidget3") << 2;
    QTest::newRow("details dialog") << QStringLiteral("CReadmeDialog") << -1;
}

void tst_Look::backgroundPanels()
{
    QFETCH(QString, name);
    QFETCH(int, page);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    CReadmeDialog dialog(QStringLiteral("pkg"), &window);
    QWidget *panel = nullptr;
    if (page >= 0) {
        QVERIFY(showPage(window, page));
        panel = window.findChild<QWidget *>(name);
    } else {
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        panel = &dialog;
    }
    QVERIFY(panel);
    QVERIFY(panel->width() > 20 && panel->height() > 20);

    // The background image stretched over the panel: compare a strip along
    // the left edge, which no child widget covers.
    const QImage grabbed = panel->grab().toImage();
    const QImage expected
        = QImage(QStringLiteral(":/res/背景.png"))
              .scaled(grabbed.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QRect strip(1, grabbed.height() / 4, 4, grabbed.height() / 2);
    const QColor got = meanColour(grabbed, strip);
    const QColor want = meanColour(expected, strip);
    QVERIFY2(colourDistance(got, want) <= 8,
        qPrintable(QStringLiteral("%1 shows %2, the background has %3")
                       .arg(name, got.name(), want.name())));
}

void tst_Look::buttonSizes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("minHeight");
    QTest::addColumn<int>("maxHeight");
    QTest::addColumn<int>("maxWidth");
    const int any = QWIDGETSIZE_MAX;
    QTest::newRow("选择 (small)") << QStringLiteral("pushButton_3") << 0 << 0 << 23 << any;
    QTest::newRow("详情 (small)") << QStringLiteral("pDetails") << 0 << 0 << 23 << any;
    QTest::newRow("升级 (large, narrow)") << QStringLiteral("pushButton") << 0 << 30 << any << 80;
    QTest::newRow("取消 (large)") << QStringLiteral("pushButton_9") << 0 << 30 << any << any;
    QTest::newRow("继续 (large)") << QStringLiteral("pushButton_10") << 1 << 30 << any << any;
    QTest::newRow("完成 (large)") << QStringLiteral("pushButton_5") << 2 << 30 << any << any;
}

void tst_Look::buttonSizes()
{
    QFETCH(QString, name);
    QFETCH(int, page);
    QFETCH(int, minHeight);
    QFETCH(int, maxHeight);
    QFETCH(int, maxWidth);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(showPage(window, page));
    auto *button = window.findChild<QPushButton *>(name);
    QVERIFY(button);
    QVERIFY(button->isVisible());
    const QSize size = button->size();
    QVERIFY2(size.height() >= minHeight && size.height() <= maxHeight,
        qPrintable(QStringLiteral("height %1").arg(size.height())));
    QVERIFY2(size.width() >= 80 && size.width() <= maxWidth,
        qPrintable(QStringLiteral("width %1").arg(size.width())));
}

// Moves the pointer over a widget's centre the way a real pointer arrives, so
// that the style sheet's :hover rules take effect.
bool tst_Look::moveMouseOnto(QWidget *widget)
{
    QWidget *window = widget->window();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window) || !window->windowHandle())
        return false;
    // Sent to the widget's own top-level window, which may overlap others. A
    // move to where the pointer already is gives no event, so step aside first.
    const QPoint target = widget->mapTo(window, widget->rect().center());
    QTest::mouseMove(window->windowHandle(), QPoint(1, 1));
    QTest::mouseMove(window->windowHandle(), target);
    return QTest::qWaitFor([widget] { return widget->underMouse(); }, 5000);
}

// Largest per-channel difference between the mean colours of a grabbed button
// and of a face image stretched to the same size, over the two end strips that
// hold no text.
double tst_Look::faceDistance(const QImage &grabbed, const QString &facePath)
{
    const QImage face
        = QImage(facePath).scaled(grabbed.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const int h = grabbed.height();
    const int w = grabbed.width();
    int worst = 0;
    for (const QRect &strip : { QRect(4, 4, 6, h - 8), QRect(w - 10, 4, 6, h - 8) })
        worst = qMax(worst, colourDistance(meanColour(grabbed, strip), meanColour(face, strip)));
    return worst;
}

void tst_Look::buttonFaces_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("face");
    const QString grey = QStringLiteral(":/res/按钮_灰色.png");
    const QString blue = QStringLiteral(":/res/按钮_蓝色.png");
    const QString off = QStringLiteral(":/res/按钮_禁用.png");
    const struct
    {
        const char *name;
        int page;
    } buttons[] = { { "pushButton_3", 0 }, { "pDetails", 0 }, { "pushButton", 0 },
        { "pushButton_9", 0 }, { "pushButton_10", 1 }, { "pushButton_5", 2 } };
    for (const auto &b : buttons) {
        const QString n = QString::fromLatin1(b.name);
        QTest::addRow("%s normal", b.name) << n << b.page << QStringLiteral("normal") << grey;
        QTest::addRow("%s hover", b.name) << n << b.page << QStringLiteral("hover") << blue;
        QTest::addRow("%s disabled", b.name) << n << b.page << QStringLiteral("disabled") << off;
    }
}

void tst_Look::buttonFaces()
{
    QFETCH(QString, name);
    QFETCH(int, page);
    QFETCH(QString, state);
    QFETCH(QString, face);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(showPage(window, page));
    auto *button = window.findChild<QPushButton *>(name);
    QVERIFY(button);
    button->setEnabled(state != QLatin1String("disabled"));
    if (state == QLatin1String("hover"))
        QVERIFY(moveMouseOnto(button));
    const QImage grabbed = button->grab().toImage();
    const double distance = faceDistance(grabbed, face);
    QVERIFY2(distance <= 12,
        qPrintable(
            QStringLiteral("%1 %2 differs from %3 by %4").arg(name, state, face).arg(distance)));
}

void tst_Look::messageBoxButtons()
{
    MainWindow window;
    window.show();
    QMessageBox box(QMessageBox::Question, QStringLiteral("提醒"), QStringLiteral("是否退出?"),
        QMessageBox::Yes | QMessageBox::No, &window);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    const QList<QPushButton *> buttons = box.findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 2);
    for (QPushButton *button : buttons) {
        QVERIFY2(button->height() >= 30, qPrintable(QString::number(button->height())));
        QVERIFY2(button->width() >= 80, qPrintable(QString::number(button->width())));
        double distance
            = faceDistance(button->grab().toImage(), QStringLiteral(":/res/按钮_灰色.png"));
        QVERIFY2(distance <= 12, qPrintable(QStringLiteral("normal face off by %1").arg(distance)));
        QVERIFY(moveMouseOnto(button));
        distance = faceDistance(button->grab().toImage(), QStringLiteral(":/res/按钮_蓝色.png"));
        QVERIFY2(distance <= 12, qPrintable(QStringLiteral("hover face off by %1").arg(distance)));
        QTest::mouseMove(box.windowHandle(), QPoint(2, 2));
        QTRY_VERIFY(!button->underMouse());
    }
}

void tst_Look::checkBoxIndicators()
{
    // The check boxes are hidden in the window; a stand-alone one shows the marks.
    QWidget host;
    auto *box = new QCheckBox(QStringLiteral("添加"), &host);
    host.resize(200, 40);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    for (const bool checked : { true, false }) {
        box->setChecked(checked);
        const QImage grabbed = box->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        const QImage mark(checked ? QStringLiteral(":/res/勾选_选中.png")
                                  : QStringLiteral(":/res/勾选_未选中.png"));
        // The mark sits at the left, vertically centred; find it by its border colour.
        bool found = false;
        for (int top = 0; top + mark.height() <= grabbed.height() && !found; ++top) {
            const QImage part = grabbed.copy(0, top, mark.width(), mark.height());
            QImage backdrop(mark.size(), QImage::Format_ARGB32);
            backdrop.fill(part.pixel(0, 0));
            QPainter p(&backdrop);
            p.drawImage(0, 0, mark);
            p.end();
            found = colourDistance(
                        meanColour(part, part.rect()), meanColour(backdrop, backdrop.rect()))
                    <= 6
                && colourDistance(QColor(part.pixel(9, 9)), QColor(backdrop.pixel(9, 9))) <= 24;
        }
        QVERIFY2(found, checked ? "checked mark not drawn" : "unchecked mark not drawn");
    }
}

void tst_Look::resultImages_data()
{
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("image");
    QTest::newRow("success") << true << QStringLiteral(":/res/升级_成功.png");
    QTest::newRow("failure") << false << QStringLiteral(":/res/升级_失败.png");
}

void tst_Look::resultImages()
{
    QFETCH(bool, success);
    QFETCH(QString, image);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.slotSuccess(success);
    QVERIFY(showPage(window, 2));
    auto *icon = window.findChild<QLabel *>(QStringLiteral("label_icon"));
    QVERIFY(icon);
    QVERIFY(icon->isVisible());
    const QImage grabbed = icon->grab().toImage();
    const QImage expected
        = QImage(image).scaled(grabbed.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // The badge's body around the centre: green for success, red for failure.
    const QRect centre(grabbed.width() / 2 - 4, grabbed.height() / 4, 8, 4);
    const QColor got = meanColour(grabbed, centre);
    const QColor want = meanColour(expected, centre);
    QVERIFY2(colourDistance(got, want) <= 16,
        qPrintable(QStringLiteral("%1 instead of %2").arg(got.name(), want.name())));
    if (success)
        QVERIFY(got.green() > got.red() + 40);
    else
        QVERIFY(got.red() > got.green() + 40);
}

void tst_Look::manifest()
{
    QFile file(QStringLiteral(UPGRADE_SOURCE_DIR "/res/upgrade_install.manifest"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QDomDocument doc;
    QString error;
    QVERIFY2(doc.setContent(&file, true, &error), qPrintable(error));
    const QString asmV1 = QStringLiteral("urn:schemas-microsoft-com:asm.v1");
    const QString asmV3 = QStringLiteral("urn:schemas-microsoft-com:asm.v3");
    QCOMPARE(doc.documentElement().localName(), QStringLiteral("assembly"));
    QCOMPARE(doc.documentElement().namespaceURI(), asmV1);

    const QDomNodeList levels
        = doc.elementsByTagNameNS(asmV3, QStringLiteral("requestedExecutionLevel"));
    QCOMPARE(levels.size(), 1);
    QCOMPARE(
        levels.at(0).toElement().attribute(QStringLiteral("level")), QStringLiteral("asInvoker"));

    bool commonControls = false;
    const QDomNodeList dependencies
        = doc.elementsByTagNameNS(asmV1, QStringLiteral("dependentAssembly"));
    for (int i = 0; i < dependencies.size(); ++i) {
        const QDomElement id
            = dependencies.at(i).firstChildElement(QStringLiteral("assemblyIdentity"));
        if (id.attribute(QStringLiteral("name"))
            != QLatin1String("Microsoft.Windows.Common-Controls"))
            continue;
        commonControls = true;
        QCOMPARE(id.attribute(QStringLiteral("type")), QStringLiteral("win32"));
        QCOMPARE(id.attribute(QStringLiteral("version")), QStringLiteral("6.0.0.0"));
        QCOMPARE(id.attribute(QStringLiteral("processorArchitecture")), QStringLiteral("*"));
        QCOMPARE(
            id.attribute(QStringLiteral("publicKeyToken")), QStringLiteral("6595b64144ccf1df"));
    }
    QVERIFY(commonControls);
}

// The committed images are the drawing program's output: running it again
// gives the same pixels (within rounding of the painter's blending).
void tst_Look::assetsMatchDrawingProgram()
{
    const QString program = QStringLiteral(UPGRADE_BINARY_DIR "/tools/draw_assets/draw_assets");
    QVERIFY2(QFileInfo(program).isExecutable(), qPrintable(program));
    QTemporaryDir out;
    QVERIFY(out.isValid());
    QProcess draw;
    draw.setProcessChannelMode(QProcess::ForwardedChannels);
    draw.start(program, { out.path() });
    QVERIFY(draw.waitForFinished(60 * 1000));
    QCOMPARE(draw.exitStatus(), QProcess::NormalExit);
    QCOMPARE(draw.exitCode(), 0);

    const QStringList names { QStringLiteral("sys_upgrade.ico"), QStringLiteral("背景.png"),
        QStringLiteral("按钮_灰色.png"), QStringLiteral("按钮_蓝色.png"),
        QStringLiteral("按钮_禁用.png"), QStringLiteral("勾选_选中.png"),
        QStringLiteral("勾选_未选中.png"), QStringLiteral("升级_成功.png"),
        QStringLiteral("升级_失败.png") };
    QCOMPARE(QDir(out.path()).entryList(QDir::Files).size(), names.size());
    for (const QString &name : names) {
        const QImage drawn = QImage(out.filePath(name)).convertToFormat(QImage::Format_ARGB32);
        const QImage committed
            = QImage(QStringLiteral(":/res/") + name).convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(!drawn.isNull(), qPrintable(name));
        QCOMPARE(drawn.size(), committed.size());
        int worst = 0;
        for (int y = 0; y < drawn.height(); ++y) {
            const QRgb *a = reinterpret_cast<const QRgb *>(drawn.constScanLine(y));
            const QRgb *b = reinterpret_cast<const QRgb *>(committed.constScanLine(y));
            for (int x = 0; x < drawn.width(); ++x) {
                worst = qMax(worst, qAbs(qAlpha(a[x]) - qAlpha(b[x])));
                worst = qMax(worst, colourDistance(QColor(a[x]), QColor(b[x])));
            }
        }
        QVERIFY2(worst <= 3,
            qPrintable(
                QStringLiteral("%1 differs by %2; run draw_assets res/").arg(name).arg(worst)));
    }
}

QTEST_MAIN(tst_Look)
#include "tst_look.moc"
