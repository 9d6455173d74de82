// Draws the installer's images (background, button faces, check marks, result
// badges) and its window icon. Everything is painted from code with fixed
// values, so running it again gives the same files:
//
//   draw_assets OUTPUT_DIR
//
// The files are written under the names the style sheet and the window use.

#include <QColor>
#include <QCoreApplication>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>

namespace {

QImage blankImage(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// ---- background -----------------------------------------------------------

void drawBase(QPainter &p, int w, int h)
{
    // Deep blue, a little lighter at the top left.
    QLinearGradient base(0, 0, w * 0.35, h);
    base.setColorAt(0.0, QColor(12, 46, 92));
    base.setColorAt(0.55, QColor(7, 30, 66));
    base.setColorAt(1.0, QColor(4, 18, 42));
    p.fillRect(QRect(0, 0, w, h), base);

    // Soft glow behind the upper middle, where the text panels sit.
    QRadialGradient glow(QPointF(w * 0.5, h * 0.18), w * 0.55);
    glow.setColorAt(0.0, QColor(30, 120, 220, 70));
    glow.setColorAt(0.6, QColor(20, 90, 190, 20));
    glow.setColorAt(1.0, QColor(20, 90, 190, 0));
    p.fillRect(QRect(0, 0, w, h), glow);
}

void drawGrid(QPainter &p, int w, int h)
{
    // Fine grid, barely visible.
    p.setPen(QPen(QColor(90, 170, 255, 14), 1));
    for (int x = 0; x < w; x += 32)
        p.drawLine(QPointF(x + 0.5, 0), QPointF(x + 0.5, h));
    for (int y = 0; y < h; y += 32)
        p.drawLine(QPointF(0, y + 0.5), QPointF(w, y + 0.5));

    // Brighter dots on some grid crossings, spread by a fixed sequence.
    quint32 seed = 20240611u;
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 140; ++i) {
        const int gx = int(next() % (w / 32 + 1)) * 32;
        const int gy = int(next() % (h / 32 + 1)) * 32;
        const int alpha = 25 + int(next() % 45);
        p.setBrush(QColor(110, 200, 255, alpha));
        p.drawEllipse(QPointF(gx + 0.5, gy + 0.5), 1.6, 1.6);
    }
}

void drawBands(QPainter &p, int w, int h)
{
    // Wide diagonal light bands.
    for (int i = 0; i < 3; ++i) {
        const qreal x0 = w * (0.18 + 0.27 * i);
        QLinearGradient band(x0, 0, x0 + 220, 0);
        band.setColorAt(0.0, QColor(80, 160, 255, 0));
        band.setColorAt(0.5, QColor(80, 160, 255, 12 - 3 * i));
        band.setColorAt(1.0, QColor(80, 160, 255, 0));
        QPainterPath path;
        path.moveTo(x0 + 260, 0);
        path.lineTo(x0 + 480, 0);
        path.lineTo(x0 + 220, h);
        path.lineTo(x0, h);
        path.closeSubpath();
        p.fillPath(path, band);
    }
}

void drawArcs(QPainter &p, int w, int h)
{
    // Concentric arcs at the lower right, like a faint radar.
    p.setBrush(Qt::NoBrush);
    const QPointF centre(w * 0.92, h * 1.05);
    for (int i = 1; i <= 7; ++i) {
        p.setPen(QPen(QColor(70, 170, 255, 26 - 2 * i), 1.2));
        const qreal r = 70.0 * i;
        p.drawEllipse(centre, r, r);
    }
}

void drawEdges(QPainter &p, int w, int h)
{
    // A thin highlight line along the top and a darker rim at the bottom.
    QLinearGradient top(0, 0, w, 0);
    top.setColorAt(0.0, QColor(0, 170, 255, 0));
    top.setColorAt(0.5, QColor(0, 190, 255, 110));
    top.setColorAt(1.0, QColor(0, 170, 255, 0));
    p.fillRect(QRectF(0, 0, w, 2), top);
    QLinearGradient bottom(0, h - 60, 0, h);
    bottom.setColorAt(0.0, QColor(0, 0, 0, 0));
    bottom.setColorAt(1.0, QColor(0, 0, 0, 60));
    p.fillRect(QRectF(0, h - 60, w, 60), bottom);
}

QImage drawBackground()
{
    const int w = 1366;
    const int h = 668;
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawBase(p, w, h);
    drawGrid(p, w, h);
    drawBands(p, w, h);
    drawArcs(p, w, h);
    drawEdges(p, w, h);
    p.end();
    return image;
}

// ---- button faces ----------------------------------------------------------

struct FaceColours
{
    QColor top;
    QColor bottom;
    QColor border;
    QColor highlight;
};

// A rounded face that fills the image; the style sheet stretches it over the
// whole button, so the corners stay small.
QImage drawButtonFace(int w, int h, const FaceColours &c)
{
    QImage image = blankImage(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF outer(0.5, 0.5, w - 1.0, h - 1.0);
    const qreal radius = 7.0;

    QLinearGradient fill(0, 0, 0, h);
    fill.setColorAt(0.0, c.top);
    fill.setColorAt(1.0, c.bottom);
    p.setPen(QPen(c.border, 1.0));
    p.setBrush(fill);
    p.drawRoundedRect(outer, radius, radius);

    // Gloss over the upper half.
    QPainterPath gloss;
    gloss.addRoundedRect(QRectF(2, 2, w - 4.0, h * 0.46), radius - 2, radius - 2);
    QLinearGradient shine(0, 2, 0, h * 0.5);
    shine.setColorAt(0.0, c.highlight);
    shine.setColorAt(1.0, QColor(c.highlight.red(), c.highlight.green(), c.highlight.blue(), 0));
    p.fillPath(gloss, shine);

    // Inner rim for a little depth.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 40), 1.0));
    p.drawRoundedRect(outer.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    p.end();
    return image;
}

// ---- check marks -----------------------------------------------------------

QImage drawCheckMark(bool checked)
{
    const int s = 18;
    QImage image = blankImage(s, s);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box(1.5, 1.5, s - 3.0, s - 3.0);
    if (checked) {
        QLinearGradient fill(0, 0, 0, s);
        fill.setColorAt(0.0, QColor(0, 200, 255));
        fill.setColorAt(1.0, QColor(0, 120, 220));
        p.setPen(QPen(QColor(0, 222, 255), 1.0));
        p.setBrush(fill);
        p.drawRoundedRect(box, 3, 3);
        QPainterPath tick;
        tick.moveTo(4.6, 9.2);
        tick.lineTo(7.6, 12.2);
        tick.lineTo(13.4, 5.6);
        p.setPen(QPen(Qt::white, 2.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(tick);
    } else {
        p.setPen(QPen(QColor(0, 222, 255), 1.2));
        p.setBrush(QColor(0, 78, 157, 130));
        p.drawRoundedRect(box, 3, 3);
    }
    p.end();
    return image;
}

// ---- result badges -------------------------------------------------------

// A round badge with a soft shadow, a light ring and a glossy body; the symbol
// (tick or cross) is drawn by the caller's function in white.
template <typename Symbol>
QImage drawBadge(const QColor &light, const QColor &dark, Symbol drawSymbol)
{
    const int w = 121;
    const int h = 120;
    QImage image = blankImage(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(w / 2.0, h / 2.0 - 1.0);
    const qreal r = 52.0;

    // Shadow.
    QRadialGradient shadow(c + QPointF(0, 4), r + 6);
    shadow.setColorAt(0.85, QColor(0, 0, 0, 90));
    shadow.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(c + QPointF(0, 4), r + 6, r + 6);

    // Ring.
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawEllipse(c, r, r);

    // Body.
    QRadialGradient body(c + QPointF(-r * 0.3, -r * 0.35), r * 1.35);
    body.setColorAt(0.0, light);
    body.setColorAt(1.0, dark);
    p.setBrush(body);
    p.drawEllipse(c, r - 5, r - 5);

    // Gloss over the upper part.
    QPainterPath gloss;
    gloss.addEllipse(QRectF(c.x() - (r - 14), c.y() - (r - 8), 2 * (r - 14), r - 6));
    QLinearGradient shine(0, c.y() - r, 0, c.y());
    shine.setColorAt(0.0, QColor(255, 255, 255, 110));
    shine.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillPath(gloss, shine);

    p.setPen(QPen(Qt::white, 11.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    drawSymbol(p, c);
    p.end();
    return image;
}

QImage drawSuccess()
{
    return drawBadge(QColor(120, 230, 110), QColor(22, 150, 52), [](QPainter &p, QPointF c) {
        QPainterPath tick;
        tick.moveTo(c + QPointF(-22, 1));
        tick.lineTo(c + QPointF(-6, 17));
        tick.lineTo(c + QPointF(24, -16));
        p.drawPath(tick);
    });
}

QImage drawFailure()
{
    return drawBadge(QColor(255, 120, 110), QColor(196, 30, 36), [](QPainter &p, QPointF c) {
        const qreal d = 18.0;
        p.drawLine(c + QPointF(-d, -d), c + QPointF(d, d));
        p.drawLine(c + QPointF(d, -d), c + QPointF(-d, d));
    });
}

// ---- window icon -----------------------------------------------------------

QImage drawIcon()
{
    const int w = 54;
    const int h = 48;
    QImage image = blankImage(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // Rounded blue tile.
    const QRectF tile(4.5, 1.5, 45.0, 45.0);
    QLinearGradient fill(0, tile.top(), 0, tile.bottom());
    fill.setColorAt(0.0, QColor(40, 170, 255));
    fill.setColorAt(1.0, QColor(8, 78, 170));
    p.setPen(QPen(QColor(4, 50, 120), 1.0));
    p.setBrush(fill);
    p.drawRoundedRect(tile, 9, 9);
    QPainterPath gloss;
    gloss.addRoundedRect(QRectF(6.5, 3.5, 41.0, 19.0), 7, 7);
    QLinearGradient shine(0, 3, 0, 22);
    shine.setColorAt(0.0, QColor(255, 255, 255, 90));
    shine.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillPath(gloss, shine);

    // Upward arrow standing on a base line: an upgrade.
    const qreal cx = w / 2.0;
    QPainterPath arrow;
    arrow.moveTo(cx, 8);
    arrow.lineTo(cx + 13, 21);
    arrow.lineTo(cx + 5.5, 21);
    arrow.lineTo(cx + 5.5, 33);
    arrow.lineTo(cx - 5.5, 33);
    arrow.lineTo(cx - 5.5, 21);
    arrow.lineTo(cx - 13, 21);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(0, 40, 100, 120), 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::white);
    p.drawPath(arrow);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 230));
    p.drawRoundedRect(QRectF(cx - 14, 36.5, 28, 4), 2, 2);
    p.end();
    return image;
}

// The painter draws premultiplied colours; the files hold straight alpha. Qt's
// own conversion picks a routine by the processor (SSE4.1 rounds differently),
// so the division is done here in integers and every machine writes the same
// bytes. The resolution is fixed too, rather than taken from the default DPI.
QImage straightAlpha(const QImage &source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QImage out(image.size(), QImage::Format_ARGB32);
    out.setDotsPerMeterX(3937); // 100 dpi
    out.setDotsPerMeterY(3937);
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *in = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        QRgb *line = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int a = qAlpha(in[x]);
            const auto straight
                = [a](int c) { return a == 0 ? 0 : qMin(255, (c * 255 + a / 2) / a); };
            line[x]
                = qRgba(straight(qRed(in[x])), straight(qGreen(in[x])), straight(qBlue(in[x])), a);
        }
    }
    return out;
}

// Writes a Windows icon file holding exactly one image as an uncompressed
// 32-bit DIB (BGRA, bottom-up) followed by its 1-bit transparency mask.
bool writeIco(const QImage &source, const QString &path)
{
    const QImage image = straightAlpha(source);
    const int w = image.width();
    const int h = image.height();
    if (w > 256 || h > 256)
        return false;
    const int maskStride = ((w + 31) / 32) * 4;
    const quint32 pixelBytes = quint32(w) * quint32(h) * 4;
    const quint32 maskBytes = quint32(maskStride) * quint32(h);
    const quint32 dibBytes = 40 + pixelBytes + maskBytes;

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    // ICONDIR
    out << quint16(0) << quint16(1) << quint16(1);
    // ICONDIRENTRY
    out << quint8(w == 256 ? 0 : w) << quint8(h == 256 ? 0 : h) << quint8(0) << quint8(0)
        << quint16(1) << quint16(32) << dibBytes << quint32(6 + 16);
    // BITMAPINFOHEADER: the height counts the colour rows and the mask rows.
    out << quint32(40) << qint32(w) << qint32(2 * h) << quint16(1) << quint16(32) << quint32(0)
        << quint32(pixelBytes + maskBytes) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < w; ++x)
            out << quint8(qBlue(line[x])) << quint8(qGreen(line[x])) << quint8(qRed(line[x]))
                << quint8(qAlpha(line[x]));
    }
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(line[x]) == 0)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        }
        out.writeRawData(row.constData(), row.size());
    }
    file.close();
    return out.status() == QDataStream::Ok && file.error() == QFileDevice::NoError;
}

