#include "serial/serial_control_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

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

bool entryExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

PosixSerialControl::PosixSerialControl(PosixEventLoop& loop, std::string workingFolder)
    : loop_(loop), workingFolder_(std::move(workingFolder)) {}

PosixSerialControl::~PosixSerialControl() {
  close();
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
  // Exclusive use: another process's lock means the port is taken.
  const bool usable = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && termios_linux::isTerminal(fd) &&
                      termios_linux::applyLineSettings(fd, settings_);
  if (!usable) {
    ::close(fd);
    throw SerialError("the port is busy or refuses the settings");
  }
  ::ioctl(fd, TIOCEXCL);
  // A reply left over from before this run is not this run's answer.
  termios_linux::discardPendingInput(fd);
  fd_ = fd;
  hungUp_ = false;
  received_.clear();
  pendingOutput_.clear();
  outputSent_ = 0;
  reportTransmitEmpty_ = false;
  loop_.watch(fd_, POLLIN, [this](short revents) { onReady(revents); });
}

void PosixSerialControl::close() {
  if (fd_ < 0) return;
  loop_.unwatch(fd_);
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
  fd_ = -1;
  pendingOutput_.clear();
  outputSent_ = 0;
  reportTransmitEmpty_ = false;
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
    const std::size_t before = received_.size();
    if (!readAvailable()) {
      // After a hang-up poll keeps reporting POLLHUP and read fails with
      // EIO: stop watching rather than spin until the run ends.
      hungUp_ = true;
      loop_.unwatch(fd_);
      raise = true;
    }
    if (received_.size() > before) raise = true;
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

bool PosixSerialControl::readAvailable() {
  char chunk[kReadChunk];
  for (std::size_t taken = 0; taken < kReadBudget;) {
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      received_.append(chunk, static_cast<std::size_t>(n));
      taken += static_cast<std::size_t>(n);
      continue;
    }
    // With VMIN and VTIME 0 an emptied terminal reads 0; only a first read
    // of 0, after poll reported the device ready, means it is gone.
    if (n == 0 && taken > 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;  // end of file or EIO: the device is gone
  }
  return true;
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
