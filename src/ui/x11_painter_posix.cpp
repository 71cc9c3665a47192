#include "ui/x11_painter_posix.h"

#include <algorithm>
#include <optional>
#include <string>

#include "ui/x11_library_posix.h"

namespace ts {
namespace {

constexpr double kPointsPerInch = 72;
// Frame captions start where the controls inside the frame do.
constexpr int kCaptionInsetTwips = 120;
// Room between a caption and the frame line it breaks, and between a text
// area's border and its text.
constexpr int kCaptionGapPx = 2;
constexpr int kBorderPx = 2;
constexpr int kTextPaddingPx = 2;

const char* const kFallbackFamily = "sans-serif";

constexpr std::array<unsigned, 10> kPalette{
    layout::kWorkspaceGrey,     // window and frames
    layout::kActiveBorderGrey,  // the port summary's background
    0xFFFFFF,                   // text areas' background
    0x000000,                   // frame captions and the TX/RX labels
    layout::kBlue,              // the port summary's text
    layout::kRed,               // text areas' text
    0x808080,                   // shadow
    0x404040,                   // dark shadow
    0xDCDCDC,                   // light
    0xFFFFFF,                   // highlight
};

std::optional<Control> changingText(layout::Id id) {
  switch (id) {
    case layout::Id::LblPorta:
      return Control::LblPorta;
    case layout::Id::TextTX:
      return Control::TextTX;
    case layout::Id::TextRX:
      return Control::TextRX;
    default:
      return std::nullopt;
  }
}

PixelRect inset(const PixelRect& rect, int by) {
  return PixelRect{rect.x + by, rect.y + by, rect.width - 2 * by, rect.height - 2 * by};
}

const FcChar8* fcText(const char* text) {
  return reinterpret_cast<const FcChar8*>(text);
}

}  // namespace

X11Painter::X11Painter(Display* display, int screen, Drawable like, ScreenDensity density,
                       int width, int height)
    : display_(display),
      visual_(DefaultVisual(display, screen)),
      colormap_(DefaultColormap(display, screen)),
      density_(density),
      width_(width),
      height_(height),
      pixmap_(x11().XCreatePixmap(display, like, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height),
                                  static_cast<unsigned>(DefaultDepth(display, screen)))) {
  draw_ = x11().XftDrawCreate(display_, pixmap_, visual_, colormap_);
  allocateColours();
  openFont(screen, density.y);
}

X11Painter::~X11Painter() {
  for (XftColor& colour : colours_) x11().XftColorFree(display_, visual_, colormap_, &colour);
  if (font_) x11().XftFontClose(display_, font_);
  if (draw_) x11().XftDrawDestroy(draw_);
  x11().XFreePixmap(display_, pixmap_);
}

void X11Painter::openFont(int screen, double dpi) {
  FcPattern* pattern = x11().FcPatternCreate();
  const std::string face(layout::kFontFace);
  // When the face is missing, fontconfig takes the next family in the list
  // rather than whatever face it ranks first.
  x11().FcPatternAddString(pattern, FC_FAMILY, fcText(face.c_str()));
  x11().FcPatternAddString(pattern, FC_FAMILY, fcText(kFallbackFamily));
  x11().FcPatternAddDouble(pattern, FC_PIXEL_SIZE, layout::kFontPoints * dpi / kPointsPerInch);
  x11().FcPatternAddInteger(pattern, FC_WEIGHT, x11().FcWeightFromOpenType(layout::kFontWeight));
  x11().FcPatternAddInteger(pattern, FC_SLANT, FC_SLANT_ROMAN);
  FcResult result = FcResultMatch;
  FcPattern* match = x11().XftFontMatch(display_, screen, pattern, &result);
  x11().FcPatternDestroy(pattern);
  if (!match) return;
  font_ = x11().XftFontOpenPattern(display_, match);  // owns `match` when it succeeds
  if (!font_) {
    x11().FcPatternDestroy(match);
    return;
  }
  for (int byte = 0; byte < 256; ++byte) {
    const std::string utf8 = windows1252ToUtf8(std::string(1, static_cast<char>(byte)));
    XGlyphInfo extents{};
    x11().XftTextExtentsUtf8(display_, font_, fcText(utf8.c_str()), static_cast<int>(utf8.size()),
                             &extents);
    advances_[static_cast<std::size_t>(byte)] = extents.xOff;
  }
}

void X11Painter::allocateColours() {
  for (std::size_t i = 0; i < kPalette.size(); ++i) {
    const auto channel = [&](int shift) {
      return static_cast<unsigned short>(((kPalette[i] >> shift) & 0xFF) * 0x101);
    };
    const XRenderColor value{channel(16), channel(8), channel(0), 0xFFFF};
    x11().XftColorAllocValue(display_, visual_, colormap_, &value, &colours_[i]);
  }
}

