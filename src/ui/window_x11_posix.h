#pragma once

#include <X11/Xlib.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "loop/event_loop_posix.h"
#include "ui/screen_scale.h"
#include "ui/window.h"
#include "ui/x11_painter_posix.h"

namespace ts {

// The status window on an X server, served by the run's own poll loop: the
// loop watches the connection and, before every wait, the window handles
// what Xlib has already read, repaints and flushes, so no event waits in
// Xlib's buffer while the loop sleeps and nothing ever blocks.
class X11Window : public Window {
 public:
  // Null when no X server can be reached.
  static std::unique_ptr<X11Window> open(PosixEventLoop& loop);
  ~X11Window() override;
  X11Window(const X11Window&) = delete;
  X11Window& operator=(const X11Window&) = delete;

  void setText(Control control, std::string text) override;
  const std::string& text(Control control) const override;
  bool canDisplay() const override { return true; }
  void setVisible(bool visible) override;
  bool visible() const override { return visible_; }
  ScreenMetrics screenMetrics() const override;
  std::int32_t outerWidthTwips() const override;
  void moveTo(std::int32_t leftTwips, std::int32_t topTwips) override;
  void setOnClose(std::function<void()> handler) override { onClose_ = std::move(handler); }

 private:
  // Frame widths a window manager adds around the client area, in pixels.
  struct FrameExtents {
    long left = 0, right = 0, top = 0, bottom = 0;
    bool operator==(const FrameExtents&) const = default;
  };
  struct Atoms {
    Atom protocols, deleteWindow, netWmName, utf8String, netWmPid, netWmIcon, frameExtents,
        requestFrameExtents;
  };

  X11Window(PosixEventLoop& loop, Display* display);
  void createWindow();
  void setProperties();
  void setIcon();
  // The position, once placed, is the outer frame's corner.
  void setSizeHints(std::optional<XPoint> position);
  void requestFrameExtents();
  FrameExtents readFrameExtents() const;
  int outerWidthPixels() const;
  void placeOuterCorner(int left);

  void serve();
  void handle(const XEvent& event);
  void onFrameExtentsChanged();
  void present();
  void closedByUser();
  void connectionLost();
  void windowGone();
  static void noteConnectionLost(Display* display, void* self);

  PosixEventLoop& loop_;
  Display* display_;
  int screen_;
  ScreenDensity density_;
  std::int32_t twipsPerPixelX_;
  std::int32_t twipsPerPixelY_;
  int width_;
  int height_;
  Atoms atoms_{};
  ::Window window_ = 0;
  GC gc_ = nullptr;
  std::unique_ptr<X11Painter> painter_;
  X11Painter::Texts texts_;
  std::function<void()> onClose_;
  // The frame the last placement counted on.
  mutable FrameExtents frame_;
  // Where moveTo put the outer frame: the right edge stays put when the
  // window manager reports its frame only after the window was placed.
  bool placed_ = false;
  int outerRight_ = 0;
  int top_ = 0;
  bool visible_ = false;
  bool dirty_ = true;
  bool closed_ = false;
  bool lost_ = false;       // the connection to the server broke
  bool destroyed_ = false;  // another client destroyed the window
};

}  // namespace ts
