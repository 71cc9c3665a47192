// The port line and the settings string on any text: values that parse lie
// within what the control takes and parse the same when written out again;
// the port line agrees with a plain decimal reading of it; and the settings
// built from four order lines parse exactly when the lines, joined as they
// stand, do.
#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "serial/settings.h"

namespace {

// Blanks around, one optional sign, decimal digits, within 16 bits.
std::optional<std::int16_t> plainPortNumber(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  const bool plus = text.front() == '+';
  if (plus) text.remove_prefix(1);
  if (text.empty() || text.front() == '+' || (plus && text.front() == '-')) return std::nullopt;
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < INT16_MIN || value > INT16_MAX) return std::nullopt;
  return static_cast<std::int16_t>(value);
}

const char* parityLetter(ts::Parity parity) {
  switch (parity) {
    case ts::Parity::None:
      return "n";
    case ts::Parity::Odd:
      return "o";
    case ts::Parity::Even:
      return "e";
    case ts::Parity::Mark:
      return "m";
    case ts::Parity::Space:
      return "s";
  }
  return "?";
}

const char* stopText(ts::StopBits stop) {
  switch (stop) {
    case ts::StopBits::One:
      return "1";
    case ts::StopBits::OneHalf:
      return "1.5";
    case ts::StopBits::Two:
      return "2";
  }
  return "?";
}

void checkSettings(std::string_view text) {
  const auto parsed = ts::parseSettings(text);
  if (!parsed) return;
  check(parsed->baud > 0 && parsed->dataBits >= 4 && parsed->dataBits <= 8);
  const std::string canonical = std::to_string(parsed->baud) + "," + parityLetter(parsed->parity) +
                                "," + std::to_string(parsed->dataBits) + "," +
                                stopText(parsed->stopBits);
  check(ts::parseSettings(canonical) == parsed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkSettings(text);
  check(ts::parsePortNumber(text) == plainPortNumber(text));

  FuzzedDataProvider provider(data, size);
  const std::string velocidade = provider.ConsumeRandomLengthString(16);
  const std::string paridade = provider.ConsumeRandomLengthString(4);
  const std::string bits = provider.ConsumeRandomLengthString(4);
  const std::string stop = provider.ConsumeRandomLengthString(4);
  const std::string built = ts::settingsString(velocidade, paridade, bits, stop);
  checkSettings(built);
  // Lower-casing the parity changes nothing the parser tells apart.
  const std::string asTheyStand = velocidade + "," + paridade + "," + bits + "," + stop;
  check(ts::parseSettings(built) == ts::parseSettings(asTheyStand));
  return 0;
}
