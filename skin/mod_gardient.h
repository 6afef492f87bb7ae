#pragma once

#include <QColor>
#include <QPainter>
#include <QSize>

namespace velmora::mod_gardient {

// Colours are 32-bit values red + 256 x green + 65536 x blue.
QColor colour_from_value(quint32 value);
quint32 value_from_colour(const QColor& colour);

// The colour of the line at X of a gradient over WIDTH units: each channel goes from the start to the end value
// in equal real steps and is rounded to the nearest whole number, halves to the even neighbour.
QColor gradient_colour(int x, int width, quint32 startColour, quint32 endColour);

// Fills the surface (SIZE in the painter's units) with a horizontal gradient by drawing one vertical line per unit,
// x = 0 up to and including the width: the first line has exactly the start colour, the line at x = width exactly
// the end colour (it falls just outside a surface of that width). A width of 0 draws one line in the start colour.
void draw_gradient(QPainter& target, const QSize& size, quint32 startColour, quint32 endColour);

} // namespace velmora::mod_gardient
