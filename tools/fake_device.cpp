// A simulated serial device, for the demonstration, the benchmarks and the
// stage that runs the program on a real kernel under an emulator.
//
// On a pseudo-terminal it links the terminal's path where the program
// looks for a port, logs what it receives and answers after a delay:
//
//   fake-device --link PORTAS/COM1 [--reply TEXT] [--delay MS] [--flood]
//               [--log FILE] [--seconds N]
//
// On an emulator's serial line (a unix socket the emulator listens on) it
// plays a device whose commands end in "!": it answers each with "ACK:"
// and the command, and two commands change the line itself. STALL... stops
// reading, so that the emulated line stops moving with text still queued;
// UNPLUG answers "PART" and 0.3 s later has the emulator's monitor remove
// the device (its id after --unplug), mid-run:
//
//   fake-device --socket PATH [--monitor PATH --unplug ID] [--delay MS]
//               [--log FILE] [--arrivals FILE] [--seconds N]
//
// --arrivals writes, per command, the host's clock when its first byte came.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pseudo_terminal.h"

namespace {

struct Options {
  std::string link;
  std::string socket;
  std::string monitor;
  std::string unplug;
  std::string arrivals;
  std::string reply = "OK";
  int delayMs = 100;
  bool flood = false;
  std::string log;
  int seconds = 10;
};

[[noreturn]] void usage() {
  std::fputs(
      "usage: fake-device --link PATH [--reply TEXT] [--delay MS] [--flood] [--log FILE] "
      "[--seconds N]\n"
      "       fake-device --socket PATH [--monitor PATH --unplug ID] [--delay MS] [--log FILE] "
      "[--arrivals FILE] [--seconds N]\n",
      stderr);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (arg == "--link")
      options.link = value();
    else if (arg == "--socket")
      options.socket = value();
    else if (arg == "--monitor")
      options.monitor = value();
    else if (arg == "--unplug")
      options.unplug = value();
    else if (arg == "--arrivals")
      options.arrivals = value();
    else if (arg == "--reply")
      options.reply = value();
    else if (arg == "--delay")
      options.delayMs = std::atoi(value().c_str());
    else if (arg == "--flood")
      options.flood = true;
    else if (arg == "--log")
      options.log = value();
    else if (arg == "--seconds")
      options.seconds = std::atoi(value().c_str());
    else
      usage();
  }
  if (options.link.empty() == options.socket.empty()) usage();
  if (options.unplug.empty() != options.monitor.empty()) usage();
  return options;
}

using Clock = std::chrono::steady_clock;

void saveLog(const std::string& path, const std::string& received) {
  if (path.empty()) return;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(received.data(), 1, received.size(), f);
    std::fclose(f);
  }
}

// The emulator creates its socket as it starts: keep trying until then.
int connectTo(const std::string& path, Clock::time_point end) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  while (Clock::now() < end) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void unplug(const Options& options, Clock::time_point end) {
  const int monitor = connectTo(options.monitor, end);
  if (monitor < 0 || !writeAll(monitor, "device_del " + options.unplug + "\n")) {
    std::fprintf(stderr, "fake-device: cannot reach the monitor\n");
  }
  // Closing at once could drop the command before the monitor has read it.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (monitor >= 0) ::close(monitor);
}

// Answers one command of the scripted device.
void answer(const Options& options, int line, const std::string& command, Clock::time_point end) {
  std::this_thread::sleep_for(std::chrono::milliseconds(options.delayMs));
  const bool unplugging = command == "UNPLUG" && !options.unplug.empty();
  writeAll(line, unplugging ? std::string("PART") : "ACK:" + command);
  if (unplugging) {
    // Mid-run, once the reply has had time to reach the program.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    unplug(options, end);
  }
}

// "SECONDS COMMAND" on the host's clock, the one QEMU's trace uses too.
std::string arrival(std::chrono::system_clock::time_point when, const std::string& command) {
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%lld.%06lld ", static_cast<long long>(us / 1000000),
                static_cast<long long>(us % 1000000));
  return seconds + command + "\n";
}

// Plays the scripted device on an emulator's serial line until the
// emulator goes away or the time is up.
int runOnSocket(const Options& options) {
  const auto end = Clock::now() + std::chrono::seconds(options.seconds);
  const int line = connectTo(options.socket, end);
  if (line < 0) {
    std::perror("fake-device: socket");
    return 1;
  }
  std::string received;
  std::string arrivals;
  std::string command;
  std::chrono::system_clock::time_point commandStarted;
  bool stalled = false;
  char buffer[4096];
  while (Clock::now() < end) {
    pollfd p{line, static_cast<short>(stalled ? 0 : POLLIN), 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    if (p.revents & (POLLHUP | POLLERR)) break;
    const ssize_t n = ::read(line, buffer, sizeof buffer);
    if (n <= 0) break;
    const auto now = std::chrono::system_clock::now();
    received.append(buffer, static_cast<std::size_t>(n));
    for (ssize_t i = 0; i < n && !stalled; ++i) {
      if (command.empty()) commandStarted = now;
      if (buffer[i] != '!') {
        command += buffer[i];
        stalled = command.rfind("STALL", 0) == 0;
        continue;
      }
      arrivals += arrival(commandStarted, command);
      answer(options, line, command, end);
      command.clear();
    }
  }
  saveLog(options.log, received);
  saveLog(options.arrivals, arrivals);
  ::close(line);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (!options.socket.empty()) return runOnSocket(options);
  ts::tools::PseudoTerminal pty;
  if (!ts::tools::openPseudoTerminal(pty)) {
    std::perror("fake-device: pseudo-terminal");
    return 1;
  }
  const int master = pty.master;
  ::unlink(options.link.c_str());
  if (::symlink(pty.path.c_str(), options.link.c_str()) != 0) {
    std::perror("fake-device: link");
    return 1;
  }
  std::printf("%s\n", pty.path.c_str());
  std::fflush(stdout);

  const auto end = Clock::now() + std::chrono::seconds(options.seconds);
  std::string received;
  Clock::time_point replyAt = Clock::time_point::max();
  std::vector<char> floodChunk(4096, 'F');
  char buffer[4096];
  while (Clock::now() < end) {
    pollfd p{master,
             static_cast<short>(POLLIN | (options.flood && !received.empty() ? POLLOUT : 0)), 0};
    ::poll(&p, 1, 5);
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n > 0) {
      if (received.empty()) replyAt = Clock::now() + std::chrono::milliseconds(options.delayMs);
      received.append(buffer, static_cast<std::size_t>(n));
    }
    if (options.flood && !received.empty()) {
      [[maybe_unused]] ssize_t w = ::write(master, floodChunk.data(), floodChunk.size());
    } else if (Clock::now() >= replyAt) {
      [[maybe_unused]] ssize_t w = ::write(master, options.reply.data(), options.reply.size());
      replyAt = Clock::time_point::max();
    }
  }
  saveLog(options.log, received);
  ::unlink(options.link.c_str());
  ::close(pty.terminal);
  ::close(master);
  return 0;
}
