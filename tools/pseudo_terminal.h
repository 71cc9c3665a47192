#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace ts::tools {

// A pseudo-terminal standing in for a serial device: the master is the
// device's end (non-blocking), the terminal side is where the program
// looks for a port.
struct PseudoTerminal {
  int master = -1;
  // Kept open so the master stays readable before the program opens the
  // port. Its line is cooked, as a serial port's is before anyone sets it:
  // canonical input with echo, XON/XOFF flow control, CR read as LF and LF
  // written as CR LF. A program must make it raw itself.
  int terminal = -1;
  std::string path;
};

// False when no pseudo-terminal can be had.
inline bool openPseudoTerminal(PseudoTerminal& pty) {
  pty.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (pty.master < 0 || ::grantpt(pty.master) != 0 || ::unlockpt(pty.master) != 0) return false;
  pty.path = ::ptsname(pty.master);
  pty.terminal = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  if (pty.terminal < 0 || ::tcgetattr(pty.terminal, &t) != 0) return false;
  t.c_iflag |= ICRNL | IXON;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  return ::tcsetattr(pty.terminal, TCSANOW, &t) == 0;
}

}  // namespace ts::tools
