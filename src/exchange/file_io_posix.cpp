#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "exchange/file_io.h"

namespace ts::fileio {
namespace {

bool writeAll(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A response that could not be replaced must not survive to be taken for
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

std::optional<std::string> readWholeFile(const std::string& path) {
  // O_NONBLOCK so that a FIFO in the file's place cannot stall the run; only
  // ordinary files are read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info{};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

bool replaceFile(const std::string& path, const std::string& content) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return removeStale(path);
  // mkstemp makes the file private; give it the mode a plainly created file
  // would have, since the calling program may run as another user.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  // No fsync: the rename already keeps readers from a torn file, and a
  // flush to disk would cost the caller milliseconds on every run.
  const bool written = writeAll(fd, content);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return removeStale(path);
  }
  return true;
}

}  // namespace ts::fileio
