#include "loop/event_loop_posix.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace ts {

EventLoop::TimerId PosixEventLoop::startTimer(std::chrono::milliseconds delay,
                                              std::function<void()> onTick) {
  const TimerId id = nextId_++;
  timers_[id] = TimerEntry{now_() + delay, std::move(onTick)};
  return id;
}

void PosixEventLoop::cancelTimer(TimerId id) {
  timers_.erase(id);
}

void PosixEventLoop::yield() {
  if (!quitting_) pass(0);
}

void PosixEventLoop::quit(int exitStatus) {
  if (quitting_) return;
  quitting_ = true;
  exitStatus_ = exitStatus;
}

void PosixEventLoop::watch(int fd, short events, FdHandler handler) {
  watches_[fd] = Watch{events, std::move(handler)};
}

void PosixEventLoop::setEvents(int fd, short events) {
  const auto it = watches_.find(fd);
  if (it != watches_.end()) it->second.events = events;
}

void PosixEventLoop::unwatch(int fd) {
  watches_.erase(fd);
}

void PosixEventLoop::setIdleHandler(std::function<void()> handler) {
  idle_ = std::move(handler);
}

int PosixEventLoop::run() {
  while (!quitting_) {
    pass(msUntilNextTimer());
  }
  return exitStatus_;
}

int PosixEventLoop::waitMs(Clock::time_point now, std::optional<Clock::time_point> nextDue) {
  if (!nextDue) return -1;
  // A timer that fell due while a handler ran must not make the wait
  // negative: poll takes that for "forever".
  if (*nextDue <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*nextDue - now);
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), INT_MAX));
}

int PosixEventLoop::msUntilNextTimer() const {
  std::optional<Clock::time_point> next;
  for (const auto& [id, entry] : timers_) next = std::min(next.value_or(entry.due), entry.due);
  return waitMs(now_(), next);
}

void PosixEventLoop::pass(int timeoutMs) {
  if (timeoutMs != 0 && idle_) {
    idle_();
    if (quitting_) return;
    // Recomputed: the handler may have taken a while.
    timeoutMs = msUntilNextTimer();
  }
  pollAndDispatch(timeoutMs);
  // Input that arrived while those handlers ran (a large reply takes a
  // while to append) belongs before a timer that fell due meanwhile.
  if (!quitting_ && msUntilNextTimer() == 0) pollAndDispatch(0);
  dispatchDueTimers();
}

void PosixEventLoop::pollAndDispatch(int timeoutMs) {
  std::vector<pollfd> fds;
  fds.reserve(watches_.size());
  for (const auto& [fd, w] : watches_) fds.push_back(pollfd{fd, w.events, 0});
  // poll fails only on EINTR or resource exhaustion; either way the timers
  // still pace the run.
  if (::poll(fds.data(), fds.size(), timeoutMs) > 0) dispatchFds(fds);
}

void PosixEventLoop::dispatchFds(const std::vector<pollfd>& ready) {
  for (const pollfd& p : ready) {
    if (quitting_) return;
    if (p.revents == 0) continue;
    // A handler may have removed or replaced this watch meanwhile.
    const auto it = watches_.find(p.fd);
    if (it == watches_.end()) continue;
    FdHandler handler = it->second.handler;
    handler(p.revents);
  }
}

void PosixEventLoop::dispatchDueTimers() {
  const auto now = now_();
  std::vector<std::pair<Clock::time_point, TimerId>> due;
  for (const auto& [id, entry] : timers_) {
    if (entry.due <= now) due.emplace_back(entry.due, id);
  }
  std::sort(due.begin(), due.end());
  for (const auto& [when, id] : due) {
    if (quitting_) return;
    const auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled by an earlier handler
    auto onTick = std::move(it->second.onTick);
    timers_.erase(it);
    onTick();
  }
}

}  // namespace ts
