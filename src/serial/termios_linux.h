#pragma once

#include <cstdint>

#include "serial/settings.h"

namespace ts::termios_linux {

// Puts the open tty in raw mode with the given line settings and no flow
// control. Returns false when the driver cannot take them (4 data bits,
// 1.5 stop bits, or a rate it refuses).
bool applyLineSettings(int fd, const LineSettings& settings);

}  // namespace ts::termios_linux

namespace ts::termios_linux {

// Drops input that arrived before this run opened the port.
bool discardPendingInput(int fd);
bool isTerminal(int fd);

}  // namespace ts::termios_linux
