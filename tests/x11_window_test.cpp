// The real executable with its window on a test X server (scripts/test-x11.sh
// starts one and names it in TS_TEST_DISPLAY): what the server reports about
// the window, the pictures it shows, and how long it stays.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <tuple>
#include <vector>

#include "program_run.h"
#include "pty_device.h"
#include "ui/icon.h"
#include "ui/layout.h"
#include "ui/screen_scale.h"
#include "x11_server.h"

namespace ts {
namespace {

using namespace std::chrono_literals;
using namespace ::ts::testing;
using Clock = std::chrono::steady_clock;

constexpr int kEdgePixels = 30;

long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A run of the program, started in the background.
struct Background {
  int pid;
  Clock::time_point started = Clock::now();
  std::optional<int> status;

  bool running() {
    int raw = 0;
    if (!status && ::waitpid(pid, &raw, WNOHANG) == pid) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    return !status;
  }
  // Waits at most `limit` for the end; -1 when it did not end in time.
  int finish(std::chrono::milliseconds limit) {
    while (running() && Clock::now() - started < limit) std::this_thread::sleep_for(5ms);
    if (!running()) return *status;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
};

bool reddish(X11Server::Rgb c) {
  return c.r > 150 && c.g < c.r - 60 && c.b < c.r - 60;
}
bool bluish(X11Server::Rgb c) {
  return c.b > 150 && c.r < c.b - 60 && c.g < c.b - 60;
}

template <class Predicate>
int count(const X11Server::Image& image, const PixelRect& area, Predicate matches) {
  int found = 0;
  for (int y = area.y; y < area.y + area.height; ++y) {
    for (int x = area.x; x < area.x + area.width; ++x) found += matches(image.at(x, y)) ? 1 : 0;
  }
  return found;
}

bool inside(const PixelRect& area, int x, int y) {
  return x >= area.x && x < area.x + area.width && y >= area.y && y < area.y + area.height;
}

// Width and height from a PNG's header.
std::pair<int, int> pngSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char header[24] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  const auto at = [&](int i) {
    return header[i] << 24 | header[i + 1] << 16 | header[i + 2] << 8 | header[i + 3];
  };
  return {at(16), at(20)};
}

class X11Window : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.requested()) GTEST_SKIP() << "no test X server: scripts/test-x11.sh starts one";
    ASSERT_TRUE(server.connected()) << "cannot connect to " << server.name();
  }

  std::map<std::string, std::string> environment() const {
    return {{"DISPLAY", server.name()}, {"WAYLAND_DISPLAY", ""}};
  }
  // An installation with `config`, ordering "P" from a device that answers.
  std::unique_ptr<Installation> install(const std::string& config, PtyDevice& answering) const {
    auto installation = std::make_unique<Installation>(target, config);
    installation->writeOrder(installation->linkPort(answering.terminalPath()), "P");
    return installation;
  }
  Background start(const Installation& installation) const {
    return Background{installation.start(environment())};
  }
  ::Window shownWindow(Background& run) const {
    const auto window = server.windowOf(run.pid, 5s);
    if (!window) return 0;
    while (!server.viewable(*window) && run.running() && msSince(run.started) < 5000) {
      std::this_thread::sleep_for(5ms);
    }
    return *window;
  }
  static void awaitResponse(const Installation& installation, Background& run) {
    while (!installation.response() && run.running()) std::this_thread::sleep_for(5ms);
  }
  // Where a control lies in the window, at the server's density.
  PixelRect area(layout::Id id) const {
    return toPixels(layout::clientRect(id), {server.density(), server.density()});
  }

  X11Server server;
  Target target = Target::fromEnvironment(TS_EXECUTABLE);
  PtyDevice device{{.reply = "+0012.50kg\r\n", .delay = 50ms}};
};

// The icon property: width, height and pixels for each size, every value in
// a long of its own, as any task bar reads it.
void expectIcons(const std::string& property) {
  std::vector<long> values(property.size() / sizeof(long));
  std::memcpy(values.data(), property.data(), values.size() * sizeof(long));
  std::size_t at = 0;
  for (const int size : {16, 32, 48}) {
    ASSERT_LE(at + 2, values.size());
    EXPECT_EQ(values[at], size);
    EXPECT_EQ(values[at + 1], size);
    at += 2;
    const std::vector<std::uint32_t> pixels = iconPixels(size);
    ASSERT_LE(at + pixels.size(), values.size());
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), values.begin() + static_cast<long>(at),
                           [](std::uint32_t pixel, long value) {
                             // Xlib hands format-32 values back sign-extended.
                             return static_cast<std::uint32_t>(value) == pixel;
                           }));
    at += pixels.size();
  }
  EXPECT_EQ(at, values.size());
}

