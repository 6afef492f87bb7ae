// Draws every picture strip of the skinned controls, pixel by pixel, so the theme can be changed and regenerated.
// Usage: skin-pictures OUTPUT_DIR [SHEET.png]   (the sheet shows every picture at 4x zoom for review)
#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace {

using Stops = std::vector<std::pair<double, QRgb>>;

QColor mix(QColor a, QColor b, double t) {
    t = std::clamp(t, 0.0, 1.0);
    return QColor::fromRgbF(
        float(a.redF() + (b.redF() - a.redF()) * t), float(a.greenF() + (b.greenF() - a.greenF()) * t),
        float(a.blueF() + (b.blueF() - a.blueF()) * t), float(a.alphaF() + (b.alphaF() - a.alphaF()) * t));
}

QColor ramp(const Stops& stops, double pos) {
    if (pos <= stops.front().first)
        return QColor(stops.front().second);
    for (size_t i = 1; i < stops.size(); ++i) {
        if (pos <= stops[i].first) {
            const double t = (pos - stops[i - 1].first) / (stops[i].first - stops[i - 1].first);
            return mix(QColor(stops[i - 1].second), QColor(stops[i].second), t);
        }
    }
    return QColor(stops.back().second);
}

QColor withAlpha(QColor c, double a) {
    c.setAlphaF(float(a));
    return c;
}

QImage blank(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

void put(QImage& img, int x, int y, QColor c) {
    if (x >= 0 && y >= 0 && x < img.width() && y < img.height())
        img.setPixelColor(x, y, c);
}

// Lays cells side by side (columns) or one under another (rows).
QImage strip(const std::vector<QImage>& cells, bool vertical) {
    const int cw = cells.front().width();
    const int ch = cells.front().height();
    const int n = int(cells.size());
    QImage out = blank(vertical ? cw : cw * n, vertical ? ch * n : ch);
    QPainter p(&out);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    for (int i = 0; i < n; ++i)
        p.drawImage(vertical ? QPoint(0, i * ch) : QPoint(i * cw, 0), cells[i]);
    return out;
}

// The inactive frame is the active one washed towards a pale grey-blue; magenta keys stay exact.
QImage washed(const QImage& active) {
    QImage out = active;
    const QColor pale(0xB4C6EC);
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x) {
            const QColor c = out.pixelColor(x, y);
            if (c == QColor(255, 0, 255))
                continue;
            QColor m = mix(c, pale, 0.58);
            m.setAlpha(c.alpha());
            out.setPixelColor(x, y, m);
        }
    return out;
}

// ---- window frame --------------------------------------------------------------------------------------------

const Stops kTitle = {{0, 0x2E6BE0},  {1, 0x94C2FF},  {2, 0x66A6FF},  {4, 0x3A80F4},  {8, 0x1763E6},
                      {18, 0x0957D8}, {23, 0x064CC8}, {26, 0x043FB2}, {27, 0x03379F}, {28, 0x022B86}};
const QColor kOutline(0x0A3AA8);

// Title strip, 66 x 29. Rounded: magenta outside the outline in the top corners, 5, 3, 2, 1, 1 pixels in rows 0-4.
QImage title(bool rounded) {
    constexpr int W = 66, H = 29;
    constexpr std::array<int, 5> cut = {5, 3, 2, 1, 1};
    QImage img = blank(W, H);
    for (int y = 0; y < H; ++y) {
        const QColor body = ramp(kTitle, y);
        const int m = rounded && y < 5 ? cut[size_t(y)] : 0;
        const int above = rounded && y > 0 && y - 1 < 5 ? cut[size_t(y - 1)] : 0;
        for (int x = 0; x < W; ++x) {
            const bool left = x < W / 2;
            const int ex = left ? x : W - 1 - x;
            QColor c = body;
            if (ex < m) {
                c = QColor(255, 0, 255);
            } else if (y == 0) {
                c = QColor(kTitle.front().second);
            } else if (ex == m || ex < above) {
                // The outline follows the curve: where a row steps in by more than one pixel it fills the step.
                c = y < 5 ? mix(QColor(kTitle.front().second), kOutline, y / 5.0) : kOutline;
            } else if (ex == m + 1) {
                c = left ? mix(body, Qt::white, 0.28) : mix(body, Qt::black, 0.10);
            }
            put(img, x, y, c);
        }
    }
    return img;
}

