#pragma once

#include <string>
#include <string_view>

namespace ts {

enum class PathStyle {
  // Windows: the folder's backslashes are separators and become slashes too.
  Windows,
  // POSIX: a backslash in a folder name is an ordinary character and stays.
  Posix,
};

inline constexpr std::string_view kOrderSuffix = "\\ORDEM\\";
inline constexpr std::string_view kResponseSuffix = "\\RESPOSTA\\";
inline constexpr std::string_view kConfigSuffix = "/config.ini";

// The executable's folder plus a suffix, every backslash turned into a
// forward slash.
std::string workingPath(const std::string& exeFolder, std::string_view suffix, PathStyle style);

}  // namespace ts
