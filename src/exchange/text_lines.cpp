#include "exchange/text_lines.h"

namespace ts {

std::vector<std::string> splitLines(std::string_view text, std::size_t maxLines) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size() && lines.size() < maxLines) {
    std::size_t end = text.find('\r', pos);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(pos));
      break;
    }
    lines.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
    if (pos < text.size() && text[pos] == '\n') ++pos;
  }
  return lines;
}

}  // namespace ts
