#pragma once

#include <cstdint>

#include "ui/layout.h"

namespace ts {

// Pixels per inch of a screen, each way.
struct ScreenDensity {
  double x = 96;
  double y = 96;
};

struct PixelRect {
  int x, y, width, height;
};

// False for densities no screen has: a wrong size or setting, not a screen.
bool isPlausibleDensity(double dpi);
// Pixels per inch of `pixels` spread over `millimetres`; 96 when the size
// is unknown or gives an implausible density.
double densityFromSize(int pixels, int millimetres);

// Twips per pixel rounded to a whole number, as placement works with.
std::int32_t twipsPerPixel(double dpi);

// Twips to pixels at the screen's real density: sizes follow the screen,
// not the rounded twips per pixel.
int twipsToPixels(int twips, double dpi);
// Each edge is converted on its own, so neighbouring controls keep sharing
// their edges.
PixelRect toPixels(const layout::Rect& twips, ScreenDensity density);

}  // namespace ts
