#include "ui/window_x11_posix.h"

#include <X11/Xatom.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "ui/display_text.h"
#include "ui/icon.h"
#include "ui/x11_library_posix.h"

namespace ts {
namespace {

char kInstanceName[] = "terminal-serial";
char kClassName[] = "Terminal-serial";

// A request about a window that another client has destroyed fails; that
// must not end the run, the request simply has no effect.
int ignoreRequestError(Display*, XErrorEvent*) {
  return 0;
}
// The loss is handled by the exit handler, which lets the run end in order.
int quietConnectionError(Display*) {
  return 0;
}

// The density the desktop asks fonts to use, when it sets one.
std::optional<double> xftDensity(Display* display) {
  const char* resources = x11().XResourceManagerString(display);
  if (!resources) return std::nullopt;
  x11().XrmInitialize();
  XrmDatabase database = x11().XrmGetStringDatabase(resources);
  if (!database) return std::nullopt;
  std::optional<double> dpi;
  char* type = nullptr;
  XrmValue value{};
  if (x11().XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr) {
    char* end = nullptr;
    const double parsed = std::strtod(value.addr, &end);
    if (end != value.addr && isPlausibleDensity(parsed)) dpi = parsed;
  }
  x11().XrmDestroyDatabase(database);
  return dpi;
}

ScreenDensity screenDensity(Display* display, int screen) {
  if (const auto dpi = xftDensity(display)) return ScreenDensity{*dpi, *dpi};
  return ScreenDensity{
      densityFromSize(DisplayWidth(display, screen), DisplayWidthMM(display, screen)),
      densityFromSize(DisplayHeight(display, screen), DisplayHeightMM(display, screen))};
}

int toPixels(std::int32_t twips, std::int32_t twipsPerPixel) {
  return static_cast<int>(std::lround(static_cast<double>(twips) / twipsPerPixel));
}

// A local server answers in milliseconds. A display on a host that drops
// packets, or a server that accepted the connection and then hung, would
// hold the setup for minutes, and an unattended run must still answer on
// time: past this the run goes on without a window.
constexpr auto kSetupLimit = std::chrono::seconds(2);
// The longest a batch of calls may wait on the server (a flush into a full
// socket, a round trip) before the server counts as stalled.
constexpr auto kCallLimit = std::chrono::seconds(1);
// How often the server is asked to prove it still answers, and how long it
// may take: a server that is merely quiet sends no events at all.
constexpr auto kPingEvery = std::chrono::seconds(1);
constexpr auto kPingAnswerLimit = std::chrono::seconds(3);
// Rounds of painting and flushing per idle pass while events keep coming.
constexpr int kIdleRounds = 4;

}  // namespace

// Cuts a display connection whose calls outlast their limit. Xlib waits
// without a limit for a reply, and for room to write; once the socket is
// shut down those waits end at once, the connection counts as lost, and
// every later call returns without waiting.
class ConnectionWatchdog {
 public:
  explicit ConnectionWatchdog(int fd) : fd_(fd), thread_([this] { watch(); }) {}
  ~ConnectionWatchdog() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  ConnectionWatchdog(const ConnectionWatchdog&) = delete;
  ConnectionWatchdog& operator=(const ConnectionWatchdog&) = delete;

  void arm(std::chrono::milliseconds limit) {
    {
      const std::lock_guard lock(mutex_);
      deadline_ = std::chrono::steady_clock::now() + limit;
    }
    wake_.notify_one();
  }
  void disarm() {
    const std::lock_guard lock(mutex_);
    deadline_.reset();
  }

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (!deadline_) {
        wake_.wait(lock);
      } else if (std::chrono::steady_clock::now() < *deadline_) {
        wake_.wait_until(lock, *deadline_);
      } else {
        ::shutdown(fd_, SHUT_RDWR);
        deadline_.reset();
      }
    }
  }

  const int fd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the rest is built
};

