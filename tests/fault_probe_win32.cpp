// Installs the program's fault guard and then fails as asked, so that the
// Windows stage can check that no dialog waits for a click and the process
// ends with the guard's status (11) instead.
//   fault-probe.exe abort|terminate|crash
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <exception>

#include "app/fault_guard_win32.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  ts::installFaultGuard(11);
  if (std::wcsstr(commandLine, L"abort")) std::abort();
  if (std::wcsstr(commandLine, L"terminate")) std::terminate();
  if (std::wcsstr(commandLine, L"crash")) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  }
  return 2;
}
