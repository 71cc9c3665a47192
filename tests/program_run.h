#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "test_folder.h"

namespace ts::testing {

// Which build the end-to-end tests run: the native executable, or the
// Windows one under Wine when TS_E2E_WINE is set (TS_E2E_EXE names it).
// TS_E2E_WRAPPER runs the native one under a command such as a memory
// checker ("valgrind --error-exitcode=99 -q").
struct Target {
  std::string executable;
  bool wine = false;
  std::vector<std::string> wrapper;

  static Target fromEnvironment(const std::string& nativeDefault);
  // Wine and wrappers start slowly and run slowly: schedule bounds widen.
  bool slow() const { return wine || !wrapper.empty(); }
};

// The build this test binary was made with (TS_EXECUTABLE), unless the
// environment names another.
Target testTarget();

struct RunResult {
  int exitStatus = -1;  // -1: killed at the time limit
  long elapsedMs = 0;
  std::string errors;  // what the program wrote on stderr
  double cpuMs = 0;    // user and system time
  long peakRssKb = 0;  // the most memory seen held after exec, sampled every few ms
  int maxOpenFds = 0;  // the most descriptors seen open at once after exec
  std::string output;  // what a checking run wrote on stdout
};

// The bytes of a response file holding `result`.
inline std::string responseBytes(std::string_view result) {
  return std::string(result) + "\r\n";
}

// A working folder holding a copy of the executable, as a calling program
// would set one up.
class Installation {
 public:
  explicit Installation(const Target& target, const std::string& config = "N\r\n");
  ~Installation();

  // Maps a free COM number to the device; returns the number to order.
  int linkPort(const std::string& device);
  void writeOrder(const std::string& bytes) { folder.write("ORDEM/ordem.txt", bytes); }
  // An order for `port` at `baud`,n,8,1 transmitting `text`.
  void writeOrder(int port, const std::string& text, int baud = 9600);
  std::optional<std::string> response() const;

  // Starts the program from another current folder, with `environment`
  // changes (an empty value unsets), and waits at most `limit`. The native
  // build runs without a display unless DISPLAY is given.
  RunResult run(std::chrono::milliseconds limit = std::chrono::seconds(20),
                std::map<std::string, std::string> environment = {}) const;
  // Starts it and returns the child's pid at once.
  int start(const std::map<std::string, std::string>& environment = {}) const;
  // Runs terminal-serial-check, copied beside the program as the Windows
  // zip has it, with `arguments` (none: it checks its own folder), as the
  // program's user, and returns its report in `output`.
  RunResult check(const std::vector<std::string>& arguments = {});
  // The folder as the build under test names it on its command line.
  std::string folderArgument() const;
  static RunResult wait(int pid, std::chrono::milliseconds limit);
  // Processor time the started program has used so far, all its threads.
  static double cpuMsSoFar(int pid);

  // Runs the program as the unprivileged user nobody from now on, for faults
  // that permissions make (root reads and writes everything). Opens the
  // folder to that user. False when this process cannot switch users.
  bool runAsNobody();
  // Runs the program under an address-space limit (RLIMIT_AS) from now on.
  // False where the build cannot start under one (the sanitizers, a
  // wrapper and Wine reserve vast address ranges); it then runs without.
  bool limitAddressSpace(std::size_t bytes);
  // The largest file the program may write (RLIMIT_FSIZE), 0 for no limit.
  std::size_t fileSizeLimit = 0;

  const Target target;
  TestFolder folder;
  std::string executablePath;

 private:
  int spawn(const std::map<std::string, std::string>& environment, const std::string& program,
            const std::vector<std::string>& arguments, const std::string& outputPath) const;
  RunResult collect(RunResult result, const std::string& outputPath) const;

  std::vector<std::string> links_;
  int uid_ = -1;  // -1: run as this process's user
  int gid_ = -1;
  std::size_t addressSpaceLimit_ = 0;  // 0: none
};

// Makes this process `uid`, in group `gid` alone, for good: a child that is
// to act as another user. False when it cannot.
bool becomeUser(uid_t uid, gid_t gid);

// Whether `text` holds `part` at or after `from`; the whole text is shown when not.
::testing::AssertionResult holds(const std::string& text, std::string_view part,
                                 std::size_t from = 0);

}  // namespace ts::testing
