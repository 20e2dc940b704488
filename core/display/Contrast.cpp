#include "core/display/Contrast.h"

#include <algorithm>
#include <cmath>

namespace velmo {

namespace {

double linear(int channel) {
    const double c = channel / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.red()) + 0.7152 * linear(rgb.green()) + 0.0722 * linear(rgb.blue());
}

QColor mix(const QColor& from, const QColor& to, double t) {
    const QColor a = from.toRgb();
    const QColor b = to.toRgb();
    auto channel = [t](int x, int y) { return static_cast<int>(std::lround(x + (y - x) * t)); };
    return {channel(a.red(), b.red()), channel(a.green(), b.green()), channel(a.blue(), b.blue())};
}

// The smallest step t in [0, 1] at which `ok(mix(from, to, t))` holds, for predicates that
// stay true once they became true on the way.
template <typename Ok>
double firstStep(const QColor& from, const QColor& to, Ok ok) {
    double low = 0.0;
    double high = 1.0;
    for (int i = 0; i < 20; ++i) {
        const double middle = (low + high) / 2;
        (ok(mix(from, to, middle)) ? high : low) = middle;
    }
    return high;
}

}  // namespace

QColor over(const QColor& colour, const QColor& background) {
    if (colour.alpha() == 255)
        return colour.toRgb();
    return mix(background, colour, colour.alphaF());
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(over(a, b));
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readableColor(const QColor& translucent, const QColor& background, double minimum) {
    const QColor wanted = over(translucent, background);
    if (contrastRatio(wanted, background) >= minimum)
        return wanted.toRgb();
    // One of black and white always reaches 4.58:1; go towards the one that reaches further.
    const bool darker = contrastRatio(Qt::black, background) >= contrastRatio(Qt::white, background);
    const QColor extreme = darker ? QColor(Qt::black) : QColor(Qt::white);
    const double backgroundLuminance = luminance(background);
    // Past the background's luminance the contrast only grows on the way to the extreme.
    const double t = firstStep(wanted, extreme, [&](const QColor& c) {
        const bool farSide = darker ? luminance(c) <= backgroundLuminance : luminance(c) >= backgroundLuminance;
        return farSide && contrastRatio(c, background) >= minimum;
    });
    return mix(wanted, extreme, t);
}

QColor dimmedColor(const QColor& translucent, const QColor& background, double minimum) {
    const QColor colour = over(translucent, background);
    constexpr double kFade = 0.6;  // the most the colour moves towards the background
    if (contrastRatio(colour, background) <= minimum)
        return colour.toRgb();
    // The contrast falls all the way to the background: the furthest step that keeps the minimum.
    double low = 0.0;
    double high = kFade;
    for (int i = 0; i < 20; ++i) {
        const double middle = (low + high) / 2;
        (contrastRatio(mix(colour, background, middle), background) >= minimum ? low : high) = middle;
    }
    return mix(colour, background, low);
}

}  // namespace velmo
