#pragma once

#include <QImage>
#include <QRegion>
#include <QSize>
#include <QWidget>

namespace velmora::trans_colour {

// Only the top rows are scanned, so the window keeps square bottom corners whatever its surface shows.
constexpr int kScannedRows = 6;

// The client rectangle (0, 0, CLIENT) less every pixel of rows 0 to 5 of SURFACE that shows KEYCOLOUR
// (red + 256 x green + 65536 x blue). Pixels outside the surface never match.
QRegion trans_region(const QImage& surface, const QSize& client, quint32 keyColour);

// Gives HOST that outline as its window shape. SURFACE is the picture of the host's top rows (at least
// kScannedRows high is enough); it is read once, not pixel by pixel through the window system.
void set_trans_region(QWidget* host, const QImage& surface, quint32 keyColour);

} // namespace velmora::trans_colour
