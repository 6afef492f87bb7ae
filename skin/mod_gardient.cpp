#include "skin/mod_gardient.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace velmora::mod_gardient {

namespace {

struct Channels {
    int red, green, blue;
};

Channels split(quint32 colour) {
    return {int(colour & 255u), int((colour / 256u) & 255u), int((colour / 65536u) & 255u)};
}

// Halves go to the even neighbour, as the classic rounding of a real to a whole number does.
int roundHalfEven(double v) {
    const double lower = std::floor(v);
    const double fraction = v - lower;
    if (fraction > 0.5)
        return int(lower) + 1;
    if (fraction < 0.5)
        return int(lower);
    return std::fmod(lower, 2.0) == 0.0 ? int(lower) : int(lower) + 1;
}

double step(int from, int to, int width) {
    const double magnitude = double(std::abs(to - from)) / width;
    return to < from ? -magnitude : magnitude;
}

} // namespace

QColor colour_from_value(quint32 value) {
    const Channels c = split(value);
    return QColor(c.red, c.green, c.blue);
}

quint32 value_from_colour(const QColor& colour) {
    return quint32(colour.red()) + 256u * quint32(colour.green()) + 65536u * quint32(colour.blue());
}

QColor gradient_colour(int x, int width, quint32 startColour, quint32 endColour) {
    const Channels a = split(startColour);
    if (width <= 0)
        return QColor(a.red, a.green, a.blue);
    const Channels b = split(endColour);
    auto channel = [&](int from, int to) {
        return std::clamp(roundHalfEven(from + x * step(from, to, width)), 0, 255);
    };
    return QColor(channel(a.red, b.red), channel(a.green, b.green), channel(a.blue, b.blue));
}

void draw_gradient(QPainter& target, const QSize& size, quint32 startColour, quint32 endColour) {
    const int width = size.width();
    for (int x = 0; x <= std::max(width, 0); ++x) {
        // A line from (x, 0) to (x, height), both ends included.
        target.fillRect(QRect(x, 0, 1, size.height() + 1), gradient_colour(x, width, startColour, endColour));
    }
}

} // namespace velmora::mod_gardient
