#include "ui/window_factory_posix.h"

#include "ui/headless_window.h"
#include "ui/window_x11_posix.h"

namespace ts {

std::unique_ptr<Window> makePosixWindow(PosixEventLoop& loop, bool shown) {
  if (!shown) return std::make_unique<HeadlessWindow>();
  if (auto window = X11Window::open(loop)) return window;
  return std::make_unique<HeadlessWindow>();
}

}  // namespace ts
