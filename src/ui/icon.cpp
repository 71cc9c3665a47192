#include "ui/icon.h"

#include <cmath>

namespace ts {
namespace {

struct Rgb {
  double r, g, b;
};

constexpr Rgb kShell{0x1F, 0x4E, 0x79};  // a dark blue
constexpr Rgb kPin{0xF2, 0xF2, 0xF2};

// Geometry in units of the icon's side, origin at the top left.
constexpr double kTop = 0.27, kBottom = 0.73;
constexpr double kTopHalfWidth = 0.45, kBottomHalfWidth = 0.34;
constexpr double kPinRadius = 0.055;
constexpr double kPinRowTop = 0.41, kPinRowBottom = 0.59;
constexpr double kPinStep = 0.16;

bool insideShell(double x, double y) {
  if (y < kTop || y > kBottom) return false;
  const double along = (y - kTop) / (kBottom - kTop);
  const double halfWidth = kTopHalfWidth + (kBottomHalfWidth - kTopHalfWidth) * along;
  return std::abs(x - 0.5) <= halfWidth;
}

// Five pins above, four below, as on the common nine-pin connector.
bool onPin(double x, double y) {
  const auto near = [x, y](double cx, double cy) {
    return std::hypot(x - cx, y - cy) <= kPinRadius;
  };
  for (int i = -2; i <= 2; ++i) {
    if (near(0.5 + i * kPinStep, kPinRowTop)) return true;
  }
  for (int i = 0; i < 4; ++i) {
    if (near(0.5 + (i - 1.5) * kPinStep, kPinRowBottom)) return true;
  }
  return false;
}

// Each pixel is sampled on a grid, so the slanted sides and round pins come
// out smooth at small sizes.
constexpr int kSamples = 4;

std::uint32_t shade(int size, int column, int row) {
  Rgb sum{0, 0, 0};
  int covered = 0;
  for (int sy = 0; sy < kSamples; ++sy) {
    for (int sx = 0; sx < kSamples; ++sx) {
      const double x = (column + (sx + 0.5) / kSamples) / size;
      const double y = (row + (sy + 0.5) / kSamples) / size;
      if (!insideShell(x, y)) continue;
      const Rgb& colour = onPin(x, y) ? kPin : kShell;
      sum = Rgb{sum.r + colour.r, sum.g + colour.g, sum.b + colour.b};
      ++covered;
    }
  }
  if (covered == 0) return 0;
  const auto channel = [covered](double total) {
    return static_cast<std::uint32_t>(std::lround(total / covered));
  };
  const auto alpha =
      static_cast<std::uint32_t>(std::lround(255.0 * covered / (kSamples * kSamples)));
  return alpha << 24 | channel(sum.r) << 16 | channel(sum.g) << 8 | channel(sum.b);
}

}  // namespace

std::vector<std::uint32_t> iconPixels(int size) {
  std::vector<std::uint32_t> pixels;
  if (size < 1) return pixels;
  pixels.reserve(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
  for (int row = 0; row < size; ++row) {
    for (int column = 0; column < size; ++column) pixels.push_back(shade(size, column, row));
  }
  return pixels;
}

}  // namespace ts
