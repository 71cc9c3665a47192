// The POSIX event loop and the termios serial control, against real
// pseudo-terminals.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <thread>
#include <tuple>

#include "loop/event_loop_posix.h"
#include "pty_device.h"
#include "serial/serial_control_posix.h"
#include "serial/termios_linux.h"
#include "test_folder.h"

namespace ts {
namespace {

using namespace std::chrono_literals;
using namespace ::ts::testing;

// Runs the loop for `limit`, serving whatever comes meanwhile.
void runFor(PosixEventLoop& loop, std::chrono::milliseconds limit) {
  loop.startTimer(limit, [&] { loop.quit(0); });
  loop.run();
}

TEST(PosixEventLoop, InputComesBeforeDueTimersWhichFireInOrder) {
  PosixEventLoop loop;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string seen;
  loop.watch(fds[0], POLLIN, [&](short) {
    char c = 0;
    if (::read(fds[0], &c, 1) == 1) seen += c;
    // More input arrives while the handler runs: it too comes first.
    if (c == 'i') {
      ASSERT_EQ(::write(fds[1], "j", 1), 1);
    }
  });
  // A timer cancelled by one due with it leaves the rest of that pass's
  // timers to fire before the input their handlers cause.
  PosixEventLoop::TimerId doomed = 0;
  loop.startTimer(0ms, [&] {
    seen += "|tick";
    loop.cancelTimer(doomed);
    ASSERT_EQ(::write(fds[1], "k", 1), 1);
  });
  doomed = loop.startTimer(0ms, [&] { seen += "x"; });
  loop.startTimer(0ms, [&] { seen += "c"; });
  loop.startTimer(30ms, [&] { seen += "b"; });
  loop.startTimer(10ms, [&] { seen += "a"; });
  const auto cancelled = loop.startTimer(20ms, [&] { seen += "x"; });
  loop.cancelTimer(cancelled);
  loop.startTimer(40ms, [&] { loop.quit(7); });
  loop.startTimer(40ms, [&] { seen += "after quit"; });
  ASSERT_EQ(::write(fds[1], "i", 1), 1);
  const auto started = PosixEventLoop::Clock::now();
  EXPECT_EQ(loop.run(), 7);
  EXPECT_EQ(seen, "ij|tickckab");
  EXPECT_GE(PosixEventLoop::Clock::now() - started, 40ms);
  // A yield with nothing pending returns at once, and is never idle: work
  // left for idle moments cannot delay a handler that yields.
  const auto before = PosixEventLoop::Clock::now();
  PosixEventLoop idle;
  int idleCalls = 0;
  idle.setIdleHandler([&] { ++idleCalls; });
  idle.startTimer(1s, [] {});
  idle.yield();
  EXPECT_LT(PosixEventLoop::Clock::now() - before, 500ms);
  EXPECT_EQ(idleCalls, 0);
  idle.startTimer(0ms, [&] { idle.startTimer(10ms, [&] { idle.quit(0); }); });
  idle.run();
  EXPECT_EQ(idleCalls, 1) << "only before the one wait";
  // A handler that ends another watch leaves the later ones served in the
  // same pass.
  PosixEventLoop served;
  std::vector<std::array<int, 2>> pipes(3);
  std::string order;
  for (std::size_t i = 0; i < pipes.size(); ++i) {
    ASSERT_EQ(::pipe(pipes[i].data()), 0);
    ASSERT_EQ(::write(pipes[i][1], "x", 1), 1);
    served.watch(pipes[i][0], POLLIN, [&, i](short) {
      order += static_cast<char>('a' + i);
      served.unwatch(pipes[i][0]);
      if (i == 0) served.unwatch(pipes[1][0]);
    });
  }
  served.yield();
  EXPECT_EQ(order, "ac");
  for (auto& [in, out] : pipes) ::close(in), ::close(out);
  ::close(fds[0]), ::close(fds[1]);
}

TEST(PosixEventLoop, WaitsNoLongerThanTheNextTimerOnAClockThatJumps) {
  using Clock = PosixEventLoop::Clock;
  const auto t = Clock::now();
  // A timer already due, however late, means no wait at all (a negative
  // one is poll's "forever"); the next millisecond is waited for, not spun.
  const struct {
    std::optional<Clock::duration> due;
    int wait;
  } cases[] = {{std::nullopt, -1}, {-5s, 0},   {-1ns, 0},      {0ns, 0},
               {1ns, 1},           {10ms, 10}, {10'200us, 11}, {90s, 90'000}};
  for (const auto& c : cases) {
    const auto due = c.due ? std::optional(t + *c.due) : std::nullopt;
    EXPECT_EQ(PosixEventLoop::waitMs(t, due), c.wait)
        << (c.due ? std::chrono::nanoseconds(*c.due).count() : -1) << " ns";
  }
  // A timer due at the instant a coarse clock still shows fires in that pass.
  PosixEventLoop frozen([t] { return t; });
  bool fired = false;
  frozen.startTimer(0ms, [&] { fired = true; });
  frozen.yield();
  EXPECT_TRUE(fired);
  // A slow handler: the idle work "takes" 990 ms of the loop's clock. The
  // timer due 1 s after it was started must then fire about 10 ms later,
  // not after a wait computed before the handler ran.
  Clock::duration skew{};
  PosixEventLoop loop([&] { return Clock::now() + skew; });
  loop.setIdleHandler([&] { skew = 990ms; });
  const auto started = Clock::now();
  Clock::duration firedAfter{};
  std::string order;
  loop.startTimer(1s, [&] {
    firedAfter = Clock::now() - started;
    // Handlers that fall behind: the timers they start are already due,
    // both in the same pass, and the one due first fires first.
    skew += 5s;
    loop.startTimer(150ms, [&] {
      order += "b";
      loop.quit(3);
      loop.quit(4);  // the first quit's status stands
    });
    loop.startTimer(100ms, [&] { order += "a"; });
    skew += 200ms;
  });
  EXPECT_EQ(loop.run(), 3);
  EXPECT_EQ(order, "ab");
  EXPECT_LT(firedAfter, 500ms);
  EXPECT_LT(Clock::now() - started, 500ms);
}

// What a pseudo-terminal's driver takes from a writer while nobody reads.
std::size_t bytesATerminalHolds() {
  PtyDevice deaf({.deafFor = std::chrono::hours(1)});
  const int fd = ::open(deaf.terminalPath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
  std::size_t held = 0;
  const std::string chunk(1024, 'x');
  for (ssize_t n = 0; fd >= 0 && (n = ::write(fd, chunk.data(), chunk.size())) > 0;) held += n;
  ::close(fd);
  return held;
}

class SerialControlTest : public ::testing::Test {
 protected:
  void openOn(PtyDevice& device, const std::string& settings = "9600,n,8,1") {
    folder.mkdir("PORTAS");
    std::filesystem::remove(folder.path() / "PORTAS/COM2");
    std::filesystem::create_symlink(device.terminalPath(), folder.path() / "PORTAS/COM2");
    serial.setCommPort(2);
    serial.setSettings(settings);
    serial.setRThreshold(1);
    serial.setSThreshold(1);
    serial.setInputLen(0);
    serial.setOnComm([this] {
      received += serial.input();
      ++events;
    });
    loop.setIdleHandler([this] { ++waits; });
    serial.setPortOpen(true);
  }
  termios2 lineSettings(const PtyDevice& device) const {
    termios2 t{};
    const int fd = ::open(device.terminalPath().c_str(), O_RDWR | O_NOCTTY);
    ::ioctl(fd, TCGETS2, &t);
    ::close(fd);
    return t;
  }

  TestFolder folder;
  PosixEventLoop loop;
  PosixSerialControl serial{loop, folder.str()};
  std::string received;
  int events = 0;
  int waits = 0;  // times the loop went to wait: a loop that spins counts thousands
};

TEST_F(SerialControlTest, PortMapping) {
  EXPECT_EQ(serial.devicePath(1), "/dev/ttyS0");
  EXPECT_EQ(serial.devicePath(12), "/dev/ttyS11");
  folder.mkdir("PORTAS");
  std::filesystem::create_symlink("/nowhere", folder.path() / "PORTAS/COM12");
  EXPECT_EQ(serial.devicePath(12), folder.str() + "/PORTAS/COM12");
  EXPECT_THROW(serial.setCommPort(0), SerialError);
  EXPECT_THROW(serial.setSettings("9600,n,8"), SerialError);
  EXPECT_THROW(serial.setRThreshold(-1), SerialError);
  EXPECT_THROW(serial.setSThreshold(-1), SerialError);
  EXPECT_THROW(serial.setInputLen(-1), SerialError);
  EXPECT_NO_THROW((serial.setRThreshold(0), serial.setSThreshold(0), serial.setInputLen(0)));
  serial.setCommPort(12);
  EXPECT_THROW(serial.setPortOpen(true), SerialError);
  EXPECT_NO_THROW(serial.setPortOpen(false));
}

TEST_F(SerialControlTest, LineSettingsReachTheDriverRawAndWithoutFlowControl) {
  PtyDevice device;
  // The cooked line of a fresh port, and what another program may have left
  // on it for its own use: the control must clear all of it.
  termios2 left = lineSettings(device);
  ASSERT_TRUE((left.c_lflag & ICANON) && (left.c_iflag & IXON) && (left.c_oflag & OPOST));
  left.c_iflag |=
      BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL;
  left.c_lflag |= ECHONL;
  left.c_cflag |= CRTSCTS;
  // Without CLOCAL a real port waits for carrier and hangs up when it drops.
  left.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  const int fd = ::open(device.terminalPath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::ioctl(fd, TCSETS2, &left), 0);
  ::close(fd);
  openOn(device, "31250,M,7,2");
  const termios2 t = lineSettings(device);
  // A pseudo-terminal forces CS8 and clears PARENB; the rest stays as set.
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD), static_cast<tcflag_t>(CMSPAR | PARODD));
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_FALSE(t.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                            IXOFF | IXANY | INPCK | IUCLC | IMAXBEL));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(t.c_ospeed, 31250u);
  for (const auto& [parity, bits] :
       std::vector<std::pair<char, tcflag_t>>{{'s', CMSPAR}, {'o', PARODD}, {'e', 0}}) {
    serial.setPortOpen(false);
    serial.setSettings(std::string("9600,") + parity + ",8,1");
    serial.setPortOpen(true);
    EXPECT_EQ(lineSettings(device).c_cflag & (CMSPAR | PARODD), bits) << parity;
  }
  // A UART that can only come near the rate read back: 3 % off still frames.
  for (const auto& [got, frames] : std::vector<std::pair<std::uint32_t, bool>>{
           {9600, true}, {9888, true}, {9889, false}, {9312, true}, {9311, false}, {0, false}}) {
    EXPECT_EQ(termios_linux::rateCloseEnough(9600, got), frames) << got;
  }
  EXPECT_TRUE(termios_linux::rateCloseEnough(4'000'000, 4'120'000));
  // A driver that took the settings only in part frames otherwise; odd and
  // stick parity without parity frame nothing.
  for (const auto& [asked, taken, frames] : std::vector<std::tuple<tcflag_t, tcflag_t, bool>>{
           {CS8 | CSTOPB, CS8, false},
           {CS8, CS7, false},
           {CS7 | PARENB | PARODD, CS7 | PARENB, false},
           {CS8 | PARENB | CMSPAR, CS8 | PARENB, false},
           {CS8 | PARENB, CS8, false},
           {CS8 | PARODD | CMSPAR, CS8, true},
           {CS8 | CSTOPB, CS8 | CSTOPB | CLOCAL | CREAD, true}}) {
    EXPECT_EQ(termios_linux::framingTaken(asked, taken), frames) << std::oct << asked;
  }
}

