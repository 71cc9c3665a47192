#include <windows.h>

#include <cstdio>
#include <string>

#include "app/check.h"
#include "app/executable_folder.h"
#include "app/form_principal.h"
#include "app/port_diagnosis_win32.h"
#include "loop/event_loop_win32.h"
#include "serial/serial_control_win32.h"
#include "text/utf8_win32.h"
#include "ui/headless_window.h"

namespace {

constexpr const char* kProgram = "terminal-serial-check";

// A console shows UTF-16; a pipe or a file gets the UTF-8 bytes.
void print(FILE* stream, const std::string& text) {
  const HANDLE handle = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    const std::wstring wide = ts::utf8::widen(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// The folder as the program would know its own: absolute, without a
// trailing separator.
std::string absoluteFolder(const std::wstring& given) {
  std::wstring full(32768, L'\0');
  const DWORD length =
      GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return ts::utf8::narrow(given);
  full.resize(length);
  while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  return ts::utf8::narrow(full);
}

int checkFolder(const std::string& folder) {
  ts::Win32EventLoop loop;
  ts::Win32SerialControl serial(loop);
  ts::HeadlessWindow window;
  ts::FormPrincipal form(loop, serial, window, folder, ts::PathStyle::Windows);
  ts::Win32CheckPlatform platform;
  const ts::check::Report report = ts::check::checkFolder(folder, form, platform);
  print(stdout, ts::check::formatReport(folder, report));
  return report.exitStatus;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring first = argc > 1 ? argv[1] : L"";
  if (first == L"-h" || first == L"--help" || first == L"/?") {
    print(stdout, ts::check::usage(kProgram));
    return 0;
  }
  if (first == L"--version") {
    print(stdout, std::string(kProgram) + " " + TS_VERSION + "\n");
    return 0;
  }
  if (argc > 2 || (first.size() > 1 && first[0] == L'-')) {
    print(stderr, ts::check::usage(kProgram));
    return ts::check::kExitUsage;
  }
  try {
    if (argc == 2) return checkFolder(absoluteFolder(first));
    const auto own = ts::executableFolder();
    if (!own) {
      print(stderr, std::string(kProgram) + ": cannot tell this program's folder; name it\n");
      return ts::check::kExitUsage;
    }
    return checkFolder(*own);
  } catch (const std::exception& error) {
    print(stderr, std::string(kProgram) + ": " + error.what() + "\n");
    return ts::kExitResponseNotWritten;
  }
}
