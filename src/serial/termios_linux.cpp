// Uses the kernel's termios2 directly, which takes any baud rate through
// BOTHER; glibc's <termios.h> would clash with these definitions.
#include "serial/termios_linux.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace ts::termios_linux {
namespace {

struct StandardRate {
  std::uint32_t baud;
  tcflag_t code;
};

// Each rate the kernel has a code of its own for; the macro writes each
// number once, so a rate cannot be paired with another rate's code.
#define TS_STANDARD_RATE(baud) \
  { baud, B##baud }
constexpr StandardRate kStandardRates[] = {
    TS_STANDARD_RATE(50),      TS_STANDARD_RATE(75),      TS_STANDARD_RATE(110),
    TS_STANDARD_RATE(134),     TS_STANDARD_RATE(150),     TS_STANDARD_RATE(200),
    TS_STANDARD_RATE(300),     TS_STANDARD_RATE(600),     TS_STANDARD_RATE(1200),
    TS_STANDARD_RATE(1800),    TS_STANDARD_RATE(2400),    TS_STANDARD_RATE(4800),
    TS_STANDARD_RATE(9600),    TS_STANDARD_RATE(19200),   TS_STANDARD_RATE(38400),
    TS_STANDARD_RATE(57600),   TS_STANDARD_RATE(115200),  TS_STANDARD_RATE(230400),
    TS_STANDARD_RATE(460800),  TS_STANDARD_RATE(500000),  TS_STANDARD_RATE(576000),
    TS_STANDARD_RATE(921600),  TS_STANDARD_RATE(1000000), TS_STANDARD_RATE(1152000),
    TS_STANDARD_RATE(1500000), TS_STANDARD_RATE(2000000), TS_STANDARD_RATE(2500000),
    TS_STANDARD_RATE(3000000), TS_STANDARD_RATE(3500000), TS_STANDARD_RATE(4000000),
};
#undef TS_STANDARD_RATE

tcflag_t speedCode(std::uint32_t baud) {
  for (const auto& rate : kStandardRates) {
    if (rate.baud == baud) return rate.code;
  }
  return BOTHER;
}

bool setCharacterSize(termios2& t, int dataBits) {
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (dataBits) {
    case 5:
      t.c_cflag |= CS5;
      return true;
    case 6:
      t.c_cflag |= CS6;
      return true;
    case 7:
      t.c_cflag |= CS7;
      return true;
    case 8:
      t.c_cflag |= CS8;
      return true;
    default:
      return false;  // termios has no 4-bit characters
  }
}

void setParity(termios2& t, Parity parity) {
  t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
  switch (parity) {
    case Parity::None:
      break;
    case Parity::Odd:
      t.c_cflag |= PARENB | PARODD;
      break;
    case Parity::Even:
      t.c_cflag |= PARENB;
      break;
    // With CMSPAR, PARODD selects a parity bit that is always 1.
    case Parity::Mark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case Parity::Space:
      t.c_cflag |= PARENB | CMSPAR;
      break;
  }
}

void makeRaw(termios2& t) {
  // No translation, no signals, no echo and no flow control of any kind:
  // every byte, 0x11 and 0x13 included, passes untouched both ways.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

// A pseudo-terminal has no line to frame: it forces 8 data bits without
// parity whatever is asked, and carries every byte as it is.
bool isPseudoTerminal(int fd) {
  constexpr unsigned kLegacySlaves = 3;
  constexpr unsigned kUnix98SlavesFirst = 136;
  constexpr unsigned kUnix98SlavesLast = 143;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  const unsigned kind = major(info.st_rdev);
  return kind == kLegacySlaves || (kind >= kUnix98SlavesFirst && kind <= kUnix98SlavesLast);
}

// The name of the kernel driver behind the device, as sysfs tells it;
// empty where it cannot be found.
std::string driverNameFromSysfs(dev_t device) {
  const std::string link = "/sys/dev/char/" + std::to_string(major(device)) + ":" +
                           std::to_string(minor(device)) + "/device/driver";
  char target[256];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return {};
  const std::string path(target, static_cast<std::size_t>(n));
  return path.substr(path.find_last_of('/') + 1);
}

// The same from the USB serial ports' table, for a system without sysfs
// mounted: the line "<minor>: module:<driver> ..." (readable by root only).
std::string usbSerialDriverFromProc(dev_t device) {
  constexpr unsigned kUsbSerialMajor = 188;
  if (major(device) != kUsbSerialMajor) return {};
  std::ifstream table("/proc/tty/driver/usbserial");
  const std::string port = std::to_string(minor(device)) + ": module:";
  for (std::string line; std::getline(table, line);) {
    if (!line.starts_with(port)) continue;
    const std::string rest = line.substr(port.size());
    return rest.substr(0, rest.find(' '));
  }
  return {};
}

std::string driverName(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return {};
  const std::string name = driverNameFromSysfs(info.st_rdev);
  return name.empty() ? usbSerialDriverFromProc(info.st_rdev) : name;
}

// The ftdi_sio driver keeps 5 data bits in the settings on purpose (some card
// readers use it to switch modes), yet its chips then frame 8. Reading the
// settings back cannot show that, so the driver is known by name.
bool framesAsAsked(int fd, const termios2& asked) {
  return (asked.c_cflag & CSIZE) != CS5 || driverName(fd) != "ftdi_sio";
}

// What the driver took, read back: a driver may succeed having changed
// only part of the settings, and would leave the line framed otherwise.
bool driverTook(int fd, const termios2& asked) {
  termios2 taken{};
  if (ioctl(fd, TCGETS2, &taken) != 0) return false;
  if (!rateCloseEnough(asked.c_ospeed, taken.c_ospeed)) return false;
  if (isPseudoTerminal(fd)) {
    return (taken.c_cflag & CSTOPB) == (asked.c_cflag & CSTOPB);
  }
  return framingTaken(asked.c_cflag, taken.c_cflag) && framesAsAsked(fd, asked);
}

}  // namespace

bool framingTaken(unsigned asked, unsigned taken) {
  const auto framing = [](tcflag_t flags) {
    tcflag_t bits = flags & static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    if (!(bits & PARENB)) bits &= ~static_cast<tcflag_t>(PARODD | CMSPAR);
    return bits;
  };
  return framing(asked) == framing(taken);
}

bool rateCloseEnough(std::uint32_t wanted, std::uint32_t got) {
  const std::uint64_t diff = got > wanted ? got - wanted : wanted - got;
  return diff * 100 <= std::uint64_t{wanted} * 3;
}

bool applyLineSettings(int fd, const LineSettings& settings) {
  if (settings.stopBits == StopBits::OneHalf) return false;
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  makeRaw(t);
  if (!setCharacterSize(t, settings.dataBits)) return false;
  setParity(t, settings.parity);
  if (settings.stopBits == StopBits::Two) {
    t.c_cflag |= CSTOPB;
  } else {
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  }
  const tcflag_t code = speedCode(settings.baud);
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= code;
  t.c_ispeed = settings.baud;
  t.c_ospeed = settings.baud;
  if (ioctl(fd, TCSETS2, &t) != 0) return false;
  return driverTook(fd, t);
}

void lowerModemLines(int fd) {
  // Not every device has modem lines (a pseudo-terminal has none): that
  // is no reason to stop the run.
  const int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
}

void discardPendingInput(int fd) {
  ioctl(fd, TCFLSH, TCIFLUSH);
}

bool isTerminal(int fd) {
  termios2 t{};
  return ioctl(fd, TCGETS2, &t) == 0;
}

bool takeExclusive(int fd) {
  int heldAlready = 0;
  if (ioctl(fd, TIOCGEXCL, &heldAlready) == 0 && heldAlready) return false;
  ioctl(fd, TIOCEXCL);
  return true;
}

std::size_t outputQueued(int fd) {
  int queued = 0;
  if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<std::size_t>(queued);
}

void releaseAtOnce(int fd) {
  ioctl(fd, TCFLSH, TCOFLUSH);
  releaseDrained(fd);
}

void releaseDrained(int fd) {
  ioctl(fd, TIOCNXCL);
  close(fd);
}

}  // namespace ts::termios_linux
