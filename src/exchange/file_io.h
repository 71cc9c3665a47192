#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

// File operations of the exchange, implemented once per platform. Paths are
// UTF-8; contents are bytes.
namespace ts::fileio {

// True when the path names an ordinary file (a directory does not count).
bool isRegularFile(const std::string& path);

// The first bytes of an ordinary file, at most `limit` of them, so that a
// file of any size costs the reader no more than that.
struct FileHead {
  std::string bytes;
  bool whole = true;  // false: the file goes on beyond `limit` bytes
};

// Reads the head of an ordinary file; nullopt when the path names something
// else (a FIFO or a device never blocks or floods the reader) or cannot be
// opened or read.
std::optional<FileHead> readFileHead(const std::string& path, std::size_t limit);

// Replaces the file with exactly `content`, so that a reader never takes a
// half-written file for a whole one: the bytes go to a temporary file beside
// it, which is then renamed over the target. Where the folder takes no new
// entry, or (on Windows) another process holds the file open without delete
// sharing for longer than about a second of retries, but the file is still
// writable, it is rewritten in place, starting with a NUL until complete.
// The folder is never created. Returns false (and leaves no temporary file,
// nor part of `content`) when neither can be done; an earlier file at `path`
// is then removed where possible, so that it cannot be taken for the new one.
// The content is given in pieces, written one after another, so that a
// large reply need not be copied once more to add its line end.
using Pieces = std::initializer_list<std::string_view>;
bool replaceFile(const std::string& path, Pieces content);

// The order in which a file that cannot be replaced is rewritten where it
// is, shared by both platforms: a NUL byte first replaces the result code
// that starts the old answer and the file is cut after it, then the rest of
// the new content goes in and its first byte comes last. A reader polling
// the file sees the old answer, then a file starting with NUL, never a
// result code, until the new one is complete. When a step fails the file is
// left empty rather than holding part of an answer. `writeAt` writes bytes
// at an offset, `truncateAt` sets the length; both return false on failure.
struct InPlaceFile {
  std::function<bool(std::string_view bytes, std::uint64_t offset)> writeAt;
  std::function<bool(std::uint64_t length)> truncateAt;
};
bool rewriteFirstByteLast(const InPlaceFile& file, Pieces content);

}  // namespace ts::fileio
