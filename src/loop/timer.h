#pragma once

#include <functional>

#include "loop/event_loop.h"

namespace ts {

// A window timer: ticks once per interval while enabled; an interval of 0
// never ticks. Built on the loop's one-shot timers so that every platform
// gets the same semantics.
class Timer {
 public:
  Timer(EventLoop& loop, int intervalMs, std::function<void()> onTick);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void setEnabled(bool enabled);
  void setInterval(int intervalMs);
  bool enabled() const { return enabled_; }
  int interval() const { return intervalMs_; }

 private:
  void arm();
  void disarm();
  void fire();

  EventLoop& loop_;
  int intervalMs_;
  std::function<void()> onTick_;
  bool enabled_ = false;
  EventLoop::TimerId pending_ = 0;
};

}  // namespace ts
