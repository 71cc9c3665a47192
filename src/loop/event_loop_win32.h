#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <map>
#include <vector>

#include "loop/event_loop.h"

namespace ts {

// The thread's message queue as the run's event loop. Timers are window
// timers on a message-only window of the loop's own, used one-shot. Besides
// messages the loop waits on event handles (the serial port's overlapped
// operations): a signalled handle is handled before any message of the same
// pass, and again just before every timer tick, so input that has arrived
// by the time a phase's timer fires is seen by that phase, even when the
// tick is dispatched from a modal loop of the system (a window being moved).
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
  // Called each time run() is about to wait for events, never from yield():
  // work that may take long (laying out a window's text) is done there, so
  // that it never holds up a handler that yields. nullptr removes it.
  void setIdleHandler(std::function<void()> handler);

  // Runs until quit(); returns the exit status given to it, or raises again
  // what a handler raised.
  int run();

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void onTimer(TimerId id);
  void dispatchSignalledHandles();
  // Dispatches at most `limit` queued messages; stops early once quitting.
  void pumpMessages(int limit);

  HWND timerWindow_ = nullptr;
  std::map<TimerId, std::function<void()>> timers_;
  std::map<HANDLE, HandleHandler> watches_;
  std::function<void()> idleHandler_;
  TimerId nextId_ = 1;
  bool quitting_ = false;
  int exitStatus_ = 0;
  // An exception a timer's handler raised, for run() to raise again.
  std::exception_ptr failure_;
};

}  // namespace ts