TEST_F(X11Window, TitleSizeAndPlaceAsTheServerReportsThem) {
  // The screen's own density, then the one the desktop sets for fonts,
  // which must not outlive the test even when it fails.
  struct ClearResources {
    const X11Server& server;
    ~ClearResources() { server.setResources(""); }
  } clearResources{server};
  for (const double dpi : {0.0, 192.0}) {
    if (dpi > 0) server.setResources("Xft.dpi:\t" + std::to_string(static_cast<int>(dpi)) + "\n");
    PtyDevice echo({.echo = true});
    const auto installation = install("S\r\n1\r\n", echo);
    // The second run as on a machine without the display library's XCB
    // bridge: a window manager's frame is then never read mid-run.
    auto environment = this->environment();
    if (dpi > 0) environment["LD_LIBRARY_PATH"] = TS_NO_XCB_BRIDGE_FOLDER;
    // Its frame read at setup then counts: where no manager runs, one that
    // reports a frame at once stands in.
    std::optional<FrameReporter> quickManager;
    const ::Window root = DefaultRootWindow(server.display());
    if (dpi > 0 && server.property(root, "_NET_SUPPORTING_WM_CHECK").empty()) {
      quickManager.emplace(std::vector<long>{2, 7, 15, 3});
    }
    Background run{installation->start(environment)};
    const ::Window window = shownWindow(run);
    ASSERT_NE(window, 0u);
    EXPECT_TRUE(server.viewable(window));
    EXPECT_EQ(server.property(window, "WM_NAME"), layout::kCaption);
    EXPECT_EQ(server.property(window, "_NET_WM_NAME"), layout::kCaption);
    expectIcons(server.property(window, "_NET_WM_ICON"));
    // Closed from the frame, it is asked to close rather than killed.
    const long deleteWindow =
        static_cast<long>(XInternAtom(server.display(), "WM_DELETE_WINDOW", False));
    EXPECT_EQ(server.property(window, "WM_PROTOCOLS"),
              std::string(reinterpret_cast<const char*>(&deleteWindow), sizeof deleteWindow));

    std::this_thread::sleep_for(200ms);  // a window manager may still move its frame
    const double density = dpi > 0 ? dpi : server.density();
    const auto geometry = server.geometry(window);
    EXPECT_NEAR(geometry.width, layout::kClientWidth * density / 1440, 1) << dpi;
    EXPECT_NEAR(geometry.height, layout::kClientHeight * density / 1440, 1) << dpi;
    const auto limits = server.sizeLimits(window);
    EXPECT_EQ(std::tuple(limits.minWidth, limits.maxWidth, limits.minHeight, limits.maxHeight),
              std::tuple(geometry.width, geometry.width, geometry.height, geometry.height));

    // The outer frame (none without a window manager) 30 pixels from the
    // screen's top and right.
    const std::vector<long> frame = server.frameExtents(window);
    // The stand-in moves no window: it stands where its frame's corner would.
    const long cornerX = quickManager ? geometry.x : geometry.x - frame[0];
    const long cornerY = quickManager ? geometry.y : geometry.y - frame[2];
    EXPECT_EQ(cornerY, kEdgePixels) << dpi;
    const long right = cornerX + frame[0] + geometry.width + frame[1];
    const long wanted = server.screenWidth() - kEdgePixels;
    if (dpi > 0) {
      // Without the bridge a frame is counted only if the manager set it
      // before the setup ended; a busy one may set it later.
      EXPECT_TRUE(right == wanted || right == wanted + frame[0] + frame[1]) << right;
    } else {
      EXPECT_EQ(right, wanted);
    }
    // A frame reported once the window is up (none was: no window manager
    // here, so the window stands where its frame's corner would) moves it,
    // so that the frame's right edge keeps its place.
    if (dpi == 0 && frame == std::vector<long>{0, 0, 0, 0}) {
      server.setFrameExtents(window, {4, 6, 18, 4});
      while (server.geometry(window).x == geometry.x && msSince(run.started) < 2000) {
        std::this_thread::sleep_for(5ms);
      }
      EXPECT_EQ(server.geometry(window).x + 4 + geometry.width + 6, wanted);
      // A negative extent, which a faulty manager may report, counts as none.
      const int framed = server.geometry(window).x;
      server.setFrameExtents(window, {-4, 6, 18, 4});
      while (server.geometry(window).x == framed && msSince(run.started) < 2000) {
        std::this_thread::sleep_for(5ms);
      }
      EXPECT_EQ(server.geometry(window).x + geometry.width + 6, wanted);
    }
    EXPECT_EQ(run.finish(10s), 0);
  }
}

