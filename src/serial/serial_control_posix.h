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
  void open();
  void close();
  void onReady(short revents);
  // Reads what the driver holds; false once the device has hung up.
  bool readAvailable();
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