void X11Painter::paint(const Texts& texts) {
  fill(kWindowBack, PixelRect{0, 0, width_, height_});
  // Frames hold the rest; text areas are windows of their own and lie over
  // the labels where the two touch.
  for (const layout::Kind kind :
       {layout::Kind::Frame, layout::Kind::Label, layout::Kind::TextArea}) {
    for (const layout::ControlPlacement& entry : layout::kControls) {
      if (entry.kind == kind) paintControl(entry, texts);
    }
  }
}

void X11Painter::paintControl(const layout::ControlPlacement& entry, const Texts& texts) {
  const PixelRect rect = toPixels(layout::clientRect(entry.id), density_);
  const auto changing = changingText(entry.id);
  const std::string text =
      changing ? texts[static_cast<std::size_t>(*changing)] : std::string(entry.caption);
  switch (entry.kind) {
    case layout::Kind::Frame:
      drawFrame(entry, rect);
      break;
    case layout::Kind::TextArea:
      drawTextArea(text, rect);
      break;
    case layout::Kind::Label:
      if (changing) {
        // The port summary has a background of its own: keep text off its edge.
        drawLabel(text, kLabelBack, kLabelText, rect, kTextPaddingPx);
      } else {
        drawLabel(text, kWindowBack, kCaptionText, rect, 0);
      }
      break;
  }
}

void X11Painter::fill(Colour colour, const PixelRect& rect) {
  if (rect.width <= 0 || rect.height <= 0) return;
  x11().XftDrawRect(draw_, &colours_[colour], rect.x, rect.y, static_cast<unsigned>(rect.width),
                    static_cast<unsigned>(rect.height));
}

void X11Painter::outline(Colour topLeft, Colour bottomRight, const PixelRect& rect) {
  fill(topLeft, PixelRect{rect.x, rect.y, rect.width, 1});
  fill(topLeft, PixelRect{rect.x, rect.y, 1, rect.height});
  fill(bottomRight, PixelRect{rect.x, rect.y + rect.height - 1, rect.width, 1});
  fill(bottomRight, PixelRect{rect.x + rect.width - 1, rect.y, 1, rect.height});
}

void X11Painter::drawFrame(const layout::ControlPlacement& entry, const PixelRect& rect) {
  // An etched line through the middle of the caption's line.
  const int lineY = rect.y + lineHeight() / 2;
  const PixelRect box{rect.x, lineY, rect.width - 1, rect.height - (lineY - rect.y) - 1};
  outline(kHighlight, kHighlight, PixelRect{box.x + 1, box.y + 1, box.width, box.height});
  outline(kShadow, kShadow, box);

  const std::string caption(entry.caption);
  const int captionX = rect.x + twipsToPixels(kCaptionInsetTwips, density_.x);
  const int room = rect.x + rect.width - kCaptionGapPx - captionX;
  const int captionWidth = std::min(textWidth(caption), room);
  fill(kWindowBack,
       PixelRect{captionX - kCaptionGapPx, rect.y, captionWidth + 2 * kCaptionGapPx, lineHeight()});
  drawLines(caption, kCaptionText, PixelRect{captionX, rect.y, room, lineHeight()});
}

void X11Painter::drawTextArea(const std::string& text, const PixelRect& rect) {
  outline(kShadow, kHighlight, rect);
  outline(kDarkShadow, kLight, inset(rect, 1));
  const PixelRect inside = inset(rect, kBorderPx);
  fill(kAreaBack, inside);
  drawLines(text, kAreaText, inset(inside, kTextPaddingPx));
}

void X11Painter::drawLabel(const std::string& text, Colour back, Colour fore, const PixelRect& rect,
                           int padding) {
  fill(back, rect);
  drawLines(text, fore, inset(rect, padding));
}

void X11Painter::drawLines(const std::string& text, Colour colour, const PixelRect& rect) {
  if (!font_ || rect.width <= 0 || rect.height <= 0) return;
  const int height = lineHeight();
  const auto maxLines = static_cast<std::size_t>((rect.height + height - 1) / height);
  XRectangle clip{static_cast<short>(rect.x), static_cast<short>(rect.y),
                  static_cast<unsigned short>(rect.width),
                  static_cast<unsigned short>(rect.height)};
  x11().XftDrawSetClipRectangles(draw_, 0, 0, &clip, 1);
  int baseline = rect.y + font_->ascent;
  for (const std::string& line : visibleLines(text, advances_, rect.width, maxLines)) {
    const std::string utf8 = windows1252ToUtf8(line);
    x11().XftDrawStringUtf8(draw_, &colours_[colour], font_, rect.x, baseline, fcText(utf8.c_str()),
                            static_cast<int>(utf8.size()));
    baseline += height;
  }
  x11().XftDrawSetClip(draw_, nullptr);
}

int X11Painter::textWidth(const std::string& bytes) const {
  int width = 0;
  for (const char byte : bytes) width += advances_[static_cast<unsigned char>(byte)];
  return width;
}

int X11Painter::lineHeight() const {
  return font_ ? font_->height : 1;
}

}  // namespace ts
