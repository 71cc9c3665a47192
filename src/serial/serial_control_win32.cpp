#include "serial/serial_control_win32.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace ts {
namespace {

// Driver queue sizes asked for at opening; a driver may keep its own.
constexpr DWORD kQueueBytes = 65536;
// Bytes one read takes at most.
constexpr DWORD kReadChunk = 65536;
// Gap after which a read that has begun to receive returns; a safety net
// only, since every read asks for bytes already there, or for one byte.
constexpr DWORD kReadIntervalMs = 50;
// One completion takes what is queued; the bound only keeps an endless
// flood from holding the loop, and what is left completes the next read.
constexpr int kMaxReadsPerCompletion = 256;
// A read that fails (a framing error or a break on a noisy line) is armed
// again, this many times in a row at most: beyond that the device is gone.
constexpr int kMaxReadErrorsInRow = 10;
// After a second failed or empty completion in a row the next read waits
// this long, so a driver that ends every read at once cannot make the
// loop spin.
constexpr std::chrono::milliseconds kRearmPause{20};
// What the line needs beyond its own time to carry queued text: the
// driver's and the adapter's latency.
constexpr ULONGLONG kDrainMarginMs = 200;
constexpr DWORD kDrainPollMs = 10;
// Bytes one write hands to the driver at most: some USB drivers fail a
// write of a whole large text.
constexpr std::size_t kWriteChunk = 16384;
// A port whose driver is still closing it after the previous run refuses
// to open for a moment with "access denied", as a port another program
// holds does for good: opening is tried again for this long, well inside
// the order phase's time.
constexpr ULONGLONG kOpenRetryMs = 400;
constexpr DWORD kOpenRetryPauseMs = 25;
// How long discarding old input waits for a read the driver does not
// complete at once.
constexpr DWORD kDiscardWaitMs = 50;
// How long closing waits for a cancelled operation to let go of its buffer.
constexpr DWORD kCancelWaitMs = 250;
// Flow control is off, but SetCommState still checks these, and a driver
// may report unusable ones (the same character for XON and XOFF): the
// usual characters, and limits well inside any driver's queue.
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
constexpr WORD kFlowLimit = 512;

}  // namespace

BYTE parityOf(Parity parity) {
  switch (parity) {
    case Parity::Odd:
      return ODDPARITY;
    case Parity::Even:
      return EVENPARITY;
    case Parity::Mark:
      return MARKPARITY;
    case Parity::Space:
      return SPACEPARITY;
    case Parity::None:
      break;
  }
  return NOPARITY;
}

BYTE stopBitsOf(StopBits stopBits) {
  switch (stopBits) {
    case StopBits::OneHalf:
      return ONE5STOPBITS;
    case StopBits::Two:
      return TWOSTOPBITS;
    case StopBits::One:
      break;
  }
  return ONESTOPBIT;
}

struct Win32SerialControl::Operation {
  Operation() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Operation() {
    if (event) CloseHandle(event);
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // A fresh OVERLAPPED for the next operation, its event reset.
  OVERLAPPED* restart() {
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
    ResetEvent(event);
    return &overlapped;
  }
  // After a call that completed at once: the loop learns of it as of any
  // other completion.
  void completedAtOnce() { SetEvent(event); }

  HANDLE event;
  OVERLAPPED overlapped{};
  std::string buffer;
  bool pending = false;
};

Win32SerialControl::Win32SerialControl(Win32EventLoop& loop) : loop_(loop) {}

Win32SerialControl::~Win32SerialControl() {
  // The run is ending early (the window was closed): nothing waits.
  close(false);
}

void Win32SerialControl::setPortOpen(bool open) {
  if (open) {
    if (portOpen()) throw SerialError("port already open");
    this->open();
  } else {
    close(true);
  }
}

void Win32SerialControl::open() {
  if (!takeExclusiveUse()) throw SerialError("the port is in use");
  port_ = openDevice(L"\\\\.\\COM" + std::to_wstring(commPort_));
  if (port_ == INVALID_HANDLE_VALUE) {
    close(false);
    throw SerialError("cannot open the port");
  }
  read_ = std::make_unique<Operation>();
  write_ = std::make_unique<Operation>();
  if (!read_->event || !write_->event || !configure()) {
    close(false);
    throw SerialError("the port refuses the settings");
  }
  // A reply left over from before this run is not this run's answer.
  if (!PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR)) discardWaitingInput();
  readErrorsInRow_ = 0;
  troubledReadsInRow_ = 0;
  outputDoneBy_ = 0;
  received_.clear();
  startRead();
}

