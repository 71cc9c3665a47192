#include "app/port_diagnosis_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

namespace ts {
namespace {

// Holders beyond this many are not listed one by one.
constexpr std::size_t kMostNamed = 4;
// Device names offered when a port leads nowhere.
constexpr std::size_t kMostCandidates = 8;

std::optional<std::string> realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

std::string linkTarget(const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string commandName(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name.empty() ? "?" : name;
}

std::vector<std::string> listFolder(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool isNumber(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Processes holding a flock on the inode `node` (of file system `device`),
// from /proc/locks; pid 0 stands for one this process cannot see.
std::vector<pid_t> flockHolders(dev_t device, ino_t node) {
  std::vector<pid_t> holders;
  std::ifstream locks("/proc/locks");
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(device), minor(device),
                static_cast<unsigned long>(node));
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos) continue;  // a waiter, not a holder
    std::istringstream fields(line);
    std::string id, kind, mode, access, pid, where;
    fields >> id >> kind >> mode >> access >> pid >> where;
    if (kind == "FLOCK" && where == wanted) {
      holders.push_back(isNumber(pid) ? static_cast<pid_t>(std::stol(pid)) : 0);
    }
  }
  return holders;
}

// Processes other than this one with `device` open, as far as /proc shows
// them to this user (another user's descriptors are unreadable).
std::vector<pid_t> openers(const std::string& device) {
  std::vector<pid_t> found;
  const pid_t self = ::getpid();
  for (const std::string& pid : listFolder("/proc")) {
    if (!isNumber(pid) || std::stol(pid) == self) continue;
    const std::string fds = "/proc/" + pid + "/fd";
    for (const std::string& fd : listFolder(fds)) {
      if (linkTarget(fds + "/" + fd) == device) {
        found.push_back(static_cast<pid_t>(std::stol(pid)));
        break;
      }
    }
  }
  return found;
}

bool alive(pid_t pid) {
  return pid > 0 && ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0;
}

// A lock lives as long as any descriptor sharing it: the process that took
// it may have ended and left it to a child. Then the device's openers are
// the holders; an empty answer means none can be seen.
std::vector<pid_t> lockHolders(dev_t device, ino_t node, const std::string& path) {
  std::vector<pid_t> holders = flockHolders(device, node);
  std::erase_if(holders, [](pid_t pid) { return !alive(pid); });
  // None left: a holder this user cannot see in /proc, or one that ended.
  return holders.empty() ? openers(path) : holders;
}

std::string describeProcesses(const std::vector<pid_t>& pids) {
  std::string text;
  std::size_t named = 0;
  for (const pid_t pid : pids) {
    if (pid <= 0) continue;
    if (named == kMostNamed) return text + " and others";
    text += (named ? ", " : "") + std::string("pid ") + std::to_string(pid) + " (" +
            commandName(pid) + ")";
    ++named;
  }
  return text;
}

// What to do about a holder, for the holders that take ports unasked.
std::string adviceForHolders(const std::vector<pid_t>& pids) {
  for (const pid_t pid : pids) {
    const std::string name = pid > 0 ? commandName(pid) : "";
    if (name == "ModemManager") {
      return "the modem manager probes new serial ports: tell it to leave this device alone "
             "(a udev rule setting ID_MM_DEVICE_IGNORE=1) or stop it, then run again";
    }
    if (name.starts_with("brltty")) {
      return "the braille display service claims USB-serial chips: remove it or disable its "
             "udev rules if no braille display is used, then replug the device";
    }
  }
  return "end the program holding the port, or wait until it lets go, then run again";
}

check::PortTrouble heldBy(const std::vector<pid_t>& pids) {
  const std::string named = describeProcesses(pids);
  if (named.empty()) {
    return {"held by a process this user cannot see",
            "run the check as root to name it (e.g. sudo terminal-serial-check FOLDER), or "
            "look for another program using the port"};
  }
  return {"held by another process: " + named, adviceForHolders(pids)};
}

std::vector<std::string> candidateDevices() {
  std::vector<std::string> devices;
  for (const std::string& name : listFolder("/dev/serial/by-id")) {
    devices.push_back("/dev/serial/by-id/" + name);
  }
  for (const std::string& name : listFolder("/dev")) {
    if (name.starts_with("ttyUSB") || name.starts_with("ttyACM")) devices.push_back("/dev/" + name);
  }
  if (devices.size() > kMostCandidates) devices.resize(kMostCandidates);
  return devices;
}

std::string linkAdvice(const std::string& folder, std::int16_t port) {
  const auto devices = candidateDevices();
  std::string advice =
      "link the device: ln -sfn DEVICE " + folder + "/PORTAS/COM" + std::to_string(port) + "; ";
  if (devices.empty()) return advice + "no USB serial device is plugged in now";
  advice += "serial devices present now:";
  for (const auto& device : devices) advice += " " + device;
  return advice;
}

std::string userName() {
  const passwd* user = ::getpwuid(::geteuid());
  return user ? user->pw_name : "uid " + std::to_string(::geteuid());
}

bool processInGroup(gid_t gid) {
  if (::getegid() == gid) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = ::getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

bool listedInGroup(const group& entry, const std::string& user) {
  for (char** member = entry.gr_mem; member && *member; ++member) {
    if (user == *member) return true;
  }
  return false;
}

check::PortTrouble permissionTrouble(const std::string& device) {
  struct stat info {};
  if (::stat(device.c_str(), &info) != 0) return {"permission denied", ""};
  const std::string user = userName();
  const group* owner = ::getgrgid(info.st_gid);
  const std::string groupName = owner ? owner->gr_name : "gid " + std::to_string(info.st_gid);
  std::string finding =
      "permission denied: " + device + " belongs to group " + groupName + " and user " + user;
  if (!(info.st_mode & S_IRGRP) || !(info.st_mode & S_IWGRP)) {
    return {finding + " cannot use it (the group may not read and write it either)",
            "give the device a group that may read and write it (a udev rule), then add " + user +
                " to that group"};
  }
  if (processInGroup(info.st_gid)) {
    return {finding + " is in that group, yet the open is refused",
            "check the device's access control (getfacl " + device + ") and security policy"};
  }
  if (owner && listedInGroup(*owner, user)) {
    return {finding + " is listed in it, but this session started before that",
            "log out and in again (or restart the calling program's service) so that the "
            "group takes effect"};
  }
  return {finding + " is not in it",
          "sudo usermod -aG " + groupName + " " + user +
              ", then log in again (or run the calling program as a user of that group)"};
}

check::PortTrouble settingsTrouble(const LineSettings& settings) {
  std::string why = "the device opens, but its driver does not take the order's line settings";
  if (settings.dataBits == 4) why += " (no serial driver here takes 4 data bits)";
  if (settings.stopBits == StopBits::OneHalf) why += " (no serial driver here takes 1.5 stop bits)";
  return {why, "use settings the device and its driver support (e.g. 9600, 8, 1, N)"};
}

// Opens the device as the run does and says what stopped it.
check::PortTrouble openTrouble(const std::string& device, const LineSettings& settings) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES || error == EPERM) {
      return permissionTrouble(realPath(device).value_or(device));
    }
    if (error == EBUSY) {
      const auto resolved = realPath(device).value_or(device);
      return heldBy(openers(resolved));
    }
    if (error == ENXIO || error == ENODEV || error == EIO) {
      return {"the device node exists but no hardware answers behind it",
              "check that the adapter is plugged in, or that this is the right port number"};
    }
    return {std::string("cannot open: ") + std::strerror(error), ""};
  }
  struct stat info {};
  ::fstat(fd, &info);
  check::PortTrouble trouble;
  if (!::isatty(fd)) {
    trouble = {"not a serial device", "point the port at a serial device (a tty)"};
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    trouble = heldBy(lockHolders(info.st_dev, info.st_ino, realPath(device).value_or(device)));
  } else {
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
      trouble = heldBy(openers(realPath(device).value_or(device)));
    } else {
      trouble = settingsTrouble(settings);
    }
  }
  ::close(fd);
  return trouble;
}

}  // namespace