bool savePng(const QImage &image, const QDir &dir, const QString &name)
{
    const QString path = dir.filePath(name);
    // Straight alpha in the file, no gamma or time chunks that would vary.
    if (!straightAlpha(image).save(path, "PNG")) {
        std::fprintf(stderr, "draw_assets: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: draw_assets OUTPUT_DIR\n");
        return 2;
    }
    QDir dir(args.at(1));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "draw_assets: cannot create %s\n", qPrintable(dir.path()));
        return 1;
    }

    const FaceColours grey { QColor(246, 248, 251), QColor(196, 203, 212), QColor(128, 138, 152),
        QColor(255, 255, 255, 150) };
    const FaceColours blue { QColor(62, 172, 255), QColor(8, 96, 204), QColor(120, 200, 255),
        QColor(255, 255, 255, 110) };
    const FaceColours disabled { QColor(170, 178, 188), QColor(146, 154, 165),
        QColor(120, 128, 140), QColor(255, 255, 255, 40) };

    bool ok = true;
    ok &= savePng(drawBackground(), dir, QStringLiteral("背景.png"));
    ok &= savePng(drawButtonFace(79, 46, grey), dir, QStringLiteral("按钮_灰色.png"));
    ok &= savePng(drawButtonFace(79, 46, blue), dir, QStringLiteral("按钮_蓝色.png"));
    ok &= savePng(drawButtonFace(82, 48, disabled), dir, QStringLiteral("按钮_禁用.png"));
    ok &= savePng(drawCheckMark(true), dir, QStringLiteral("勾选_选中.png"));
    ok &= savePng(drawCheckMark(false), dir, QStringLiteral("勾选_未选中.png"));
    ok &= savePng(drawSuccess(), dir, QStringLiteral("升级_成功.png"));
    ok &= savePng(drawFailure(), dir, QStringLiteral("升级_失败.png"));
    const QString icoPath = dir.filePath(QStringLiteral("sys_upgrade.ico"));
    if (!writeIco(drawIcon(), icoPath)) {
        std::fprintf(stderr, "draw_assets: cannot write %s\n", qPrintable(icoPath));
        ok = false;
    }
    return ok ? 0 : 1;
}
