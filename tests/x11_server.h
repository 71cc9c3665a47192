#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ts::testing {

// The test's own connection to the X server the program draws on, to read
// back what the program made of its window, as any other client would.
class X11Server {
 public:
  struct Geometry {
    int x, y, width, height;  // the client area, on the root window
  };
  struct SizeLimits {
    int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
  };
  struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
  };
  struct Image {
    int width = 0, height = 0;
    std::vector<Rgb> pixels;
    Rgb at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
  };

  // Connects to the display named by TS_TEST_DISPLAY, if it names one.
  X11Server();
  ~X11Server();
  X11Server(const X11Server&) = delete;
  X11Server& operator=(const X11Server&) = delete;

  bool requested() const { return !name_.empty(); }
  bool connected() const { return display_ != nullptr; }
  const std::string& name() const { return name_; }
  Display* display() const { return display_; }

  // The top-level window of process `pid` (by _NET_WM_PID), waiting for it
  // to appear up to `limit`.
  std::optional<::Window> windowOf(int pid, std::chrono::milliseconds limit) const;
  bool viewable(::Window window) const;
  Geometry geometry(::Window window) const;
  std::string property(::Window window, const char* name) const;
  // The smallest and largest size the window lets a window manager give it.
  SizeLimits sizeLimits(::Window window) const;
  // Left, right, top, bottom frame widths a window manager reports; zeros
  // without one.
  std::vector<long> frameExtents(::Window window) const;
  // Reports a frame as a window manager would, after the window is up.
  void setFrameExtents(::Window window, const std::vector<long>& extents) const;
  // Pixels per inch the server's screen size gives, horizontally.
  double density() const;
  int screenWidth() const { return DisplayWidth(display_, DefaultScreen(display_)); }
  Image capture(::Window window) const;

  // A window manager's message of the protocol named, as the close button sends.
  void sendProtocol(::Window window, const char* protocol) const;
  void sendDeleteWindow(::Window window) const { sendProtocol(window, "WM_DELETE_WINDOW"); }
  void destroy(::Window window) const;
  void killClientOf(::Window window) const;
  // Sets the root window's resource string (for Xft.dpi); empty removes it.
  void setResources(const std::string& resources) const;

 private:
  std::optional<::Window> findByPid(::Window under, long pid) const;
  Atom atom(const char* name) const { return XInternAtom(display_, name, False); }

  std::string name_;
  Display* display_ = nullptr;
};

// The quick part of a window manager, where none runs: it reports `extents`
// as the frame of every top-level window the moment it is created, so that
// a program reads them before its window is up.
class FrameReporter {
 public:
  explicit FrameReporter(std::vector<long> extents);
  ~FrameReporter();
  FrameReporter(const FrameReporter&) = delete;
  FrameReporter& operator=(const FrameReporter&) = delete;

 private:
  X11Server server_;  // a connection of its own: one is never shared between threads
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// A display between the program and the test server, reached over TCP
// (DISPLAY 127.0.0.1:N). It passes everything both ways until the program
// sends a request with the given opcode, passes that one too, and then goes
// silent: it reads, answers and closes nothing any more, as a server that
// hung or a link that dropped.
class StallingDisplay {
 public:
  static constexpr std::uint8_t kCreateWindow = 1;
  static constexpr std::uint8_t kMapWindow = 8;

  StallingDisplay(const std::string& serverName, std::uint8_t stallAtOpcode);
  ~StallingDisplay();
  StallingDisplay(const StallingDisplay&) = delete;
  StallingDisplay& operator=(const StallingDisplay&) = delete;

  const std::string& name() const { return name_; }
  int connections() const { return connections_; }
  bool stalled() const { return stalled_; }

 private:
  struct Link {
    int client;
    int server;
    std::string pending;  // the program's bytes, up to a whole request
    bool setUp = false;   // past the connection setup
    bool bigEndian = false;
  };

  void relay();
  void accept();
  // False when the link ended; stalls on the chosen request.
  bool fromClient(Link& link);
  bool fromServer(Link& link);

  std::string name_;
  std::string serverPath_;
  std::uint8_t stallAt_;
  int listener_ = -1;
  std::vector<Link> links_;
  std::atomic<int> connections_{0};
  std::atomic<bool> stalled_{false};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace ts::testing
