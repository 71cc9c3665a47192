#include "x11_server.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace ts::testing {
namespace {

// The program's window may vanish between two queries; that is no failure.
int ignoreErrors(Display*, XErrorEvent*) {
  return 0;
}

std::size_t padded(std::size_t bytes) {
  return (bytes + 3) / 4 * 4;
}

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
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

std::optional<::Window> X11Server::findByPid(::Window under, long pid) const {
  ::Window root = 0, parent = 0;
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
  int x = 0, y = 0;
  ::Window child = 0;
  XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
  return Geometry{x, y, attributes.width, attributes.height};
}

std::string X11Server::property(::Window window, const char* name) const {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
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
  const bool hasMin = hints.flags & PMinSize, hasMax = hints.flags & PMaxSize;
  return {hasMin ? hints.min_width : 0, hasMin ? hints.min_height : 0, hasMax ? hints.max_width : 0,
          hasMax ? hints.max_height : 0};
}

std::vector<long> X11Server::frameExtents(::Window window) const {
  const std::string value = property(window, "_NET_FRAME_EXTENTS");
  if (value.size() != 4 * sizeof(long)) return {0, 0, 0, 0};
  const long* longs = reinterpret_cast<const long*>(value.data());
  return {longs[0], longs[1], longs[2], longs[3]};
}

void X11Server::setFrameExtents(::Window window, const std::vector<long>& extents) const {
  XChangeProperty(display_, window, atom("_NET_FRAME_EXTENTS"), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(extents.data()),
                  static_cast<int>(extents.size()));
  XSync(display_, False);
}

FrameReporter::FrameReporter(std::vector<long> extents) {
  Display* display = server_.display();
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, False);  // selected before any program starts
  thread_ = std::thread([this, display, extents] {
    while (!stopping_) {
      pollfd events{ConnectionNumber(display), POLLIN, 0};
      ::poll(&events, 1, 10);
      while (XPending(display)) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == CreateNotify)
          server_.setFrameExtents(event.xcreatewindow.window, extents);
      }
    }
  });
}

FrameReporter::~FrameReporter() {
  stopping_ = true;
  thread_.join();
}

double X11Server::density() const {
  const int screen = DefaultScreen(display_);
  return DisplayWidth(display_, screen) * 25.4 / DisplayWidthMM(display_, screen);
}

X11Server::Image X11Server::capture(::Window window) const {
  const Geometry size = geometry(window);
  XImage* shot = XGetImage(display_, window, 0, 0, static_cast<unsigned>(size.width),
                           static_cast<unsigned>(size.height), AllPlanes, ZPixmap);
  if (!shot) return {};
  Image image{size.width, size.height, {}};
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

void X11Server::sendProtocol(::Window window, const char* protocol) const {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = atom("WM_PROTOCOLS");
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(atom(protocol));
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

StallingDisplay::StallingDisplay(const std::string& serverName, std::uint8_t stallAtOpcode)
    : stallAt_(stallAtOpcode) {
  // ":N" or ":N.S": the server's local socket.
  const std::string number = serverName.substr(1, serverName.find('.') - 1);
  serverPath_ = "/tmp/.X11-unix/X" + number;
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{.sin_family = AF_INET, .sin_addr = {.s_addr = htonl(INADDR_LOOPBACK)}};
  // X display N listens on TCP port 6000 + N.
  for (int display = 50; display < 100 && name_.empty(); ++display) {
    address.sin_port = htons(static_cast<std::uint16_t>(6000 + display));
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      name_ = "127.0.0.1:" + std::to_string(display);
    }
  }
  ::listen(listener_, 4);
  thread_ = std::thread([this] { relay(); });
}

StallingDisplay::~StallingDisplay() {
  stopping_ = true;
  thread_.join();
  for (const Link& link : links_) {
    ::close(link.client);
    ::close(link.server);
  }
  ::close(listener_);
}

void StallingDisplay::relay() {
  while (!stopping_) {
    if (stalled_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    std::vector<pollfd> fds{{listener_, POLLIN, 0}};
    for (const Link& link : links_) {
      fds.push_back({link.client, POLLIN, 0});
      fds.push_back({link.server, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
    const std::size_t polled = links_.size();
    if (fds[0].revents) accept();
    for (std::size_t i = 0; i < polled && !stalled_; ++i) {
      Link& link = links_[i];
      const bool alive = (!fds[1 + 2 * i].revents || fromClient(link)) &&
                         (!fds[2 + 2 * i].revents || fromServer(link));
      if (!alive) {
        ::close(link.client);
        ::close(link.server);
        links_.erase(links_.begin() + static_cast<long>(i));
        break;  // the descriptors' places moved: poll again
      }
    }
  }
}

void StallingDisplay::accept() {
  const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  ++connections_;
  const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, serverPath_.c_str(), sizeof address.sun_path - 1);
  if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(server);
    ::close(client);
    return;
  }
  links_.push_back(Link{client, server});
}

bool StallingDisplay::fromServer(Link& link) {
  char buffer[65536];
  const ssize_t got = ::recv(link.server, buffer, sizeof buffer, 0);
  return got > 0 && sendAll(link.client, buffer, static_cast<std::size_t>(got));
}

bool StallingDisplay::fromClient(Link& link) {
  char buffer[65536];
  const ssize_t got = ::recv(link.client, buffer, sizeof buffer, 0);
  if (got <= 0) return false;
  link.pending.append(buffer, static_cast<std::size_t>(got));
  const auto number = [&link](std::size_t at, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
      const auto byte =
          static_cast<unsigned char>(link.pending[link.bigEndian ? at + i : at + size - 1 - i]);
      value = value << 8 | byte;
    }
    return value;
  };
  // Whole units only: the connection setup, then requests (a length of 0
  // announces a big request with its length in the next four bytes).
  for (;;) {
    std::size_t size = 0;
    if (!link.setUp) {
      if (link.pending.size() < 12) return true;
      link.bigEndian = link.pending[0] == 'B';
      size = 12 + padded(number(6, 2)) + padded(number(8, 2));
    } else {
      if (link.pending.size() < 4) return true;
      size = std::size_t{number(2, 2)} * 4;
      if (size == 0) {
        if (link.pending.size() < 8) return true;
        size = std::max<std::size_t>(std::size_t{number(4, 4)} * 4, 8);
      }
    }
    if (link.pending.size() < size) return true;
    if (!sendAll(link.server, link.pending.data(), size)) return false;
    const bool stall = link.setUp && static_cast<std::uint8_t>(link.pending[0]) == stallAt_;
    link.setUp = true;
    link.pending.erase(0, size);
    if (stall) {
      stalled_ = true;
      return true;
    }
  }
}

}  // namespace ts::testing
