#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace ts {

// The one-threaded event loop that paces a run. Each platform implements it
// (poll on POSIX, the message queue on Win32); the core tests use a fake one
// with virtual time.
class EventLoop {
 public:
  using TimerId = std::uint64_t;

  virtual ~EventLoop() = default;

  // Calls onTick once, `delay` from now, from the loop. The id is never 0.
  virtual TimerId startTimer(std::chrono::milliseconds delay, std::function<void()> onTick) = 0;
  // Cancelling an id that already fired or was cancelled is harmless.
  virtual void cancelTimer(TimerId id) = 0;
  // Processes the events already pending (serial input first, then due
  // timers, window events) and returns; never waits for new ones.
  virtual void yield() = 0;
  // Ends the loop; no further handler runs once the current one returns.
  virtual void quit(int exitStatus) = 0;
};

}  // namespace ts
