#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace ts::testing {

// A device on a pseudo-terminal, played by a thread: it records what it
// receives and answers according to its script.
class PtyDevice {
 public:
  struct Script {
    std::string reply;                    // sent once the first byte arrives
    std::chrono::milliseconds delay{50};  // ... after this long
    std::string secondReply;              // sent `secondDelay` after the first
    std::chrono::milliseconds secondDelay{0};
    bool echo = false;  // echo every byte received
    // Close the device this long after replying (unplugged); negative: never.
    std::chrono::milliseconds hangUpAfter{-1};
    std::size_t floodBytes = 0;  // write this many bytes as fast as possible
    // Read nothing for this long after being created (a device that has
    // stopped taking data): what the program sends stays queued.
    std::chrono::milliseconds deafFor{0};
    // Stop reading for good once this many bytes have arrived.
    std::size_t deafAfter = SIZE_MAX;
  };

  PtyDevice();
  explicit PtyDevice(Script script);
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  // The terminal side, to be linked where the program looks for a port.
  const std::string& terminalPath() const { return terminalPath_; }
  // Closes the device as if it were unplugged.
  void hangUp();

  std::string received() const;
  // Milliseconds since the device was created when the first byte arrived;
  // -1 if none did.
  long firstByteAtMs() const { return firstByteAt_; }
  // Milliseconds since the device was created, to set against the above.
  long msSinceCreated() const;
  std::size_t floodWritten() const { return floodWritten_; }

 private:
  void play();
  void writeAll(const char* data, std::size_t size);

  Script script_;
  int master_ = -1;
  int terminal_ = -1;
  std::string terminalPath_;
  std::chrono::steady_clock::time_point created_;
  mutable std::mutex mutex_;
  std::string received_;
  std::atomic<long> firstByteAt_{-1};
  std::atomic<std::size_t> floodWritten_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> hungUp_{false};
  std::thread player_;
};

}  // namespace ts::testing
