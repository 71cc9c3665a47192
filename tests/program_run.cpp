#include "program_run.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace ts::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string wineDosDevices() {
  const char* prefix = std::getenv("WINEPREFIX");
  const std::string base =
      prefix ? prefix : std::string(std::getenv("HOME") ? std::getenv("HOME") : "/root") + "/.wine";
  return base + "/dosdevices";
}

std::string linkTarget(const std::string& link) {
  std::error_code error;
  return std::filesystem::read_symlink(link, error).string();
}

// Whether process `pid` has left this program for another: before exec it
// holds this process's descriptors and pages.
bool runsAnotherProgram(int pid) {
  static const std::string self = linkTarget("/proc/self/exe");
  return linkTarget("/proc/" + std::to_string(pid) + "/exe") != self;
}

// The descriptors open in process `pid` once it runs another program; -1 before.
int openDescriptors(int pid) {
  if (!runsAnotherProgram(pid)) return -1;
  const std::string proc = "/proc/" + std::to_string(pid);
  DIR* dir = ::opendir((proc + "/fd").c_str());
  if (!dir) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

// The most memory process `pid` has held since its exec (VmHWM), in KB; 0
// before exec or once it has ended. The rusage peak is no use here: at exec
// Linux keeps the forked copy's peak, which is this test process's size.
long residentPeakKb(int pid) {
  if (!runsAnotherProgram(pid)) return 0;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// The bytes of the file at `path`, which is then removed.
std::string takeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  ::unlink(path.c_str());
  return bytes;
}

double milliseconds(const timeval& t) {
  return t.tv_sec * 1000.0 + t.tv_usec / 1000.0;
}

}  // namespace

Target Target::fromEnvironment(const std::string& nativeDefault) {
  Target target{nativeDefault, false, {}};
  if (const char* wine = std::getenv("TS_E2E_WINE"); wine && *wine) target.wine = true;
  if (const char* exe = std::getenv("TS_E2E_EXE"); exe && *exe) target.executable = exe;
  if (const char* wrapper = std::getenv("TS_E2E_WRAPPER"); wrapper && !target.wine) {
    std::istringstream words(wrapper);
    for (std::string word; words >> word;) target.wrapper.push_back(word);
  }
  return target;
}

Installation::Installation(const Target& t, const std::string& config) : target(t) {
  prepareFolder(folder, config);
  const std::string name = target.wine ? "terminal-serial.exe" : "terminal-serial";
  executablePath = folder.str() + "/" + name;
  std::filesystem::copy_file(target.executable, executablePath);
}

Installation::~Installation() {
  for (const auto& link : links_) ::unlink(link.c_str());
}

int Installation::linkPort(const std::string& device) {
  if (!target.wine) {
    // Each folder has its own PORTAS, so COM1 is always free.
    const int port = 1 + static_cast<int>(links_.size());
    const auto link = folder.path() / "PORTAS" / ("COM" + std::to_string(port));
    folder.mkdir("PORTAS");
    std::filesystem::create_symlink(device, link);
    links_.push_back(link.string());
    return port;
  }
  // Windows names a device by one COM number: a device linked already
  // keeps its number, so that two installations contend for one port.
  const std::string dosDevices = wineDosDevices();
  for (const auto& entry : std::filesystem::directory_iterator(dosDevices)) {
    const std::string name = entry.path().filename().string();
    std::error_code error;
    if (name.rfind("com", 0) == 0 && std::filesystem::read_symlink(entry.path(), error) == device) {
      return std::stoi(name.substr(3));
    }
  }
  // Wine's ports are shared by every test of the prefix: take a free one.
  const int first = 10 + static_cast<int>(::getpid() % 50) * 4;
  for (int port = first; port < first + 256; ++port) {
    const std::string link = dosDevices + "/com" + std::to_string(port);
    if (::symlink(device.c_str(), link.c_str()) == 0) {
      links_.push_back(link);
      return port;
    }
  }
  throw std::runtime_error("no free COM number in " + dosDevices);
}

void Installation::writeOrder(int port, const std::string& text, int baud) {
  writeOrder(std::to_string(port) + "\r\n" + std::to_string(baud) + "\r\n8\r\n1\r\nN\r\n" + text);
}

std::optional<std::string> Installation::response() const {
  if (!folder.exists("RESPOSTA/resposta.txt")) return std::nullopt;
  return folder.read("RESPOSTA/resposta.txt");
}

int Installation::start(const std::map<std::string, std::string>& environment) const {
  return spawn(environment, executablePath, {}, "");
}