std::unique_ptr<X11Window> X11Window::open(PosixEventLoop& loop) {
  // Xlib finds its server through DISPLAY alone: without it there is no
  // window to show, and no reason to load the libraries.
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name || !loadX11Library()) return nullptr;
  std::promise<std::unique_ptr<X11Window>> made;
  std::future<std::unique_ptr<X11Window>> setUp = made.get_future();
  try {
    // Detached: a setup still under way at the deadline is abandoned to
    // its thread, which frees it should it ever finish. The loop's thread
    // never touches it, so each Xlib object has one user at a time.
    std::thread([made = std::move(made)]() mutable { made.set_value(connectAndSetUp()); }).detach();
    if (setUp.wait_for(kSetupLimit) != std::future_status::ready) return nullptr;
    std::unique_ptr<X11Window> window = setUp.get();
    if (window) window->attach(loop);
    return window;
  } catch (const std::system_error&) {
    return nullptr;  // no thread to be had: no window either
  }
}

std::unique_ptr<X11Window> X11Window::connectAndSetUp() {
  try {
    Display* display = x11().XOpenDisplay(nullptr);
    if (!display) return nullptr;
    std::unique_ptr<X11Window> window(new X11Window(display));
    if (!window->setUp()) return nullptr;
    return window;
  } catch (const std::exception&) {
    return nullptr;
  }
}

X11Window::X11Window(Display* display)
    : display_(display),
      screen_(DefaultScreen(display)),
      density_(screenDensity(display, screen_)),
      twipsPerPixelX_(twipsPerPixel(density_.x)),
      twipsPerPixelY_(twipsPerPixel(density_.y)),
      width_(twipsToPixels(layout::kClientWidth, density_.x)),
      height_(twipsToPixels(layout::kClientHeight, density_.y)) {
  x11().XSetErrorHandler(ignoreRequestError);
  x11().XSetIOErrorHandler(quietConnectionError);
  x11().XSetIOErrorExitHandler(display_, noteConnectionLost, this);
}

bool X11Window::setUp() {
  internAtoms();
  createWindow();
  setProperties();
  requestFrameExtents();
  painter_ = std::make_unique<X11Painter>(display_, screen_, window_, density_, width_, height_);
  // The first picture: Xft asks the server about its picture formats on its
  // first drawing, which must not happen mid-run.
  painter_->paint(texts_);
  // Everything has reached the server and been answered.
  x11().XSync(display_, False);
  frame_ = readFrameExtents();
  return !lost_;
}

X11Window::~X11Window() {
  if (loop_) {
    loop_->setIdleHandler(nullptr);
    loop_->cancelTimer(pingTimer_);
    if (watching_) loop_->unwatch(ConnectionNumber(display_));
  }
  // Stopped before the descriptor is closed, which a later file may reuse.
  watchdog_.reset();
  // The server frees the window along with the connection. Cut first, so
  // that closing never waits on a server that stopped answering.
  ::shutdown(ConnectionNumber(display_), SHUT_RDWR);
  painter_.reset();
  if (gc_) x11().XFreeGC(display_, gc_);
  x11().XCloseDisplay(display_);
}

void X11Window::internAtoms() {
  std::array<std::string, 9> names{
      "WM_PROTOCOLS",        "WM_DELETE_WINDOW", "_NET_WM_NAME",       "UTF8_STRING",
      "_NET_WM_PID",         "_NET_WM_ICON",     "_NET_FRAME_EXTENTS", "_NET_REQUEST_FRAME_EXTENTS",
      "TERMINAL_SERIAL_PING"};
  std::array<char*, names.size()> pointers{};
  for (std::size_t i = 0; i < names.size(); ++i) pointers[i] = names[i].data();
  std::array<Atom, names.size()> atoms{};
  // One round trip for all of them.
  x11().XInternAtoms(display_, pointers.data(), static_cast<int>(pointers.size()), False,
                     atoms.data());
  atoms_ = Atoms{atoms[0], atoms[1], atoms[2], atoms[3], atoms[4],
                 atoms[5], atoms[6], atoms[7], atoms[8]};
}

