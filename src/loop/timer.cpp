#include "loop/timer.h"

#include <utility>

namespace ts {

Timer::Timer(EventLoop& loop, int intervalMs, std::function<void()> onTick)
    : loop_(loop), intervalMs_(intervalMs), onTick_(std::move(onTick)) {}

Timer::~Timer() {
  disarm();
}

void Timer::setEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled_) {
    arm();
  } else {
    disarm();
  }
}

void Timer::setInterval(int intervalMs) {
  intervalMs_ = intervalMs;
  if (enabled_) {
    disarm();
    arm();
  }
}

void Timer::arm() {
  if (intervalMs_ <= 0) return;
  pending_ = loop_.startTimer(std::chrono::milliseconds(intervalMs_), [this] { fire(); });
}

void Timer::disarm() {
  if (pending_ != 0) loop_.cancelTimer(pending_);
  pending_ = 0;
}

void Timer::fire() {
  pending_ = 0;
  onTick_();
  // A timer that is still enabled after its handler ticks again, as a
  // window timer would; the phase handlers disable theirs first.
  if (enabled_ && pending_ == 0) arm();
}

}  // namespace ts
