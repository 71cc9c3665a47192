// A simulated serial device on a pseudo-terminal, for the demonstration and
// the benchmarks: it links the terminal's path where the program looks for
// a port, logs what it receives and answers after a delay.
//
//   fake-device --link PORTAS/COM1 [--reply TEXT] [--delay MS] [--flood]
//               [--log FILE] [--seconds N]
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pseudo_terminal.h"

namespace {

struct Options {
  std::string link;
  std::string reply = "OK";
  int delayMs = 100;
  bool flood = false;
  std::string log;
  int seconds = 10;
};

[[noreturn]] void usage() {
  std::fputs(
      "usage: fake-device --link PATH [--reply TEXT] [--delay MS] [--flood] [--log FILE] "
      "[--seconds N]\n",
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
  if (options.link.empty()) usage();
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
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

  using Clock = std::chrono::steady_clock;
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
  if (!options.log.empty()) {
    if (FILE* f = std::fopen(options.log.c_str(), "wb")) {
      std::fwrite(received.data(), 1, received.size(), f);
      std::fclose(f);
    }
  }
  ::unlink(options.link.c_str());
  ::close(pty.terminal);
  ::close(master);
  return 0;
}
