#include "loop/termination_posix.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace ts::termination {
namespace {

// Lock-free atomics: the handler may read them whenever it interrupts.
std::atomic<const char*> temporaryFile{nullptr};
std::atomic<int> port{-1};
std::atomic<Release> portRelease{nullptr};

static_assert(std::atomic<const char*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<Release>::is_always_lock_free);

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void endAtOnce(int signal) {
  if (const char* file = temporaryFile.load()) ::unlink(file);
  const int fd = port.load();
  const Release release = portRelease.load();
  if (fd >= 0 && release) release(fd);
  ::_exit(128 + signal);
}

}  // namespace

void install() {
  struct sigaction action {};
  action.sa_handler = endAtOnce;
  // One ending at a time: a second signal waits for the first to finish.
  sigemptyset(&action.sa_mask);
  for (const int signal : kSignals) sigaddset(&action.sa_mask, signal);
  for (const int signal : kSignals) ::sigaction(signal, &action, nullptr);
}

void setTemporaryFile(const char* path) {
  temporaryFile.store(path);
}

void setPort(int fd, Release release) {
  // The function first: the handler never pairs a new descriptor with no
  // way to release it.
  portRelease.store(release);
  port.store(fd);
}

}  // namespace ts::termination