void X11Window::createWindow() {
  XSetWindowAttributes attributes{};
  // No background: every exposed pixel comes from the finished picture, so
  // the server never flashes a cleared window before it is copied.
  attributes.background_pixmap = None;
  attributes.event_mask = ExposureMask | StructureNotifyMask | PropertyChangeMask;
  window_ = x11().XCreateWindow(display_, RootWindow(display_, screen_), 0, 0,
                                static_cast<unsigned>(width_), static_cast<unsigned>(height_), 0,
                                CopyFromParent, InputOutput, CopyFromParent,
                                CWBackPixmap | CWEventMask, &attributes);
  XGCValues values{};
  values.graphics_exposures = False;
  gc_ = x11().XCreateGC(display_, window_, GCGraphicsExposures, &values);
}

void X11Window::setProperties() {
  // WM_NAME is Latin-1, which the caption's plain letters are too.
  std::string caption(layout::kCaption);
  char* captionList[] = {caption.data()};
  XTextProperty name{};
  x11().XStringListToTextProperty(captionList, 1, &name);
  XWMHints wmHints{};
  wmHints.flags = InputHint | StateHint;
  wmHints.input = True;
  wmHints.initial_state = NormalState;
  XClassHint classHint{kInstanceName, kClassName};
  x11().XSetWMProperties(display_, window_, &name, &name, nullptr, 0, nullptr, &wmHints,
                         &classHint);
  x11().XFree(name.value);
  setSizeHints(std::nullopt);

  const std::string utf8 = windows1252ToUtf8(layout::kCaption);
  x11().XChangeProperty(display_, window_, atoms_.netWmName, atoms_.utf8String, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(utf8.data()),
                        static_cast<int>(utf8.size()));
  const long pid = ::getpid();
  x11().XChangeProperty(display_, window_, atoms_.netWmPid, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&pid), 1);
  x11().XSetWMProtocols(display_, window_, &atoms_.deleteWindow, 1);
  setIcon();
}

void X11Window::setIcon() {
  // Each image as width, height and pixels; format-32 properties travel as
  // longs, whatever their size. Task bars and frames pick the size they need.
  std::vector<long> images;
  for (const int size : {16, 32, 48}) {
    images.push_back(size);
    images.push_back(size);
    for (const std::uint32_t pixel : iconPixels(size)) images.push_back(static_cast<long>(pixel));
  }
  x11().XChangeProperty(display_, window_, atoms_.netWmIcon, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(images.data()),
                        static_cast<int>(images.size()));
}

void X11Window::setSizeHints(std::optional<XPoint> position) {
  XSizeHints hints{};
  // min = max: the window manager offers no way to resize it.
  hints.flags = PSize | PMinSize | PMaxSize | PWinGravity;
  hints.width = hints.min_width = hints.max_width = width_;
  hints.height = hints.min_height = hints.max_height = height_;
  // The position names the outer frame's corner, frame included.
  hints.win_gravity = NorthWestGravity;
  if (position) {
    hints.flags |= USPosition | PPosition;
    hints.x = position->x;
    hints.y = position->y;
  }
  x11().XSetWMNormalHints(display_, window_, &hints);
}

