#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace ts {

// Raised by a serial control that refuses a value or cannot open the port.
class SerialError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The serial communications control the window hosts: the properties the
// run uses and its one communications event. Text crosses it one byte per
// character, unchanged. Setters throw SerialError for values the control
// cannot use.
class SerialControl {
 public:
  virtual ~SerialControl() = default;

  virtual void setCommPort(std::int16_t port) = 0;
  // "baud,parity,data,stop", checked when set (see serial/settings.h).
  virtual void setSettings(const std::string& settings) = 0;
  virtual void setRThreshold(std::int16_t count) = 0;
  virtual std::int16_t rThreshold() const = 0;
  virtual void setSThreshold(std::int16_t count) = 0;
  virtual void setInputLen(std::int16_t count) = 0;
  // True opens (throws when the port is missing, busy or refuses the
  // settings); false closes and never throws.
  virtual void setPortOpen(bool open) = 0;
  virtual bool portOpen() const = 0;
  // Queues the text and returns at once.
  virtual void setOutput(const std::string& text) = 0;
  // Everything received since the previous read; empty when nothing waits.
  virtual std::string input() = 0;
  // Raised from the event loop for received data, transmit-empty, hang-up
  // and line errors alike.
  virtual void setOnComm(std::function<void()> handler) = 0;
};

}  // namespace ts
