#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/form_principal.h"
#include "app/working_path.h"
#include "serial/settings.h"

// terminal-serial-check: goes through a working folder as a run would, with
// the run's own readers and serial control, and says for each step what a
// run would find there and what to do about it. It sends nothing.
namespace ts::check {

// Exit statuses of the check: 0 when a run would reach the port and send,
// otherwise the status a run would end with (the result codes 2 to 7, or
// kExitResponseNotWritten), or one of these.
inline constexpr int kExitNoProgram = 9;  // no usable terminal-serial in the folder
inline constexpr int kExitUsage = 64;

enum class Mark { Ok, Note, Fail };

struct Line {
  Mark mark = Mark::Ok;
  std::string topic;
  std::string finding;  // UTF-8
  std::string advice;   // what to do; empty when nothing is to be done
};

// Why a port did not open, as the platform can tell.
struct PortTrouble {
  std::string finding;
  std::string advice;
};

// What only the platform can answer.
class Platform {
 public:
  virtual ~Platform() = default;

  virtual PathStyle pathStyle() const = 0;
  // The program's file name in a working folder.
  virtual std::string programName() const = 0;
  // Empty when `path` is a program a calling program can start and that
  // works in `folder`; otherwise what is wrong with it.
  virtual PortTrouble programProblem(const std::string& folder, const std::string& path) = 0;
  // True when the file system keeps `file` from being replaced or rewritten
  // whatever the permissions (an immutable or append-only file).
  virtual bool unchangeable(const std::string& file) = 0;
  // Where COM `port` leads, for the reader: a device path, a link and its target.
  virtual std::string portLocation(std::int16_t port) = 0;
  // Called after the run's own opening failed: why, and what to do.
  virtual PortTrouble whyPortDidNotOpen(std::int16_t port, const LineSettings& settings) = 0;
  // Called after the port opened and closed again: other programs that
  // have it open without holding it, and would share the device's reply.
  virtual PortTrouble sharedWith(std::int16_t port) = 0;
};

struct Report {
  std::vector<Line> lines;
  int exitStatus = 0;
  std::string verdict;  // UTF-8, the last line of the report
};

// Checks `folder` with `form`, a window set up on that folder exactly as a
// run's (its serial control included), that is started no further: only
// its port methods are called, and nothing is sent.
Report checkFolder(const std::string& folder, FormPrincipal& form, Platform& platform);

// The report as printed: one line per check, then the verdict.
std::string formatReport(const std::string& folder, const Report& report);

// Windows-1252 bytes as UTF-8, control characters shown as \r, \n, \xNN.
std::string printable(const std::string& bytes);

// The command line's help, alike on both platforms.
std::string usage(const std::string& program);

}  // namespace ts::check