void X11Window::requestFrameExtents() {
  // A window manager that supports it sets _NET_FRAME_EXTENTS before the
  // window is mapped, so the first placement can already count the frame.
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window_;
  event.xclient.message_type = atoms_.requestFrameExtents;
  event.xclient.format = 32;
  x11().XSendEvent(display_, RootWindow(display_, screen_), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

X11Window::FrameExtents X11Window::readFrameExtents() const {
  FrameExtents extents;
  if (lost_ || destroyed_) return extents;
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  if (x11().XGetWindowProperty(display_, window_, atoms_.frameExtents, 0, 4, False, XA_CARDINAL,
                               &type, &format, &count, &remaining, &data) == Success &&
      data && format == 32 && count == 4) {
    // Format-32 properties arrive as longs, whatever their size.
    const long* values = reinterpret_cast<const long*>(data);
    extents = FrameExtents{std::max(values[0], 0L), std::max(values[1], 0L),
                           std::max(values[2], 0L), std::max(values[3], 0L)};
  }
  if (data) x11().XFree(data);
  return extents;
}

void X11Window::attach(PosixEventLoop& loop) {
  watchdog_ = std::make_unique<ConnectionWatchdog>(ConnectionNumber(display_));
  if (const XcbBridge* bridge = xcbBridge()) xcb_ = bridge->XGetXCBConnection(display_);
  loop_ = &loop;
  loop.watch(ConnectionNumber(display_), POLLIN, [this](short) { readEvents(); });
  watching_ = true;
  loop.setIdleHandler([this] { onIdle(); });
  pingTimer_ = loop.startTimer(kPingEvery, [this] { ping(); });
}

void X11Window::bounded(const std::function<void()>& calls) {
  if (lost_) return;
  watchdog_->arm(kCallLimit);
  calls();
  watchdog_->disarm();
  if (lost_) connectionLost();
}

int X11Window::outerWidthPixels() const {
  return width_ + static_cast<int>(frame_.left + frame_.right);
}

void X11Window::setText(Control control, std::string text) {
  texts_[static_cast<std::size_t>(control)] = std::move(text);
  repaint_ = true;
}

const std::string& X11Window::text(Control control) const {
  return texts_[static_cast<std::size_t>(control)];
}

void X11Window::setVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  recopy_ = visible;
  if (lost_ || destroyed_) {
    windowGone();
    return;
  }
  bounded([this, visible] {
    if (visible) {
      x11().XMapWindow(display_, window_);
    } else {
      x11().XWithdrawWindow(display_, window_, screen_);
    }
  });
}

ScreenMetrics X11Window::screenMetrics() const {
  return ScreenMetrics{DisplayWidth(display_, screen_) * twipsPerPixelX_, twipsPerPixelX_,
                       twipsPerPixelY_};
}

std::int32_t X11Window::outerWidthTwips() const {
  // The frame learnt at setup or reported since: no round trip.
  return outerWidthPixels() * twipsPerPixelX_;
}

void X11Window::moveTo(std::int32_t leftTwips, std::int32_t topTwips) {
  const int left = toPixels(leftTwips, twipsPerPixelX_);
  top_ = toPixels(topTwips, twipsPerPixelY_);
  outerRight_ = left + outerWidthPixels();
  placed_ = true;
  if (!destroyed_) bounded([this, left] { placeOuterCorner(left); });
}

void X11Window::placeOuterCorner(int left) {
  x11().XMoveWindow(display_, window_, left, top_);
  setSizeHints(XPoint{static_cast<short>(left), static_cast<short>(top_)});
}

void X11Window::readEvents() {
  bounded([this] {
    // Reads what has arrived, without flushing and without waiting.
    x11().XEventsQueued(display_, QueuedAfterReading);
    takeQueuedEvents();
    collectFrame();
  });
}

void X11Window::takeQueuedEvents() {
  while (!lost_ && x11().XEventsQueued(display_, QueuedAlready) > 0) {
    XEvent event;
    x11().XNextEvent(display_, &event);
    handle(event);
  }
}

void X11Window::onIdle() {
  bounded([this] {
    for (int round = 0; round < kIdleRounds && !lost_; ++round) {
      // A flush may have read events the poll will not see.
      takeQueuedEvents();
      collectFrame();
      if (frameChanged_ && !frameRead_) requestFrame();
      if (visible_ && !destroyed_ && (repaint_ || recopy_)) present();
      x11().XFlush(display_);
      if (lost_ || x11().XEventsQueued(display_, QueuedAfterReading) == 0) break;
    }
  });
}

void X11Window::handle(const XEvent& event) {
  switch (event.type) {
    case Expose:
      // Copied when the loop is idle, never in the middle of a handler.
      if (event.xexpose.count == 0) recopy_ = true;
      break;
    case ClientMessage:
      if (event.xclient.message_type == atoms_.protocols &&
          static_cast<Atom>(event.xclient.data.l[0]) == atoms_.deleteWindow) {
        closedByUser();
      }
      break;
    case PropertyNotify:
      if (event.xproperty.atom == atoms_.frameExtents) frameChanged_ = true;
      if (event.xproperty.atom == atoms_.ping) pingSentAt_.reset();
      break;
    case DestroyNotify:
      if (event.xdestroywindow.window == window_) {
        destroyed_ = true;
        windowGone();
      }
      break;
    default:
      break;
  }
}

void X11Window::requestFrame() {
  // The new frame's widths are asked for, and the answer collected when it
  // has arrived: mid-run, nothing waits for a reply.
  frameChanged_ = false;
  if (!xcb_ || destroyed_) return;
  frameRead_ =
      xcbBridge()
          ->xcb_get_property(xcb_, 0, static_cast<xcb_window_t>(window_),
                             static_cast<xcb_atom_t>(atoms_.frameExtents), XCB_ATOM_CARDINAL, 0, 4)
          .sequence;
}

void X11Window::collectFrame() {
  if (!frameRead_ || lost_) return;
  void* reply = nullptr;
  xcb_generic_error_t* error = nullptr;
  if (!xcbBridge()->xcb_poll_for_reply(xcb_, *frameRead_, &reply, &error)) return;
  frameRead_.reset();
  std::free(error);
  if (!reply) return;
  const auto* property = static_cast<const xcb_get_property_reply_t*>(reply);
  FrameExtents frame;
  if (property->format == 32 &&
      xcbBridge()->xcb_get_property_value_length(property) == 4 * sizeof(std::uint32_t)) {
    std::array<std::int32_t, 4> values{};
    std::memcpy(values.data(), xcbBridge()->xcb_get_property_value(property), sizeof values);
    const auto width = [](std::int32_t value) { return std::max<long>(value, 0); };
    frame = FrameExtents{width(values[0]), width(values[1]), width(values[2]), width(values[3])};
  }
  std::free(reply);
  updateFrame(frame);
}

void X11Window::updateFrame(const FrameExtents& frame) {
  if (frame == frame_) return;
  frame_ = frame;
  // The frame became known after placement: keep the right edge in place.
  if (placed_ && !destroyed_) placeOuterCorner(outerRight_ - outerWidthPixels());
}

void X11Window::present() {
  if (repaint_) {
    painter_->paint(texts_);
    repaint_ = false;
  }
  x11().XCopyArea(display_, painter_->pixmap(), window_, gc_, 0, 0, static_cast<unsigned>(width_),
                  static_cast<unsigned>(height_), 0, 0);
  recopy_ = false;
}

void X11Window::ping() {
  pingTimer_ = 0;
  if (lost_ || destroyed_) return;
  if (pingSentAt_) {
    if (Clock::now() - *pingSentAt_ >= kPingAnswerLimit) {
      stalled();
      return;
    }
  } else {
    // Any change of a property of our own window comes back as an event.
    bounded([this] {
      const long count = ++pings_;
      x11().XChangeProperty(display_, window_, atoms_.ping, XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&count), 1);
    });
    pingSentAt_ = Clock::now();
  }
  pingTimer_ = loop_->startTimer(kPingEvery, [this] { ping(); });
}

void X11Window::stalled() {
  // Cut, so that no later call waits on the server either.
  ::shutdown(ConnectionNumber(display_), SHUT_RDWR);
  lost_ = true;
  connectionLost();
}

void X11Window::closedByUser() {
  if (closed_) return;
  closed_ = true;
  if (onClose_) onClose_();
}

void X11Window::connectionLost() {
  // A dead connection polls readable for ever: stop watching it.
  if (watching_) {
    loop_->unwatch(ConnectionNumber(display_));
    watching_ = false;
  }
  windowGone();
}

void X11Window::windowGone() {
  // A shown window that goes away was closed. A hidden one was never the
  // user's to close: the run goes on without it and still answers.
  if (visible_) closedByUser();
}

void X11Window::noteConnectionLost(Display*, void* self) {
  // Xlib would end the process with status 1, which reads as a result code.
  // Returning lets the loop handle the loss (killing the window's client is
  // one way to close it).
  static_cast<X11Window*>(self)->lost_ = true;
}

}  // namespace ts
