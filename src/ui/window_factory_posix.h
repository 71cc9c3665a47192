#pragma once

#include <memory>

#include "loop/event_loop_posix.h"
#include "ui/window.h"

namespace ts {

// The window for this run: a real one when a display can be reached,
// otherwise the headless one.
std::unique_ptr<Window> makePosixWindow(PosixEventLoop& loop);

}  // namespace ts
