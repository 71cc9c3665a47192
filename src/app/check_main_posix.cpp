#include <limits.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/check.h"
#include "app/executable_folder.h"
#include "app/form_principal.h"
#include "app/port_diagnosis_posix.h"
#include "loop/event_loop_posix.h"
#include "loop/termination_posix.h"
#include "serial/serial_control_posix.h"
#include "ui/headless_window.h"

namespace {

constexpr const char* kProgram = "terminal-serial-check";

// The folder as the program would know its own: absolute, links resolved.
std::string absoluteFolder(const std::string& given) {
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(given.c_str(), nullptr), &::free);
  if (!resolved) return given;
  const std::string path(resolved.get());
  return path == "/" ? std::string() : path;
}

int checkFolder(const std::string& folder) {
  ts::PosixEventLoop loop;
  ts::PosixSerialControl serial(loop, folder);
  ts::HeadlessWindow window;
  ts::FormPrincipal form(loop, serial, window, folder, ts::PathStyle::Posix);
  ts::PosixCheckPlatform platform(serial, folder);
  const ts::check::Report report = ts::check::checkFolder(folder, form, platform);
  std::fputs(ts::check::formatReport(folder.empty() ? "/" : folder, report).c_str(), stdout);
  return report.exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  // Interrupted while the port is open, the port is still handed back.
  ts::termination::install();
  ::signal(SIGPIPE, SIG_IGN);
  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "-h" || first == "--help") {
    std::fputs(ts::check::usage(kProgram).c_str(), stdout);
    return 0;
  }
  if (first == "--version") {
    std::printf("%s %s\n", kProgram, TS_VERSION);
    return 0;
  }
  if (argc > 2 || (first.size() > 1 && first[0] == '-')) {
    std::fputs(ts::check::usage(kProgram).c_str(), stderr);
    return ts::check::kExitUsage;
  }
  if (argc == 2) return checkFolder(absoluteFolder(first));
  const auto own = ts::executableFolder();
  if (!own) {
    std::fprintf(stderr, "%s: cannot tell this program's folder; name the folder\n", kProgram);
    return ts::check::kExitUsage;
  }
  const int status = checkFolder(*own);
  // Installed on the PATH, its own folder is no working folder.
  if (status == ts::check::kExitNoProgram) {
    std::fprintf(stderr, "%s: no FOLDER given, so its own folder was checked; usage: %s FOLDER\n",
                 kProgram, kProgram);
  }
  return status;
}
