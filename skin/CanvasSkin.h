#pragma once

#include <QImage>

namespace velmora {

// One set of the frame's pictures: title strip for the normal and the maximised window (66 x 29), left and
// right borders (5 x 31) and bottom border (49 x 5). The frame has an active and an inactive set.
struct CanvasSkin {
    QImage imgtop;
    QImage imgtopmax;
    QImage imgleft;
    QImage imgright;
    QImage imgbottom;

    // The shipped set: 1 active, 2 inactive.
    static CanvasSkin shipped(int set);
};

} // namespace velmora