// Left and right borders (5 x 31) and bottom border (49 x 5), outside to inside.
constexpr std::array<QRgb, 5> kLeftColumns = {0x0A3AA8, 0x4A8CF6, 0x2169EA, 0x0E58DC, 0x0840AE};
constexpr std::array<QRgb, 5> kRightColumns = {0x06308E, 0x0D52D2, 0x1A62E4, 0x0E58DC, 0x0840AE};
constexpr std::array<QRgb, 5> kBottomRows = {0x06308E, 0x0D52D2, 0x1A62E4, 0x0E58DC, 0x0840AE};

QImage border(const std::array<QRgb, 5>& layers, int w, int h, std::function<int(int, int)> layerAt) {
    QImage img = blank(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            put(img, x, y, QColor(layers[size_t(layerAt(x, y))]));
    return img;
}

// ---- command button: 5 cells of 18 x 21 -----------------------------------------------------------------------

enum class Look { Normal, Pressed, Disabled, Hover, Alternative };

struct Rim {
    QRgb top1, top2, side1, side2, bottom1, bottom2;
};

QImage commandCell(Look look) {
    constexpr int W = 18, H = 21;
    const QColor outline = look == Look::Disabled ? QColor(0xC4C2B4) : QColor(0x1B3F78);
    Stops body;
    switch (look) {
    case Look::Pressed:
        body = {{0, 0xD9D6CB}, {5, 0xE4E2D9}, {20, 0xF4F3EF}};
        break;
    case Look::Disabled:
        body = {{0, 0xF6F5EE}, {20, 0xF1F0E7}};
        break;
    default:
        body = {{0, 0xFFFFFF}, {7, 0xFAFAF7}, {14, 0xEEEDE7}, {18, 0xE0DCD2}, {20, 0xD3CDC0}};
        break;
    }
    std::optional<Rim> rim;
    if (look == Look::Hover)
        rim = Rim{0xFFF2D2, 0xFEDE96, 0xFBCB6A, 0xFCDC98, 0xE69A0A, 0xF7B53A};
    else if (look == Look::Alternative)
        rim = Rim{0xD4E9FF, 0xBED6F7, 0x8FB1EC, 0xB2CCF4, 0x6A84E8, 0x8CACE6};
    else if (look == Look::Pressed)
        rim = Rim{0xC8C3B6, 0xD6D2C6, 0xD3CFC3, 0xDFDCD2, 0xF4F3EF, 0xF4F3EF};
    else if (look == Look::Normal)
        rim = Rim{0xFFFFFF, 0xFFFFFF, 0xF3F2ED, 0xF8F7F3, 0xCBC5B8, 0xDAD6CB};

    QImage img = blank(W, H);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const int ex = std::min(x, W - 1 - x);
            const int ey = std::min(y, H - 1 - y);
            QColor c = ramp(body, y);
            if (ex == 0 && ey == 0) {
                continue; // transparent corner
            } else if ((ex == 0 && ey == 1) || (ex == 1 && ey == 0)) {
                c = withAlpha(outline, 0.45);
            } else if (ex == 1 && ey == 1) {
                c = mix(c, outline, 0.55);
            } else if (ex == 0 || ey == 0) {
                c = outline;
            } else if (rim && std::min(ex, ey) <= 2) {
                const int d = std::min(ex, ey);
                QRgb r;
                if (ey <= ex)
                    r = y < H / 2 ? (d == 1 ? rim->top1 : rim->top2) : (d == 1 ? rim->bottom1 : rim->bottom2);
                else
                    r = d == 1 ? rim->side1 : rim->side2;
                c = QColor(r);
                if (look == Look::Normal && ey > ex && x > W / 2)
                    c = mix(c, QColor(0xD8D3C7), 0.5); // a faint shade down the right side
            }
            put(img, x, y, c);
        }
    }
    return img;
}

