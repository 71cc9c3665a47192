#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ts {

// Splits text into lines the way the order and settings files are read: a
// line ends at CR or CR LF, a lone LF is an ordinary character, and a line
// end at the very end does not start a further empty line. Reads at most
// maxLines lines.
std::vector<std::string> splitLines(std::string_view text, std::size_t maxLines);

}  // namespace ts
