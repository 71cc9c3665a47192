#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ts {

enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, OneHalf, Two };

struct LineSettings {
  std::uint32_t baud = 9600;
  Parity parity = Parity::None;
  int dataBits = 8;
  StopBits stopBits = StopBits::One;

  bool operator==(const LineSettings&) const = default;
};

// Parses "baud,parity,data,stop". Blanks around a field are tolerated;
// otherwise the baud rate is a positive decimal number, parity one of
// e m n o s (any case), data bits 4 to 8, stop bits 1, 1.5 or 2.
std::optional<LineSettings> parseSettings(std::string_view text);

// How long the line takes to carry `characters` characters, each framed by
// a start bit, its data bits, a parity bit unless there is none, and its
// stop bits; rounded up.
std::chrono::microseconds lineTime(const LineSettings& settings, std::size_t characters);

// The order's fields as the control's settings text: parity lower-cased,
// nothing trimmed or checked.
std::string settingsString(const std::string& velocidade, const std::string& paridade,
                           const std::string& bits, const std::string& stop);

// The order's port line as a 16-bit number: decimal digits with blanks
// around them and an optional sign; nullopt when it is not such a number or
// out of range.
std::optional<std::int16_t> parsePortNumber(std::string_view text);

// The text LblPorta shows after configuration.
std::string portSummary(const std::string& numPorta, const std::string& velocidade,
                        const std::string& bits, const std::string& paridade,
                        const std::string& stop, std::int16_t rThreshold);

}  // namespace ts