// ---- check box: 12 cells of 16 x 16, a 14 x 14 box at (1, 1) ---------------------------------------------------

enum class Mode { Normal, Hover, Pressed, Disabled };

QImage checkCell(int value, Mode mode) {
    QImage img = blank(16, 16);
    const QColor border = mode == Mode::Disabled ? QColor(0xC6C4B7) : QColor(0x1C5180);
    const QColor mark = mode == Mode::Disabled ? QColor(0xC6C4B7) : QColor(0x21A121);
    for (int by = 0; by < 14; ++by) {
        for (int bx = 0; bx < 14; ++bx) {
            QColor c;
            if (bx == 0 || by == 0 || bx == 13 || by == 13) {
                c = border;
            } else {
                const int ix = bx - 1, iy = by - 1;
                const double t = (ix + iy) / 22.0;
                const int d = std::min({ix, iy, 11 - ix, 11 - iy});
                switch (mode) {
                case Mode::Disabled:
                    c = Qt::white;
                    break;
                case Mode::Pressed:
                    c = mix(QColor(0xB3B2A8), QColor(0xE6E4DC), t);
                    break;
                case Mode::Hover:
                    c = d == 0   ? mix(QColor(0xFFEFC8), QColor(0xF6AE2E), t)
                        : d == 1 ? mix(QColor(0xFFF5DC), QColor(0xF9C766), t)
                                 : mix(QColor(0xDCDCD6), Qt::white, t);
                    break;
                case Mode::Normal:
                    c = mix(QColor(0xDCDCD6), Qt::white, t);
                    break;
                }
            }
            put(img, bx + 1, by + 1, c);
        }
    }
    if (value == 1) {
        // A tick of three-pixel strokes inside the 12 x 12 interior.
        static const char* tick[] = {
            ".......#", "......##", "#....###", "##..###.", "######..", ".####...", "..##....",
        };
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 8; ++x)
                if (tick[y][x] == '#')
                    put(img, 4 + x, 5 + y, mark);
    } else if (value == 2) {
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                put(img, 4 + x, 4 + y,
                    mode == Mode::Disabled ? mark : mix(QColor(0x7BCB7B), QColor(0x1C931C), (x + y) / 14.0));
    }
    return img;
}

// ---- group box frame: 22 x 20 ----------------------------------------------------------------------------------

QImage groupFrame() {
    constexpr int W = 22, H = 20;
    const QColor line(0xC9C8B6);
    QImage img = blank(W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const int ex = std::min(x, W - 1 - x);
            const int ey = std::min(y, H - 1 - y);
            if (ex == 0 && ey == 0)
                continue;
            if ((ex == 0 && ey == 1) || (ex == 1 && ey == 0))
                put(img, x, y, withAlpha(line, 0.5));
            else if (ex == 1 && ey == 1)
                put(img, x, y, withAlpha(line, 0.75));
            else if (ex == 0 || ey == 0)
                put(img, x, y, line);
        }
    return img;
}

// ---- caption buttons: 21 x 21 cells ------------------------------------------------------------------------------

enum class Glyph { Close, Maximise, Minimise, Restore, Help };

struct Face {
    QRgb light, dark, outline, glyph;
};

Face faceFor(bool red, Mode mode) {
    if (red) {
        switch (mode) {
        case Mode::Normal:
            return {0xF39A78, 0xC93B12, 0xFFFFFF, 0xFFFFFF};
        case Mode::Hover:
            return {0xFFBB9C, 0xE0552A, 0xFFFFFF, 0xFFFFFF};
        case Mode::Pressed:
            return {0x9A2708, 0xD9643C, 0xF2E2DC, 0xF5E6E0};
        case Mode::Disabled:
            return {0xEDC4B5, 0xE1A894, 0xF4DCD3, 0xF8E6DF};
        }
    }
    switch (mode) {
    case Mode::Normal:
        return {0x7FA9F8, 0x1E57D8, 0xFFFFFF, 0xFFFFFF};
    case Mode::Hover:
        return {0xAACAFF, 0x3A78F0, 0xFFFFFF, 0xFFFFFF};
    case Mode::Pressed:
        return {0x163FA6, 0x4C7FE6, 0xDCE6FA, 0xE2EAFB};
    case Mode::Disabled:
        return {0xB3C6F0, 0x8FA9E6, 0xD4DEF5, 0xDCE4F7};
    }
    return {};
}

