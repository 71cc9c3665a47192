#pragma once

#include <optional>
#include <string>

#include "app/event_loop_posix.h"
#include "serial/serial_control.h"
#include "serial/settings.h"

namespace ts {

// The serial control over a termios device: raw, no flow control, never
// blocking the loop. COM N opens PORTAS/COM<N> in the working folder when
// that entry exists, otherwise /dev/ttyS<N-1>.
class PosixSerialControl : public SerialControl {
 public:
  PosixSerialControl(PosixEventLoop& loop, std::string workingFolder);
  ~PosixSerialControl() override;
  PosixSerialControl(const PosixSerialControl&) = delete;
  PosixSerialControl& operator=(const PosixSerialControl&) = delete;

  void setCommPort(std::int16_t port) override;
  void setSettings(const std::string& settings) override;
  void setRThreshold(std::int16_t count) override;
  std::int16_t rThreshold() const override { return rThreshold_; }
  void setSThreshold(std::int16_t count) override;
  void setInputLen(std::int16_t count) override;
  void setPortOpen(bool open) override;
  bool portOpen() const override { return fd_ >= 0; }
  void setOutput(const std::string& text) override;
  std::string input() override;
  void setOnComm(std::function<void()> handler) override;

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
  void raiseComm();

  PosixEventLoop& loop_;
  const std::string workingFolder_;
  std::int16_t commPort_ = 1;
  LineSettings settings_;
  std::int16_t rThreshold_ = 0;
  std::int16_t sThreshold_ = 0;
  std::int16_t inputLen_ = 0;
  std::function<void()> onComm_;

  int fd_ = -1;
  bool hungUp_ = false;
  std::string received_;
  std::string pendingOutput_;
  std::size_t outputSent_ = 0;
  bool reportTransmitEmpty_ = false;
};

}  // namespace ts
