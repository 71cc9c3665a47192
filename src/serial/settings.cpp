#include "serial/settings.h"

#include <algorithm>
#include <vector>

#include "text/ascii.h"

namespace ts {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> splitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  for (;;) {
    const auto comma = text.find(',');
    fields.push_back(trimBlanks(text.substr(0, comma)));
    if (comma == std::string_view::npos) return fields;
    text.remove_prefix(comma + 1);
  }
}

// Digits only, no sign, within `limit`.
std::optional<std::uint64_t> parseDecimal(std::string_view text, std::uint64_t limit) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > limit) return std::nullopt;
  }
  return value;
}

std::optional<Parity> parseParity(std::string_view text) {
  if (text.size() != 1) return std::nullopt;
  switch (text[0]) {
    case 'n':
    case 'N':
      return Parity::None;
    case 'o':
    case 'O':
      return Parity::Odd;
    case 'e':
    case 'E':
      return Parity::Even;
    case 'm':
    case 'M':
      return Parity::Mark;
    case 's':
    case 'S':
      return Parity::Space;
    default:
      return std::nullopt;
  }
}

std::optional<StopBits> parseStopBits(std::string_view text) {
  if (text == "1") return StopBits::One;
  if (text == "1.5") return StopBits::OneHalf;
  if (text == "2") return StopBits::Two;
  return std::nullopt;
}

}  // namespace

std::optional<LineSettings> parseSettings(std::string_view text) {
  const auto fields = splitFields(text);
  if (fields.size() != 4) return std::nullopt;
  const auto baud = parseDecimal(fields[0], UINT32_MAX);
  const auto parity = parseParity(fields[1]);
  const auto dataBits = parseDecimal(fields[2], 8);
  const auto stopBits = parseStopBits(fields[3]);
  if (!baud || *baud == 0 || !parity || !dataBits || *dataBits < 4 || !stopBits) {
    return std::nullopt;
  }
  return LineSettings{static_cast<std::uint32_t>(*baud), *parity, static_cast<int>(*dataBits),
                      *stopBits};
}

std::chrono::microseconds lineTime(const LineSettings& settings, std::size_t characters) {
  // Counted in half bits, for 1.5 stop bits.
  const std::uint64_t stopHalfBits = settings.stopBits == StopBits::One       ? 2
                                     : settings.stopBits == StopBits::OneHalf ? 3
                                                                              : 4;
  const std::uint64_t parityBits = settings.parity == Parity::None ? 0 : 1;
  const std::uint64_t halfBitsPerCharacter =
      2 * (1 + static_cast<std::uint64_t>(settings.dataBits) + parityBits) + stopHalfBits;
  const std::uint64_t halfBitsPerSecond = 2 * std::max<std::uint64_t>(settings.baud, 1);
  const std::uint64_t halfBits = characters * halfBitsPerCharacter;
  return std::chrono::microseconds((halfBits * 1'000'000 + halfBitsPerSecond - 1) /
                                   halfBitsPerSecond);
}

std::string settingsString(const std::string& velocidade, const std::string& paridade,
                           const std::string& bits, const std::string& stop) {
  std::string parity = paridade;
  for (char& c : parity) c = lowerAscii(c);
  return velocidade + "," + parity + "," + bits + "," + stop;
}

std::optional<std::int16_t> parsePortNumber(std::string_view text) {
  text = trimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const auto magnitude = parseDecimal(text, 32768);
  if (!magnitude || (!negative && *magnitude > 32767)) return std::nullopt;
  const auto value = static_cast<std::int64_t>(*magnitude);
  return static_cast<std::int16_t>(negative ? -value : value);
}

std::string portSummary(const std::string& numPorta, const std::string& velocidade,
                        const std::string& bits, const std::string& paridade,
                        const std::string& stop, std::int16_t rThreshold) {
  std::string summary = "\rPorta: COM" + numPorta;
  summary += "\r\r\nVelocidade: " + velocidade;
  summary += "\r\nBits: " + bits;
  summary += "\r\nParidade: " + paridade;
  summary += "\r\nStop bits: " + stop;
  summary += "\r\r\nDisparo RX: " + std::to_string(rThreshold) + " crt";
  return summary;
}

}  // namespace ts
