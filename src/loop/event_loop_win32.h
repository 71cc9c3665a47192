#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <map>
#include <vector>

#include "loop/event_loop.h"

namespace ts {

// The thread's message queue as the run's event loop. Timers are thread
// timers with a callback, used one-shot, so the loop needs no window of its
// own (a hidden run creates none), and a system modal loop (a window being
// moved) still dispatches them. Besides messages the loop waits on event
// handles (the serial port's overlapped operations): a signalled handle is
// handled before any message of the same pass, and again just before every
// timer tick, so input that has arrived by the time a phase's timer fires
// is seen by that phase. One loop per thread.
class Win32EventLoop : public EventLoop {
 public:
  using HandleHandler = std::function<void()>;

  Win32EventLoop();
  ~Win32EventLoop() override;
  Win32EventLoop(const Win32EventLoop&) = delete;
  Win32EventLoop& operator=(const Win32EventLoop&) = delete;

  TimerId startTimer(std::chrono::milliseconds delay, std::function<void()> onTick) override;
  void cancelTimer(TimerId id) override;
  void yield() override;
  void quit(int exitStatus) override;

  // Calls the handler from the loop whenever `handle` is signalled; the
  // handler must reset the handle (a new overlapped operation does) or
  // unwatch it. Watching again replaces.
  void watch(HANDLE handle, HandleHandler handler);
  void unwatch(HANDLE handle);
  // Called each time the loop is about to wait for events, never from
  // yield(): work that may take long (laying out a window's text) is done
  // there, so that it never holds up a handler that yields. nullptr
  // removes it.
  void setIdleHandler(std::function<void()> handler);

  // For a handler that has to wait (closing a port while its text drains)
  // without freezing the window: waits at most `ms` for a watched handle or
  // a message and handles what came, as one pass of run() does. False once
  // the loop is quitting (the window was closed): the handler stops waiting.
  bool waitAwhile(DWORD ms);

  // Runs until quit(); returns the exit status given to it, or raises again
  // what a handler raised.
  int run();

 private:
  struct PendingTimer {
    std::function<void()> onTick;
    // 0 when the system gave no timer (its quota used up): the loop then
    // fires it itself from `dueAt`, so that no phase is lost.
    UINT_PTR systemId = 0;
    ULONGLONG dueAt = 0;
  };

  static void CALLBACK timerProc(HWND, UINT, UINT_PTR systemId, DWORD);
  void onTimer(TimerId id);
  // One pass: waits at most `timeoutMs`, then handles what came.
  void pass(DWORD timeoutMs);
  void waitForEvents(DWORD timeoutMs);
  void recoverFromFailedWait();
  DWORD untilNextFallbackTimer(DWORD timeoutMs) const;
  void fireDueFallbackTimers();
  void dispatchSignalledHandles();
  // Dispatches at most `limit` queued messages; stops early once quitting.
  void pumpMessages(int limit);

  std::map<TimerId, PendingTimer> timers_;
  std::map<UINT_PTR, TimerId> bySystemId_;
  std::map<HANDLE, HandleHandler> watches_;
  std::function<void()> idleHandler_;
  TimerId nextId_ = 1;
  DWORD wakeMask_;
  int failedWaitsInRow_ = 0;
  bool quitting_ = false;
  int exitStatus_ = 0;
  // An exception a timer's handler raised, for run() to raise again.
  std::exception_ptr failure_;
};

}  // namespace ts
