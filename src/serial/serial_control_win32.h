#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "loop/event_loop_win32.h"
#include "serial/serial_control_base.h"

namespace ts {

// The DCB's codes for the order's parity and stop bits.
BYTE parityOf(Parity parity);
BYTE stopBitsOf(StopBits stopBits);

// The serial control over the Win32 communications API: COM N is
// \\.\COM<N>, opened for overlapped I/O so that nothing blocks the window's
// thread. Input arrives through a one-byte read that is always pending and
// completes as soon as a byte has arrived, after which everything queued
// behind it is read; the loop waits on its event handle beside the message
// queue. So the port's state lives on the one thread, needs no lock, and
// its events are handled in order with the window's (no worker thread to
// start, stop and synchronise with); nothing here ever waits without a
// bound on that thread. A pending read is used rather
// than WaitCommEvent because it both signals and carries the input, and
// needs no modem-status support, without which some drivers (virtual ports,
// Wine's pseudo-terminal ports) end every event wait at once. Output is an
// overlapped write whose buffer lives until the write completes; its
// completion is the transmit-empty event.
class Win32SerialControl : public SerialControlBase {
 public:
  explicit Win32SerialControl(Win32EventLoop& loop);
  ~Win32SerialControl() override;
  Win32SerialControl(const Win32SerialControl&) = delete;
  Win32SerialControl& operator=(const Win32SerialControl&) = delete;

  void setPortOpen(bool open) override;
  bool portOpen() const override { return port_ != INVALID_HANDLE_VALUE; }
  void setOutput(const std::string& text) override;

 private:
  // One overlapped operation: its OVERLAPPED, event and buffer must outlive
  // the operation, so each outstanding operation owns one of these.
  struct Operation;
  enum class QueuedRead { Emptied, Pending, Failed };

  void open();
  // Opens the device, trying again briefly while it is still being closed.
  static HANDLE openDevice(const std::wstring& name);
  // Reads and drops input that a driver unable to purge still holds.
  void discardWaitingInput();
  // With `drain`, output still queued first gets the time the line needs
  // to carry it; then whatever is left is dropped.
  void close(bool drain);
  bool configure() const;
  bool takeExclusiveUse();
  void startRead();
  void watchRead();
  void onReadDone();
  // Reads what the driver holds without waiting; a read the driver does
  // not complete at once is left pending and watched like the one-byte one.
  QueuedRead readQueued();
  // Arms the next read after a completion, at once when it brought data.
  void carryOnReading(bool failed, bool gotData);
  void readTroubled(bool failed);
  void startWrite();
  void onWriteDone();
  // Takes a completed write's result and starts the next one when text
  // waits; true once all queued text has been handed to the driver.
  bool finishWrite();
  // After a failed write: the device is gone, and the rest of the text with it.
  void dropQueuedOutput();
  // Gives text still being sent the time the line needs to carry it,
  // keeping the window's events flowing meanwhile.
  void drainOutput();
  void cancel(std::unique_ptr<Operation>& operation);

  Win32EventLoop& loop_;

  HANDLE port_ = INVALID_HANDLE_VALUE;
  HANDLE portLock_ = nullptr;
  std::unique_ptr<Operation> read_;
  std::unique_ptr<Operation> write_;
  // Failed reads since the last one that brought data; past a bound the
  // device is taken as gone and reading ends for the run.
  int readErrorsInRow_ = 0;
  // Failed or empty completions since the last one that brought data.
  int troubledReadsInRow_ = 0;
  EventLoop::TimerId rearmTimer_ = 0;
  std::string queuedOutput_;
  bool reportTransmitEmpty_ = false;
  // When the line will have carried all text queued so far (GetTickCount64).
  ULONGLONG outputDoneBy_ = 0;
};

}  // namespace ts
