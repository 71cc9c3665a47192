#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "app/working_path.h"

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

// How much of config.ini is read. Only the start of its first two lines can
// matter: a first line longer than this leaves no second line.
inline constexpr std::size_t kConfigReadLimit = 4096;

// Reads config.ini beside the executable, however large the file is. Read
// once per run, before any window system is touched: hidden mode must never
// reach one.
DisplaySettings readDisplaySettings(const std::string& exeFolder, PathStyle pathStyle);

}  // namespace ts
