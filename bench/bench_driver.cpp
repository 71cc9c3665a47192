// Benchmarks terminal-serial against the scripts a user would write instead.
// Each contender does the same exchange (order at 500 ms, answer 1000 ms
// after the first byte, end 500 ms later) against the same simulated device,
// which this driver plays on a fresh pseudo-terminal for every run; the
// contenders take turns, run after run. Measured from the moment the driver
// starts a contender: wall time, CPU time and peak memory (wait4), when the
// first byte reaches the device, when the complete response file appears
// (inotify), and for the flood how much was captured, whether it is the
// stream's exact beginning, and when the first byte left out was written,
// against the answer's due time.
//
//   bench-driver --ours EXE --python PEER.py --shell PEER.sh [--runs N]
//                [--scenarios short,silent,flood]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "pseudo_terminal.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr double kScheduleMs = 2000;  // order 500 + answer 1000 + end 500
constexpr double kOrderDueMs = 500;
constexpr double kAnswerAfterMs = 1000;  // after the first byte
constexpr auto kReplyDelay = std::chrono::milliseconds(20);
constexpr auto kRunLimit = std::chrono::seconds(30);
const std::string kOrderText = "P";
const std::string kReply = "+0012.50kg\r\n";
const std::string kNoReply =
    "001|O dispositivo conectado \xE0 porta serial n\xE3o respondeu no prazo de 1 segundo";
const std::string kSuccess = "000|Sucesso\r\n";

enum class Scenario { Short, Silent, Flood };

const char* scenarioName(Scenario s) {
  switch (s) {
    case Scenario::Short:
      return "short reply";
    case Scenario::Silent:
      return "silent device";
    case Scenario::Flood:
      return "flood";
  }
  return "?";
}

double msSince(Clock::time_point start, Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(t - start).count();
}

// The flood's byte at position p is p % 251, so that a lost or repeated
// stretch shows in the captured bytes.
char floodByte(std::size_t position) {
  return static_cast<char>(position % 251);
}

struct Contender {
  std::string name;
  std::vector<std::string> command;  // "{}" stands for the working folder
  fs::path folder;
};

struct Sample {
  int exitStatus = -1;
  double wallMs = NAN, cpuMs = NAN, rssKb = NAN;
  double firstByteMs = NAN, responseMs = NAN;
  double captured = 0;
  double cutOffMs = NAN;  // when the first byte left out was written
  bool correct = false;
};

// A working folder as a calling program prepares it, the port mapped to the
// device by PORTAS/COM1.
fs::path prepareFolder(const std::optional<fs::path>& executable) {
  std::string pattern = (fs::temp_directory_path() / "ts-bench-XXXXXX").string();
  const fs::path folder = ::mkdtemp(pattern.data());
  fs::create_directories(folder / "ORDEM");
  fs::create_directories(folder / "RESPOSTA");
  fs::create_directories(folder / "PORTAS");
  std::ofstream(folder / "config.ini", std::ios::binary) << "N\r\n";
  std::ofstream(folder / "ORDEM/ordem.txt", std::ios::binary) << "1\r\n9600\r\n8\r\n1\r\nN\r\n"
                                                              << kOrderText;
  if (executable) fs::copy_file(*executable, folder / executable->filename());
  return folder;
}

// The device side of a pseudo-terminal. The terminal side stays open until
// the first byte arrives, so that the device can be polled before the
// contender opens it; afterwards the contender's close shows as a hang-up.
struct Device {
  int master = -1;
  int terminal = -1;
  std::string path;

  Device() {
    ts::tools::PseudoTerminal pty;
    if (!ts::tools::openPseudoTerminal(pty)) {
      std::perror("bench-driver: pseudo-terminal");
      std::exit(1);
    }
    master = pty.master;
    terminal = pty.terminal;
    path = pty.path;
  }
  ~Device() {
    releaseTerminal();
    ::close(master);
  }
  void releaseTerminal() {
    if (terminal >= 0) ::close(terminal);
    terminal = -1;
  }
};

