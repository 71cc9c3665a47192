#pragma once

#include <optional>
#include <string>

// File operations of the exchange, implemented once per platform. Paths are
// UTF-8; contents are bytes.
namespace ts::fileio {

// True when the path names an ordinary file (a directory does not count).
bool isRegularFile(const std::string& path);

// The whole content of an ordinary file, or nullopt when the path names
// something else or cannot be opened or read.
std::optional<std::string> readWholeFile(const std::string& path);

// Replaces the file with exactly `content`, whole or not at all: the bytes go
// to a temporary file beside it, which is then renamed over the target, so a
// reader never sees a half-written file. The folder is never created.
// Returns false (and leaves no temporary file) when that cannot be done; an
// earlier file at `path` is then removed where possible, so that it cannot
// be taken for the new one.
bool replaceFile(const std::string& path, const std::string& content);

}  // namespace ts::fileio
