#pragma once

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>

#include <array>
#include <string>

#include "ui/display_text.h"
#include "ui/layout.h"
#include "ui/screen_scale.h"
#include "ui/window.h"

namespace ts {

// Draws the window's controls into an off-screen pixmap with anti-aliased
// text, so that the window itself only ever receives finished pictures.
class X11Painter {
 public:
  // `texts` holds the changing texts, indexed by Control.
  using Texts = std::array<std::string, 3>;

  X11Painter(Display* display, int screen, Drawable like, ScreenDensity density, int width,
             int height);
  ~X11Painter();
  X11Painter(const X11Painter&) = delete;
  X11Painter& operator=(const X11Painter&) = delete;

  void paint(const Texts& texts);
  Pixmap pixmap() const { return pixmap_; }

 private:
  enum Colour {
    kWindowBack,
    kLabelBack,
    kAreaBack,
    kCaptionText,
    kLabelText,
    kAreaText,
    kShadow,
    kDarkShadow,
    kLight,
    kHighlight,
    kColourCount
  };

  void openFont(int screen, double dpi);
  void allocateColours();
  void paintControl(const layout::ControlPlacement& entry, const Texts& texts);
  void fill(Colour colour, const PixelRect& rect);
  void outline(Colour topLeft, Colour bottomRight, const PixelRect& rect);
  void drawFrame(const layout::ControlPlacement& entry, const PixelRect& rect);
  void drawTextArea(const std::string& text, const PixelRect& rect);
  void drawLabel(const std::string& text, Colour back, Colour fore, const PixelRect& rect,
                 int padding);
  // Lines of `text`, wrapped and clipped to `rect`.
  void drawLines(const std::string& text, Colour colour, const PixelRect& rect);
  int textWidth(const std::string& bytes) const;
  int lineHeight() const;

  Display* display_;
  Visual* visual_;
  Colormap colormap_;
  ScreenDensity density_;
  int width_;
  int height_;
  Pixmap pixmap_;
  XftDraw* draw_ = nullptr;
  XftFont* font_ = nullptr;  // null when fontconfig offers no font at all
  Advances advances_{};
  std::array<XftColor, kColourCount> colours_{};
};

}  // namespace ts