void drawGlyph(QImage& img, Glyph glyph, QColor c, QColor fill) {
    auto rect = [&](int x0, int y0, int x1, int y1) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                put(img, x, y, c);
    };
    auto box = [&](int x0, int y0, int x1, int y1, int topThickness) {
        rect(x0, y0, x1, y0 + topThickness - 1);
        rect(x0, y1, x1, y1);
        rect(x0, y0, x0, y1);
        rect(x1, y0, x1, y1);
    };
    switch (glyph) {
    case Glyph::Close:
        for (int i = 0; i <= 8; ++i) {
            for (int w = 0; w < 2; ++w) {
                put(img, 6 + i + w, 6 + i, c);
                put(img, 14 - i - w, 6 + i, c);
            }
        }
        break;
    case Glyph::Maximise:
        box(5, 5, 15, 15, 3);
        break;
    case Glyph::Minimise:
        rect(5, 13, 11, 15);
        break;
    case Glyph::Restore:
        box(8, 4, 15, 11, 2);
        for (int y = 9; y <= 14; ++y)
            for (int x = 6; x <= 11; ++x)
                put(img, x, y, fill);
        box(5, 8, 12, 15, 2);
        break;
    case Glyph::Help: {
        static const char* mark[] = {".####.", "##..##", "....##", "...##.", "..##..",
                                     "..##..", "......", "..##..", "..##.."};
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 6; ++x)
                if (mark[y][x] == '#')
                    put(img, 7 + x, 6 + y, c);
        break;
    }
    }
}

QImage captionCell(Glyph glyph, Mode mode) {
    constexpr int S = 21;
    const Face f = faceFor(glyph == Glyph::Close, mode);
    QImage img = blank(S, S);
    for (int y = 0; y < S; ++y)
        for (int x = 0; x < S; ++x) {
            const int ex = std::min(x, S - 1 - x);
            const int ey = std::min(y, S - 1 - y);
            // A soft light spot in the upper left, falling off to the darker lower right.
            const double t = std::clamp((x + y * 1.2) / 40.0, 0.0, 1.0);
            QColor c = mix(QColor(f.light), QColor(f.dark), t);
            if (ex == 0 && ey == 0)
                continue;
            if ((ex == 0 && ey == 1) || (ex == 1 && ey == 0))
                c = withAlpha(QColor(f.outline), 0.55);
            else if (ex == 1 && ey == 1)
                c = mix(c, QColor(f.outline), 0.7);
            else if (ex == 0 || ey == 0)
                c = QColor(f.outline);
            put(img, x, y, c);
        }
    drawGlyph(img, glyph, QColor(f.glyph), mix(QColor(f.light), QColor(f.dark), 0.55));
    return img;
}

// ---- default window icon: 32 x 32 ------------------------------------------------------------------------------

QImage windowIcon() {
    QImage img = blank(32, 32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 2, 0, 30);
    g.setColorAt(0, QColor(0x5C9BFF));
    g.setColorAt(1, QColor(0x0B43B8));
    p.setPen(QPen(QColor(0x06308E), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 7, 7);
    // A play mark and two rising waves: media found on the wire.
    QPainterPath play;
    play.moveTo(8, 9);
    play.lineTo(8, 23);
    play.lineTo(19, 16);
    play.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(play);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xFFD45A), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(14, 9, 10, 14), -50 * 16, 100 * 16);
    p.drawArc(QRectF(14, 5, 16, 22), -45 * 16, 90 * 16);
    return img;
}

std::vector<std::pair<QString, QImage>> g_saved;

