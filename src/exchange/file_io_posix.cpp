#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "exchange/file_io.h"
#include "loop/termination_posix.h"

namespace ts::fileio {
namespace {

bool writeAllAt(int fd, std::string_view bytes, off_t offset) {
  const char* data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes the pieces one after another from `offset`.
bool writePiecesAt(int fd, Pieces pieces, off_t offset) {
  for (const std::string_view piece : pieces) {
    if (!writeAllAt(fd, piece, offset)) return false;
    offset += static_cast<off_t>(piece.size());
  }
  return true;
}

// Opens an existing ordinary file. O_NONBLOCK keeps a FIFO or a device
// planted under the file's name from blocking the run in open(); such
// entries are then refused, as is anything that is not an ordinary file.
int openRegular(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// While it lives, a temporary file that a termination signal removes, so
// that an interrupted write leaves nothing behind.
class RemovedOnTermination {
 public:
  explicit RemovedOnTermination(const std::string& path) {
    termination::setTemporaryFile(path.c_str());
  }
  ~RemovedOnTermination() { termination::setTemporaryFile(nullptr); }
  RemovedOnTermination(const RemovedOnTermination&) = delete;
  RemovedOnTermination& operator=(const RemovedOnTermination&) = delete;
};

// The usual way: the bytes go to a new file beside the target, which is
// renamed over it, so a reader sees the old file or the new one, whole.
bool replaceByRename(const std::string& path, Pieces content) {
  std::string temporary = path + ".XXXXXX";
  // Registered before it exists: mkstemp fills the name in place.
  const RemovedOnTermination removed(temporary);
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  // mkstemp makes the file private; give it the mode a plainly created file
  // would have, since the calling program may run as another user.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  // No fsync: the rename already keeps readers from a torn file, and a
  // flush to disk would cost the caller milliseconds on every run.
  const bool written = writePiecesAt(fd, content, 0);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

// For a folder that takes no new entry (read-only or immutable) while the
// file in it is still writable: otherwise the previous run's answer would
// stay there looking like this run's.
bool overwriteInPlace(const std::string& path, Pieces content) {
  const int fd = openRegular(path, O_WRONLY | O_NOFOLLOW);
  if (fd < 0) return false;
  const InPlaceFile inPlace{
      [fd](std::string_view bytes, std::uint64_t offset) {
        return writeAllAt(fd, bytes, static_cast<off_t>(offset));
      },
      [fd](std::uint64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)) == 0; }};
  bool written = rewriteFirstByteLast(inPlace, content);
  if (::close(fd) != 0) written = false;
  return written;
}

// A response that could not be written must not survive to be taken for
// this run's: remove it if that is still possible. Always false.
bool removeStale(const std::string& path) {
  if (isRegularFile(path)) ::unlink(path.c_str());
  return false;
}

}  // namespace

bool isRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<FileHead> readFileHead(const std::string& path, std::size_t limit) {
  const int fd = openRegular(path, O_RDONLY);
  if (fd < 0) return std::nullopt;
  FileHead head;
  char buffer[65536];
  // One byte beyond the limit tells whether the file goes on.
  while (head.bytes.size() <= limit) {
    const std::size_t wanted = std::min(sizeof buffer, limit + 1 - head.bytes.size());
    const ssize_t n = ::read(fd, buffer, wanted);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    head.bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (head.bytes.size() > limit) {
    head.bytes.resize(limit);
    head.whole = false;
  }
  return head;
}

bool replaceFile(const std::string& path, Pieces content) {
  return replaceByRename(path, content) || overwriteInPlace(path, content) || removeStale(path);
}

}  // namespace ts::fileio