int Installation::spawn(const std::map<std::string, std::string>& environment,
                        const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& outputPath) const {
  const std::string errorsPath = folder.str() + ".stderr";
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Not the working folder: the program must find its files by itself.
    // A session of its own without a terminal, as a service starts it.
    if (::chdir("/") != 0 || ::setsid() < 0) ::_exit(127);
    for (const auto& [name, value] : environment) {
      value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
    }
    if (!std::freopen(errorsPath.c_str(), "w", stderr)) ::_exit(127);
    if (!outputPath.empty() && !std::freopen(outputPath.c_str(), "w", stdout)) ::_exit(127);
    for (const auto& [resource, bytes] :
         {std::pair{RLIMIT_AS, addressSpaceLimit_}, std::pair{RLIMIT_FSIZE, fileSizeLimit}}) {
      const rlimit limit{bytes, bytes};
      if (bytes > 0 && ::setrlimit(resource, &limit) != 0) ::_exit(127);
    }
    if (uid_ >= 0 && !becomeUser(static_cast<uid_t>(uid_), static_cast<gid_t>(gid_))) ::_exit(127);
    std::vector<std::string> words = target.wrapper;
    if (target.wine) words = {"wine"};
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

RunResult Installation::check(const std::vector<std::string>& arguments) {
  const std::string name = target.wine ? "terminal-serial-check.exe" : "terminal-serial-check";
  const std::string program = folder.str() + "/" + name;
  if (!std::filesystem::exists(program)) {
    const auto built = std::filesystem::path(target.executable).parent_path() / name;
    std::filesystem::copy_file(built, program);
  }
  std::map<std::string, std::string> environment;
  if (!target.wine) environment = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
  const std::string outputPath = folder.str() + ".stdout";
  return collect(wait(spawn(environment, program, arguments, outputPath), std::chrono::seconds(30)),
                 outputPath);
}

std::string Installation::folderArgument() const {
  if (!target.wine) return folder.str();
  std::string windows = "Z:" + folder.str();
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

RunResult Installation::collect(RunResult result, const std::string& outputPath) const {
  result.errors = takeFile(folder.str() + ".stderr");
  if (!outputPath.empty()) result.output = takeFile(outputPath);
  return result;
}

bool becomeUser(uid_t uid, gid_t gid) {
  return ::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0;
}

Target testTarget() {
  return Target::fromEnvironment(TS_EXECUTABLE);
}

bool Installation::runAsNobody() {
  if (::geteuid() != 0 || target.wine) return false;
  const passwd* nobody = ::getpwnam("nobody");
  if (!nobody) return false;
  uid_ = static_cast<int>(nobody->pw_uid);
  gid_ = static_cast<int>(nobody->pw_gid);
  using std::filesystem::perms;
  std::filesystem::permissions(folder.path(),
                               perms::all & ~(perms::group_write | perms::others_write));
  if (folder.exists("RESPOSTA"))
    std::filesystem::permissions(folder.path() / "RESPOSTA", perms::all);
  return true;
}

bool Installation::limitAddressSpace(std::size_t bytes) {
#if defined(__SANITIZE_ADDRESS__)
  return false;  // the program is built as this test is
#endif
  if (target.slow()) return false;
  addressSpaceLimit_ = bytes;
  return true;
}

RunResult Installation::wait(int pid, std::chrono::milliseconds limit) {
  RunResult result;
  const auto started = Clock::now();
  int status = 0;
  rusage usage{};
  for (;;) {
    result.maxOpenFds = std::max(result.maxOpenFds, openDescriptors(pid));
    result.peakRssKb = std::max(result.peakRssKb, residentPeakKb(pid));
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) {
      result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (Clock::now() - started > limit) {
      ::kill(pid, SIGKILL);
      ::wait4(pid, &status, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  result.cpuMs = milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
  result.elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  return result;
}

double Installation::cpuMsSoFar(int pid) {
  clockid_t clock{};
  timespec used{};
  if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &used) != 0) return 0;
  return used.tv_sec * 1000.0 + used.tv_nsec / 1e6;
}

RunResult Installation::run(std::chrono::milliseconds limit,
                            std::map<std::string, std::string> environment) const {
  if (!target.wine) {
    // Headless unless a test asks for a display.
    environment.try_emplace("DISPLAY", "");
    environment.try_emplace("WAYLAND_DISPLAY", "");
  }
  return collect(wait(start(environment), limit), "");
}

::testing::AssertionResult holds(const std::string& text, std::string_view part, std::size_t from) {
  if (text.find(part, from) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

}  // namespace ts::testing