TEST_F(SerialControlTest, EveryByteCrossesUntouchedAndInputArrivesWhole) {
  // Bytes a cooked line would eat or change, both ways; the reply then
  // goes on beyond what one read of the driver gives.
  const std::string text("\x11\x13\0\r\n\x03\xFF", 7);
  const std::string reply = text + "\x7F" + std::string(8000, 'B');
  PtyDevice device({.reply = reply, .delay = 0ms});
  openOn(device);
  serial.setOutput(text);
  std::this_thread::sleep_for(200ms);
  // The whole reply waits in the driver: one dispatch takes all of it.
  loop.yield();
  EXPECT_EQ(received, reply);
  EXPECT_EQ(device.received(), text);
  EXPECT_EQ(serial.input(), "");
  // With InputLen set, a read takes at most that many bytes; the rest waits.
  serial.setPortOpen(false);
  PtyDevice echo({.echo = true});
  openOn(echo);
  serial.setOnComm([] {});
  serial.setInputLen(3);
  serial.setOutput("abcdefg");
  std::this_thread::sleep_for(100ms);
  loop.yield();
  for (const char* part : {"abc", "def", "g", ""}) EXPECT_EQ(serial.input(), part);
}

// The data and the emptied transmit buffer may come in one poll, so the
// transmit event is counted against a device that never answers. A text
// the driver takes in several writes is reported once, when the last goes.
TEST_F(SerialControlTest, EachEmptiedTransmitBufferIsReportedOnce) {
  PtyDevice device;
  openOn(device);
  std::size_t deviceHadAtSecond = 0;
  serial.setOnComm([&] {
    received += serial.input();
    if (++events == 2) deviceHadAtSecond = device.received().size();
  });
  serial.setOutput("go");
  // Several times what a pseudo-terminal takes at once.
  const std::string again(100'000, 'a'), unreported(50'000, 'u');
  int eventsAfterFirst = -1;
  loop.startTimer(75ms, [&] { serial.setOutput(""); });  // sends nothing, so reports nothing
  loop.startTimer(150ms, [&] {
    eventsAfterFirst = events;
    serial.setOutput(again);
  });
  // With no threshold, an emptied buffer is not reported.
  loop.startTimer(300ms, [&] {
    serial.setSThreshold(0);
    serial.setOutput(unreported);
  });
  int waitsBeforeClosing = -1;
  // Closed, the port leaves the loop: no pass wakes for its descriptor.
  loop.startTimer(450ms, [&] {
    waitsBeforeClosing = waits;
    serial.setPortOpen(false);
  });
  runFor(loop, 550ms);
  EXPECT_EQ(eventsAfterFirst, 1);
  EXPECT_EQ(events, 2);
  // All had gone to the driver: allow for the device's buffer and the terminal's varying room.
  EXPECT_GE(deviceHadAtSecond + bytesATerminalHolds() + 8192, 2 + again.size())
      << "reported too soon";
  // A few waits for each text the driver takes in parts; a loop that spins counts thousands.
  EXPECT_LT(waitsBeforeClosing, 100);
  EXPECT_LE(waits - waitsBeforeClosing, 2) << "the loop spins on the closed port";
  EXPECT_EQ(received, "");
  EXPECT_TRUE(device.received() == "go" + again + unreported) << device.received().size();
}

