#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// UTF-8, the paths' encoding inside the program, to and from the UTF-16 of
// the wide Win32 calls. Invalid sequences become U+FFFD either way.
namespace ts::utf8 {

inline std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

inline std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

}  // namespace ts::utf8
