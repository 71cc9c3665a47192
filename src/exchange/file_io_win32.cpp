#include <windows.h>

#include <algorithm>
#include <string>

#include "exchange/file_io.h"
#include "text/utf8_win32.h"

namespace ts::fileio {
namespace {

// Closes a file handle when it goes out of scope.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  bool close() {
    if (!valid()) return true;
    const bool closed = CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

bool writeAll(HANDLE file, std::string_view content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1 << 20));
    DWORD written = 0;
    if (!WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

// A new, uniquely named file beside `target`; its name is returned through
// `name`.
HANDLE createTemporaryBeside(const std::wstring& target, std::wstring& name) {
  const std::wstring stem = target + L".tmp" + std::to_wstring(GetCurrentProcessId()) + L"-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = stem + std::to_wstring(attempt);
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

bool isRegularFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(utf8::widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  // A folder is no file; a hidden or system file is not listed for the
  // calling program either, so it does not count.
  constexpr DWORD kNotOrdinary =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  return (attributes & kNotOrdinary) == 0;
}

std::optional<FileHead> readFileHead(const std::string& path, std::size_t limit) {
  // Shared access: the calling program may still hold the file open.
  FileHandle file(CreateFileW(utf8::widen(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return std::nullopt;
  FileHead head;
  char buffer[65536];
  // One byte beyond the limit tells whether the file goes on.
  while (head.bytes.size() <= limit) {
    const auto wanted =
        static_cast<DWORD>(std::min<std::size_t>(sizeof buffer, limit + 1 - head.bytes.size()));
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, wanted, &got, nullptr)) return std::nullopt;
    if (got == 0) break;
    head.bytes.append(buffer, got);
  }
  if (head.bytes.size() > limit) {
    head.bytes.resize(limit);
    head.whole = false;
  }
  return head;
}

bool replaceFile(const std::string& path, Pieces content) {
  const std::wstring target = utf8::widen(path);
  std::wstring temporary;
  FileHandle file(createTemporaryBeside(target, temporary));
  // A response that could not be replaced must not survive to be taken for
  // this run's.
  const auto removeStale = [&] {
    if (isRegularFile(path)) DeleteFileW(target.c_str());
    return false;
  };
  if (!file.valid()) return removeStale();
  // No flush to disk: the rename already keeps readers from a torn file.
  const bool written = std::all_of(content.begin(), content.end(), [&](std::string_view piece) {
    return writeAll(file.get(), piece);
  });
  const bool closed = file.close();
  if (!written || !closed ||
      !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileW(temporary.c_str());
    return removeStale();
  }
  return true;
}

}  // namespace ts::fileio
