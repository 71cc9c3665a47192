#include "exchange/file_io.h"

#include <algorithm>
#include <vector>

namespace ts::fileio {

bool rewriteFirstByteLast(const InPlaceFile& file, Pieces content) {
  // The content without its first byte, which is written last.
  std::vector<std::string_view> rest(content.begin(), content.end());
  const auto first = std::find_if(rest.begin(), rest.end(), [](auto p) { return !p.empty(); });
  if (first == rest.end()) return false;
  const std::string_view firstByte = first->substr(0, 1);
  first->remove_prefix(1);

  bool written = file.writeAt(std::string_view("\0", 1), 0) && file.truncateAt(1);
  std::uint64_t offset = 1;
  for (const std::string_view piece : rest) {
    written = written && file.writeAt(piece, offset);
    offset += piece.size();
  }
  written = written && file.writeAt(firstByte, 0);
  // Best effort: an empty file is no answer; part of one would look like one.
  if (!written) file.truncateAt(0);
  return written;
}

}  // namespace ts::fileio
