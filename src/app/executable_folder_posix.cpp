#include <limits.h>
#include <stdlib.h>

#include <memory>

#include "app/executable_folder.h"

namespace ts {

std::optional<std::string> executableFolder() {
  // /proc/self/exe names the binary itself, whatever the current directory
  // or the name it was started by.
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath("/proc/self/exe", nullptr), &::free);
  if (!resolved) return std::nullopt;
  const std::string path(resolved.get());
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  return path.substr(0, slash);
}

}  // namespace ts
