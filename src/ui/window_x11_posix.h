#pragma once

#include <X11/Xlib.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "loop/event_loop_posix.h"
#include "ui/screen_scale.h"
#include "ui/window.h"
#include "ui/x11_painter_posix.h"

struct xcb_connection_t;

namespace ts {

class ConnectionWatchdog;

// The status window on an X server, served by the run's own poll loop.
// Everything that waits on the server (connecting, atoms, properties, the
// font, the first picture, the frame's size) happens before the loop gets
// the window, on a thread of its own and under one deadline. After that the
// loop's calls never wait on the server: events are read only as far as
// they have arrived, painting and flushing happen only when the loop is
// idle, each batch of calls is bounded by a watchdog, and a regular ping
// tells a server that stopped answering from one that is merely quiet.
class X11Window : public Window {
 public:
  // Null when the window cannot be shown: no X server, or one that does not
  // finish connecting and setting the window up within the deadline.
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
  using Clock = std::chrono::steady_clock;
  // Frame widths a window manager adds around the client area, in pixels.
  struct FrameExtents {
    long left = 0, right = 0, top = 0, bottom = 0;
    bool operator==(const FrameExtents&) const = default;
  };
  struct Atoms {
    Atom protocols, deleteWindow, netWmName, utf8String, netWmPid, netWmIcon, frameExtents,
        requestFrameExtents, ping;
  };

  // On the opener thread: the whole setup, or null.
  static std::unique_ptr<X11Window> connectAndSetUp();
  explicit X11Window(Display* display);
  bool setUp();
  void internAtoms();
  void createWindow();
  void setProperties();
  void setIcon();
  // The position, once placed, is the outer frame's corner.
  void setSizeHints(std::optional<XPoint> position);
  void requestFrameExtents();
  FrameExtents readFrameExtents() const;

  // On the loop's thread, once the setup is handed over.
  void attach(PosixEventLoop& loop);
  // Runs X calls with the watchdog armed; nothing once the connection is
  // lost. Does not nest: the calls inside are plain ones.
  void bounded(const std::function<void()>& calls);
  void readEvents();
  void takeQueuedEvents();
  void onIdle();
  void handle(const XEvent& event);
  void requestFrame();
  void collectFrame();
  void updateFrame(const FrameExtents& frame);
  int outerWidthPixels() const;
  void placeOuterCorner(int left);
  void present();
  void ping();
  void stalled();
  void closedByUser();
  void connectionLost();
  void windowGone();
  static void noteConnectionLost(Display* display, void* self);

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
  FrameExtents frame_;
  // Where moveTo put the outer frame: the right edge stays put when the
  // window manager reports its frame only after the window was placed.
  bool placed_ = false;
  int outerRight_ = 0;
  int top_ = 0;

  PosixEventLoop* loop_ = nullptr;     // set once the window is handed over
  xcb_connection_t* xcb_ = nullptr;    // null: the frame is read at setup only
  std::optional<unsigned> frameRead_;  // a read of the frame under way
  std::unique_ptr<ConnectionWatchdog> watchdog_;
  bool watching_ = false;
  EventLoop::TimerId pingTimer_ = 0;
  long pings_ = 0;
  std::optional<Clock::time_point> pingSentAt_;  // unanswered ping

  bool visible_ = false;
  bool repaint_ = false;       // the texts changed since the picture was drawn
  bool recopy_ = true;         // the window lacks the picture (shown, exposed)
  bool frameChanged_ = false;  // the window manager reported a new frame
  bool closed_ = false;
  bool lost_ = false;       // the connection to the server broke or stalled
  bool destroyed_ = false;  // another client destroyed the window
};

}  // namespace ts
