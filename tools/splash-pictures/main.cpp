// Draws the splash window's pictures: the 48 x 48 logo and imgpgb1, the look of one progress block.
// Usage: splash-pictures OUTPUT_DIR
#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

// The splash reads its block from here: 8 x 12 pixels with the top-left corner at (23, 5) of a 36 x 19 picture.
constexpr int kBlockLeft = 23;
constexpr int kBlockTop = 5;
constexpr int kBlockWidth = 8;
constexpr int kBlockHeight = 12;

// The logo: rising waves and a magnifier over a play mark, white and gold so it reads on the blue gradient.
// Everything is drawn twice, first as a soft dark shadow one pixel down and right.
QImage logo() {
    QImage img(48, 48, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    auto draw = [&p](QPointF offset, QColor wave, QColor ring, QColor glass, QColor play) {
        p.save();
        p.translate(offset);
        p.setBrush(Qt::NoBrush);
        // Three waves from the lower-left corner.
        for (int i = 0; i < 3; ++i) {
            const double r = 9.0 + 7.5 * i;
            p.setPen(QPen(wave, 3.4, Qt::SolidLine, Qt::RoundCap));
            p.drawArc(QRectF(6 - r, 42 - r, 2 * r, 2 * r), 5 * 16, 80 * 16);
        }
        // The magnifier's handle, then its glass and ring.
        p.setPen(QPen(ring, 5.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(37.5, 28.5), QPointF(44, 35));
        p.setPen(QPen(ring, 3.6));
        p.setBrush(glass);
        p.drawEllipse(QPointF(29, 19), 11, 11);
        QPainterPath triangle;
        triangle.moveTo(25.5, 13);
        triangle.lineTo(25.5, 25);
        triangle.lineTo(35, 19);
        triangle.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(play);
        p.drawPath(triangle);
        p.restore();
    };
    const QColor shadow(8, 36, 110, 110);
    draw(QPointF(1, 1.2), shadow, shadow, QColor(8, 36, 110, 40), shadow);
    draw(QPointF(0, 0), QColor(255, 255, 255, 235), QColor(0xFF, 0xCC, 0x3E), QColor(22, 78, 190, 150), Qt::white);
    return img;
}

// One block: a glossy green bar, lightest just below its top edge, with darker sides.
QColor blockPixel(int x, int y) {
    static const QRgb rows[kBlockHeight] = {0x8FE07A, 0xD8FBCB, 0xB6F2A1, 0x8BE570, 0x67D64C, 0x4FC836,
                                            0x43BE2B, 0x3BB524, 0x36AD20, 0x33A51E, 0x2E9A1B, 0x237F14};
    QColor c(rows[y]);
    if (x == 0 || x == kBlockWidth - 1)
        c = c.darker(118);
    return c;
}

// imgpgb1: a short piece of the bar, three blocks on the bar's track; the third is the one the splash copies.
QImage progressPiece() {
    QImage img(36, 19, QImage::Format_ARGB32);
    img.fill(QColor(0xF2, 0xF5, 0xFC));
    QPainter p(&img);
    p.setPen(QColor(0x1C, 0x46, 0xA0));
    p.drawLine(0, 0, 35, 0);
    p.drawLine(0, 18, 35, 18);
    p.setPen(QColor(0xD5, 0xDE, 0xF0));
    p.drawLine(0, 1, 35, 1);
    p.end();
    for (int left = kBlockLeft - 20; left <= kBlockLeft; left += 10)
        for (int y = 0; y < kBlockHeight; ++y)
            for (int x = 0; x < kBlockWidth; ++x)
                img.setPixelColor(left + x, kBlockTop + y, blockPixel(x, y));
    return img;
}

bool save(const QDir& dir, const QString& name, const QImage& img) {
    const QString path = dir.filePath(name + QStringLiteral(".png"));
    if (!img.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s %dx%d\n", qPrintable(path), img.width(), img.height());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: splash-pictures OUTPUT_DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    const bool ok = save(dir, QStringLiteral("logo"), logo()) && save(dir, QStringLiteral("imgpgb1"), progressPiece());
    return ok ? 0 : 1;
}