pid_t spawn(const Contender& contender) {
  std::vector<std::string> words;
  for (const auto& word : contender.command) {
    words.push_back(word == "{}" ? contender.folder.string() : word);
  }
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int null = ::open("/dev/null", O_RDWR);
  ::dup2(null, 0);
  ::dup2(null, 1);
  ::dup2(null, 2);
  if (::chdir("/") != 0) ::_exit(127);
  ::unsetenv("DISPLAY");  // headless, as on a point-of-sale back office
  ::unsetenv("WAYLAND_DISPLAY");
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// Plays the device for one run and measures it.
class Run {
 public:
  Run(const Contender& contender, Scenario scenario) : contender_(contender), scenario_(scenario) {
    fs::remove(contender.folder / "RESPOSTA/resposta.txt");
    const fs::path link = contender.folder / "PORTAS/COM1";
    fs::remove(link);
    fs::create_symlink(device_.path, link);
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ::inotify_add_watch(inotify_, (contender.folder / "RESPOSTA").c_str(),
                        IN_CLOSE_WRITE | IN_MOVED_TO);
    floodChunk_.resize(65536 + 251);
    for (std::size_t i = 0; i < floodChunk_.size(); ++i) floodChunk_[i] = floodByte(i);
  }
  ~Run() { ::close(inotify_); }

  Sample measure() {
    started_ = Clock::now();
    const pid_t pid = spawn(contender_);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    int status = 0;
    rusage usage{};
    for (bool running = true; running;) {
      pollfd fds[3] = {{pidfd, POLLIN, 0}, {inotify_, POLLIN, 0}, {-1, 0, 0}};
      if (!hungUp_) {
        fds[2] = {device_.master, static_cast<short>(POLLIN | (flooding() ? POLLOUT : 0)), 0};
      }
      ::poll(fds, 3, pollTimeoutMs());
      if (fds[2].revents) serveDevice(fds[2].revents);
      if (fds[1].revents) readFileEvents();
      if (Clock::now() >= replyAt_) sendReply();
      if (fds[0].revents || Clock::now() - started_ > kRunLimit) {
        if (!fds[0].revents) ::kill(pid, SIGKILL);
        ::wait4(pid, &status, 0, &usage);
        running = false;
      }
    }
    const auto ended = Clock::now();
    readFileEvents();
    ::close(pidfd);

    Sample sample;
    sample.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    sample.wallMs = msSince(started_, ended);
    sample.cpuMs = usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
                   usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
    sample.rssKb = static_cast<double>(usage.ru_maxrss);
    if (firstByte_) sample.firstByteMs = msSince(started_, *firstByte_);
    if (responseSeen_) sample.responseMs = msSince(started_, *responseSeen_);
    checkResponse(sample);
    if (scenario_ == Scenario::Flood) sample.cutOffMs = cutOffMs(sample.captured);
    return sample;
  }

 private:
  bool flooding() const { return scenario_ == Scenario::Flood && firstByte_ && !hungUp_; }

  int pollTimeoutMs() const {
    if (flooding()) return 50;
    if (replyAt_ == Clock::time_point::max()) return 50;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(replyAt_ - Clock::now());
    return static_cast<int>(std::clamp<long>(left.count(), 0, 50));
  }

  void serveDevice(short revents) {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(device_.master, buffer, sizeof buffer);
      if (n > 0) {
        if (!firstByte_) onFirstByte();
        received_.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EAGAIN) break;
      hungUp_ = firstByte_.has_value();  // EIO: the contender closed the port
      break;
    }
    if ((revents & POLLHUP) && firstByte_) hungUp_ = true;
    if ((revents & POLLOUT) && flooding()) flood();
  }

  void onFirstByte() {
    firstByte_ = Clock::now();
    answerDue_ = *firstByte_ + std::chrono::milliseconds(static_cast<int>(kAnswerAfterMs));
    device_.releaseTerminal();
    if (scenario_ == Scenario::Short) replyAt_ = *firstByte_ + kReplyDelay;
  }

  void flood() {
    for (;;) {
      const char* from = floodChunk_.data() + written_ % 251;
      const auto before = Clock::now();
      const ssize_t n = ::write(device_.master, from, 65536);
      if (n <= 0) {
        if (n < 0 && errno == EIO) hungUp_ = true;
        return;
      }
      writes_.push_back({written_, before});
      written_ += static_cast<std::size_t>(n);
    }
  }

  // Milliseconds from the answer's due time to the start of the write that
  // held the first byte left out of the response (to now when nothing was
  // left out). From 0 on, nothing written before the answer was due is
  // missing.
  double cutOffMs(double captured) const {
    if (writes_.empty()) return NAN;
    const auto position = static_cast<std::size_t>(captured);
    if (position >= written_) return msSince(answerDue_, Clock::now());
    const auto after = std::find_if(writes_.begin(), writes_.end(),
                                    [&](const Write& w) { return w.position > position; });
    return msSince(answerDue_, std::prev(after)->startedAt);
  }

  void sendReply() {
    replyAt_ = Clock::time_point::max();
    [[maybe_unused]] const ssize_t n = ::write(device_.master, kReply.data(), kReply.size());
  }

  void readFileEvents() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
      if (n <= 0) return;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (!responseSeen_ && event->len > 0 && std::strcmp(event->name, "resposta.txt") == 0) {
          responseSeen_ = Clock::now();
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  void checkResponse(Sample& sample) const {
    std::ifstream in(contender_.folder / "RESPOSTA/resposta.txt", std::ios::binary);
    const std::string response(std::istreambuf_iterator<char>(in), {});
    const bool sent = received_ == kOrderText;
    switch (scenario_) {
      case Scenario::Short:
        sample.correct = sent && response == kSuccess + kReply + "\r\n";
        break;
      case Scenario::Silent:
        sample.correct = sent && response == kNoReply + "\r\n";
        break;
      case Scenario::Flood: {
        const bool framed = response.size() >= kSuccess.size() + 2 &&
                            response.compare(0, kSuccess.size(), kSuccess) == 0 &&
                            response.compare(response.size() - 2, 2, "\r\n") == 0;
        if (!framed) break;
        const std::size_t captured = response.size() - kSuccess.size() - 2;
        bool intact = true;
        for (std::size_t i = 0; i < captured && intact; ++i) {
          intact = response[kSuccess.size() + i] == floodByte(i);
        }
        sample.captured = static_cast<double>(captured);
        sample.correct = sent && intact;
        break;
      }
    }
  }

  const Contender& contender_;
  const Scenario scenario_;
  Device device_;
  int inotify_ = -1;
  Clock::time_point started_;
  std::optional<Clock::time_point> firstByte_;
  std::optional<Clock::time_point> responseSeen_;
  Clock::time_point answerDue_ = Clock::time_point::max();
  Clock::time_point replyAt_ = Clock::time_point::max();
  bool hungUp_ = false;
  std::string received_;
  std::vector<char> floodChunk_;
  std::size_t written_ = 0;
  struct Write {
    std::size_t position;
    Clock::time_point startedAt;
  };
  std::vector<Write> writes_;
};

double median(std::vector<double> values) {
  values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }),
               values.end());
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double worst(const std::vector<double>& values) {
  double result = NAN;
  for (double v : values) {
    if (!std::isnan(v) && (std::isnan(result) || std::fabs(v) > std::fabs(result))) result = v;
  }
  return result;
}