// A display server that stops answering, while the window is being set up
// or once it is up, never holds a run up: past the setup's deadline the run
// goes on without a window, timed as hidden; a stall noticed later closes
// the window, here after the answer, so the run ends with its result.
TEST_F(X11Window, AStalledDisplayNeverHoldsTheRunUp) {
  struct Case {
    const char* when;
    std::uint8_t stallAt;
    long limitMs;
  };
  for (const Case& c : {Case{"during setup", StallingDisplay::kCreateWindow, 6000},
                        Case{"once the window is up", StallingDisplay::kMapWindow, 10000}}) {
    const StallingDisplay stalling(server.name(), c.stallAt);
    PtyDevice scale({.reply = "+0012.50kg\r\n", .delay = 50ms});
    // A display time of 0 would keep a window that never closes for ever.
    const auto installation = install("S\r\n0\r\n", scale);
    Background run{installation->start({{"DISPLAY", stalling.name()}, {"WAYLAND_DISPLAY", ""}})};
    if (c.stallAt == StallingDisplay::kMapWindow) {
      EXPECT_NE(shownWindow(run), 0u) << "the window is up before the stall";
    }
    EXPECT_EQ(run.finish(20s), 0) << c.when;
    EXPECT_LE(msSince(run.started), c.limitMs) << c.when;
    EXPECT_EQ(installation->response(), "000|Sucesso\r\n+0012.50kg\r\n\r\n") << c.when;
    EXPECT_TRUE(stalling.stalled()) << c.when;
    EXPECT_EQ(stalling.connections(), 1) << c.when;
  }
}

TEST_F(X11Window, EveryWayOfClosingEndsTheRunAtOnce) {
  // Display time 0: the window stays until it is closed.
  const auto installation = install("S\r\n0\r\n", device);
  Background run = start(*installation);
  const ::Window window = shownWindow(run);
  ASSERT_NE(window, 0u);
  awaitResponse(*installation, run);
  // Another protocol's message, which a manager may send any window, is no close.
  server.sendProtocol(window, "WM_TAKE_FOCUS");
  std::this_thread::sleep_for(2500ms);
  ASSERT_TRUE(run.running());
  EXPECT_TRUE(server.viewable(window));
  const auto closed = Clock::now();
  server.sendDeleteWindow(window);
  EXPECT_EQ(run.finish(5s), 0);
  EXPECT_LE(msSince(closed), 1000);

  // Before the answer the run ends without one; the other ways a window can
  // go (another client destroys it, or kills its connection) count as
  // closing it too.
  using Close = void (X11Server::*)(::Window) const;
  for (const Close close :
       {&X11Server::sendDeleteWindow, &X11Server::destroy, &X11Server::killClientOf}) {
    const auto early = install("S\r\n0\r\n", device);
    Background earlyRun = start(*early);
    const ::Window earlyWindow = shownWindow(earlyRun);
    ASSERT_NE(earlyWindow, 0u);
    const auto closedEarly = Clock::now();
    (server.*close)(earlyWindow);
    EXPECT_EQ(earlyRun.finish(5s), 8);
    EXPECT_LE(msSince(closedEarly), 1000);
    EXPECT_FALSE(early->response());
  }
}

