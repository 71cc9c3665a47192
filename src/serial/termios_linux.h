#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/settings.h"

namespace ts::termios_linux {

// Puts the open tty in raw mode with the given line settings and no flow
// control. Returns false when the driver cannot take them (4 data bits,
// 1.5 stop bits, a rate it refuses) or, read back, took them only in part.
bool applyLineSettings(int fd, const LineSettings& settings);

// Whether a rate the driver reports frames with the one asked: UART clocks
// divide to the nearest rate they can make, and 3 % off still frames.
bool rateCloseEnough(std::uint32_t wanted, std::uint32_t got);

// Whether control flags read back frame characters as those asked: the
// same size, parity and stop bits (odd and stick parity count only with
// parity on).
bool framingTaken(unsigned asked, unsigned taken);

// Turns DTR and RTS off; a device without modem lines is left as it is.
void lowerModemLines(int fd);

}  // namespace ts::termios_linux

namespace ts::termios_linux {

// Drops input that arrived before this run opened the port; a driver
// without an input queue to drop is no reason to stop the run.
void discardPendingInput(int fd);
bool isTerminal(int fd);

// Takes the terminal for this process alone: nobody may open it any more.
// False when another process holds it so already (root could still open it).
bool takeExclusive(int fd);

// Bytes written to the driver and not yet sent; 0 where it cannot tell.
std::size_t outputQueued(int fd);

// Hands the port back at once: output still queued is dropped, so that the
// close never waits for the line to drain, the exclusive mode ends and the
// descriptor (with its lock) is closed. Safe inside a signal handler.
void releaseAtOnce(int fd);

// The same once the driver has sent everything: nothing is dropped that a
// device may still be reading (a pseudo-terminal holds it for the reader).
void releaseDrained(int fd);

}  // namespace ts::termios_linux
