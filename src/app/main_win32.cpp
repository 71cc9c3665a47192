#include <windows.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "app/executable_folder.h"
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

// A hidden run creates no window of its own: the texts are only kept.
std::unique_ptr<ts::Window> makeWindow(ts::Win32EventLoop& loop, bool shown) {
  if (!shown) return std::make_unique<ts::HeadlessWindow>();
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
  } catch (const std::bad_alloc&) {
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

// Memory ran out before the answer was written: none can be given, and an
// earlier run's must not pass for this one's.
int endOutOfMemory(const std::wstring& responseFile) {
  const DWORD attributes = GetFileAttributesW(responseFile.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(responseFile.c_str());
  }
  reportProblem("out of memory, no response written");
  return ts::kExitResponseNotWritten;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
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
    return endOutOfMemory(responseFile);
  } catch (const std::exception& error) {
    reportProblem(error.what());
    return ts::kExitResponseNotWritten;
  }
}
