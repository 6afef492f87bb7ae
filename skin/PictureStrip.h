#pragma once

#include <QImage>
#include <QSize>
#include <vector>

namespace velmora {

// One picture split into a grid of equal cells, taken by index in reading order (row by row, left to right).
// The skinned controls take every look from such a strip.
class PictureStrip final {
public:
    PictureStrip() = default;
    PictureStrip(const QImage& picture, int rows, int columns);

    int rows() const { return rows_; }
    int columns() const { return columns_; }
    int count() const { return rows_ * columns_; }
    QSize cellSize() const { return cellSize_; }
    const QImage& picture() const { return picture_; }
    bool isNull() const { return cells_.empty(); }

    // Cell n, or a null image when n is outside the grid or the picture is missing.
    QImage cell(int n) const;

private:
    QImage picture_;
    int rows_ = 0;
    int columns_ = 0;
    QSize cellSize_;
    std::vector<QImage> cells_;
};

} // namespace velmora
