#pragma once

#include <optional>
#include <string>

namespace ts {

// The folder of the running executable, links resolved, without a trailing
// separator (so the root folder is ""). Nullopt when the platform cannot
// tell.
std::optional<std::string> executableFolder();

}  // namespace ts
