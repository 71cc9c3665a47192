#include "app/working_path.h"

#include <algorithm>

namespace ts {

std::string workingPath(const std::string& exeFolder, std::string_view suffix, PathStyle style) {
  std::string folder = exeFolder;
  if (style == PathStyle::Windows) std::replace(folder.begin(), folder.end(), '\\', '/');
  std::string tail(suffix);
  std::replace(tail.begin(), tail.end(), '\\', '/');
  return folder + tail;
}

}  // namespace ts
