#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "loop/event_loop.h"
#include "serial/serial_control.h"
#include "ui/headless_window.h"

namespace ts::testing {

// An event loop on virtual time. Events posted with post() are pending
// until the next yield or until time advances, as window messages would be.
class FakeLoop : public EventLoop {
 public:
  TimerId startTimer(std::chrono::milliseconds delay, std::function<void()> onTick) override;
  void cancelTimer(TimerId id) override;
  void yield() override;
  void quit(int exitStatus) override;

  void post(std::function<void()> event) { pending_.push_back(std::move(event)); }
  // Runs events and due timers until `ms` of virtual time have passed or the
  // loop quit.
  void advance(long ms);
  // Runs until quit or until `limitMs` of virtual time.
  void runUntilQuit(long limitMs = 60'000);

  long now() const { return now_; }
  int yields() const { return yields_; }
  bool quitted() const { return quitted_; }
  int exitStatus() const { return exitStatus_; }
  // Called at every yield, before pending events run.
  std::function<void()> onYield;

 private:
  struct Entry {
    long due;
    std::function<void()> onTick;
  };
  void runPending();
  bool fireNextDue(long until);

  std::map<TimerId, Entry> timers_;
  std::deque<std::function<void()>> pending_;
  TimerId nextId_ = 1;
  long now_ = 0;
  int yields_ = 0;
  bool quitted_ = false;
  int exitStatus_ = -1;
};

// A serial control that records what the run did with it.
class FakeSerial : public SerialControl {
 public:
  explicit FakeSerial(FakeLoop& loop) : loop_(loop) {}

  void setCommPort(std::int16_t port) override;
  void setSettings(const std::string& settings) override;
  void setRThreshold(std::int16_t count) override;
  std::int16_t rThreshold() const override { return rThreshold_; }
  void setSThreshold(std::int16_t count) override { record("SThreshold", count); }
  void setInputLen(std::int16_t count) override { record("InputLen", count); }
  void setPortOpen(bool open) override;
  bool portOpen() const override { return open_; }
  void setOutput(const std::string& text) override {
    calls.push_back("Output");
    transmitted += text;
  }
  std::string input() override { return std::exchange(buffer_, {}); }
  void setOnComm(std::function<void()> handler) override { onComm_ = std::move(handler); }

  // The device sends bytes: buffered now, event delivered by the loop.
  void receive(const std::string& bytes);

  bool failOpen = false;
  bool failClose = false;
  // Runs inside closing, as a window closed while queued text drains.
  std::function<void()> whileClosing;
  std::vector<std::string> calls;  // "CommPort=3", "PortOpen=1", ...
  std::string transmitted;
  std::int16_t commPort = 0;
  std::string settings;

 private:
  void record(std::string name, int value) { calls.push_back(name + "=" + std::to_string(value)); }

  FakeLoop& loop_;
  std::function<void()> onComm_;
  std::string buffer_;
  std::int16_t rThreshold_ = 0;
  bool open_ = false;
};

class FakeWindow : public HeadlessWindow {
 public:
  bool canDisplay() const override { return display; }
  void setVisible(bool v) override { shown = v; }
  bool visible() const override { return shown; }
  ScreenMetrics screenMetrics() const override { return metrics; }
  std::int32_t outerWidthTwips() const override { return outerWidth; }
  void setOnClose(std::function<void()> handler) override { onClose = std::move(handler); }

  bool display = true;
  bool shown = false;
  ScreenMetrics metrics{1920 * 15, 15, 15};
  std::int32_t outerWidth = 4905 + 90;
  std::function<void()> onClose;
};

}  // namespace ts::testing
