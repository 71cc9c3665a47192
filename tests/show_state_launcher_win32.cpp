// Starts terminal-serial.exe as a calling program would that holds the
// keyboard focus and asks, through STARTUPINFO, for another show state
// (hidden, minimised or maximised). The status window must follow config.ini
// alone: shown normally, without taking the focus from the caller.
//   show-state-launcher.exe <terminal-serial.exe> hide|minimized|maximized
// With "unseen" instead it starts the program as a service or a task run
// whether or not a user is logged on would: in a window station of its own,
// which no screen shows. With a display time of 0 the program must still
// end by itself, with the status its answer gives.
//   show-state-launcher.exe <terminal-serial.exe> unseen <exit status>
// Exit status 0 when it did; 1 with the reason on stderr otherwise.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kCaption[] = L"Terminal Serial Vorlan - Multi Portas";
constexpr DWORD kWaitForWindowMs = 15000;

int failure(const char* reason) {
  std::fprintf(stderr, "show-state-launcher: %s\n", reason);
  return 1;
}

WORD showCommand(const wchar_t* name) {
  if (std::wcscmp(name, L"hide") == 0) return SW_HIDE;
  if (std::wcscmp(name, L"minimized") == 0) return SW_SHOWMINIMIZED;
  return SW_SHOWMAXIMIZED;
}

void pumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

// The calling program's own window, active and holding the focus.
HWND makeCallerWindow() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"ShowStateCaller";
  RegisterClassW(&windowClass);
  const HWND caller =
      CreateWindowExW(0, windowClass.lpszClassName, L"caller", WS_OVERLAPPEDWINDOW, 100, 100, 300,
                      200, nullptr, nullptr, windowClass.hInstance, nullptr);
  ShowWindow(caller, SW_SHOWNORMAL);
  SetForegroundWindow(caller);
  pumpMessages();
  return caller;
}

HWND waitForStatusWindow(HANDLE program) {
  for (DWORD waited = 0; waited < kWaitForWindowMs; waited += 50) {
    pumpMessages();
    const HWND window = FindWindowW(nullptr, kCaption);
    if (window && IsWindowVisible(window)) return window;
    if (WaitForSingleObject(program, 50) == WAIT_OBJECT_0) return nullptr;
  }
  return nullptr;
}

// A window station without WSF_VISIBLE (only the interactive one has it)
// and a desktop in it; returns the desktop's name for STARTUPINFO.
std::wstring makeUnseenDesktop() {
  constexpr wchar_t kStation[] = L"TerminalSerialUnseen";
  const HWINSTA own = GetProcessWindowStation();
  const HWINSTA station = CreateWindowStationW(kStation, 0, WINSTA_ALL_ACCESS, nullptr);
  if (!station || !SetProcessWindowStation(station)) return {};
  const HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  SetProcessWindowStation(own);
  if (!desktop) return {};
  USEROBJECTFLAGS flags{};
  GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr);
  if (flags.dwFlags & WSF_VISIBLE) return {};
  return std::wstring(kStation) + L"\\Default";
}

int runUnseen(const wchar_t* program, DWORD expectedStatus) {
  std::wstring desktop = makeUnseenDesktop();
  if (desktop.empty()) return failure("cannot make a window station that no screen shows");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop.data();
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";
  if (!CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return failure("cannot start the program");
  }
  CloseHandle(process.hThread);
  int status = 0;
  if (WaitForSingleObject(process.hProcess, kWaitForWindowMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 99);
    status = failure("the program did not end by itself in an unseen window station");
  } else {
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    if (exitCode != expectedStatus) status = failure("unexpected exit status");
  }
  CloseHandle(process.hProcess);
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[2], L"unseen") == 0) {
    return runUnseen(argv[1], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
  }
  if (argc != 3) return failure("usage: show-state-launcher <exe> hide|minimized|maximized");
  const HWND caller = makeCallerWindow();
  if (GetForegroundWindow() != caller) return failure("the caller could not take the focus");

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = showCommand(argv[2]);
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\"";
  if (!CreateProcessW(argv[1], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return failure("cannot start the program");
  }
  CloseHandle(process.hThread);

  const HWND window = waitForStatusWindow(process.hProcess);
  int status = 0;
  if (!window) {
    status = failure("the status window was not shown");
  } else {
    Sleep(300);  // let a late activation or show-state change happen
    pumpMessages();
    if (IsIconic(window)) status = failure("the status window is minimised");
    if (IsZoomed(window)) status = failure("the status window is maximised");
    if (!IsWindowVisible(window)) status = failure("the status window is hidden");
    if (GetForegroundWindow() != caller) status = failure("the status window took the focus");
  }
  if (WaitForSingleObject(process.hProcess, kWaitForWindowMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 99);
    status = failure("the program did not end by itself");
  }
  CloseHandle(process.hProcess);
  DestroyWindow(caller);
  return status;
}
