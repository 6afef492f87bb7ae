#include "skin/trans_colour.h"

#include <algorithm>

namespace velmora::trans_colour {

QRegion trans_region(const QImage& surface, const QSize& client, quint32 keyColour) {
    const int width = client.width();
    const int height = client.height();
    if (width <= 0 || height <= 0)
        return {};
    const QRgb key = qRgb(int(keyColour & 255u), int((keyColour >> 8) & 255u), int((keyColour >> 16) & 255u));
    const QImage rows = surface.convertToFormat(QImage::Format_RGB32);
    const int scanned = std::min(kScannedRows, height);

    // Build the kept part row by row as runs of non-key pixels, then one block for the rows never scanned.
    QRegion region;
    for (int y = 0; y < scanned; ++y) {
        const QRgb* line = y < rows.height() ? reinterpret_cast<const QRgb*>(rows.constScanLine(y)) : nullptr;
        int runStart = -1;
        for (int x = 0; x <= width; ++x) {
            const bool keyed = x < width && line && x < rows.width() && (line[x] & 0xFFFFFFu) == (key & 0xFFFFFFu);
            const bool kept = x < width && !keyed;
            if (kept && runStart < 0)
                runStart = x;
            if (!kept && runStart >= 0) {
                region += QRect(runStart, y, x - runStart, 1);
                runStart = -1;
            }
        }
    }
    if (height > scanned)
        region += QRect(0, scanned, width, height - scanned);
    return region;
}

void set_trans_region(QWidget* host, const QImage& surface, quint32 keyColour) {
    if (!host)
        return;
    host->setMask(trans_region(surface, host->size(), keyColour));
}

} // namespace velmora::trans_colour
