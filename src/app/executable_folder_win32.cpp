#include <windows.h>

#include <string>

#include "app/executable_folder.h"
#include "text/utf8_win32.h"

namespace ts {
namespace {

std::optional<std::wstring> modulePath() {
  // The path may exceed MAX_PATH; grow until it fits.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::nullopt;
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return std::nullopt;
    path.resize(path.size() * 2);
  }
}

}  // namespace

std::optional<std::string> executableFolder() {
  auto path = modulePath();
  if (!path) return std::nullopt;
  // The working paths turn backslashes into slashes, which the long-path
  // prefix does not allow; a drive path works without it.
  if (path->starts_with(L"\\\\?\\") && path->size() > 6 && (*path)[5] == L':') {
    path->erase(0, 4);
  }
  const auto separator = path->find_last_of(L"\\/");
  if (separator == std::wstring::npos) return std::nullopt;
  path->resize(separator);
  return utf8::narrow(*path);
}

}  // namespace ts
