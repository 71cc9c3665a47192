#include "app/startup_settings.h"

#include <utility>

#include "exchange/file_io.h"
#include "exchange/text_lines.h"

namespace ts {

DisplaySettings parseDisplaySettings(const std::optional<std::string>& content) {
  DisplaySettings settings;
  if (!content || content->empty()) {
    settings.problem = DisplaySettings::Problem::NoDisplayLine;
    return settings;
  }
  const auto lines = splitLines(*content, 2);
  if (!lines[0].empty() && lines[0][0] == 'N') {
    settings.hidden = true;
    return settings;
  }
  // The time line must start with a digit: an empty or other second line
  // would otherwise give a window that never leaves.
  if (lines.size() < 2 || lines[1].empty() || lines[1][0] < '0' || lines[1][0] > '9') {
    settings.problem = DisplaySettings::Problem::NoTimeLine;
    return settings;
  }
  settings.displaySeconds = lines[1][0] - '0';
  return settings;
}

DisplaySettings readDisplaySettings(const std::string& exeFolder, PathStyle pathStyle) {
  auto head =
      fileio::readFileHead(workingPath(exeFolder, kConfigSuffix, pathStyle), kConfigReadLimit);
  if (!head) return parseDisplaySettings(std::nullopt);
  return parseDisplaySettings(std::move(head->bytes));
}

}  // namespace ts
