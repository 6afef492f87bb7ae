#include "skin/PictureStrip.h"

namespace velmora {

PictureStrip::PictureStrip(const QImage& picture, int rows, int columns)
    : picture_(picture), rows_(rows > 0 ? rows : 0), columns_(columns > 0 ? columns : 0) {
    if (picture_.isNull() || rows_ == 0 || columns_ == 0)
        return;
    cellSize_ = QSize(picture_.width() / columns_, picture_.height() / rows_);
    if (cellSize_.isEmpty())
        return;
    // Cut once: the controls ask for cells on every paint.
    const QImage source = picture_.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    cells_.reserve(size_t(count()));
    for (int n = 0; n < count(); ++n) {
        const int row = n / columns_;
        const int column = n % columns_;
        cells_.push_back(source.copy(QRect(QPoint(column * cellSize_.width(), row * cellSize_.height()), cellSize_)));
    }
}

QImage PictureStrip::cell(int n) const {
    if (n < 0 || size_t(n) >= cells_.size())
        return {};
    return cells_[size_t(n)];
}

} // namespace velmora