TEST_F(X11Window, ExchangeShowsTheLayoutAndRedrawsWhatWasCovered) {
  const auto installation = install("S\r\n3\r\n", device);
  Background run = start(*installation);
  const ::Window window = shownWindow(run);
  ASSERT_NE(window, 0u);
  awaitResponse(*installation, run);
  const auto answered = Clock::now();  // the window stays 3 s more, to be looked at
  std::this_thread::sleep_for(300ms);
  const X11Server::Image before = server.capture(window);
  ASSERT_FALSE(before.pixels.empty());
  EXPECT_GT(count(before, area(layout::Id::LblPorta), bluish), 50) << "the port summary";
  EXPECT_GT(count(before, area(layout::Id::TextTX), reddish), 5) << "the text sent";
  EXPECT_GT(count(before, area(layout::Id::TextRX), reddish), 50) << "the result";
  const auto dark = [](X11Server::Rgb c) { return c.r + c.g + c.b < 200; };
  for (const auto id : {layout::Id::Label1, layout::Id::Label2}) {
    EXPECT_GT(count(before, area(id), dark), 5) << "the caption TX: or RX:";
  }
  // Each text area is sunken: shadow above and left, highlight below and
  // right, dark shadow and light just inside, then its white background.
  // (Its bottom edge may round to the pixel below the one computed here.)
  const auto rgb = [&](int x, int y) {
    const X11Server::Rgb c = before.at(x, y);
    return static_cast<unsigned>(c.r << 16 | c.g << 8 | c.b);
  };
  // The greys are the system colours the window was drawn in, written out
  // here so that a wrong value in the layout shows.
  constexpr unsigned kGrey = 0xABABAB;
  // The window's own background reaches every edge.
  const int lastX = before.width - 1, lastY = before.height - 1;
  for (const auto& [x, y] : {std::pair{0, 0}, {lastX, 0}, {0, lastY}, {lastX, lastY}}) {
    EXPECT_EQ(rgb(x, y), kGrey) << x << "," << y;
  }
  const PixelRect port = area(layout::Id::LblPorta);
  EXPECT_EQ(rgb(port.x + port.width - 1, port.y + port.height - 1), 0xB4B4B4u);
  EXPECT_EQ(count(before, PixelRect{port.x, port.y, 2, port.height}, bluish), 0) << "on its edge";
  for (const auto id : {layout::Id::TextTX, layout::Id::TextRX}) {
    const PixelRect r = area(id);
    const int right = r.x + r.width - 1, bottom = r.y + r.height - 1, x = r.x + 3, y = r.y + 3;
    const std::vector<std::pair<unsigned, unsigned>> edges{
        {rgb(x, r.y), 0x808080},     {rgb(r.x, y), 0x808080},     {rgb(right, y), 0xFFFFFF},
        {rgb(x, r.y + 1), 0x404040}, {rgb(r.x + 1, y), 0x404040}, {rgb(right - 1, y), 0xDCDCDC},
        {rgb(x, y), 0xFFFFFF},       {rgb(right + 1, y), kGrey}};
    for (std::size_t i = 0; i < edges.size(); ++i) {
      EXPECT_EQ(edges[i].first, edges[i].second) << std::hex << "edge " << i;
    }
    bool sunkenBottom = false;
    for (int b = bottom - 1; b <= bottom; ++b) {
      sunkenBottom = sunkenBottom || (rgb(x, b - 1) == 0xFFFFFF && rgb(x, b) == 0xDCDCDC &&
                                      rgb(x, b + 1) == 0xFFFFFF && rgb(x, b + 2) == kGrey);
    }
    EXPECT_TRUE(sunkenBottom);
  }
  // A frame is an etched line: shadow, then highlight outside it on the
  // right and inside it on the left.
  for (const auto id : {layout::Id::Frame1, layout::Id::Frame2}) {
    const PixelRect r = area(id);
    const int right = r.x + r.width - 1, y = r.y + r.height / 2;
    EXPECT_EQ(std::tuple(rgb(r.x, y), rgb(r.x + 1, y), rgb(right - 1, y), rgb(right, y)),
              std::tuple(0x808080u, 0xFFFFFFu, 0x808080u, 0xFFFFFFu));
    bool etchedBottom = false;  // shadow on its last row but one or, as rounding goes, its last
    for (int b = r.y + r.height - 2; b < r.y + r.height; ++b) {
      etchedBottom |= rgb(r.x + 3, b) == 0x808080u && rgb(r.x + 3, b + 1) == 0xFFFFFFu;
    }
    EXPECT_TRUE(etchedBottom);
    // Along the top, right of the caption, the same one-pixel pair.
    int top = r.y;
    while (top < y && rgb(right - 3, top) != 0x808080u) ++top;
    EXPECT_EQ(rgb(right - 3, top + 1), 0xFFFFFFu) << "frame top at " << top;
    // The caption sits in a gap of that line that clears its text on both sides.
    int firstText = right, lastText = r.x;
    for (int row = r.y; row <= 2 * top - r.y + 1; ++row) {
      for (int column = r.x + 2; column < right - 2; ++column) {
        if ((rgb(column, row) >> 16) < 0x70) {
          firstText = std::min(firstText, column);
          lastText = std::max(lastText, column);
        }
      }
    }
    ASSERT_LT(firstText, lastText) << "no caption";
    for (const int column : {firstText - 2, firstText - 1, lastText + 1, lastText + 2}) {
      EXPECT_EQ(rgb(column, top), kGrey) << "caption gap at " << column;
    }
  }

  // Another window over ours and gone again: the uncovered part is redrawn.
  Display* display = server.display();
  const auto place = server.geometry(window);
  const ::Window cover = XCreateSimpleWindow(display, DefaultRootWindow(display), place.x + 20,
                                             place.y + 20, 200, 150, 0, 0, 0x00FF00);
  XSetWindowAttributes attributes{.override_redirect = True};
  XChangeWindowAttributes(display, cover, CWOverrideRedirect, &attributes);
  XMapRaised(display, cover);
  XSync(display, False);
  std::this_thread::sleep_for(200ms);
  XDestroyWindow(display, cover);
  XSync(display, False);
  std::this_thread::sleep_for(300ms);
  const X11Server::Image after = server.capture(window);
  ASSERT_EQ(after.pixels.size(), before.pixels.size());
  int differing = 0;
  for (std::size_t i = 0; i < after.pixels.size(); ++i) {
    differing += after.pixels[i] != before.pixels[i] ? 1 : 0;
  }
  EXPECT_EQ(differing, 0);

  const char* wanted = std::getenv("TS_SCREENSHOT");
  const std::string shot = wanted && *wanted ? wanted : installation->folder.str() + "/shot.png";
  char id[32];
  std::snprintf(id, sizeof id, "0x%lx", window);
  const std::string import = "import -display " + server.name() + " -strip -window " + id;
  ASSERT_EQ(std::system((import + " " + shot).c_str()), 0);
  EXPECT_EQ(pngSize(shot), std::make_pair(place.width, place.height));
  EXPECT_EQ(run.finish(10s), 0);
  EXPECT_GE(msSince(answered), 2700) << "the display time was cut short";
}

