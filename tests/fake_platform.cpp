#include "fake_platform.h"

namespace ts::testing {

EventLoop::TimerId FakeLoop::startTimer(std::chrono::milliseconds delay,
                                        std::function<void()> onTick) {
  const TimerId id = nextId_++;
  timers_[id] = Entry{now_ + static_cast<long>(delay.count()), std::move(onTick)};
  return id;
}

void FakeLoop::cancelTimer(TimerId id) {
  timers_.erase(id);
}

void FakeLoop::yield() {
  ++yields_;
  if (onYield) onYield();
  runPending();
  fireNextDue(now_);
}

void FakeLoop::quit(int exitStatus) {
  if (quitted_) return;
  quitted_ = true;
  exitStatus_ = exitStatus;
}

void FakeLoop::runPending() {
  while (!pending_.empty() && !quitted_) {
    auto event = std::move(pending_.front());
    pending_.pop_front();
    event();
  }
}

bool FakeLoop::fireNextDue(long until) {
  if (quitted_) return false;
  auto next = timers_.end();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.due <= until && (next == timers_.end() || it->second.due < next->second.due)) {
      next = it;
    }
  }
  if (next == timers_.end()) return false;
  if (next->second.due > now_) now_ = next->second.due;
  auto onTick = std::move(next->second.onTick);
  timers_.erase(next);
  // Input that is pending when a tick is due is handled first.
  runPending();
  if (!quitted_) onTick();
  return true;
}

void FakeLoop::advance(long ms) {
  const long until = now_ + ms;
  runPending();
  while (!quitted_ && fireNextDue(until)) runPending();
  if (!quitted_) now_ = until;
}

void FakeLoop::runUntilQuit(long limitMs) {
  const long until = now_ + limitMs;
  runPending();
  while (!quitted_ && fireNextDue(until)) runPending();
}

void FakeSerial::setCommPort(std::int16_t port) {
  record("CommPort", port);
  if (port <= 0) throw SerialError("port");
  commPort = port;
}

void FakeSerial::setSettings(const std::string& text) {
  calls.push_back("Settings=" + text);
  if (text.find(",x,") != std::string::npos) throw SerialError("settings");
  settings = text;
}

void FakeSerial::setRThreshold(std::int16_t count) {
  record("RThreshold", count);
  rThreshold_ = count;
}

void FakeSerial::setPortOpen(bool open) {
  record("PortOpen", open);
  if (open && failOpen) throw SerialError("open");
  if (!open && whileClosing) whileClosing();
  if (!open && failClose) throw SerialError("close");
  open_ = open;
}

void FakeSerial::receive(const std::string& bytes) {
  buffer_ += bytes;
  loop_.post([this] {
    if (onComm_) onComm_();
  });
}

}  // namespace ts::testing
