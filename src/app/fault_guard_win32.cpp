#include "app/fault_guard_win32.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <exception>

namespace ts {
namespace {

// Set once, before anything can fail; read only by the handlers below.
UINT faultExitStatus = 1;

// No allocation and no C runtime beyond this point: the process may be in
// any state.
[[noreturn]] void endOnFault(const char* line) {
  OutputDebugStringA(line);
  TerminateProcess(GetCurrentProcess(), faultExitStatus);
  // TerminateProcess does not return for the calling process.
  for (;;) Sleep(INFINITE);
}

void onAbortSignal(int) {
  endOnFault("terminal-serial: aborted\n");
}

[[noreturn]] void onTerminate() {
  endOnFault("terminal-serial: ended by an exception nobody caught\n");
}

LONG WINAPI onCrash(EXCEPTION_POINTERS* pointers) {
  // "terminal-serial: crashed, exception 0x" and eight hex digits.
  char line[] = "terminal-serial: crashed, exception 0x00000000\n";
  const DWORD code =
      pointers && pointers->ExceptionRecord ? pointers->ExceptionRecord->ExceptionCode : 0;
  char* lastDigit = line + sizeof line - 3;
  for (int i = 0; i < 8; ++i) lastDigit[-i] = "0123456789abcdef"[(code >> (4 * i)) & 0xF];
  endOnFault(line);
}

}  // namespace

void installFaultGuard(int exitStatus) {
  faultExitStatus = static_cast<UINT>(exitStatus);
  // No "has stopped working" box, no "insert a disk" box for a drive that
  // is not ready, no box when a file or DLL is not found.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // The C runtime's own messages ("Runtime Error", abnormal program
  // termination) go to the standard error, which a windowed program lacks,
  // instead of a message box.
  _set_error_mode(_OUT_TO_STDERR);
  std::signal(SIGABRT, onAbortSignal);
  std::set_terminate(onTerminate);
  SetUnhandledExceptionFilter(onCrash);
}

}  // namespace ts
