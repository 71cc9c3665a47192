// The config.ini reader on any bytes: exactly one of hidden mode, a display
// time of one digit, or a reported problem, as the first characters of the
// first two lines say.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/startup_settings.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const ts::DisplaySettings settings = ts::parseDisplaySettings(content);
  using Problem = ts::DisplaySettings::Problem;

  const bool hidden = !content.empty() && content[0] == 'N';
  check(settings.hidden == hidden);
  if (hidden || content.empty()) check(!settings.displaySeconds);
  if (content.empty()) check(settings.problem == Problem::NoDisplayLine);
  if (settings.problem != Problem::None) check(!settings.hidden && !settings.displaySeconds);
  if (settings.problem == Problem::None) check(settings.hidden || settings.displaySeconds);
  if (settings.displaySeconds) {
    check(*settings.displaySeconds >= 0 && *settings.displaySeconds <= 9);
    // The time is the first character of the second line.
    const std::size_t end = content.find('\r');
    check(end != std::string::npos);
    std::size_t second = end + 1;
    if (second < content.size() && content[second] == '\n') ++second;
    check(second < content.size() && content[second] - '0' == *settings.displaySeconds);
  }
  return 0;
}
