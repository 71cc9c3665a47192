#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "serial/serial_control.h"
#include "serial/settings.h"

namespace ts {

// What the platforms' serial controls keep alike: the properties, checked
// when set, the text received so far that Input hands out, and the OnComm
// handler. A platform adds opening, closing, output and the events.
class SerialControlBase : public SerialControl {
 public:
  void setCommPort(std::int16_t port) override;
  void setSettings(const std::string& settings) override;
  void setRThreshold(std::int16_t count) override;
  std::int16_t rThreshold() const override { return rThreshold_; }
  void setSThreshold(std::int16_t count) override;
  void setInputLen(std::int16_t count) override;
  std::string input() override;
  void setOnComm(std::function<void()> handler) override;

 protected:
  void raiseComm();

  std::int16_t commPort_ = 1;
  LineSettings settings_;
  std::int16_t sThreshold_ = 0;
  // Read from the driver, not yet taken by Input.
  std::string received_;

 private:
  std::int16_t rThreshold_ = 0;
  std::int16_t inputLen_ = 0;
  std::function<void()> onComm_;
};

}  // namespace ts
