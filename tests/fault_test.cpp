// Faults of the files and the device around a run, end to end: every run
// ends with the outcome the rules give and a complete response file, or with
// a clear exit status; a caller polling the response file never sees a torn
// one, nor the previous run's answer posing as this run's.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "exchange/result_texts.h"
#include "program_run.h"
#include "pty_device.h"

namespace ts {
namespace {

using namespace std::chrono_literals;
using namespace ::ts::testing;

const std::string kStale = "000|Sucesso\r\nanswer of an earlier run\r\n";

// The immutable attribute on a file or folder for as long as the object
// lives: not even root may then add, remove, rename or (for a file) change
// anything there. The append-only one (`FS_APPEND_FL`) lets a file grow and
// nothing else.
class Immutable {
 public:
  explicit Immutable(std::filesystem::path path, int attribute = FS_IMMUTABLE_FL)
      : path_(std::move(path)), attribute_(attribute) {
    set_ = flip(true);
  }
  ~Immutable() {
    if (set_) flip(false);
  }
  Immutable(const Immutable&) = delete;
  Immutable& operator=(const Immutable&) = delete;
  // False where the file system or this process's privileges refuse it.
  bool set() const { return set_; }

 private:
  bool flip(bool on) const {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
      flags = on ? (flags | attribute_) : (flags & ~attribute_);
      done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
  }

  std::filesystem::path path_;
  int attribute_;
  bool set_ = false;
};

std::size_t entriesIn(const std::filesystem::path& folder) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                std::filesystem::directory_iterator()));
}

// The device linked as the order's port, and an earlier run's answer left.
void prepareRun(Installation& run, const PtyDevice& device, const std::string& text) {
  run.writeOrder(run.linkPort(device.terminalPath()), text);
  run.folder.write("RESPOSTA/resposta.txt", kStale);
}

