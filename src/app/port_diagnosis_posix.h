#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "app/check.h"
#include "serial/serial_control_posix.h"

namespace ts {

// The check's answers on Linux: the program file, where COM N leads, and
// why a port did not open, found through the device node, its group and
// /proc (locks and open descriptors).
class PosixCheckPlatform : public check::Platform {
 public:
  PosixCheckPlatform(const PosixSerialControl& serial, std::string folder)
      : serial_(serial), folder_(std::move(folder)) {}

  PathStyle pathStyle() const override { return PathStyle::Posix; }
  std::string programName() const override { return "terminal-serial"; }
  check::PortTrouble programProblem(const std::string& folder, const std::string& path) override;
  bool unchangeable(const std::string& file) override;
  std::string portLocation(std::int16_t port) override;
  check::PortTrouble whyPortDidNotOpen(std::int16_t port, const LineSettings& settings) override;
  check::PortTrouble sharedWith(std::int16_t port) override;

 private:
  const PosixSerialControl& serial_;
  const std::string folder_;
};

}  // namespace ts
