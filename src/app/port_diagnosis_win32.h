#pragma once

#include <cstdint>
#include <string>

#include "app/check.h"

namespace ts {

// The check's answers on Windows: the program file, and why a COM port did
// not open, with the ports the system does have.
class Win32CheckPlatform : public check::Platform {
 public:
  PathStyle pathStyle() const override { return PathStyle::Windows; }
  std::string programName() const override { return "terminal-serial.exe"; }
  check::PortTrouble programProblem(const std::string& folder, const std::string& path) override;
  // The program clears nothing: a read-only file is replaced like any other.
  bool unchangeable(const std::string&) override { return false; }
  std::string portLocation(std::int16_t port) override;
  check::PortTrouble whyPortDidNotOpen(std::int16_t port, const LineSettings& settings) override;
  // Windows lets no second program open a port: nobody shares it unseen.
  check::PortTrouble sharedWith(std::int16_t) override { return {}; }
};

}  // namespace ts
