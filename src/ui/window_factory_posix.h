#pragma once

#include <memory>

#include "loop/event_loop_posix.h"
#include "ui/window.h"

namespace ts {

// The window for this run: a real one when it is to be shown and a display
// can be reached and set up in time, otherwise the headless one, which
// touches no window system.
std::unique_ptr<Window> makePosixWindow(PosixEventLoop& loop, bool shown);

}  // namespace ts
