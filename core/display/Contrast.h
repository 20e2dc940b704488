#pragma once
// Contrast of text against its background, as WCAG 2 measures it, and the colour choices the
// row views make with it: readable text on any palette, and dimmed text that stays legible.

#include <QColor>

namespace velmo {

// `colour` as it looks drawn over the opaque `background`.
QColor over(const QColor& colour, const QColor& background);

// The contrast ratio of two colours, from 1 (equal luminance) to 21 (black on white). A
// translucent first colour counts as drawn over the second, as are the colours given below.
double contrastRatio(const QColor& a, const QColor& b);

// `wanted` itself when it reaches `minimum` against `background`; otherwise the colour nearest
// to it on the way to black or white (whichever side reaches the minimum) that does.
QColor readableColor(const QColor& wanted, const QColor& background, double minimum = 4.5);

// `colour` moved towards `background` to look faded, but never below `minimum` contrast (nor
// below its own contrast when that is already lower).
QColor dimmedColor(const QColor& colour, const QColor& background, double minimum = 3.0);

}  // namespace velmo
