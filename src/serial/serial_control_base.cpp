#include "serial/serial_control_base.h"

#include <utility>

namespace ts {

void SerialControlBase::setCommPort(std::int16_t port) {
  if (port <= 0) throw SerialError("invalid port number");
  commPort_ = port;
}

void SerialControlBase::setSettings(const std::string& settings) {
  const auto parsed = parseSettings(settings);
  if (!parsed) throw SerialError("invalid settings");
  settings_ = *parsed;
}

void SerialControlBase::setRThreshold(std::int16_t count) {
  if (count < 0) throw SerialError("invalid threshold");
  rThreshold_ = count;
}

void SerialControlBase::setSThreshold(std::int16_t count) {
  if (count < 0) throw SerialError("invalid threshold");
  sThreshold_ = count;
}

void SerialControlBase::setInputLen(std::int16_t count) {
  if (count < 0) throw SerialError("invalid input length");
  inputLen_ = count;
}

void SerialControlBase::setOnComm(std::function<void()> handler) {
  onComm_ = std::move(handler);
}

std::string SerialControlBase::input() {
  // With InputLen 0 a read takes everything; otherwise at most InputLen.
  if (inputLen_ == 0 || received_.size() <= static_cast<std::size_t>(inputLen_)) {
    return std::exchange(received_, std::string());
  }
  std::string head = received_.substr(0, static_cast<std::size_t>(inputLen_));
  received_.erase(0, head.size());
  return head;
}

void SerialControlBase::raiseComm() {
  if (onComm_) onComm_();
}

}  // namespace ts
