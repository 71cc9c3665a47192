#pragma once

#include <optional>
#include <string>

#include "loop/event_loop_posix.h"
#include "serial/serial_control_base.h"

namespace ts {

// The serial control over a termios device: raw, no flow control, never
// blocking the loop. COM N opens PORTAS/COM<N> in the working folder when
// that entry exists, otherwise /dev/ttyS<N-1>.
class PosixSerialControl : public SerialControlBase {
 public:
  PosixSerialControl(PosixEventLoop& loop, std::string workingFolder);
  ~PosixSerialControl() override;
  PosixSerialControl(const PosixSerialControl&) = delete;
  PosixSerialControl& operator=(const PosixSerialControl&) = delete;

  void setPortOpen(bool open) override;
  bool portOpen() const override { return fd_ >= 0; }
  void setOutput(const std::string& text) override;

  // The device a port number opens.
  std::string devicePath(std::int16_t port) const;

 private:
  // What a read of the driver brought.
  enum class Intake { Some, Nothing, Gone };

  void open();
  // Closes after the bounded wait for queued output.
  void close();
  // Closes at once; output still queued is dropped unless `drained` says
  // the driver holds none.
  void release(bool drained);
  bool drainWithinLineTime();
  std::size_t unsentBytes() const;
  void onReady(short revents);
  // Reads what the driver holds, up to a budget.
  Intake readAvailable();
  void flushOutput();
  void updateWatch();

  PosixEventLoop& loop_;
  const std::string workingFolder_;

  int fd_ = -1;
  bool hungUp_ = false;
  std::string pendingOutput_;
  std::size_t outputSent_ = 0;
  bool reportTransmitEmpty_ = false;
};

}  // namespace ts
