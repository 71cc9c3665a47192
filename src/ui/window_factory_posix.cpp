#include "ui/window_factory_posix.h"

#include "ui/headless_window.h"

namespace ts {

std::unique_ptr<Window> makePosixWindow(PosixEventLoop&) {
  return std::make_unique<HeadlessWindow>();
}

}  // namespace ts
