#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "exchange/file_io.h"
#include "text/utf8_win32.h"

namespace ts::fileio {
namespace {

// How long replacing the response keeps trying while another process holds
// it, its temporary file or its name, and the pause between tries.
constexpr ULONGLONG kHeldRenameRetryMs = 1000;
constexpr DWORD kHeldRenamePauseMs = 20;
// How long an order the calling program is still writing, without read
// sharing, is waited for.
constexpr ULONGLONG kHeldOrderRetryMs = 500;
// Temporary names tried before giving up: a name can be taken by a file
// of a run that crashed, or by one still being deleted.
constexpr int kTemporaryNames = 16;
constexpr wchar_t kTemporaryMark[] = L".tmp";

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

// Errors that another process's handle causes and that end when it lets
// go: a reader without delete sharing on the target, a scanner, indexer or
// sync client on the just-written temporary file, or a target the caller
// deleted while someone still held it (Windows keeps such a "delete
// pending" name taken until the last handle closes).
bool heldByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

// A folder or a read-only file in the target's place refuses the rename
// with the same errors, but waiting cannot help.
bool refusedForGood(const std::wstring& target) {
  const DWORD attributes = GetFileAttributesW(target.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0;
}

bool processAlive(DWORD pid) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  // Another user's process cannot be opened, but it is there.
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD exitCode = 0;
  const bool running = GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

// The process id in a temporary name "<target>.tmp<pid>-<n>"; 0 if none.
DWORD temporaryOwner(const std::wstring& suffix) {
  DWORD pid = 0;
  std::size_t i = 0;
  for (; i < suffix.size() && suffix[i] >= L'0' && suffix[i] <= L'9' && pid < 100000000; ++i) {
    pid = pid * 10 + static_cast<DWORD>(suffix[i] - L'0');
  }
  return i > 0 && i < suffix.size() && suffix[i] == L'-' ? pid : 0;
}

// Temporary files that earlier runs could not delete (a scanner still held
// them, or the run was killed) are removed, so that none stays for ever.
// A live run's own is left alone.
void removeLeftoverTemporaries(const std::wstring& target) {
  const std::wstring folder = target.substr(0, target.find_last_of(L"\\/") + 1);
  const std::wstring prefix = target.substr(folder.size()) + kTemporaryMark;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((target + kTemporaryMark + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const DWORD owner = temporaryOwner(name.substr(prefix.size()));
    if (owner == 0 || owner == GetCurrentProcessId() || processAlive(owner)) continue;
    DeleteFileW((folder + name).c_str());
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// A new, uniquely named file beside `target`; its name is returned through
// `name`. A name still taken by a leftover, or by one being deleted, makes
// the next name be tried.
HANDLE createTemporaryBeside(const std::wstring& target, std::wstring& name) {
  const std::wstring stem = target + kTemporaryMark + std::to_wstring(GetCurrentProcessId()) + L"-";
  for (int attempt = 0; attempt < kTemporaryNames; ++attempt) {
    name = stem + std::to_wstring(attempt);
    // Readers may look while it is written, as a scanner does; nobody may
    // write, rename or delete it under the writer.
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && !heldByAnother(error)) break;
  }
  return INVALID_HANDLE_VALUE;
}

// Renames the written temporary file over the target. Holds by other
// processes are mostly brief, so a refusal they cause is tried again for a
// while, whether the target is there or not.
bool renameOver(const std::wstring& temporary, const std::wstring& target) {
  const ULONGLONG deadline = GetTickCount64() + kHeldRenameRetryMs;
  for (;;) {
    if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    if (!heldByAnother(GetLastError()) || refusedForGood(target)) return false;
    if (GetTickCount64() >= deadline) return false;
    Sleep(kHeldRenamePauseMs);
  }
}

// The usual way: the bytes go to a new file beside the target, which is
// renamed over it, so a reader sees the old file or the new one, whole.
bool replaceByRename(const std::wstring& target, Pieces content) {
  removeLeftoverTemporaries(target);
  std::wstring temporary;
  FileHandle file(createTemporaryBeside(target, temporary));
  if (!file.valid()) return false;
  // No flush to disk: the rename already keeps readers from a torn file.
  const bool written = std::all_of(content.begin(), content.end(), [&](std::string_view piece) {
    return writeAll(file.get(), piece);
  });
  const bool closed = file.close();
  const bool renamed = written && closed && renameOver(temporary, target);
  // A scanner still holding it may keep it a while: a later run removes it.
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

// Shared access: the calling program may still hold the file open. One
// that holds it without read sharing (still writing it) is waited for a
// little, with a bound.
HANDLE openForReading(const std::wstring& path) {
  const ULONGLONG deadline = GetTickCount64() + kHeldOrderRetryMs;
  for (;;) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) return file;
    if (GetTickCount64() >= deadline) return file;
    Sleep(kHeldRenamePauseMs);
  }
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
  FileHandle file(openForReading(utf8::widen(path)));
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
