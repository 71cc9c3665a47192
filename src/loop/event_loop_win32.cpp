#include "loop/event_loop_win32.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

namespace ts {
namespace {

// A pass handles what is queued now; the bound keeps a stream of new
// messages from holding up the handler that yielded.
constexpr int kMessagesPerPass = 256;
// Touch and pen input queue under flags of their own from Windows 8 on,
// which QS_ALLINPUT as Windows 7 defines it leaves out: a tap on a
// touch-only till would not wake the loop. Windows 7 refuses the flags,
// and the loop then falls back to QS_ALLINPUT.
constexpr DWORD kQsTouch = 0x0800;
constexpr DWORD kQsPointer = 0x1000;
// After a failed wait the loop pauses this long, so that it never spins.
constexpr DWORD kFailedWaitPauseMs = 10;
// Failed waits in a row after which the handles are no longer waited on:
// the loop goes on with messages and timers alone.
constexpr int kFailedWaitsBeforeMessagesOnly = 3;

// The thread's loop, for the timers' callback.
Win32EventLoop* threadLoop = nullptr;

UINT timerInterval(std::chrono::milliseconds delay) {
  const auto ms = std::clamp<long long>(delay.count(), USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
  return static_cast<UINT>(ms);
}

}  // namespace

Win32EventLoop::Win32EventLoop() : wakeMask_(QS_ALLINPUT | kQsTouch | kQsPointer) {
  threadLoop = this;
}

Win32EventLoop::~Win32EventLoop() {
  for (const auto& [id, timer] : timers_) {
    if (timer.systemId != 0) KillTimer(nullptr, timer.systemId);
  }
  if (threadLoop == this) threadLoop = nullptr;
}

void CALLBACK Win32EventLoop::timerProc(HWND, UINT, UINT_PTR systemId, DWORD) {
  Win32EventLoop* loop = threadLoop;
  if (!loop || loop->bySystemId_.count(systemId) == 0) {
    KillTimer(nullptr, systemId);
    return;
  }
  const TimerId id = loop->bySystemId_.at(systemId);
  // An exception must not unwind through the system's frames between
  // DispatchMessage and here (a 32-bit build's unwinder cannot cross
  // them): it is kept, the loop ends, and run() raises it again.
  try {
    loop->onTimer(id);
  } catch (...) {
    if (!loop->failure_) loop->failure_ = std::current_exception();
    loop->quit(0);
  }
}

EventLoop::TimerId Win32EventLoop::startTimer(std::chrono::milliseconds delay,
                                              std::function<void()> onTick) {
  const TimerId id = nextId_++;
  const UINT interval = timerInterval(delay);
  PendingTimer timer{std::move(onTick), SetTimer(nullptr, 0, interval, &timerProc),
                     GetTickCount64() + interval};
  if (timer.systemId != 0) bySystemId_[timer.systemId] = id;
  timers_[id] = std::move(timer);
  return id;
}

void Win32EventLoop::cancelTimer(TimerId id) {
  const auto found = timers_.find(id);
  if (found == timers_.end()) return;
  if (found->second.systemId != 0) {
    KillTimer(nullptr, found->second.systemId);
    bySystemId_.erase(found->second.systemId);
  }
  timers_.erase(found);
}

void Win32EventLoop::onTimer(TimerId id) {
  // System timers repeat; these are one-shot. A WM_TIMER already taken
  // from the queue may still arrive for a timer cancelled meanwhile.
  const auto found = timers_.find(id);
  if (found == timers_.end()) return;
  if (found->second.systemId != 0) {
    KillTimer(nullptr, found->second.systemId);
    bySystemId_.erase(found->second.systemId);
    found->second.systemId = 0;
  }
  if (quitting_) return;
  dispatchSignalledHandles();
  if (quitting_) return;
  const auto it = timers_.find(id);
  if (it == timers_.end()) return;
  auto onTick = std::move(it->second.onTick);
  timers_.erase(it);
  onTick();
}

void Win32EventLoop::yield() {
  if (quitting_) return;
  dispatchSignalledHandles();
  fireDueFallbackTimers();
  pumpMessages(kMessagesPerPass);
}

void Win32EventLoop::quit(int exitStatus) {
  if (quitting_) return;
  quitting_ = true;
  exitStatus_ = exitStatus;
  PostQuitMessage(exitStatus);
}

void Win32EventLoop::watch(HANDLE handle, HandleHandler handler) {
  watches_[handle] = std::move(handler);
}

void Win32EventLoop::unwatch(HANDLE handle) {
  watches_.erase(handle);
}

void Win32EventLoop::setIdleHandler(std::function<void()> handler) {
  idleHandler_ = std::move(handler);
}

bool Win32EventLoop::waitAwhile(DWORD ms) {
  if (!quitting_) pass(ms);
  return !quitting_;
}

int Win32EventLoop::run() {
  while (!quitting_) pass(INFINITE);
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  return exitStatus_;
}

void Win32EventLoop::pass(DWORD timeoutMs) {
  if (idleHandler_) idleHandler_();
  if (quitting_) return;
  waitForEvents(untilNextFallbackTimer(timeoutMs));
  dispatchSignalledHandles();
  fireDueFallbackTimers();
  pumpMessages(kMessagesPerPass);
}

void Win32EventLoop::waitForEvents(DWORD timeoutMs) {
  std::vector<HANDLE> handles;
  if (failedWaitsInRow_ < kFailedWaitsBeforeMessagesOnly) {
    for (const auto& [handle, handler] : watches_) handles.push_back(handle);
  }
  const auto count = static_cast<DWORD>(handles.size());
  DWORD woken =
      MsgWaitForMultipleObjectsEx(count, handles.data(), timeoutMs, wakeMask_, MWMO_INPUTAVAILABLE);
  if (woken == WAIT_FAILED && wakeMask_ != QS_ALLINPUT &&
      GetLastError() == ERROR_INVALID_PARAMETER) {
    // A Windows that does not know the touch and pen flags.
    wakeMask_ = QS_ALLINPUT;
    woken = MsgWaitForMultipleObjectsEx(count, handles.data(), timeoutMs, wakeMask_,
                                        MWMO_INPUTAVAILABLE);
  }
  if (woken != WAIT_FAILED) {
    failedWaitsInRow_ = 0;
    return;
  }
  recoverFromFailedWait();
}

void Win32EventLoop::recoverFromFailedWait() {
  // A handle closed behind the loop's back fails every wait: it is dropped
  // (what it stood for, a read of the port, ends), and the loop pauses
  // rather than spins. Timers still come through the message queue.
  ++failedWaitsInRow_;
  for (auto it = watches_.begin(); it != watches_.end();) {
    it = WaitForSingleObject(it->first, 0) == WAIT_FAILED ? watches_.erase(it) : std::next(it);
  }
  Sleep(kFailedWaitPauseMs);
}

DWORD Win32EventLoop::untilNextFallbackTimer(DWORD timeoutMs) const {
  const ULONGLONG now = GetTickCount64();
  DWORD wait = timeoutMs;
  for (const auto& [id, timer] : timers_) {
    if (timer.systemId != 0) continue;
    const ULONGLONG left = timer.dueAt > now ? timer.dueAt - now : 0;
    wait = static_cast<DWORD>(std::min<ULONGLONG>(wait, left));
  }
  return wait;
}

void Win32EventLoop::fireDueFallbackTimers() {
  const ULONGLONG now = GetTickCount64();
  std::vector<TimerId> due;
  for (const auto& [id, timer] : timers_) {
    if (timer.systemId == 0 && timer.dueAt <= now) due.push_back(id);
  }
  for (const TimerId id : due) {
    if (quitting_) return;
    onTimer(id);
  }
}

void Win32EventLoop::dispatchSignalledHandles() {
  std::vector<HANDLE> signalled;
  for (const auto& [handle, handler] : watches_) {
    if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) signalled.push_back(handle);
  }
  for (HANDLE handle : signalled) {
    if (quitting_) return;
    // An earlier handler may have removed or replaced this watch.
    const auto it = watches_.find(handle);
    if (it == watches_.end()) continue;
    HandleHandler handler = it->second;
    handler();
  }
}

void Win32EventLoop::pumpMessages(int limit) {
  MSG message;
  for (int i = 0; i < limit && !quitting_; ++i) {
    if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return;
    if (message.message == WM_QUIT) return;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace ts
