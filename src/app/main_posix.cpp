#include <signal.h>

#include <cstdio>
#include <memory>

#include "app/executable_folder.h"
#include "app/form_principal.h"
#include "app/startup_settings.h"
#include "loop/event_loop_posix.h"
#include "serial/serial_control_posix.h"
#include "ui/window_factory_posix.h"

int main() {
  // A device that vanishes, or a file size limit on the response, must end
  // in a result or an exit status, not in a signal.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);

  const auto folder = ts::executableFolder();
  if (!folder) {
    std::fputs("terminal-serial: cannot tell the executable's folder\n", stderr);
    return ts::kExitResponseNotWritten;
  }

  ts::PosixEventLoop loop;
  ts::PosixSerialControl serial(loop, *folder);
  // The settings decide whether a display is reached for at all.
  const ts::DisplaySettings settings = ts::readDisplaySettings(*folder, ts::PathStyle::Posix);
  std::unique_ptr<ts::Window> window = ts::makePosixWindow(loop, !settings.hidden);
  ts::FormPrincipal form(loop, serial, *window, *folder, ts::PathStyle::Posix);
  form.start(settings);
  return loop.run();
}