// Runs started by hand are headless too, as run() makes them.
const std::map<std::string, std::string> kNoDisplay{{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};

class Fault : public ::testing::Test {
 protected:
  bool slow() const { return install.target.slow(); }
  std::filesystem::path responseFolder() const { return install.folder.path() / "RESPOSTA"; }

  Installation install{testTarget()};
};

TEST_F(Fault, DevicePathVanishingBetweenRunsGives003) {
  // The device's own node, as the system names a plugged-in adapter; the
  // pseudo-terminal's number may be handed to another test once freed.
  auto device = std::make_unique<PtyDevice>(PtyDevice::Script{.echo = true});
  const auto node = install.folder.path() / "ttyUSB0";
  std::filesystem::create_symlink(device->terminalPath(), node);
  install.writeOrder(install.linkPort(node.string()), "first");
  EXPECT_EQ(install.run().exitStatus, 0);
  EXPECT_EQ(install.response(), "000|Sucesso\r\nfirst\r\n");

  // Unplugged: the device and its node are gone; the port's link dangles.
  device.reset();
  std::filesystem::remove(node);
  const RunResult run = install.run();
  EXPECT_EQ(run.exitStatus, 3);
  EXPECT_EQ(install.response(), responseBytes(results::kNaoAberta));
  EXPECT_EQ(entriesIn(responseFolder()), 1u);
}

// Without /proc (a mount namespace of its own, as a bare container may
// start it) the program cannot tell its folder: it says so and ends with
// status 10, having touched no port.
TEST_F(Fault, ProgramThatCannotTellItsFolderEndsWithStatus10) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers cannot start without /proc";
#endif
  if (install.target.slow() || std::system("unshare --mount true 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs the native build and the right to make a mount namespace";
  }
  ts::testing::Target blind = install.target;
  const std::string withEmptyProc = "mount -t tmpfs none /proc && exec \"$0\"";
  blind.wrapper = {"unshare", "--mount", "--propagation", "private", "sh", "-c", withEmptyProc};
  Installation hidden(blind);
  PtyDevice device({.echo = true});
  hidden.writeOrder(hidden.linkPort(device.terminalPath()), "X");
  const RunResult run = hidden.run();
  EXPECT_EQ(run.exitStatus, 10) << run.errors;
  EXPECT_TRUE(holds(run.errors, "cannot tell the executable's folder"));
  EXPECT_FALSE(hidden.response());
  EXPECT_EQ(device.received(), "");
}

TEST_F(Fault, FilesThatAreNotOrdinaryFilesNeitherBlockNorCount) {
  // Each entry made a folder, then a FIFO, instead of a file. Without
  // display settings the run reports it and ends on time.
  for (const auto& [entry, expected] : std::vector<std::pair<std::string, std::string_view>>{
           {"ORDEM/ordem.txt", results::kOrdemAusente}, {"config.ini", results::kSemExibicao}}) {
    for (const bool fifo : {false, true}) {
      Installation run(testTarget());
      std::filesystem::remove(run.folder.path() / entry);
      if (fifo) {
        ASSERT_EQ(::mkfifo((run.folder.path() / entry).c_str(), 0666), 0);
      } else {
        run.folder.mkdir(entry);
      }
      const RunResult result = run.run();
      EXPECT_EQ(result.exitStatus, results::resultCode(expected)) << entry << " fifo " << fifo;
      EXPECT_EQ(run.response(), responseBytes(expected)) << entry << " fifo " << fifo;
      EXPECT_LE(result.elapsedMs, slow() ? 10000 : 3000);
    }
  }
}

TEST_F(Fault, ReadOnlyResponseFileIsReplaced) {
  PtyDevice device({.echo = true});
  prepareRun(install, device, "X");
  std::filesystem::permissions(responseFolder() / "resposta.txt", std::filesystem::perms(0444));
  EXPECT_EQ(install.run().exitStatus, 0);
  EXPECT_EQ(install.response(), "000|Sucesso\r\nX\r\n");
  EXPECT_EQ(entriesIn(responseFolder()), 1u);
}

TEST_F(Fault, ResponseFolderOrFileThatCannotChange) {
  PtyDevice device({.echo = true});
  prepareRun(install, device, "X");
  {
    // The stale file can be neither deleted nor replaced, but rewritten.
    const Immutable folder(responseFolder());
    if (!folder.set()) GTEST_SKIP() << "the immutable attribute is not available here";
    EXPECT_EQ(install.run().exitStatus, 0);
    EXPECT_EQ(install.response(), "000|Sucesso\r\nX\r\n");
    EXPECT_EQ(entriesIn(responseFolder()), 1u);
  }
  {
    // A link planted as the response: the file it points to is not
    // rewritten through it.
    std::filesystem::remove(responseFolder() / "resposta.txt");
    install.folder.write("elsewhere.txt", kStale);
    std::filesystem::create_symlink(install.folder.path() / "elsewhere.txt",
                                    responseFolder() / "resposta.txt");
    const Immutable folder(responseFolder());
    EXPECT_EQ(install.run().exitStatus, 10);
    EXPECT_EQ(install.folder.read("elsewhere.txt"), kStale);
  }
  // Nothing can be written: no file to rewrite, or an immutable or
  // append-only one, which necessarily stays. The status and the message
  // tell the caller so.
  for (const int fileMark : {0, FS_IMMUTABLE_FL, FS_APPEND_FL}) {
    std::filesystem::remove(responseFolder() / "resposta.txt");
    if (fileMark) install.folder.write("RESPOSTA/resposta.txt", kStale);
    const Immutable locked(fileMark ? responseFolder() / "resposta.txt" : responseFolder(),
                           fileMark ? fileMark : FS_IMMUTABLE_FL);
    const RunResult run = install.run();
    EXPECT_EQ(run.exitStatus, 10) << fileMark;
    EXPECT_TRUE(holds(run.errors, "RESPOSTA/resposta.txt"));
    EXPECT_EQ(install.response(), fileMark ? std::optional(kStale) : std::nullopt);
    EXPECT_EQ(entriesIn(responseFolder()), fileMark ? 1u : 0u);
    // The check names the attribute, which no permission shows.
    if (fileMark && !install.target.wine) {
      const RunResult check = install.check();
      EXPECT_EQ(check.exitStatus, 10);
      EXPECT_TRUE(holds(check.output, "marked unchangeable"));
    }
  }
}

// Reads the response file over and over while the program runs, as a
// calling program polling for it would, and counts what it saw.
struct PollCounts {
  int stale = 0, complete = 0, incomplete = 0, straddled = 0, torn = 0;
};

PollCounts pollWhileRunning(const Installation& install, const std::string& complete,
                            RunResult& run) {
  PollCounts counts;
  std::atomic<bool> done{false};
  std::thread poller([&] {
    while (!done) {
      const auto seen = install.response();
      if (!seen) continue;
      if (*seen == kStale) {
        ++counts.stale;
      } else if (*seen == complete) {
        ++counts.complete;
      } else if (seen->empty() || seen->front() == '\0') {
        ++counts.incomplete;  // not an answer, and not taken for one
      } else if (seen->starts_with(kStale) &&
                 complete.substr(kStale.size()).starts_with(seen->substr(kStale.size()))) {
        // Read in several calls, the first before the rewrite began and the
        // rest after: what no rewrite in place can prevent.
        ++counts.straddled;
      } else {
        ++counts.torn;
      }
    }
  });
  run = Installation::wait(install.start(kNoDisplay), 30s);
  done = true;
  poller.join();
  return counts;
}

TEST_F(Fault, CallerPollingNeverSeesATornFile) {
  const std::size_t bytes = 4 << 20;
  const std::string complete = "000|Sucesso\r\n" + std::string(bytes, 'F') + "\r\n";
  // Renamed into place, then rewritten in place in a folder that cannot
  // change: briefly NUL-led, so not an answer. A read that began on the old
  // answer may run on into the new one; any other mix would be a fault.
  for (const bool inPlace : {false, true}) {
    PtyDevice device({.floodBytes = bytes});
    prepareRun(install, device, "R");
    std::optional<Immutable> folder;
    if (inPlace && !folder.emplace(responseFolder()).set()) {
      GTEST_SKIP() << "the immutable attribute is not available here";
    }
    RunResult run;
    const PollCounts seen = pollWhileRunning(install, complete, run);
    EXPECT_EQ(run.exitStatus, 0) << inPlace;
    EXPECT_EQ(seen.torn, 0) << inPlace;
    EXPECT_TRUE(install.response() == complete) << "the response is not the whole flood";
    if (!inPlace) {
      EXPECT_EQ(seen.incomplete + seen.straddled, 0) << "a renamed file is seen whole";
      EXPECT_GT(seen.stale, 0);
    }
  }
}

// A file of `size` bytes that starts with `head` and is a hole after it:
// gigabytes that take no room on the disk.
void writeSparse(const std::filesystem::path& path, const std::string& head, std::uintmax_t size) {
  std::ofstream(path, std::ios::binary) << head;
  std::filesystem::resize_file(path, size);
}

TEST_F(Fault, HugeInputsAndExhaustedResourcesEndInAnAnswer) {
  constexpr std::uintmax_t kHuge = 3ULL << 30;
  constexpr std::size_t kAddressSpace = 16 << 20;
  struct Case {
    const char* what;
    std::string config;  // then a hole up to kHuge bytes, when `hugeConfig`
    bool hugeConfig;
    bool hugeOrder;        // the order, then a hole up to kHuge bytes
    std::size_t flood;     // the device floods instead of echoing
    std::size_t fileSize;  // a file size limit instead of an address space limit
    int status;
    std::optional<std::string> response;  // nullopt: no file, and stderr says why
    const char* why = "";
  };
  const std::vector<Case> cases{
      {"huge config.ini", "N\r\n", true, false, 0, 0, 0, "000|Sucesso\r\nX\r\n"},
      {"huge order", "N\r\n", false, true, 0, 0, 5, responseBytes(results::kOrdemIncorreta)},
      // More reply than memory: no answer can be given, and the stale one
      // must not pass for this run's.
      {"flood beyond memory", "N\r\n", false, false, 256 << 20, 0, 10, std::nullopt, "memory"},
      // A response beyond the file size limit (the limit leaves room for
      // the message on stderr): a write error, not a signal that kills the
      // run; the stale answer, rewritten in place, is cut and removed.
      {"file size limit", "N\r\n", false, false, 64 << 10, 8 << 10, 10, std::nullopt,
       "RESPOSTA/resposta.txt"},
  };
  for (const auto& c : cases) {
    Installation run(testTarget(), c.config);
    const bool limited = !c.fileSize && run.limitAddressSpace(kAddressSpace);
    if (c.flood && !c.fileSize && !limited) continue;  // without a limit, only a flood
    if (c.fileSize && run.target.wine) continue;       // POSIX resource limits
    run.fileSizeLimit = c.fileSize;
    PtyDevice device({.echo = c.flood == 0, .floodBytes = c.flood});
    prepareRun(run, device, "X");
    const auto folder = run.folder.path();
    if (c.hugeConfig) writeSparse(folder / "config.ini", c.config, kHuge);
    if (c.hugeOrder) {
      writeSparse(folder / "ORDEM/ordem.txt", run.folder.read("ORDEM/ordem.txt"), kHuge);
    }
    const RunResult result = run.run();
    EXPECT_EQ(result.exitStatus, c.status) << c.what << ": " << result.errors;
    EXPECT_EQ(run.response(), c.response) << c.what;
    EXPECT_EQ(entriesIn(folder / "RESPOSTA"), c.response ? 1u : 0u) << c.what;
    EXPECT_LE(result.elapsedMs, slow() ? 10000 : 3000) << c.what;
    EXPECT_NE(result.errors.find(c.why), std::string::npos) << c.what << ": " << result.errors;
  }
}

// The port can be taken again at once: no lock and no exclusive mode left.
bool portIsFree(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int exclusive = 1;
  const bool free = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0 &&
                    ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

// Waits until a temporary file appears in `folder`; false after `limit`.
bool awaitTemporaryFile(const std::filesystem::path& folder, std::chrono::milliseconds limit) {
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ::inotify_add_watch(watch, folder.c_str(), IN_CREATE);
  alignas(inotify_event) char events[4096];
  bool seen = false;
  for (const auto until = std::chrono::steady_clock::now() + limit;
       !seen && std::chrono::steady_clock::now() < until;) {
    pollfd ready{watch, POLLIN, 0};
    if (::poll(&ready, 1, 100) <= 0) continue;
    const ssize_t n = ::read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->len > 0 && std::string_view(event->name).starts_with("resposta.txt.")) seen = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ::close(watch);
  return seen;
}

TEST_F(Fault, TerminationSignalsEndTheRunAtOnce) {
  if (install.target.wine) GTEST_SKIP() << "POSIX signals";
  enum class Moment { Collecting, WritingTheResponse, ClosingThePort };
  struct Case {
    int signal;
    Moment moment;
    PtyDevice::Script device;
    std::string text;
  };
  const std::vector<Case> cases{
      {SIGTERM, Moment::Collecting, {.echo = true}, "X"},
      {SIGINT, Moment::WritingTheResponse, {.floodBytes = 64 << 20}, "X"},
      // 200 kB at 9600 baud to a device that takes nothing: closing waits
      // minutes for the line.
      {SIGHUP,
       Moment::ClosingThePort,
       {.deafFor = std::chrono::hours(1)},
       std::string(200'000, 'T')},
  };
  for (const auto& c : cases) {
    Installation run(testTarget());
    PtyDevice device(c.device);
    prepareRun(run, device, c.text);
    const auto responses = run.folder.path() / "RESPOSTA";
    const int pid = run.start(kNoDisplay);
    if (c.moment == Moment::Collecting) {
      for (int i = 0; i < 500 && device.received().empty(); ++i) std::this_thread::sleep_for(10ms);
      std::this_thread::sleep_for(200ms);
    } else if (c.moment == Moment::WritingTheResponse) {
      EXPECT_TRUE(awaitTemporaryFile(responses, 20s));
    } else {
      std::this_thread::sleep_for(slow() ? 6s : 3s);  // the answer is due at 1.5 s
    }
    ASSERT_EQ(::kill(pid, c.signal), 0);
    const RunResult result = Installation::wait(pid, 20s);
    EXPECT_EQ(result.exitStatus, 128 + c.signal) << c.signal;
    EXPECT_LE(result.elapsedMs, slow() ? 3000 : 500) << c.signal;
    // No temporary file; the earlier answer, or this run's if it was
    // renamed into place before the signal came.
    EXPECT_EQ(entriesIn(responses), 1u) << c.signal;
    const auto response = run.response().value_or("");
    if (c.moment != Moment::WritingTheResponse || response == kStale) {
      EXPECT_EQ(response, kStale) << c.signal;
    } else {
      EXPECT_TRUE(response.starts_with("000|Sucesso\r\nFFFF")) << c.signal;
    }
    EXPECT_TRUE(portIsFree(device.terminalPath())) << c.signal;
  }
}

}  // namespace
}  // namespace ts
