#include "loop/event_loop_win32.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

namespace ts {
namespace {

constexpr wchar_t kTimerWindowClass[] = L"TerminalSerialTimers";
// A pass handles what is queued now; the bound keeps a stream of new
// messages from holding up the handler that yielded.
constexpr int kMessagesPerPass = 256;

UINT timerInterval(std::chrono::milliseconds delay) {
  const auto ms = std::clamp<long long>(delay.count(), USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
  return static_cast<UINT>(ms);
}

}  // namespace

Win32EventLoop::Win32EventLoop() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &Win32EventLoop::windowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kTimerWindowClass;
  RegisterClassExW(&windowClass);  // already registered by an earlier loop: fine
  timerWindow_ = CreateWindowExW(0, kTimerWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 instance, nullptr);
  if (!timerWindow_) throw std::runtime_error("cannot create the timer window");
  SetWindowLongPtrW(timerWindow_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32EventLoop::~Win32EventLoop() {
  for (const auto& [id, tick] : timers_) KillTimer(timerWindow_, id);
  DestroyWindow(timerWindow_);
}

LRESULT CALLBACK Win32EventLoop::windowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  auto* loop = reinterpret_cast<Win32EventLoop*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_TIMER && loop) {
    // An exception must not unwind through the system's frames between
    // DispatchMessage and here (a 32-bit build's unwinder cannot cross
    // them): it is kept, the loop ends, and run() raises it again.
    try {
      loop->onTimer(static_cast<TimerId>(wParam));
    } catch (...) {
      if (!loop->failure_) loop->failure_ = std::current_exception();
      loop->quit(0);
    }
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

EventLoop::TimerId Win32EventLoop::startTimer(std::chrono::milliseconds delay,
                                              std::function<void()> onTick) {
  const TimerId id = nextId_++;
  timers_[id] = std::move(onTick);
  SetTimer(timerWindow_, id, timerInterval(delay), nullptr);
  return id;
}

void Win32EventLoop::cancelTimer(TimerId id) {
  if (timers_.erase(id) > 0) KillTimer(timerWindow_, id);
}

void Win32EventLoop::onTimer(TimerId id) {
  // Window timers repeat; these are one-shot. A WM_TIMER already taken from
  // the queue may still arrive for a timer cancelled meanwhile.
  KillTimer(timerWindow_, id);
  if (quitting_) return;
  dispatchSignalledHandles();
  if (quitting_) return;
  const auto it = timers_.find(id);
  if (it == timers_.end()) return;
  auto onTick = std::move(it->second);
  timers_.erase(it);
  onTick();
}

void Win32EventLoop::yield() {
  if (quitting_) return;
  dispatchSignalledHandles();
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

int Win32EventLoop::run() {
  std::vector<HANDLE> handles;
  while (!quitting_) {
    if (idleHandler_) idleHandler_();
    if (quitting_) break;
    handles.clear();
    for (const auto& [handle, handler] : watches_) handles.push_back(handle);
    const DWORD woken =
        MsgWaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()), handles.data(), INFINITE,
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    // A handle closed behind the loop's back must not make it spin.
    if (woken == WAIT_FAILED) Sleep(10);
    dispatchSignalledHandles();
    pumpMessages(kMessagesPerPass);
  }
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  return exitStatus_;
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
