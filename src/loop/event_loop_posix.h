#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "loop/event_loop.h"

namespace ts {

// A poll loop on one thread: one-shot timers and file-descriptor watches.
// When input and a due timer are both pending, the input is handled first,
// so that data that has arrived by the time a tick is dispatched is seen by
// the tick's handler.
class PosixEventLoop : public EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using FdHandler = std::function<void(short revents)>;

  // `now` reads the clock that timers are due by; tests give one that jumps.
  explicit PosixEventLoop(std::function<Clock::time_point()> now = Clock::now)
      : now_(std::move(now)) {}

  // How long a pass may wait for input, in poll's whole milliseconds: rounded
  // up, so that a timer due within the next millisecond is not spun for; 0
  // when the next timer is already due (however late); -1, no limit, when
  // no timer is armed.
  static int waitMs(Clock::time_point now, std::optional<Clock::time_point> nextDue);

  TimerId startTimer(std::chrono::milliseconds delay, std::function<void()> onTick) override;
  void cancelTimer(TimerId id) override;
  void yield() override;
  void quit(int exitStatus) override;

  // Watches fd for `events` (POLLIN, POLLOUT); the handler gets revents,
  // which may also hold POLLHUP or POLLERR. Watching again replaces.
  void watch(int fd, short events, FdHandler handler);
  void setEvents(int fd, short events);
  void unwatch(int fd);
  // Runs when the loop is about to block waiting for new events, never
  // from yield(): the place for work that may take a while (a window's
  // painting and flushing) without delaying a handler that yields.
  void setIdleHandler(std::function<void()> handler);

  // Runs until quit(); returns the exit status given to it.
  int run();
  bool quitting() const { return quitting_; }

 private:
  struct TimerEntry {
    Clock::time_point due;
    std::function<void()> onTick;
  };
  struct Watch {
    short events;
    FdHandler handler;
  };

  // One pass: wait up to `timeout` for input, handle it, then due timers.
  // Only a pass that may wait is preceded by the idle handler.
  void pass(int timeoutMs);
  void pollAndDispatch(int timeoutMs);
  int msUntilNextTimer() const;
  void dispatchFds(const std::vector<pollfd>& ready);
  void dispatchDueTimers();

  std::function<Clock::time_point()> now_;
  std::map<TimerId, TimerEntry> timers_;
  std::map<int, Watch> watches_;
  std::function<void()> idle_;
  TimerId nextId_ = 1;
  bool quitting_ = false;
  int exitStatus_ = 0;
};

}  // namespace ts
