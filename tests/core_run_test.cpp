// The run's phases on virtual time, with a fake serial control and window.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/form_principal.h"
#include "exchange/result_texts.h"
#include "fake_platform.h"
#include "loop/timer.h"
#include "test_folder.h"

namespace ts {
namespace {

using namespace ::ts::testing;

constexpr const char* kOrder = "3\r\n9600\r\n8\r\n1\r\nN\r\nPESO";
// The serial control calls of kOrder's run, in order.
const std::vector<std::string> kRunCalls{"CommPort=3",   "Settings=9600,n,8,1", "RThreshold=1",
                                         "SThreshold=1", "InputLen=0",          "PortOpen=1",
                                         "Output"};

// The first `count` of kRunCalls.
std::vector<std::string> runCallsUpTo(std::size_t count) {
  return {kRunCalls.begin(), kRunCalls.begin() + static_cast<long>(count)};
}

// A run of its own, for cases that each need a fresh folder and platform.
struct Rig {
  explicit Rig(const std::string& config = "S\r\n1\r\n", const std::string& order = kOrder) {
    ts::testing::prepareFolder(folder, config);
    folder.write("ORDEM/ordem.txt", order);
  }
  void run() {
    form.start();
    loop.runUntilQuit();
  }
  std::string response() const { return folder.read("RESPOSTA/resposta.txt"); }
  TestFolder folder;
  FakeLoop loop;
  FakeSerial serial{loop};
  FakeWindow window;
  FormPrincipal form{loop, serial, window, folder.str(), PathStyle::Posix};
};

// The usual run: the common folder, with kOrder written, and its platform.
class RunTest : public ::testing::Test, protected Rig {};

// The window timer the phases are paced by, on virtual time.
TEST(Timer, TicksEachIntervalWhileEnabledAndNeverOnceGone) {
  FakeLoop loop;
  std::vector<long> ticks;
  {
    Timer t(loop, 100, [&] { ticks.push_back(loop.now()); });
    loop.advance(150);  // not enabled yet
    t.setEnabled(true);
    t.setEnabled(true);  // enabling again arms no second tick
    loop.advance(250);   // 250, 350
    t.setInterval(40);   // counted afresh from 400
    loop.advance(50);    // 440
    t.setEnabled(false);
    loop.advance(100);
    t.setInterval(0);
    t.setEnabled(true);
    loop.advance(1000);  // an interval of 0 never ticks
    t.setInterval(30);
    EXPECT_EQ(t.interval(), 30);
    loop.advance(40);  // 1580, and armed for 1610 when it goes
  }
  loop.advance(1000);
  // Disabled by another handler after its first tick: no second one.
  Timer once(loop, 10, [&] { ticks.push_back(-loop.now()); });
  Timer stopper(loop, 10, [&] { once.setEnabled(false); });
  once.setEnabled(true);
  stopper.setEnabled(true);
  loop.advance(100);
  EXPECT_EQ(ticks, (std::vector<long>{250, 350, 440, 1580, -2600}));
}

TEST_F(RunTest, SuccessfulExchangeFollowsTheSchedule) {
  form.start();
  EXPECT_TRUE(window.shown);
  EXPECT_TRUE(form.timer1().enabled());

  loop.advance(499);
  EXPECT_TRUE(serial.transmitted.empty());
  loop.advance(1);  // order phase at 500 ms
  EXPECT_EQ(serial.transmitted, "PESO");
  EXPECT_EQ(serial.calls, kRunCalls);
  EXPECT_EQ(window.text(Control::TextTX), "PESO");
  EXPECT_EQ(window.text(Control::LblPorta),
            "\rPorta: COM3\r\r\nVelocidade: 9600\r\nBits: 8\r\nParidade: N\r\nStop bits: "
            "1\r\r\nDisparo RX: 1 crt");

  serial.receive("12,");
  loop.advance(300);
  serial.receive(std::string("5\0kg\r", 5));
  loop.advance(699);
  EXPECT_FALSE(folder.exists("RESPOSTA/resposta.txt"));
  loop.advance(1);  // answer phase 1000 ms after the order phase
  const std::string expected("000|Sucesso\r\n12,5\0kg\r", 21);
  EXPECT_EQ(window.text(Control::TextRX), expected);
  EXPECT_EQ(response(), expected + "\r\n");
  EXPECT_FALSE(serial.portOpen());
  EXPECT_EQ(serial.calls.back(), "PortOpen=0");

  loop.advance(999);
  EXPECT_FALSE(loop.quitted());
  loop.advance(1);  // display time of 1 second
  EXPECT_EQ(std::tuple(loop.quitted(), loop.exitStatus(), loop.now()), std::tuple(true, 0, 2500L));
}

TEST_F(RunTest, InputPendingWhenTheAnswerIsDueCountsButNotInputAfterTheChoice) {
  form.start();
  loop.advance(1499);
  serial.receive("just in time");
  // Arrives while the answer phase yields after choosing the result.
  loop.onYield = [&] {
    if (loop.now() >= 1500) serial.receive("late");
  };
  loop.runUntilQuit();
  EXPECT_EQ(response(), "000|Sucesso\r\njust in time\r\n");
}

TEST_F(RunTest, ReplyDuringTheOrderPhaseYieldsIsKept) {
  bool sent = false;
  loop.onYield = [&] {
    if (serial.portOpen() && !sent) serial.receive("early;");
    sent = sent || serial.portOpen();
  };
  form.start();
  loop.advance(500);
  loop.onYield = nullptr;
  serial.receive("reply");
  loop.runUntilQuit();
  EXPECT_EQ(response(), "000|Sucesso\r\nearly;reply\r\n");
}

TEST_F(RunTest, FailuresAreRecordedOnceAndThePortStillCloses) {
  struct Case {
    std::string order;
    std::string_view result;
    int yields;  // start-up, the port steps that ran, the answer
    std::vector<std::string> callsBeforeClosing;
    bool failOpen = false;
  };
  const std::vector<Case> cases{
      {"COM3\r9600\r8\r1\rN\rX", results::kNaoConfigurada, 3, {}},
      {"70000\r9600\r8\r1\rN\rX", results::kNaoConfigurada, 3, {}},
      {"3\r9600\r8\r1\rX\rX", results::kNaoConfigurada, 3, {"CommPort=3", "Settings=9600,x,8,1"}},
      {"0\r9600\r8\r1\rN\rX", results::kNaoConfigurada, 3, {"CommPort=0"}},
      {kOrder, results::kNaoAberta, 5, runCallsUpTo(6), true},
      {"3\r9600\r8\r1\r\rX", results::kOrdemIncorreta, 2, {}},
  };
  for (const auto& c : cases) {
    Rig r("N\r\n", c.order);
    r.serial.failOpen = c.failOpen;
    r.run();
    EXPECT_EQ(r.response(), std::string(c.result) + "\r\n") << c.order;
    std::vector<std::string> calls = c.callsBeforeClosing;
    calls.push_back("PortOpen=0");
    EXPECT_EQ(r.serial.calls, calls) << c.order;
    EXPECT_EQ(r.loop.yields(), c.yields) << c.order;
    EXPECT_EQ(r.loop.exitStatus(), results::resultCode(c.result));
    EXPECT_TRUE(r.serial.transmitted.empty());
    EXPECT_EQ(r.window.text(Control::TextTX), "");
    // Hidden mode: the exit follows 500 ms after the answer.
    EXPECT_EQ(r.loop.now(), 2000);
  }
}

TEST_F(RunTest, MissingOrderGives004AndClosesANeverOpenedPort) {
  serial.failClose = true;
  std::filesystem::remove(folder.path() / "ORDEM/ordem.txt");
  run();
  EXPECT_EQ(response(), std::string(results::kOrdemAusente) + "\r\n");
  EXPECT_EQ(serial.calls, (std::vector<std::string>{"PortOpen=0"}));
  EXPECT_EQ(form.CaminhoAbsoluto, folder.str() + "/RESPOSTA/");
}

TEST_F(RunTest, ConfigProblemsSkipTheOrderPhase) {
  for (const auto& [config, result] :
       std::vector<std::pair<std::string, std::string_view>>{{"", results::kSemExibicao},
                                                             {"\r\n", results::kSemTempo},
                                                             {"S\r\nx", results::kSemTempo}}) {
    Rig r(config);
    r.window.metrics.widthTwips = 99999;
    r.form.start();
    EXPECT_FALSE(r.form.timer1().enabled());
    EXPECT_EQ(r.window.left(), 0);  // not moved
    EXPECT_TRUE(r.window.shown);
    r.loop.runUntilQuit();
    EXPECT_EQ(r.response(), std::string(result) + "\r\n");
    EXPECT_EQ(r.serial.calls, (std::vector<std::string>{"PortOpen=0"}));
    EXPECT_EQ(r.loop.now(), 1500);  // answer at 1000, exit 500 later
  }
  Rig noConfig;
  std::filesystem::remove(noConfig.folder.path() / "config.ini");
  noConfig.run();
  EXPECT_EQ(noConfig.loop.exitStatus(), 6);
}

// Shown for the display time after the answer, or hidden and ended with
// it; a display time of 0 waits for the user, but not without a screen.
TEST_F(RunTest, DisplayTimeHiddenModeAndWaitingForTheUser) {
  struct Case {
    const char* config;
    bool display, shown;
    long endsAt;  // -1: only when the user closes the window
  };
  for (const Case& c :
       {Case{"S\r\n9 segundos\r\n", true, true, 1500 + 9000}, Case{"N\r\n9\r\n", true, false, 2000},
        Case{"S\r\n0\r\n", true, true, -1}, Case{"S\r\n0\r\n", false, false, 2000}}) {
    Rig r(c.config);
    r.window.display = c.display;
    r.form.start();
    r.serial.receive("1");
    r.loop.runUntilQuit(c.endsAt < 0 ? 600'000 : 60'000);
    EXPECT_EQ(r.window.shown, c.shown) << c.config;
    EXPECT_EQ(r.response(), "000|Sucesso\r\n1\r\n") << "answered once: " << c.config;
    if (c.endsAt >= 0) {
      EXPECT_EQ(r.loop.now(), c.endsAt) << c.config;
      continue;
    }
    EXPECT_FALSE(r.loop.quitted());
    EXPECT_TRUE(r.folder.exists("RESPOSTA/resposta.txt"));
    r.window.onClose();
    EXPECT_TRUE(r.loop.quitted());
    EXPECT_EQ(r.loop.exitStatus(), 0);
  }
}

TEST_F(RunTest, ClosingEndsTheRunWhereItStands) {
  form.start();
  loop.advance(700);  // between the phases
  window.onClose();
  EXPECT_TRUE(loop.quitted());
  EXPECT_EQ(loop.exitStatus(), kExitWindowClosedEarly);
  loop.advance(5000);
  EXPECT_FALSE(folder.exists("RESPOSTA/resposta.txt"));

  // Closed during a phase's yield: the phase stops there, with no port step,
  // transmission or response after it.
  // The yields of a run, in order, and how many of its port calls precede each.
  const std::vector<std::pair<std::string, std::size_t>> yields{
      {"start-up", 0},        {"inside ConfiguraPorta", 4}, {"after ConfiguraPorta", 4},
      {"after AbrePorta", 6}, {"after showing TextTX", 6},  {"answer phase", 7}};
  for (std::size_t at = 0; at < yields.size(); ++at) {
    Rig r;
    r.loop.onYield = [&] {
      if (static_cast<std::size_t>(r.loop.yields()) == at + 1) r.window.onClose();
    };
    r.run();
    const auto& [where, callsBefore] = yields[at];
    EXPECT_EQ(r.serial.calls, runCallsUpTo(callsBefore)) << where;
    EXPECT_EQ(r.loop.exitStatus(), kExitWindowClosedEarly) << where;
    EXPECT_FALSE(r.folder.exists("RESPOSTA/resposta.txt")) << where;
    EXPECT_EQ(r.loop.yields(), static_cast<int>(at + 1)) << where;
    // A window closed during start-up is not shown after all.
    EXPECT_EQ(r.window.shown, at > 0) << where;
  }

  // Closed while the port drains its queued text at the answer: no response.
  Rig r;
  r.serial.whileClosing = [&] { r.window.onClose(); };
  r.run();
  EXPECT_EQ(r.loop.exitStatus(), kExitWindowClosedEarly);
  EXPECT_FALSE(r.folder.exists("RESPOSTA/resposta.txt"));
}

TEST_F(RunTest, PlacementIsThirtyPixelsFromTopAndRight) {
  // The last two are wider than a 16-bit twips count can hold; the two in
  // the middle have pixels taller than wide and wider than tall.
  using Screen = std::pair<ScreenMetrics, std::int32_t>;
  for (const auto& [metrics, outer] :
       {Screen{{1920 * 15, 15, 15}, 5000}, Screen{{1366 * 12, 12, 12}, 4000},
        Screen{{1280 * 12, 12, 15}, 4000}, Screen{{1600 * 15, 15, 12}, 4000},
        Screen{{3840 * 15, 15, 15}, 5000}, Screen{{7680 * 10, 10, 10}, 3500}}) {
    Rig r;
    r.window.metrics = metrics;
    r.window.outerWidth = outer;
    r.form.start();
    EXPECT_EQ(r.window.top(), 30 * metrics.twipsPerPixelY);
    EXPECT_EQ(r.window.left() + outer + 30 * metrics.twipsPerPixelX, metrics.widthTwips);
  }
}

TEST_F(RunTest, UnwritableResponseEndsWithStatus10) {
  std::filesystem::remove(folder.path() / "RESPOSTA");
  run();
  EXPECT_EQ(loop.exitStatus(), kExitResponseNotWritten);
  EXPECT_FALSE(folder.exists("RESPOSTA"));
}

TEST_F(RunTest, EachRunReadsTheOrderAfresh) {
  run();
  folder.write("ORDEM/ordem.txt", "4\r\n19200\r\n7\r\n2\r\nE\r\n");
  FakeLoop l;
  FakeSerial s(l);
  FormPrincipal second(l, s, window, folder.str(), PathStyle::Posix);
  second.start();
  l.runUntilQuit();
  EXPECT_EQ(s.settings, "19200,e,7,2");
  EXPECT_EQ(s.commPort, 4);
  EXPECT_TRUE(s.transmitted.empty());
}

}  // namespace
}  // namespace ts
