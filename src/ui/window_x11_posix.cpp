#include "ui/window_x11_posix.h"

#include <X11/Xatom.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
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
// packets, or a server that hangs, would hold XOpenDisplay for minutes, and
// an unattended run must still answer on time.
constexpr auto kDisplayConnectLimit = std::chrono::seconds(2);

// Null when the display cannot be reached within the limit. The connection
// is made on a thread of its own; one still pending at the limit is left to
// it and never used.
Display* openDisplayWithin(std::chrono::milliseconds limit) {
  auto result = std::make_shared<std::promise<Display*>>();
  std::future<Display*> opened = result->get_future();
  std::thread opener([result] { result->set_value(x11().XOpenDisplay(nullptr)); });
  if (opened.wait_for(limit) != std::future_status::ready) {
    opener.detach();
    return nullptr;
  }
  opener.join();
  return opened.get();
}

}  // namespace

std::unique_ptr<X11Window> X11Window::open(PosixEventLoop& loop) {
  // Xlib finds its server through DISPLAY alone: without it there is no
  // window to show, and no reason to load the libraries.
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name || !loadX11Library()) return nullptr;
  Display* display = openDisplayWithin(kDisplayConnectLimit);
  if (!display) return nullptr;
  return std::unique_ptr<X11Window>(new X11Window(loop, display));
}

X11Window::X11Window(PosixEventLoop& loop, Display* display)
    : loop_(loop),
      display_(display),
      screen_(DefaultScreen(display)),
      density_(screenDensity(display, screen_)),
      twipsPerPixelX_(twipsPerPixel(density_.x)),
      twipsPerPixelY_(twipsPerPixel(density_.y)),
      width_(twipsToPixels(layout::kClientWidth, density_.x)),
      height_(twipsToPixels(layout::kClientHeight, density_.y)) {
  x11().XSetErrorHandler(ignoreRequestError);
  x11().XSetIOErrorHandler(quietConnectionError);
  x11().XSetIOErrorExitHandler(display_, noteConnectionLost, this);
  createWindow();
  setProperties();
  requestFrameExtents();
  painter_ = std::make_unique<X11Painter>(display_, screen_, window_, density_, width_, height_);
  loop_.watch(ConnectionNumber(display_), POLLIN, [this](short) { serve(); });
  loop_.setBeforeWait([this] { serve(); });
}

X11Window::~X11Window() {
  loop_.setBeforeWait(nullptr);
  loop_.unwatch(ConnectionNumber(display_));
  painter_.reset();
  x11().XFreeGC(display_, gc_);
  if (!destroyed_) x11().XDestroyWindow(display_, window_);
  x11().XCloseDisplay(display_);
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
  const auto intern = [this](const char* name) { return x11().XInternAtom(display_, name, False); };
  atoms_ = Atoms{intern("WM_PROTOCOLS"),       intern("WM_DELETE_WINDOW"),
                 intern("_NET_WM_NAME"),       intern("UTF8_STRING"),
                 intern("_NET_WM_PID"),        intern("_NET_WM_ICON"),
                 intern("_NET_FRAME_EXTENTS"), intern("_NET_REQUEST_FRAME_EXTENTS")};

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

int X11Window::outerWidthPixels() const {
  return width_ + static_cast<int>(frame_.left + frame_.right);
}

void X11Window::setText(Control control, std::string text) {
  texts_[static_cast<std::size_t>(control)] = std::move(text);
  dirty_ = true;
}

const std::string& X11Window::text(Control control) const {
  return texts_[static_cast<std::size_t>(control)];
}

void X11Window::setVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  if (lost_ || destroyed_) {
    windowGone();
    return;
  }
  if (visible) {
    x11().XMapWindow(display_, window_);
  } else {
    x11().XWithdrawWindow(display_, window_, screen_);
  }
}

ScreenMetrics X11Window::screenMetrics() const {
  return ScreenMetrics{DisplayWidth(display_, screen_) * twipsPerPixelX_, twipsPerPixelX_,
                       twipsPerPixelY_};
}

std::int32_t X11Window::outerWidthTwips() const {
  // Remembered: a placement computed from this width must be corrected by
  // exactly the change the window manager reports later.
  frame_ = readFrameExtents();
  return outerWidthPixels() * twipsPerPixelX_;
}

void X11Window::moveTo(std::int32_t leftTwips, std::int32_t topTwips) {
  const int left = toPixels(leftTwips, twipsPerPixelX_);
  top_ = toPixels(topTwips, twipsPerPixelY_);
  outerRight_ = left + outerWidthPixels();
  placed_ = true;
  placeOuterCorner(left);
}

void X11Window::placeOuterCorner(int left) {
  if (lost_ || destroyed_) return;
  x11().XMoveWindow(display_, window_, left, top_);
  setSizeHints(XPoint{static_cast<short>(left), static_cast<short>(top_)});
}

void X11Window::onFrameExtentsChanged() {
  const FrameExtents frame = readFrameExtents();
  if (frame == frame_) return;
  frame_ = frame;
  // The frame became known after placement: keep the right edge in place.
  if (placed_) placeOuterCorner(outerRight_ - outerWidthPixels());
}

void X11Window::serve() {
  while (!lost_ && x11().XPending(display_) > 0) {
    XEvent event;
    x11().XNextEvent(display_, &event);
    handle(event);
  }
  if (!lost_ && dirty_ && visible_) present();
  if (!lost_) x11().XFlush(display_);
  if (lost_) connectionLost();
}

void X11Window::handle(const XEvent& event) {
  switch (event.type) {
    case Expose:
      if (event.xexpose.count == 0) present();
      break;
    case ClientMessage:
      if (event.xclient.message_type == atoms_.protocols &&
          static_cast<Atom>(event.xclient.data.l[0]) == atoms_.deleteWindow) {
        closedByUser();
      }
      break;
    case PropertyNotify:
      if (event.xproperty.atom == atoms_.frameExtents) onFrameExtentsChanged();
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

void X11Window::present() {
  if (lost_ || destroyed_) return;
  if (dirty_) {
    painter_->paint(texts_);
    dirty_ = false;
  }
  x11().XCopyArea(display_, painter_->pixmap(), window_, gc_, 0, 0, static_cast<unsigned>(width_),
                  static_cast<unsigned>(height_), 0, 0);
}

void X11Window::closedByUser() {
  if (closed_) return;
  closed_ = true;
  if (onClose_) onClose_();
}

void X11Window::connectionLost() {
  // A dead connection polls readable for ever: stop watching it.
  loop_.unwatch(ConnectionNumber(display_));
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
