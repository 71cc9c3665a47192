#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "exchange/file_io.h"
#include "text/utf8_win32.h"

namespace ts::fileio {
namespace {

// How long a response held open by another process is waited for before it
// is rewritten in place, and the pause between tries.
constexpr ULONGLONG kHeldRenameRetryMs = 1000;
constexpr DWORD kHeldRenamePauseMs = 20;

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

// Another process holding the file open without delete sharing (the caller
// still reading the last answer, an editor, a virus scanner) makes a rename
// over it fail with one of these errors until it lets go. A read-only file
// or a folder in its place gives the same errors, but waiting cannot help.
bool heldByAnother(DWORD error, const std::wstring& target) {
  if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
      error != ERROR_LOCK_VIOLATION) {
    return false;
  }
  const DWORD attributes = GetFileAttributesW(target.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

// The usual way: the bytes go to a new file beside the target, which is
// renamed over it, so a reader sees the old file or the new one, whole.
// While the target is held open the rename is tried again for a while, as
// such holds are mostly brief.
bool replaceByRename(const std::wstring& target, Pieces content) {
  std::wstring temporary;
  FileHandle file(createTemporaryBeside(target, temporary));
  if (!file.valid()) return false;
  // No flush to disk: the rename already keeps readers from a torn file.
  const bool written = std::all_of(content.begin(), content.end(), [&](std::string_view piece) {
    return writeAll(file.get(), piece);
  });
  const bool closed = file.close();
  bool renamed = false;
  if (written && closed) {
    const ULONGLONG deadline = GetTickCount64() + kHeldRenameRetryMs;
    for (;;) {
      renamed = MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
      if (renamed || !heldByAnother(GetLastError(), target) || GetTickCount64() >= deadline) {
        break;
      }
      Sleep(kHeldRenamePauseMs);
    }
  }
  if (!renamed) DeleteFileW(temporary.c_str());
  return renamed;
}

// SetFilePointerEx and a loop of writes: the content goes in from `offset`.
bool writeAt(HANDLE file, std::string_view bytes, LONGLONG offset) {
  LARGE_INTEGER position;
  position.QuadPart = offset;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && writeAll(file, bytes);
}

bool truncateAt(HANDLE file, LONGLONG length) {
  LARGE_INTEGER position;
  position.QuadPart = length;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// When the file cannot be replaced (held open without delete sharing past
// the retries, or a folder that takes no new entry) but can still be
// written: otherwise the previous run's answer would stay there looking
// like this run's.
bool overwriteInPlace(const std::wstring& target, Pieces content) {
  // Every kind of sharing, so that a reader that shares writing (as the C
  // runtime's fopen does) does not keep the file from being rewritten.
  FileHandle file(CreateFileW(target.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  const InPlaceFile inPlace{
      [&](std::string_view bytes, std::uint64_t offset) {
        return writeAt(file.get(), bytes, static_cast<LONGLONG>(offset));
      },
      [&](std::uint64_t length) { return truncateAt(file.get(), static_cast<LONGLONG>(length)); }};
  const bool written = rewriteFirstByteLast(inPlace, content);
  return file.close() && written;
}

// A response that could not be written must not survive to be taken for
// this run's: remove it if that is still possible. Always false.
bool removeStale(const std::string& path, const std::wstring& target) {
  if (isRegularFile(path)) DeleteFileW(target.c_str());
  return false;
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
  return replaceByRename(target, content) || overwriteInPlace(target, content) ||
         removeStale(path, target);
}

}  // namespace ts::fileio