check::PortTrouble PosixCheckPlatform::programProblem(const std::string& folder,
                                                      const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return {"no terminal-serial in the folder",
            "copy the program there: terminal-serial-setup " + folder};
  }
  const auto resolved = realPath(path);
  const auto here = realPath(folder);
  if (!resolved) return {"terminal-serial is a link that leads nowhere", "copy the program there"};
  if (S_ISLNK(info.st_mode) && here && parentOf(*resolved) != *here) {
    return {"terminal-serial is a link to " + *resolved + ": a run would work in " +
                parentOf(*resolved) + ", not here",
            "replace the link by a copy: terminal-serial-setup --update " + folder};
  }
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return {"terminal-serial is not an ordinary file", "copy the program there"};
  }
  if (::access(path.c_str(), X_OK) != 0) {
    return {"terminal-serial cannot be executed by this user", "chmod 755 " + path};
  }
  return {};
}

bool PosixCheckPlatform::unchangeable(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  const bool known = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  ::close(fd);
  return known && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

std::string PosixCheckPlatform::portLocation(std::int16_t port) {
  const std::string device = serial_.devicePath(port);
  const std::string portas = "/PORTAS/COM" + std::to_string(port);
  if (device.size() >= portas.size() &&
      device.compare(device.size() - portas.size(), portas.size(), portas) == 0) {
    const std::string target = linkTarget(device);
    return "PORTAS/COM" + std::to_string(port) + (target.empty() ? "" : " -> " + target);
  }
  return device + " (no PORTAS/COM" + std::to_string(port) + ")";
}

check::PortTrouble PosixCheckPlatform::whyPortDidNotOpen(std::int16_t port,
                                                         const LineSettings& settings) {
  const std::string device = serial_.devicePath(port);
  struct stat info {};
  if (::lstat(device.c_str(), &info) != 0) {
    return {"no such device", "this port number leads to no device; " + linkAdvice(folder_, port)};
  }
  if (::stat(device.c_str(), &info) != 0) {
    return {"the link leads to no device (unplugged, or renamed when plugged in again)",
            "plug the device in, or link a stable name; " + linkAdvice(folder_, port)};
  }
  return openTrouble(device, settings);
}

check::PortTrouble PosixCheckPlatform::sharedWith(std::int16_t port) {
  const auto device = realPath(serial_.devicePath(port));
  // A pseudo-terminal's other openers are usually what plays the device
  // behind it (a simulator, a network bridge), not a rival reader.
  if (!device || device->starts_with("/dev/pts/")) return {};
  const std::vector<pid_t> others = openers(*device);
  if (others.empty()) return {};
  return {
      "also open in " + describeProcesses(others) + ", which takes part of what the device sends",
      adviceForHolders(others)};
}

}  // namespace ts
