#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test_folder.h"

namespace ts::testing {

// Which build the end-to-end tests run: the native executable, or the
// Windows one under Wine when TS_E2E_WINE is set (TS_E2E_EXE names it).
struct Target {
  std::string executable;
  bool wine = false;

  static Target fromEnvironment(const std::string& nativeDefault);
};

struct RunResult {
  int exitStatus = -1;  // -1: killed at the time limit
  long elapsedMs = 0;
  std::string errors;  // what the program wrote on stderr
};

// A working folder holding a copy of the executable, as a calling program
// would set one up.
class Installation {
 public:
  explicit Installation(const Target& target, const std::string& config = "N\r\n");
  ~Installation();

  // Maps a free COM number to the device; returns the number to order.
  int linkPort(const std::string& device);
  void writeOrder(const std::string& bytes) { folder.write("ORDEM/ordem.txt", bytes); }
  // An order for `port` at 9600,n,8,1 transmitting `text`.
  void writeOrder(int port, const std::string& text);
  std::optional<std::string> response() const;

  // Starts the program from another current folder, with `environment`
  // changes (an empty value unsets), and waits at most `limit`. The native
  // build runs without a display unless DISPLAY is given.
  RunResult run(std::chrono::milliseconds limit = std::chrono::seconds(20),
                std::map<std::string, std::string> environment = {}) const;
  // Starts it and returns the child's pid at once.
  int start(const std::map<std::string, std::string>& environment = {}) const;
  static RunResult wait(int pid, std::chrono::milliseconds limit);

  const Target target;
  TestFolder folder;
  std::string executablePath;

 private:
  std::vector<std::string> links_;
};

}  // namespace ts::testing
