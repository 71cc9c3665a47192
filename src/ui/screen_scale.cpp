#include "ui/screen_scale.h"

#include <cmath>

namespace ts {
namespace {

constexpr double kTwipsPerInch = 1440;
constexpr double kMillimetresPerInch = 25.4;
constexpr double kUsualDensity = 96;
// Beyond these a reported density is a wrong screen size, not a screen.
constexpr double kMinDensity = 24;
constexpr double kMaxDensity = 1440;

double usable(double dpi) {
  return isPlausibleDensity(dpi) ? dpi : kUsualDensity;
}

}  // namespace

bool isPlausibleDensity(double dpi) {
  return std::isfinite(dpi) && dpi >= kMinDensity && dpi <= kMaxDensity;
}

double densityFromSize(int pixels, int millimetres) {
  // A size of 0 or less, as a server that does not know its screen reports,
  // gives a density that is negative, infinite or not a number, and none of
  // those is plausible.
  return usable(pixels * kMillimetresPerInch / millimetres);
}

std::int32_t twipsPerPixel(double dpi) {
  return static_cast<std::int32_t>(std::lround(kTwipsPerInch / usable(dpi)));
}

int twipsToPixels(int twips, double dpi) {
  return static_cast<int>(std::lround(twips * usable(dpi) / kTwipsPerInch));
}

PixelRect toPixels(const layout::Rect& twips, ScreenDensity density) {
  const int left = twipsToPixels(twips.left, density.x);
  const int top = twipsToPixels(twips.top, density.y);
  return PixelRect{left, top, twipsToPixels(twips.left + twips.width, density.x) - left,
                   twipsToPixels(twips.top + twips.height, density.y) - top};
}

}  // namespace ts
