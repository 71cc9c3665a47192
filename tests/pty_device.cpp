#include "pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "pseudo_terminal.h"

namespace ts::testing {

using Clock = std::chrono::steady_clock;

PtyDevice::PtyDevice() : PtyDevice(Script{}) {}

PtyDevice::PtyDevice(Script script) : script_(std::move(script)), created_(Clock::now()) {
  tools::PseudoTerminal pty;
  if (!tools::openPseudoTerminal(pty)) throw std::runtime_error("no pseudo-terminal");
  master_ = pty.master;
  terminal_ = pty.terminal;
  terminalPath_ = pty.path;
  player_ = std::thread([this] { play(); });
}

PtyDevice::~PtyDevice() {
  stop_ = true;
  player_.join();
  hangUp();
}

void PtyDevice::hangUp() {
  if (hungUp_.exchange(true)) return;
  ::close(terminal_);
  ::close(master_);
}

long PtyDevice::msSinceCreated() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - created_).count();
}

std::string PtyDevice::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

void PtyDevice::writeAll(const char* data, std::size_t size) {
  while (size > 0 && !hungUp_) {
    const ssize_t n = ::write(master_, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 10);
      if (stop_) return;
    }
  }
}

void PtyDevice::play() {
  auto replyAt = Clock::time_point::max();
  auto secondAt = Clock::time_point::max();
  auto hangUpAt = Clock::time_point::max();
  std::string floodChunk(4096, 'F');
  char buffer[4096];
  const auto hearsFrom = created_ + script_.deafFor;
  while (!stop_ && !hungUp_) {
    const bool flooding = script_.floodBytes > floodWritten_ && firstByteAt_ >= 0;
    const std::size_t room = script_.deafAfter - received().size();
    const bool hears = Clock::now() >= hearsFrom && room > 0;
    pollfd p{master_, static_cast<short>((hears ? POLLIN : 0) | (flooding ? POLLOUT : 0)), 0};
    ::poll(&p, 1, 2);
    const ssize_t n = hears ? ::read(master_, buffer, std::min(sizeof buffer, room)) : 0;
    if (n > 0) {
      const auto now = Clock::now();
      if (firstByteAt_ < 0) {
        firstByteAt_ =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - created_).count();
        if (!script_.reply.empty()) replyAt = now + script_.delay;
      }
      {
        std::lock_guard lock(mutex_);
        received_.append(buffer, static_cast<std::size_t>(n));
      }
      if (script_.echo) writeAll(buffer, static_cast<std::size_t>(n));
    }
    if (flooding) {
      const std::size_t left = script_.floodBytes - floodWritten_;
      const ssize_t w = ::write(master_, floodChunk.data(), std::min(left, floodChunk.size()));
      if (w > 0) floodWritten_ += static_cast<std::size_t>(w);
    }
    if (Clock::now() >= replyAt) {
      replyAt = Clock::time_point::max();
      writeAll(script_.reply.data(), script_.reply.size());
      if (!script_.secondReply.empty()) secondAt = Clock::now() + script_.secondDelay;
      if (script_.hangUpAfter.count() >= 0) hangUpAt = Clock::now() + script_.hangUpAfter;
    }
    if (Clock::now() >= hangUpAt) {
      hangUp();
      return;
    }
    if (Clock::now() >= secondAt) {
      secondAt = Clock::time_point::max();
      writeAll(script_.secondReply.data(), script_.secondReply.size());
    }
  }
}

}  // namespace ts::testing
