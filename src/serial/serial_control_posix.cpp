#include "serial/serial_control_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "loop/termination_posix.h"
#include "serial/termios_linux.h"

namespace ts {
namespace {

// Bytes taken from the driver per read. A terminal driver hands out a few
// kilobytes per read while more wait behind them, so a dispatch reads on
// until the driver is empty: what has arrived when the answer is due then
// belongs to it, even after the loop was kept busy. The budget bounds how
// long a device that never pauses can hold the loop.
constexpr std::size_t kReadChunk = 65536;
constexpr std::size_t kReadBudget = 1 << 20;

// Text still queued when the port closes gets the time the line needs to
// carry it and this much more; the rest is then dropped.
constexpr std::chrono::milliseconds kDrainMargin{100};
// While only the driver holds output, nothing signals that it has gone:
// look again this often at most.
constexpr std::chrono::milliseconds kDrainLook{10};

bool entryExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

PosixSerialControl::PosixSerialControl(PosixEventLoop& loop, std::string workingFolder)
    : loop_(loop), workingFolder_(std::move(workingFolder)) {}

PosixSerialControl::~PosixSerialControl() {
  // Ending the program: nothing more is sent.
  if (fd_ < 0) return;
  release(false);
}

std::string PosixSerialControl::devicePath(std::int16_t port) const {
  const std::string mapped = workingFolder_ + "/PORTAS/COM" + std::to_string(port);
  if (entryExists(mapped)) return mapped;
  return "/dev/ttyS" + std::to_string(port - 1);
}

void PosixSerialControl::setPortOpen(bool open) {
  if (open) {
    if (fd_ >= 0) throw SerialError("port already open");
    this->open();
  } else {
    close();
  }
}

void PosixSerialControl::open() {
  // O_NOCTTY: the device never becomes our controlling terminal, so its
  // hang-up cannot signal us.
  const int fd = ::open(devicePath(commPort_).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw SerialError("cannot open the device");
  // The port is ours before anything touches the line: another process's
  // lock, or its exclusive mode, means it is taken. The lock comes first, so
  // that a run that finds the port taken changes nothing on it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !termios_linux::takeExclusive(fd)) {
    ::close(fd);
    throw SerialError("the port is busy");
  }
  fd_ = fd;
  termination::setPort(fd_, &termios_linux::releaseAtOnce);
  // Opening raised DTR and RTS; the devices served expect both off (an
  // RS-485 converter switching direction on RTS, a board that resets on
  // DTR). Lowered again after the settings: the kernel raises them when
  // the rate leaves 0.
  termios_linux::lowerModemLines(fd_);
  if (!termios_linux::isTerminal(fd_) || !termios_linux::applyLineSettings(fd_, settings_)) {
    release(false);
    throw SerialError("the port refuses the settings");
  }
  termios_linux::lowerModemLines(fd_);
  // A reply left over from before this run is not this run's answer.
  termios_linux::discardPendingInput(fd_);
  hungUp_ = false;
  received_.clear();
  pendingOutput_.clear();
  outputSent_ = 0;
  reportTransmitEmpty_ = false;
  loop_.watch(fd_, POLLIN, [this](short revents) { onReady(revents); });
}

void PosixSerialControl::close() {
  if (fd_ < 0) return;
  // What the line carried in time may still be on its way out (a device
  // that has yet to read it); only what it could not carry is dropped.
  release(!hungUp_ && drainWithinLineTime());
}

void PosixSerialControl::release(bool drained) {
  // A closed descriptor left in the loop's poll set would be reported at
  // once on every pass: the loop would spin until the program ends.
  loop_.unwatch(fd_);
  if (drained) {
    termios_linux::releaseDrained(fd_);
  } else {
    termios_linux::releaseAtOnce(fd_);
  }
  termination::setPort(-1, nullptr);
  fd_ = -1;
  pendingOutput_.clear();
  outputSent_ = 0;
  reportTransmitEmpty_ = false;
}

std::size_t PosixSerialControl::unsentBytes() const {
  return pendingOutput_.size() - outputSent_;
}

// A real UART's close waits until the driver has sent what it holds, for
// up to its closing wait (30 s by default), and a line that does not move
// would hold the answer that long. So the text still queued gets the time
// the line needs to carry it, and a little more; what is left then is
// dropped by the release. True when nothing is left.
bool PosixSerialControl::drainWithinLineTime() {
  using Clock = PosixEventLoop::Clock;
  const std::size_t queued = unsentBytes() + termios_linux::outputQueued(fd_);
  if (queued == 0) return true;
  const auto deadline = Clock::now() + lineTime(settings_, queued) + kDrainMargin;
  for (;;) {
    flushOutput();
    const std::size_t inDriver = termios_linux::outputQueued(fd_);
    if (unsentBytes() == 0 && inDriver == 0) return true;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    // Woken when the driver can take more; while it only holds output,
    // when that should have gone.
    auto look = std::min(std::chrono::ceil<std::chrono::milliseconds>(left), kDrainLook);
    if (unsentBytes() == 0) {
      look = std::min(look,
                      std::chrono::ceil<std::chrono::milliseconds>(lineTime(settings_, inDriver)));
    }
    pollfd ready{fd_, static_cast<short>(unsentBytes() > 0 ? POLLOUT : 0), 0};
    if (::poll(&ready, 1, static_cast<int>(look.count())) > 0 &&
        (ready.revents & (POLLHUP | POLLERR))) {
      return false;  // the device is gone: nothing more will leave
    }
  }
}

void PosixSerialControl::setOutput(const std::string& text) {
  if (fd_ < 0) throw SerialError("port not open");
  if (text.empty() || hungUp_) return;
  pendingOutput_.append(text);
  if (sThreshold_ > 0) reportTransmitEmpty_ = true;
  flushOutput();
}

void PosixSerialControl::onReady(short revents) {
  bool raise = false;
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    const Intake intake = readAvailable();
    // Nothing to read is not a hang-up in itself: with VMIN and VTIME 0 a
    // terminal reads 0 whenever nothing waits, as when another reader took
    // the bytes between poll and read. Only poll can tell the device is gone.
    if (intake == Intake::Gone || (intake == Intake::Nothing && (revents & (POLLHUP | POLLERR)))) {
      // After a hang-up poll keeps reporting it at once: stop watching
      // rather than spin until the run ends.
      hungUp_ = true;
      loop_.unwatch(fd_);
      raise = true;
    }
    if (intake == Intake::Some) raise = true;
  }
  if (!hungUp_ && (revents & POLLOUT)) {
    flushOutput();
    if (pendingOutput_.empty() && reportTransmitEmpty_) {
      reportTransmitEmpty_ = false;
      raise = true;
    }
  }
  if (fd_ >= 0 && !hungUp_) updateWatch();
  if (raise) raiseComm();
}

PosixSerialControl::Intake PosixSerialControl::readAvailable() {
  char chunk[kReadChunk];
  std::size_t taken = 0;
  while (taken < kReadBudget) {
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      received_.append(chunk, static_cast<std::size_t>(n));
      taken += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) break;
    return Intake::Gone;  // EIO and the like: the device is gone
  }
  return taken > 0 ? Intake::Some : Intake::Nothing;
}

void PosixSerialControl::flushOutput() {
  while (outputSent_ < pendingOutput_.size()) {
    const ssize_t n =
        ::write(fd_, pendingOutput_.data() + outputSent_, pendingOutput_.size() - outputSent_);
    if (n > 0) {
      outputSent_ += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // The device is gone; what was queued cannot be delivered.
    pendingOutput_.clear();
    outputSent_ = 0;
    break;
  }
  if (outputSent_ == pendingOutput_.size()) {
    pendingOutput_.clear();
    outputSent_ = 0;
  }
  updateWatch();
}

void PosixSerialControl::updateWatch() {
  if (fd_ < 0 || hungUp_) return;
  // POLLOUT only while there is something to send or to report as sent.
  const bool wantOut = !pendingOutput_.empty() || reportTransmitEmpty_;
  loop_.setEvents(fd_, static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0)));
}

}  // namespace ts
