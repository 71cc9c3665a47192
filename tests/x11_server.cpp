#include "x11_server.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <thread>

namespace ts::testing {
namespace {

// The program's window may vanish between two queries; that is no failure.
int ignoreErrors(Display*, XErrorEvent*) {
  return 0;
}

}  // namespace

X11Server::X11Server() {
  const char* name = std::getenv("TS_TEST_DISPLAY");
  if (!name || !*name) return;
  name_ = name;
  // A server between two clients may be resetting for a moment.
  for (int attempt = 0; attempt < 50 && !display_; ++attempt) {
    display_ = XOpenDisplay(name);
    if (!display_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  XSetErrorHandler(ignoreErrors);
}

X11Server::~X11Server() {
  if (display_) XCloseDisplay(display_);
}

Atom X11Server::atom(const char* name) const {
  return XInternAtom(display_, name, False);
}

std::optional<::Window> X11Server::findByPid(::Window under, long pid) const {
  ::Window root = 0;
  ::Window parent = 0;
  ::Window* children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display_, under, &root, &parent, &children, &count)) return std::nullopt;
  std::optional<::Window> found;
  for (unsigned i = 0; i < count && !found; ++i) {
    const std::string value = property(children[i], "_NET_WM_PID");
    if (value.size() == sizeof(long) && *reinterpret_cast<const long*>(value.data()) == pid) {
      found = children[i];
    } else {
      found = findByPid(children[i], pid);  // below a window manager's frame
    }
  }
  if (children) XFree(children);
  return found;
}

std::optional<::Window> X11Server::windowOf(int pid, std::chrono::milliseconds limit) const {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (auto window = findByPid(DefaultRootWindow(display_), pid)) return window;
    if (std::chrono::steady_clock::now() > until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool X11Server::viewable(::Window window) const {
  XWindowAttributes attributes{};
  return XGetWindowAttributes(display_, window, &attributes) && attributes.map_state == IsViewable;
}

X11Server::Geometry X11Server::geometry(::Window window) const {
  XWindowAttributes attributes{};
  XGetWindowAttributes(display_, window, &attributes);
  int x = 0;
  int y = 0;
  ::Window child = 0;
  XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
  return Geometry{x, y, attributes.width, attributes.height};
}

std::string X11Server::property(::Window window, const char* name) const {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  std::string value;
  if (XGetWindowProperty(display_, window, atom(name), 0, 1 << 16, False, AnyPropertyType, &type,
                         &format, &count, &remaining, &data) == Success &&
      data) {
    // Format 32 arrives as longs.
    const std::size_t unit = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
    value.assign(reinterpret_cast<const char*>(data), count * unit);
  }
  if (data) XFree(data);
  return value;
}

X11Server::SizeLimits X11Server::sizeLimits(::Window window) const {
  XSizeHints hints{};
  long supplied = 0;
  if (!XGetWMNormalHints(display_, window, &hints, &supplied)) return {};
  SizeLimits limits;
  if (hints.flags & PMinSize) limits = {hints.min_width, hints.min_height, 0, 0};
  if (hints.flags & PMaxSize) {
    limits.maxWidth = hints.max_width;
    limits.maxHeight = hints.max_height;
  }
  return limits;
}

std::vector<long> X11Server::frameExtents(::Window window) const {
  const std::string value = property(window, "_NET_FRAME_EXTENTS");
  if (value.size() != 4 * sizeof(long)) return {0, 0, 0, 0};
  const long* longs = reinterpret_cast<const long*>(value.data());
  return {longs[0], longs[1], longs[2], longs[3]};
}

double X11Server::density() const {
  const int screen = DefaultScreen(display_);
  return DisplayWidth(display_, screen) * 25.4 / DisplayWidthMM(display_, screen);
}

int X11Server::screenWidth() const {
  return DisplayWidth(display_, DefaultScreen(display_));
}

X11Server::Image X11Server::capture(::Window window) const {
  const Geometry size = geometry(window);
  Image image;
  XImage* shot = XGetImage(display_, window, 0, 0, static_cast<unsigned>(size.width),
                           static_cast<unsigned>(size.height), AllPlanes, ZPixmap);
  if (!shot) return image;
  image.width = size.width;
  image.height = size.height;
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const unsigned long pixel = XGetPixel(shot, x, y);
      image.pixels.push_back(Rgb{static_cast<int>((pixel & shot->red_mask) >> 16),
                                 static_cast<int>((pixel & shot->green_mask) >> 8),
                                 static_cast<int>(pixel & shot->blue_mask)});
    }
  }
  XDestroyImage(shot);
  return image;
}

void X11Server::sendDeleteWindow(::Window window) const {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = atom("WM_PROTOCOLS");
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(atom("WM_DELETE_WINDOW"));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display_, window, False, NoEventMask, &event);
  XFlush(display_);
}

void X11Server::destroy(::Window window) const {
  XDestroyWindow(display_, window);
  XFlush(display_);
}

void X11Server::killClientOf(::Window window) const {
  XKillClient(display_, window);
  XFlush(display_);
}

void X11Server::setResources(const std::string& resources) const {
  const ::Window root = DefaultRootWindow(display_);
  if (resources.empty()) {
    XDeleteProperty(display_, root, XA_RESOURCE_MANAGER);
  } else {
    XChangeProperty(display_, root, XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources.data()),
                    static_cast<int>(resources.size()));
  }
  XSync(display_, False);
}

}  // namespace ts::testing
