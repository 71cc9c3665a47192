#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace ts {

// The controls whose text changes during a run.
enum class Control { LblPorta, TextTX, TextRX };

struct ScreenMetrics {
  std::int32_t widthTwips = 0;       // the whole screen's width
  std::int32_t twipsPerPixelX = 15;  // rounded to whole twips
  std::int32_t twipsPerPixelY = 15;
};

// The status window as the run sees it. Texts are Windows-1252 bytes; each
// platform converts them at its own edge and keeps the bytes it was given,
// so text() returns exactly what setText() stored.
class Window {
 public:
  virtual ~Window() = default;

  virtual void setText(Control control, std::string text) = 0;
  virtual const std::string& text(Control control) const = 0;

  // False when there is no screen to show a window on (no display).
  virtual bool canDisplay() const = 0;
  virtual void setVisible(bool visible) = 0;
  virtual bool visible() const = 0;

  virtual ScreenMetrics screenMetrics() const = 0;
  // The window's outer width, border and frame included.
  virtual std::int32_t outerWidthTwips() const = 0;
  // Places the window's outer top-left corner, in twips, converted with the
  // twips per pixel that screenMetrics() reports.
  virtual void moveTo(std::int32_t leftTwips, std::int32_t topTwips) = 0;

  // Called from the event loop when the user closes the window.
  virtual void setOnClose(std::function<void()> handler) = 0;
};

}  // namespace ts