bool save(const QDir& dir, const QString& name, const QImage& img) {
    g_saved.emplace_back(name, img);
    const QString path = dir.filePath(name + ".png");
    if (!img.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s %dx%d\n", qPrintable(path), img.width(), img.height());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR [SHEET.png]\n", argv[0]);
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    const QImage top1 = title(true);
    const QImage topmax1 = title(false);
    const QImage left1 = border(kLeftColumns, 5, 31, [](int x, int) { return x; });
    const QImage right1 = border(kRightColumns, 5, 31, [](int x, int) { return 4 - x; });
    const QImage bottom1 = border(kBottomRows, 49, 5, [](int, int y) { return 4 - y; });

    std::vector<QImage> command;
    for (Look l : {Look::Normal, Look::Pressed, Look::Disabled, Look::Hover, Look::Alternative})
        command.push_back(commandCell(l));

    std::vector<QImage> check;
    for (int v = 0; v < 3; ++v)
        for (Mode m : {Mode::Normal, Mode::Hover, Mode::Pressed, Mode::Disabled})
            check.push_back(checkCell(v, m));

    auto captionStrip = [](Glyph g) {
        std::vector<QImage> cells;
        for (Mode m : {Mode::Normal, Mode::Hover, Mode::Pressed, Mode::Disabled})
            cells.push_back(captionCell(g, m));
        return strip(cells, false);
    };
    std::vector<QImage> help;
    for (Mode m : {Mode::Normal, Mode::Hover, Mode::Pressed})
        help.push_back(captionCell(Glyph::Help, m));

    bool ok = true;
    ok &= save(dir, "imgtop1", top1);
    ok &= save(dir, "imgtop2", washed(top1));
    ok &= save(dir, "imgtopmax1", topmax1);
    ok &= save(dir, "imgtopmax2", washed(topmax1));
    ok &= save(dir, "imgleft1", left1);
    ok &= save(dir, "imgleft2", washed(left1));
    ok &= save(dir, "imgright1", right1);
    ok &= save(dir, "imgright2", washed(right1));
    ok &= save(dir, "imgbottom1", bottom1);
    ok &= save(dir, "imgbottom2", washed(bottom1));
    ok &= save(dir, "Image1", windowIcon());
    ok &= save(dir, "xpcmdbutton", strip(command, false));
    ok &= save(dir, "xpcheckbox", strip(check, true));
    ok &= save(dir, "xpgroupbox", groupFrame());
    ok &= save(dir, "xptopbuttons0", captionStrip(Glyph::Close));
    ok &= save(dir, "xptopbuttons1", captionStrip(Glyph::Maximise));
    ok &= save(dir, "xptopbuttons2", captionStrip(Glyph::Minimise));
    ok &= save(dir, "xptopbuttons3", captionStrip(Glyph::Restore));
    ok &= save(dir, "xphelp", strip(help, false));
    if (ok && argc == 3) {
        // Review sheet: each picture at 4x on a checker of two greys, so transparency and keys stand out.
        constexpr int zoom = 4, gap = 12, sheetWidth = 820;
        std::vector<QRect> places;
        int x = gap, y = gap, rowHeight = 0;
        for (const auto& entry : g_saved) {
            const QSize s = entry.second.size() * zoom;
            if (x + s.width() + gap > sheetWidth) {
                x = gap;
                y += rowHeight + gap;
                rowHeight = 0;
            }
            places.emplace_back(QPoint(x, y), s);
            x += s.width() + gap;
            rowHeight = std::max(rowHeight, s.height());
        }
        QImage sheet(sheetWidth, y + rowHeight + gap, QImage::Format_ARGB32);
        sheet.fill(QColor(0xECE9D8));
        QPainter p(&sheet);
        for (size_t i = 0; i < places.size(); ++i) {
            const QRect r = places[i];
            for (int cy = r.top(); cy <= r.bottom(); cy += 8)
                for (int cx = r.left(); cx <= r.right(); cx += 8)
                    p.fillRect(QRect(cx, cy, 8, 8).intersected(r),
                               ((cx + cy) / 8) % 2 ? QColor(0xC8C8C8) : QColor(0x989898));
            p.drawImage(r, g_saved[i].second);
        }
        p.end();
        ok = sheet.save(QString::fromLocal8Bit(argv[2]));
    }
    return ok ? 0 : 1;
}
