#pragma once

#include <optional>
#include <string>

namespace ts {

// What config.ini says about the window.
struct DisplaySettings {
  enum class Problem { None, NoDisplayLine, NoTimeLine };

  Problem problem = Problem::None;
  bool hidden = false;
  // Seconds the window stays after the answer; 0 keeps it until closed.
  // Unset in hidden mode, where line 2 is not read.
  std::optional<int> displaySeconds;
};

// Parses config.ini's bytes; nullopt content means the file is missing or
// unreadable. Only the first character of lines 1 and 2 counts.
DisplaySettings parseDisplaySettings(const std::optional<std::string>& content);

}  // namespace ts