HANDLE Win32SerialControl::openDevice(const std::wstring& name) {
  const ULONGLONG deadline = GetTickCount64() + kOpenRetryMs;
  for (;;) {
    // No sharing: a port another process holds is busy.
    const HANDLE port = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) return port;
    if (GetTickCount64() >= deadline) return port;
    Sleep(kOpenRetryPauseMs);
  }
}

void Win32SerialControl::discardWaitingInput() {
  // A driver that cannot purge: what waits is read and dropped instead,
  // each read taking what the driver says it holds. A read that does not
  // complete within a moment is cancelled; the rest of the run goes on.
  auto discard = std::make_unique<Operation>();
  for (int round = 0; discard->event && round < kMaxReadsPerCompletion; ++round) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_, &errors, &status) || status.cbInQue == 0) break;
    discard->buffer.resize(std::min(status.cbInQue, kReadChunk));
    const auto size = static_cast<DWORD>(discard->buffer.size());
    if (!ReadFile(port_, discard->buffer.data(), size, nullptr, discard->restart())) {
      if (GetLastError() != ERROR_IO_PENDING) break;
      discard->pending = true;
      if (WaitForSingleObject(discard->event, kDiscardWaitMs) != WAIT_OBJECT_0) break;
      discard->pending = false;
    }
    DWORD got = 0;
    if (!GetOverlappedResult(port_, &discard->overlapped, &got, FALSE) || got == 0) break;
  }
  cancel(discard);
}

bool Win32SerialControl::takeExclusiveUse() {
  // Windows' own drivers refuse a second opener; this lock also keeps two
  // runs of this program apart on a driver that does not (Wine's ports).
  const std::wstring name = L"Local\\terminal-serial-COM" + std::to_wstring(commPort_);
  portLock_ = CreateMutexW(nullptr, FALSE, name.c_str());
  if (!portLock_) return false;
  const DWORD taken = WaitForSingleObject(portLock_, 0);
  if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) return true;
  CloseHandle(portLock_);
  portLock_ = nullptr;
  return false;
}

bool Win32SerialControl::configure() const {
  SetupComm(port_, kQueueBytes, kQueueBytes);  // a recommendation only
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port_, &dcb)) return false;
  dcb.BaudRate = settings_.baud;
  dcb.ByteSize = static_cast<BYTE>(settings_.dataBits);
  dcb.Parity = parityOf(settings_.parity);
  dcb.StopBits = stopBitsOf(settings_.stopBits);
  dcb.fBinary = TRUE;
  dcb.fParity = settings_.parity != Parity::None;
  // No flow control of any kind: XON/XOFF (0x11, 0x13) and NUL bytes pass
  // as data both ways. DTR and RTS stay off for the whole run, as the
  // devices in the field were set up for: an RS-485 converter switching
  // direction on RTS would never hear the reply, and a board that resets
  // on DTR would miss the order.
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.XonChar = kXon;
  dcb.XoffChar = kXoff;
  dcb.XonLim = kFlowLimit;
  dcb.XoffLim = kFlowLimit;
  dcb.wReserved = 0;
  // A line error must not stop all further reads and writes.
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(port_, &dcb)) return false;

  // A read waits for its first byte without limit and then returns once
  // the bytes stop coming or its buffer is full; every read here asks for
  // bytes already queued, or for one byte, so none waits for more. (The
  // "return at once" setting would make the pending read complete empty
  // again and again.) Writes take as long as the line needs, in the
  // background. A driver that refuses these still gives a working port:
  // reads that end early, empty, are armed again after a pause.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = kReadIntervalMs;
  SetCommTimeouts(port_, &timeouts);
  return true;
}

