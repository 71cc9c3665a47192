#include <windows.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "app/executable_folder.h"
#include "app/fault_guard_win32.h"
#include "app/form_principal.h"
#include "app/startup_settings.h"
#include "loop/event_loop_win32.h"
#include "serial/serial_control_win32.h"
#include "text/utf8_win32.h"
#include "ui/headless_window.h"
#include "ui/window_win32.h"

namespace {

// A windowed program has no console: problems also go to the debugger's
// output, where a debug-output viewer shows them.
void toDebugger(const std::string& line) {
  OutputDebugStringW(ts::utf8::widen("terminal-serial: " + line + "\n").c_str());
}

void reportProblem(const std::string& line) {
  std::fprintf(stderr, "terminal-serial: %s\n", line.c_str());
  std::fflush(stderr);
  toDebugger(line);
}

// A service, or a task set to run whether or not a user is logged on, runs
// in a window station that no screen shows: a window there can never be
// closed by hand, so such a run is timed as one without a display. So does
// a service allowed to interact with the desktop: since Windows Vista its
// session (0) holds services alone, and no user's screen shows it.
bool windowStationVisible() {
  DWORD session = 0;
  if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0) return false;
  const HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) {
    return true;  // cannot tell: as on any desktop
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// A hidden run creates no window of its own: the texts are only kept.
std::unique_ptr<ts::Window> makeWindow(ts::Win32EventLoop& loop, bool shown) {
  if (!shown || !windowStationVisible()) return std::make_unique<ts::HeadlessWindow>();
  try {
    return std::make_unique<ts::Win32Window>(loop);
  } catch (const std::runtime_error&) {
    // No desktop to create a window on: the run goes on unseen.
    return std::make_unique<ts::HeadlessWindow>();
  }
}

int runExchange(const std::string& folder) {
  ts::Win32EventLoop loop;
  ts::Win32SerialControl serial(loop);
  const ts::DisplaySettings settings = ts::readDisplaySettings(folder, ts::PathStyle::Windows);
  const std::unique_ptr<ts::Window> window = makeWindow(loop, !settings.hidden);
  ts::FormPrincipal form(loop, serial, *window, folder, ts::PathStyle::Windows);
  int status = ts::kExitResponseNotWritten;
  try {
    form.start(settings);
    status = loop.run();
  } catch (const std::exception&) {
    // An answer already written stands.
    if (form.exitStatus() != ts::kExitWindowClosedEarly) return form.exitStatus();
    throw;
  }
  // The run has said so on stderr already.
  if (status == ts::kExitResponseNotWritten) {
    toDebugger("cannot write " + form.CaminhoAbsoluto + "resposta.txt");
  }
  return status;
}

// The run failed before its answer (memory ran out, the system refused a
// resource): none can be given, and an earlier run's must not pass for
// this one's.
int endWithoutAnswer(const std::wstring& responseFile, const std::string& problem) {
  const DWORD attributes = GetFileAttributesW(responseFile.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(responseFile.c_str());
  }
  reportProblem(problem + ", no response written");
  return ts::kExitResponseNotWritten;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  ts::installFaultGuard(ts::kExitFault);
  // Real pixels per inch, so that twips convert to the screen's own pixels.
  SetProcessDPIAware();
  const auto folder = ts::executableFolder();
  if (!folder) {
    reportProblem("cannot tell the executable's folder");
    return ts::kExitResponseNotWritten;
  }
  // Known before the run, so that reporting a lack of memory needs none.
  const std::wstring responseFile = ts::utf8::widen(
      ts::workingPath(*folder, ts::kResponseSuffix, ts::PathStyle::Windows) + "resposta.txt");
  try {
    return runExchange(*folder);
  } catch (const std::bad_alloc&) {
    return endWithoutAnswer(responseFile, "out of memory");
  } catch (const std::exception& error) {
    return endWithoutAnswer(responseFile, error.what());
  }
}