TEST_F(X11Window, LongReplyIsClippedToItsAreaAndKeptWhole) {
  std::string reply;
  for (int line = 1; line <= 40; ++line) {
    reply += "line " + std::to_string(line) + " " + std::string(60, 'W') + "\r\n";
  }
  PtyDevice talkative({.reply = reply, .delay = 50ms});
  const auto installation = install("S\r\n2\r\n", talkative);
  Background run = start(*installation);
  const ::Window window = shownWindow(run);
  ASSERT_NE(window, 0u);
  awaitResponse(*installation, run);
  std::this_thread::sleep_for(300ms);
  const X11Server::Image image = server.capture(window);
  ASSERT_FALSE(image.pixels.empty());
  const PixelRect sent = area(layout::Id::TextTX), result = area(layout::Id::TextRX);
  EXPECT_GT(count(image, result, reddish), 200);
  // Which rows inside the result's border and padding hold text: the first
  // line's "|" spans the font's whole height, 8.25 points at the screen's
  // density, and a last line cut by the area's bottom is drawn as far as
  // it shows.
  const PixelRect inner{result.x + 4, result.y + 4, result.width - 8, result.height - 8};
  std::vector<bool> written;
  for (int y = inner.y; y < inner.y + inner.height; ++y) {
    written.push_back(count(image, PixelRect{inner.x, y, inner.width, 1}, reddish) > 0);
  }
  const auto firstLine = std::find(written.begin(), written.end(), true);
  // It starts at the top: above its tallest letters only the font's own
  // leading, not the depth below its baseline too.
  EXPECT_LE(firstLine - written.begin(), 2);
  EXPECT_GE(std::find(firstLine, written.end(), false) - firstLine,
            8.25 * server.density() / 72 - 1);
  EXPECT_NE(std::find(written.end() - 4, written.end(), true), written.end());
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      if (reddish(image.at(x, y))) {
        ASSERT_TRUE(inside(sent, x, y) || inside(result, x, y)) << x << "," << y;
      }
    }
  }
  EXPECT_EQ(run.finish(10s), 0);
  EXPECT_EQ(installation->response(), "000|Sucesso\r\n" + reply + "\r\n");
}

}  // namespace
}  // namespace ts
