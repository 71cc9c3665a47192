#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>

#include "app/executable_folder.h"
#include "app/form_principal.h"
#include "app/startup_settings.h"
#include "exchange/file_io.h"
#include "loop/event_loop_posix.h"
#include "loop/termination_posix.h"
#include "serial/serial_control_posix.h"
#include "ui/window_factory_posix.h"

namespace {

int runExchange(const std::string& folder) {
  ts::PosixEventLoop loop;
  ts::PosixSerialControl serial(loop, folder);
  // The settings decide whether a display is reached for at all.
  const ts::DisplaySettings settings = ts::readDisplaySettings(folder, ts::PathStyle::Posix);
  std::unique_ptr<ts::Window> window = ts::makePosixWindow(loop, !settings.hidden);
  ts::FormPrincipal form(loop, serial, *window, folder, ts::PathStyle::Posix);
  try {
    form.start(settings);
    return loop.run();
  } catch (const std::bad_alloc&) {
    // An answer already written stands.
    if (form.exitStatus() != ts::kExitWindowClosedEarly) return form.exitStatus();
    throw;
  }
}

// Memory ran out before the answer was written: none can be given, and an
// earlier run's must not pass for this one's.
int endOutOfMemory(const std::string& responseFile) {
  if (ts::fileio::isRegularFile(responseFile)) ::unlink(responseFile.c_str());
  std::fputs("terminal-serial: out of memory, no response written\n", stderr);
  return ts::kExitResponseNotWritten;
}

}  // namespace

int main() {
  ts::termination::install();
  // A device that vanishes, or a file size limit on the response, must end
  // in a result or an exit status, not in a signal.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);

  const auto folder = ts::executableFolder();
  if (!folder) {
    std::fputs("terminal-serial: cannot tell the executable's folder\n", stderr);
    return ts::kExitResponseNotWritten;
  }
  // Known before the run, so that reporting a lack of memory needs none.
  const std::string responseFile =
      ts::workingPath(*folder, ts::kResponseSuffix, ts::PathStyle::Posix) + "resposta.txt";
  try {
    return runExchange(*folder);
  } catch (const std::bad_alloc&) {
    return endOutOfMemory(responseFile);
  }
}