// Text still queued at closing gets the time the line needs to carry it,
// and no more.
TEST_F(SerialControlTest, ClosingWaitsForQueuedTextOnlyItsLineTime) {
  using Clock = PosixEventLoop::Clock;
  const std::string text(100'000, 'x');  // one second at 1 Mbaud
  {
    // A device that takes nothing for a while, then everything.
    PtyDevice device({.deafFor = 300ms});
    openOn(device, "1000000,n,8,1");
    const auto sending = Clock::now();
    serial.setOutput(text);
    EXPECT_LT(Clock::now() - sending, 200ms) << "sending must not wait for the device";
    serial.setPortOpen(false);
    // Taken at once after 0.3 s: the close ends then, not at the line time.
    EXPECT_LT(Clock::now() - sending, 900ms);
    for (int i = 0; i < 200 && device.received().size() < text.size(); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(device.received().size(), text.size());
  }
  {
    // One that never takes anything: what the driver could not take is
    // dropped once its line time is over.
    PtyDevice deaf({.deafFor = std::chrono::hours(1)});
    openOn(deaf, "1000000,n,8,1");
    serial.setOutput(text);
    const auto closing = Clock::now();
    serial.setPortOpen(false);
    const auto took = Clock::now() - closing;
    // The driver holds a few kilobytes at most: the rest takes 0.9 s or more, then 0.1 s more.
    EXPECT_GE(took, 800ms);
    EXPECT_LE(took, 1500ms);
  }
  {
    // One that took part of the text, then stopped: what the driver could
    // not take of the rest is waited for its line time and the margin, not
    // the whole text's line time again.
    PtyDevice tired({.deafAfter = 60'000});
    openOn(tired, "1000000,n,8,1");
    serial.setOutput(text);
    runFor(loop, 300ms);
    ASSERT_EQ(tired.received().size(), 60'000u);
    // 10 us a byte at 1 Mbaud.
    const auto unsent = 10us * static_cast<long>(40'000 - bytesATerminalHolds());
    const auto closing = Clock::now();
    serial.setPortOpen(false);
    const auto took = Clock::now() - closing;
    EXPECT_GE(took, unsent + 50ms);
    EXPECT_LE(took, 800ms);
  }
}

TEST_F(SerialControlTest, OnlyAHangUpEndsTheWatch) {
  // A second reader that takes no lock (a stray cat, a modem prober) takes
  // the first reply between the control's poll and its read, which then
  // gives 0: the device is still there, and its next reply is read. Then
  // the device hangs up: no event follows, and the loop only sleeps.
  PtyDevice device(
      {.reply = "a", .delay = 0ms, .secondReply = "b", .secondDelay = 200ms, .hangUpAfter = 300ms});
  const int other = ::open(device.terminalPath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  std::string taken;
  // Opened before the port, its lower descriptor is served first when both
  // become ready in the same poll.
  loop.watch(other, POLLIN, [&](short) {
    char bytes[64];
    const ssize_t n = ::read(other, bytes, sizeof bytes);
    if (n > 0) taken.append(bytes, static_cast<std::size_t>(n));
    loop.unwatch(other);
  });
  openOn(device);
  serial.setOutput("?");
  int eventsAfterHangUp = -1;
  loop.startTimer(600ms, [&] {
    eventsAfterHangUp = events;
    waits = 0;
  });
  runFor(loop, 900ms);
  ::close(other);
  EXPECT_EQ(taken, "a");
  EXPECT_EQ(received, "b");
  EXPECT_EQ(events, eventsAfterHangUp);
  EXPECT_LE(waits, 2) << "the loop spins after the hang-up";
  EXPECT_NO_THROW(serial.setOutput("more"));
  serial.setPortOpen(false);
}

TEST_F(SerialControlTest, SecondOpenerIsRefused) {
  PtyDevice device;
  openOn(device);
  // Exclusive: only root may still open the device, and sees the mode.
  const int probe = ::open(device.terminalPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int exclusive = 0;
  EXPECT_TRUE(probe < 0 || (::ioctl(probe, TIOCGEXCL, &exclusive) == 0 && exclusive == 1));
  ::close(probe);
  PosixEventLoop otherLoop;
  PosixSerialControl other(otherLoop, folder.str());
  other.setCommPort(2);
  other.setSettings("9600,n,8,1");
  const auto openFds = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  const auto fdsBefore = openFds();
  EXPECT_THROW(other.setPortOpen(true), SerialError);
  EXPECT_EQ(openFds(), fdsBefore) << "a refused open leaves its descriptor open";
  serial.setPortOpen(false);
  EXPECT_NO_THROW(other.setPortOpen(true));
  other.setPortOpen(false);
  // A holder in exclusive mode that takes no lock: even root, who could
  // open the device, does not take it.
  const int holder = ::open(device.terminalPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);
  EXPECT_THROW(other.setPortOpen(true), SerialError);
  exclusive = 0;
  EXPECT_EQ(::ioctl(holder, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1) << "the refused opener must leave the holder's mode";
  ::ioctl(holder, TIOCNXCL);
  ::close(holder);
}

}  // namespace
}  // namespace ts