// The figures of one contender in one scenario, each a list over the runs.
struct Figures {
  std::vector<double> overhead, cpu, rssMb, firstLate, responseLate, capturedMb, cutOff;
  int runs = 0, correct = 0;

  void add(const Sample& s) {
    ++runs;
    if (s.correct) ++correct;
    overhead.push_back(s.wallMs - kScheduleMs);
    cpu.push_back(s.cpuMs);
    rssMb.push_back(s.rssKb / 1024);
    firstLate.push_back(s.firstByteMs - kOrderDueMs);
    responseLate.push_back(s.responseMs - (s.firstByteMs + kAnswerAfterMs));
    capturedMb.push_back(s.captured / 1e6);
    cutOff.push_back(s.cutOffMs);
  }
};

std::string format(const char* pattern, double value) {
  if (std::isnan(value)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string withWorst(const std::vector<double>& values) {
  return format("%.1f", median(values)) + " (" + format("%.1f", worst(values)) + ")";
}

void printScenario(Scenario scenario, const std::vector<Contender>& contenders,
                   const std::map<std::string, Figures>& figures) {
  std::printf("\n### %s\n\n", scenarioName(scenario));
  std::printf(
      "| program | correct runs | overhead beyond 2.0 s, ms | CPU, ms | peak RSS, MB | first byte "
      "vs due, ms | response vs due, ms |%s\n",
      scenario == Scenario::Flood ? " captured, MB | capture cut off vs due, ms |" : "");
  std::printf("|---|---|---|---|---|---|---|%s\n", scenario == Scenario::Flood ? "---|---|" : "");
  for (const auto& c : contenders) {
    const Figures& f = figures.at(c.name);
    std::printf("| %s | %d/%d | %s | %s | %s | %s | %s |", c.name.c_str(), f.correct, f.runs,
                withWorst(f.overhead).c_str(), format("%.1f", median(f.cpu)).c_str(),
                format("%.2f", median(f.rssMb)).c_str(), withWorst(f.firstLate).c_str(),
                withWorst(f.responseLate).c_str());
    if (scenario == Scenario::Flood) {
      std::printf(" %s | %s |", format("%.1f", median(f.capturedMb)).c_str(),
                  withWorst(f.cutOff).c_str());
    }
    std::printf("\n");
  }
  const Figures& ours = figures.at(contenders.front().name);
  for (std::size_t i = 1; i < contenders.size(); ++i) {
    const Figures& peer = figures.at(contenders[i].name);
    std::printf("\n%s against %s: CPU %s, peak RSS %s", contenders.front().name.c_str(),
                contenders[i].name.c_str(),
                format("%.3f", median(ours.cpu) / median(peer.cpu)).c_str(),
                format("%.2f", median(ours.rssMb) / median(peer.rssMb)).c_str());
  }
  std::printf("\n");
}

[[noreturn]] void usage() {
  std::fputs(
      "usage: bench-driver --ours EXE --python PEER.py --shell PEER.sh [--runs N] "
      "[--scenarios short,silent,flood]\n",
      stderr);
  std::exit(2);
}

std::vector<Scenario> parseScenarios(const std::string& list) {
  std::vector<Scenario> scenarios;
  std::istringstream in(list);
  for (std::string name; std::getline(in, name, ',');) {
    if (name == "short")
      scenarios.push_back(Scenario::Short);
    else if (name == "silent")
      scenarios.push_back(Scenario::Silent);
    else if (name == "flood")
      scenarios.push_back(Scenario::Flood);
    else
      usage();
  }
  return scenarios;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ours, python, shell, scenarioList = "short,silent,flood";
  int runs = 15;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) usage();
    const std::string value = argv[++i];
    if (arg == "--ours")
      ours = value;
    else if (arg == "--python")
      python = value;
    else if (arg == "--shell")
      shell = value;
    else if (arg == "--runs")
      runs = std::max(1, std::atoi(value.c_str()));
    else if (arg == "--scenarios")
      scenarioList = value;
    else
      usage();
  }
  if (ours.empty() || python.empty() || shell.empty()) usage();
  ::signal(SIGPIPE, SIG_IGN);

  const fs::path exe = fs::absolute(ours);
  std::vector<Contender> contenders{
      {"terminal-serial", {(prepareFolder(exe) / exe.filename()).string()}, {}},
      {"Python peer", {"/usr/bin/python3", fs::absolute(python).string(), "{}"}, {}},
      {"shell peer", {"/bin/bash", fs::absolute(shell).string(), "{}"}, {}},
  };
  contenders[0].folder = fs::path(contenders[0].command[0]).parent_path();
  for (std::size_t i = 1; i < contenders.size(); ++i) contenders[i].folder = prepareFolder({});

  std::printf("%d runs of each program per scenario, taking turns\n", runs);
  for (const Scenario scenario : parseScenarios(scenarioList)) {
    std::map<std::string, Figures> figures;
    for (int r = 0; r < runs; ++r) {
      for (const auto& contender : contenders) {
        figures[contender.name].add(Run(contender, scenario).measure());
      }
      std::fprintf(stderr, "\r%s: %d/%d", scenarioName(scenario), r + 1, runs);
    }
    std::fprintf(stderr, "\n");
    printScenario(scenario, contenders, figures);
    std::fflush(stdout);
  }
  for (const auto& contender : contenders) fs::remove_all(contender.folder);
  return 0;
}