void Win32SerialControl::close(bool drain) {
  if (rearmTimer_ != 0) {
    loop_.cancelTimer(rearmTimer_);
    rearmTimer_ = 0;
  }
  if (portOpen()) {
    if (drain && write_) drainOutput();
    // What the line could not carry in its time is dropped, and the pending
    // read ends, so that closing the handle waits for nothing.
    PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
    cancel(read_);
    cancel(write_);
    CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
  }
  if (portLock_) {
    ReleaseMutex(portLock_);
    CloseHandle(portLock_);
    portLock_ = nullptr;
  }
  queuedOutput_.clear();
  reportTransmitEmpty_ = false;
}

void Win32SerialControl::drainOutput() {
  // The wait goes through the loop, so the window stays alive and can be
  // closed meanwhile; the loop also completes the writes. A USB driver
  // completes a write, and reports its queue empty, as soon as the bytes
  // are in its own buffer: nothing is dropped before the line has had the
  // time it needs.
  const ULONGLONG until = outputDoneBy_ + kDrainMarginMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= until) return;
    if (now >= outputDoneBy_ && !write_->pending && queuedOutput_.empty()) {
      DWORD errors = 0;
      COMSTAT status{};
      if (!ClearCommError(port_, &errors, &status) || status.cbOutQue == 0) return;
    }
    const auto pause = static_cast<DWORD>(std::min<ULONGLONG>(until - now, kDrainPollMs));
    if (!loop_.waitAwhile(pause) || !portOpen()) return;
  }
}

void Win32SerialControl::cancel(std::unique_ptr<Operation>& operation) {
  if (!operation) return;
  loop_.unwatch(operation->event);
  if (operation->pending) {
    CancelIo(port_);
    if (WaitForSingleObject(operation->event, kCancelWaitMs) != WAIT_OBJECT_0) {
      // The driver still owns the OVERLAPPED and the buffer: leave them to it.
      static_cast<void>(operation.release());
      return;
    }
  }
  operation.reset();
}

void Win32SerialControl::startRead() {
  // One byte: the read completes as soon as input arrives, and no received
  // byte is ever held in a pending read where a phase could not see it.
  Operation& read = *read_;
  read.buffer.resize(1);
  if (ReadFile(port_, read.buffer.data(), 1, nullptr, read.restart())) {
    read.completedAtOnce();
  } else if (GetLastError() != ERROR_IO_PENDING) {
    readTroubled(true);
    return;
  }
  watchRead();
}

void Win32SerialControl::watchRead() {
  read_->pending = true;
  loop_.watch(read_->event, [this] { onReadDone(); });
}

void Win32SerialControl::onReadDone() {
  Operation& read = *read_;
  DWORD got = 0;
  // A read that timed out has lost nothing and is simply made again. Wine
  // times out a read that has not begun to receive once a long write has
  // been pending, although the gap timeout only counts between bytes.
  const bool done = GetOverlappedResult(port_, &read.overlapped, &got, FALSE) != 0 ||
                    GetLastError() == ERROR_TIMEOUT;
  read.pending = false;
  loop_.unwatch(read.event);
  const std::size_t before = received_.size();
  received_.append(read.buffer.data(), got);
  // Take what arrived behind the first byte as well, so that a tick due now
  // sees all of it.
  const QueuedRead queued = done ? readQueued() : QueuedRead::Failed;
  const bool gotData = received_.size() > before;
  if (gotData) {
    readErrorsInRow_ = 0;
    troubledReadsInRow_ = 0;
  }
  if (queued != QueuedRead::Pending) carryOnReading(queued == QueuedRead::Failed, gotData);
  if (gotData || queued == QueuedRead::Failed) raiseComm();
}

