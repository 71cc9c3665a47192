#include <windows.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "app/executable_folder.h"
#include "app/form_principal.h"
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

std::unique_ptr<ts::Window> makeWindow(ts::Win32EventLoop& loop) {
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
  const std::unique_ptr<ts::Window> window = makeWindow(loop);
  ts::FormPrincipal form(loop, serial, *window, folder, ts::PathStyle::Windows);
  form.start();
  const int status = loop.run();
  // The run has said so on stderr already.
  if (status == ts::kExitResponseNotWritten) {
    toDebugger("cannot write " + form.CaminhoAbsoluto + "resposta.txt");
  }
  return status;
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
  try {
    return runExchange(*folder);
  } catch (const std::exception& error) {
    reportProblem(error.what());
    return ts::kExitResponseNotWritten;
  }
}
