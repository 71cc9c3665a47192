#include "app/port_diagnosis_win32.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "serial/serial_control_win32.h"
#include "text/utf8_win32.h"

namespace ts {
namespace {

std::wstring portName(std::int16_t port) {
  return L"COM" + std::to_wstring(port);
}

// Port numbers looked up one by one: some systems list a port only when
// it is asked for by name (Wine's linked devices).
constexpr int kHighestProbedPort = 256;

// The COM ports the system knows, in number order, from its DOS device names.
std::vector<int> systemPorts() {
  std::vector<wchar_t> names(65536);
  DWORD length = 0;
  // The list grows with the devices; a bounded number of doublings.
  for (int attempt = 0; attempt < 6; ++attempt) {
    length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (length != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    names.resize(names.size() * 2);
  }
  std::vector<int> ports;
  for (const wchar_t* name = names.data(); length != 0 && *name; name += wcslen(name) + 1) {
    const std::wstring entry(name);
    if (entry.size() < 4 || _wcsnicmp(entry.c_str(), L"COM", 3) != 0) continue;
    if (!std::all_of(entry.begin() + 3, entry.end(), iswdigit)) continue;
    ports.push_back(std::stoi(entry.substr(3)));
  }
  wchar_t target[1024];
  for (int port = 1; port <= kHighestProbedPort; ++port) {
    const std::wstring name = portName(static_cast<std::int16_t>(port));
    if (QueryDosDeviceW(name.c_str(), target, 1024) != 0) ports.push_back(port);
  }
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

std::string portList() {
  const std::vector<int> ports = systemPorts();
  if (ports.empty()) return "this system has no COM port now";
  std::string list = "the COM ports this system has:";
  for (const int port : ports) list += " COM" + std::to_string(port);
  return list;
}

std::string systemMessage(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = length && text ? std::wstring(text, length) : L"";
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L'.' || message.back() == L' ')) {
    message.pop_back();
  }
  return "error " + std::to_string(error) + (message.empty() ? "" : ": " + utf8::narrow(message));
}

// Another run of the program holds the port through its named lock.
bool heldByAnotherRun(std::int16_t port) {
  const std::wstring name = L"Local\\terminal-serial-" + portName(port);
  const HANDLE lock = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
  if (!lock) return false;
  const DWORD taken = WaitForSingleObject(lock, 0);
  if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) ReleaseMutex(lock);
  CloseHandle(lock);
  return taken == WAIT_TIMEOUT;
}

bool driverTakes(HANDLE port, const LineSettings& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return false;
  dcb.BaudRate = settings.baud;
  dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
  dcb.Parity = parityOf(settings.parity);
  dcb.StopBits = stopBitsOf(settings.stopBits);
  return SetCommState(port, &dcb) != 0;
}

}  // namespace

check::PortTrouble Win32CheckPlatform::programProblem(const std::string& folder,
                                                      const std::string& path) {
  const DWORD attributes = GetFileAttributesW(utf8::widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return {"no terminal-serial.exe in the folder",
            "unpack the whole zip into " + folder + ", or name the folder that holds it"};
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return {"terminal-serial.exe is a folder", "put the program there from the zip"};
  }
  return {};
}

std::string Win32CheckPlatform::portLocation(std::int16_t port) {
  return "\\\\.\\" + utf8::narrow(portName(port));
}

check::PortTrouble Win32CheckPlatform::whyPortDidNotOpen(std::int16_t port,
                                                         const LineSettings& settings) {
  if (heldByAnotherRun(port)) {
    return {"in use by another run of terminal-serial",
            "let one run end before the next starts on the same port"};
  }
  const std::wstring device = L"\\\\.\\" + portName(port);
  // Opened as the run opens it; released at once.
  const HANDLE handle = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return {"no such port; " + portList(),
              "write the device's COM number on order line 1 (Device Manager shows it under "
              "Ports (COM & LPT)), or plug the device in"};
    }
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      return {"held by another program",
              "close the program that has the port open (a terminal, a device's own tool, "
              "another calling program), then run again"};
    }
    return {"cannot open: " + systemMessage(error), ""};
  }
  const bool takes = driverTakes(handle, settings);
  CloseHandle(handle);
  if (!takes) {
    return {"the port opens, but its driver does not take the order's line settings",
            "use settings the device and its driver support (e.g. 9600, 8, 1, N)"};
  }
  return {"the port opens now: it was busy for a moment, or its settings were refused",
          "run the check again"};
}

}  // namespace ts