Win32SerialControl::QueuedRead Win32SerialControl::readQueued() {
  Operation& read = *read_;
  for (int round = 0; round < kMaxReadsPerCompletion; ++round) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port_, &errors, &status)) return QueuedRead::Failed;
    if (status.cbInQue == 0) return QueuedRead::Emptied;
    const DWORD count = std::min(status.cbInQue, kReadChunk);
    read.buffer.resize(count);
    if (!ReadFile(port_, read.buffer.data(), count, nullptr, read.restart())) {
      if (GetLastError() != ERROR_IO_PENDING) return QueuedRead::Failed;
      // The bytes said to be waiting are not there yet (a driver that
      // over-reports its queue, or one that stopped completing reads after
      // an unplug): the read completes when they come, or never, without
      // holding the thread.
      watchRead();
      return QueuedRead::Pending;
    }
    DWORD got = 0;
    GetOverlappedResult(port_, &read.overlapped, &got, FALSE);
    received_.append(read.buffer.data(), got);
    if (got == 0) return QueuedRead::Emptied;
  }
  return QueuedRead::Emptied;
}

void Win32SerialControl::carryOnReading(bool failed, bool gotData) {
  if (gotData && !failed) {
    startRead();
    return;
  }
  readTroubled(failed);
}

void Win32SerialControl::readTroubled(bool failed) {
  if (failed) {
    // A line error (framing, parity, overrun, break) stops reads until it
    // is cleared; a device that keeps failing is gone, and reading ends.
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(port_, &errors, &status);
    if (++readErrorsInRow_ > kMaxReadErrorsInRow) return;
  }
  if (troubledReadsInRow_++ == 0) {
    startRead();
    return;
  }
  rearmTimer_ = loop_.startTimer(kRearmPause, [this] {
    rearmTimer_ = 0;
    startRead();
  });
}

void Win32SerialControl::setOutput(const std::string& text) {
  if (!portOpen()) throw SerialError("port not open");
  if (text.empty()) return;
  queuedOutput_ += text;
  // The line carries text one character after another: this text is out by
  // the time the text before it is, plus its own line time.
  const auto carried =
      std::chrono::ceil<std::chrono::milliseconds>(lineTime(settings_, text.size()));
  outputDoneBy_ =
      std::max(outputDoneBy_, GetTickCount64()) + static_cast<ULONGLONG>(carried.count());
  if (sThreshold_ > 0) reportTransmitEmpty_ = true;
  if (!write_->pending) startWrite();
}

void Win32SerialControl::startWrite() {
  Operation& write = *write_;
  const std::size_t size = std::min(queuedOutput_.size(), kWriteChunk);
  write.buffer.assign(queuedOutput_, 0, size);
  queuedOutput_.erase(0, size);
  if (WriteFile(port_, write.buffer.data(), static_cast<DWORD>(size), nullptr, write.restart())) {
    write.completedAtOnce();
  } else if (GetLastError() != ERROR_IO_PENDING) {
    // The device is gone; what was queued cannot be delivered.
    write.buffer.clear();
    dropQueuedOutput();
    return;
  }
  write.pending = true;
  loop_.watch(write.event, [this] { onWriteDone(); });
}

void Win32SerialControl::dropQueuedOutput() {
  // Nothing more goes out, so closing has nothing to wait for.
  queuedOutput_.clear();
  outputDoneBy_ = std::min(outputDoneBy_, GetTickCount64());
}

bool Win32SerialControl::finishWrite() {
  Operation& write = *write_;
  DWORD written = 0;
  const bool done = GetOverlappedResult(port_, &write.overlapped, &written, FALSE) != 0;
  write.pending = false;
  loop_.unwatch(write.event);
  if (!done || written == 0) {
    dropQueuedOutput();
  } else if (written < write.buffer.size()) {
    // A driver that ends a write early: the rest goes first next time.
    queuedOutput_.insert(0, write.buffer, written);
  }
  write.buffer.clear();
  if (queuedOutput_.empty()) return true;
  startWrite();
  return false;
}

void Win32SerialControl::onWriteDone() {
  if (!finishWrite()) return;
  // The transmit-empty event is reported here, once the last write has
  // completed, rather than left to EV_TXEMPTY, which some drivers do not
  // raise for a buffer that was already empty.
  if (reportTransmitEmpty_) {
    reportTransmitEmpty_ = false;
    raiseComm();
  }
}

}  // namespace ts
