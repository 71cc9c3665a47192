// The real executable in a temporary folder against a device on a
// pseudo-terminal: the response bytes, the exit status, what the device
// received and the schedule (with generous bounds: machines are noisy).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "app/check.h"
#include "exchange/result_texts.h"
#include "program_run.h"
#include "pty_device.h"

namespace ts {
namespace {

using namespace std::chrono_literals;
using namespace ::ts::testing;

class EndToEnd : public ::testing::Test {
 protected:
  bool wine() const { return install.target.wine; }
  bool slow() const { return install.target.slow(); }
  Installation install{testTarget()};
};

TEST_F(EndToEnd, ExchangeOnSchedule) {
  PtyDevice device({.reply = "+0012.50kg\r\n", .delay = 100ms});
  install.writeOrder(install.linkPort(device.terminalPath()), "P");
  const RunResult run = install.run();
  EXPECT_EQ(run.exitStatus, 0) << run.errors;
  EXPECT_EQ(install.response(), "000|Sucesso\r\n+0012.50kg\r\n\r\n");
  EXPECT_EQ(device.received(), "P");
  // Order at 500 ms, answer 1000 ms later, exit 500 ms after that.
  EXPECT_GE(device.firstByteAtMs(), 450);
  EXPECT_LE(device.firstByteAtMs(), slow() ? 5000 : 1000);
  EXPECT_GE(run.elapsedMs, 1900);
  EXPECT_LE(run.elapsedMs, slow() ? 10000 : 3000);
}

// A hidden run lays out no text: neither a long order text nor every byte
// value in either text area costs it time or, in a font the shaper
// mishandles (a line starting with 0x98), its life.
TEST_F(EndToEnd, EveryByteCrossesUntouched) {
  std::string reply;
  for (int b = 0; b < 256; ++b) reply += static_cast<char>(b);
  // Later than a read's 50 ms gap timeout, which Wine starts wrongly while
  // a long order is going out.
  PtyDevice device({.reply = reply, .delay = 200ms});
  std::string text = "\n\x98";  // a CR would end the order's line
  for (int b = 0; b < 256; ++b) text += b == '\r' ? ' ' : static_cast<char>(b);
  text.resize(20000, 'x');  // one unbroken line, the slowest to wrap
  // A fast line: closing gives queued text its line time before dropping it.
  install.writeOrder(install.linkPort(device.terminalPath()), text, 921600);
  const long startedAtMs = device.msSinceCreated();
  const RunResult run = install.run();
  EXPECT_EQ(run.exitStatus, 0) << run.errors;
  EXPECT_TRUE(device.received() == text) << device.received().size() << " bytes received";
  EXPECT_EQ(install.response(), "000|Sucesso\r\n" + reply + "\r\n");
  // The order phase is due 500 ms after the start.
  if (!slow()) {
    EXPECT_LE(device.firstByteAtMs() - startedAtMs, 600);
  }
}

TEST_F(EndToEnd, BurstsAndLateReplies) {
  {
    PtyDevice device({.reply = "AB", .delay = 50ms, .secondReply = "C\r", .secondDelay = 300ms});
    install.writeOrder(install.linkPort(device.terminalPath()), "R");
    install.run();
    EXPECT_EQ(install.response(), "000|Sucesso\r\nABC\r\r\n");
  }
  {
    Installation late(testTarget());
    PtyDevice device({.reply = "late", .delay = 1300ms});
    late.writeOrder(late.linkPort(device.terminalPath()), "R");
    EXPECT_EQ(late.run().exitStatus, 1);
    EXPECT_EQ(late.response(), responseBytes(results::kSemResposta));
    // The reply waits in the driver until the next run, which must not
    // take it for its own answer.
    EXPECT_EQ(late.run().exitStatus, 1);
    EXPECT_EQ(device.received(), "RR");
  }
}

TEST_F(EndToEnd, OrderAndConfigFailures) {
  struct Case {
    std::string config;
    std::optional<std::string> order;  // nullopt: no order file
    std::string_view result;
  };
  const std::vector<Case> cases{
      {"N\r\n", std::nullopt, results::kOrdemAusente},
      {"N\r\n", "1\r\n9600\r\n8\r\n1\r\n", results::kOrdemIncorreta},
      {"N\r\n", "1\n9600\n8\n1\nN\nX\n", results::kOrdemIncorreta},
      {"N\r\n", "COM1\r\n9600\r\n8\r\n1\r\nN\r\nX", results::kNaoConfigurada},
      {"N\r\n", "1\r\n9600\r\n8\r\n1\r\nX\r\nX", results::kNaoConfigurada},
      {"N\r\n", "0\r\n9600\r\n8\r\n1\r\nN\r\nX", results::kNaoConfigurada},
      {"N\r\n", "1\r\n9600\r\n9\r\n1\r\nN\r\nX", results::kNaoConfigurada},
      {"", "1\r\n9600\r\n8\r\n1\r\nN\r\nX", results::kSemExibicao},
      {"S\r\n", "1\r\n9600\r\n8\r\n1\r\nN\r\nX", results::kSemTempo},
      {"S\r\n\r\n", "1\r\n9600\r\n8\r\n1\r\nN\r\nX", results::kSemTempo},
  };
  for (const auto& c : cases) {
    Installation run(testTarget(), c.config);
    PtyDevice device({.echo = true});
    run.linkPort(device.terminalPath());
    if (c.order) run.writeOrder(*c.order);
    const RunResult result = run.run();
    EXPECT_EQ(run.response(), responseBytes(c.result))
        << c.config << " / " << c.order.value_or("none");
    EXPECT_EQ(result.exitStatus, results::resultCode(c.result));
    EXPECT_EQ(device.received(), "");
  }
}

// terminal-serial-check over broken folders: it names each problem on a
// FAIL line, and its exit status is the one a real run over the same folder
// then ends with (the run reaches the device only when the check passes).
TEST_F(EndToEnd, CheckNamesTheProblemAndAgreesWithARun) {
  using Breaker = std::function<bool(Installation&)>;
  struct Case {
    std::string what;  // expected on the check's FAIL line (a note line with status 0)
    Breaker breakIt;   // false: the case cannot be made here
    int status;
    bool posixOnly = false;
  };
  const auto config = [](std::string bytes) {
    return [bytes](Installation& i) { return i.folder.write("config.ini", bytes), true; };
  };
  const auto order = [](std::string settings) {
    return [settings](Installation& i) {
      const std::string current = i.folder.read("ORDEM/ordem.txt");
      i.writeOrder(current.substr(0, current.find("\r\n") + 2) + settings);
      return true;
    };
  };
  const auto remove = [](std::string entry) {
    return [entry](Installation& i) {
      return std::filesystem::remove_all(i.folder.path() / entry), true;
    };
  };
  const auto folderAt = [](std::string entry) {
    return [entry](Installation& i) { return i.folder.mkdir(entry), true; };
  };
  const auto renamed = [](std::string from, std::string to) {
    return [from, to](Installation& i) {
      return std::filesystem::rename(i.folder.path() / from, i.folder.path() / to), true;
    };
  };
  const auto both = [](auto first, auto then) {
    return [first, then](Installation& i) { return first(i) && then(i); };
  };
  const auto wholeOrder = [](std::string bytes) {
    return [bytes](Installation& i) { return i.writeOrder(bytes), true; };
  };
  const auto linkAt = [](std::string entry, std::string target) {
    return [entry, target](Installation& i) {
      std::filesystem::remove(i.folder.path() / entry);
      std::filesystem::create_symlink(target, i.folder.path() / entry);
      return true;
    };
  };
  const auto noProgram = [](Installation& i) { return std::filesystem::remove(i.executablePath); };
  using std::filesystem::perms;
  const perms readOnlyFolder = perms::all & ~(perms::group_write | perms::others_write);
  // Run as user nobody, with an entry this test's user owns given only `mode`;
  // the device is open to every user, so that only that entry stands in the way.
  const auto asNobodyWith = [](std::string entry, perms mode) {
    return [entry, mode](Installation& i) {
      if (!i.runAsNobody()) return false;
      std::filesystem::permissions(i.folder.path() / "PORTAS/COM1", perms::all);
      std::filesystem::permissions(i.folder.path() / entry, mode);
      return true;
    };
  };
  // A terminal whose other side never unlocked it: opening it fails with
  // EIO, as a serial port with no hardware behind it does.
  const int lockedMaster = ::posix_openpt(O_RDWR | O_NOCTTY);
  const auto linkToLocked = [&](Installation& i) {
    return lockedMaster >= 0 && linkAt("PORTAS/COM1", ::ptsname(lockedMaster))(i);
  };
  // The device in exclusive mode, which keeps out every user but root: user
  // nobody cannot open it, nor see who holds it.
  std::vector<int> exclusiveHolders;
  const auto heldExclusively = [&](Installation& i) {
    if (!asNobodyWith("PORTAS/COM1", perms::all)(i)) return false;
    const int holder = ::open((i.folder.path() / "PORTAS/COM1").c_str(), O_RDWR | O_NOCTTY);
    if (holder >= 0) exclusiveHolders.push_back(holder);
    return holder >= 0 && ::ioctl(holder, TIOCEXCL) == 0;
  };
  const std::vector<Case> cases{
      {"", [](Installation&) { return true; }, 0},
      {"ORDEM/ordem.txt: lines after the sixth are ignored",
       order("9600\r\n8\r\n1\r\nN\r\nX\r\nseventh"), 0},
      // Without a screen, as the native runs here, such a run still ends.
      {"config.ini: window shown until the user closes it", config("S\r\n0\r\n"), 0, true},
      {"config.ini: empty", config(""), 6},
      {"config.ini: the window is shown", config("S\r\n"), 7},
      // What turns a meant N, or a meant second line, into 007.
      {"byte order mark", config("\xEF\xBB\xBFN"), 7},
      {"a small n does not hide the window", config("n\r\n"), 7},
      {"its lines end in LF alone", config("S\n5\n"), 7},
      // The run stops at 006 and never looks for the order.
      {"config.ini: empty", both(config(""), remove("ORDEM")), 6},
      {"the folder ORDEM is missing", remove("ORDEM"), 4},
      // Names in other letters' case, sorting before and after the right one.
      {"there is Ordem, but names must match in case: ORDEM", renamed("ORDEM", "Ordem"), 4, true},
      {"there is Config.ini, but names must match in case: config.ini",
       renamed("config.ini", "Config.ini"), 6, true},
      {"its lines end in LF alone, which is no line end here: the whole file is line 1",
       wholeOrder("1\n9600\n8\n1\nN\nX"), 5},
      {"ordem.txt: a folder, not a file",
       both(remove("ORDEM/ordem.txt"), folderAt("ORDEM/ordem.txt")), 4},
      {"order line 1 (port): empty or missing", wholeOrder("\r\n9600\r\n8\r\n1\r\nN\r\nX"), 5},
      {"order line 2 (baud rate): empty", order("\r\n8\r\n1\r\nN\r\nX"), 5},
      {"order line 5 (parity): \"X\" cannot be taken: gives 002", order("9600\r\n8\r\n1\r\nX\r\nX"),
       2},
      // A value is shown up to 60 bytes.
      {"order line 1 (port): \"COM1" + std::string(56, 'x') + "\"... is not",
       wholeOrder("COM1" + std::string(60, 'x') + "\r\n9600\r\n8\r\n1\r\nN\r\nX"), 2},
      {"ordem.txt: starts with a UTF-8 byte order mark, which becomes part of line 1",
       wholeOrder("\xEF\xBB\xBF"
                  "1\r\n9600\r\n8\r\n1\r\nN\r\nX"),
       2},
      {"order line 1 (port): \"0\" is not a port number",
       wholeOrder("0\r\n9600\r\n8\r\n1\r\nN\r\nX"), 2},
      {"line settings (no serial driver here takes 4 data bits) (no serial driver here takes 1.5 "
       "stop bits)",
       order("9600\r\n4\r\n1.5\r\nN\r\nX"), 3, true},
      {"port COM1: PORTAS/COM1 -> /dev/ts-unplugged: the link leads to no device",
       linkAt("PORTAS/COM1", "/dev/ts-unplugged"), 3, true},
      {" and user nobody cannot use it", [](Installation& i) { return i.runAsNobody(); }, 3, true},
      {" and user nobody cannot use it (the group may not read and write it either)",
       asNobodyWith("PORTAS/COM1", perms::owner_read | perms::owner_write | perms::group_read), 3,
       true},
      {" and user nobody is not in it",
       asNobodyWith("PORTAS/COM1", perms::owner_read | perms::owner_write | perms::group_read |
                                       perms::group_write),
       3, true},
      {"held by a process this user cannot see", heldExclusively, 3, true},
      // A file in the folder's place: missing, with no hint of another case.
      {"the folder RESPOSTA is missing: a run",
       [](Installation& i) {
         std::filesystem::remove_all(i.folder.path() / "RESPOSTA");
         return i.folder.write("RESPOSTA", "x"), true;
       },
       10},
      {"RESPOSTA/resposta.txt is a folder", folderAt("RESPOSTA/resposta.txt"), 10},
      // A run that cannot say so ends with 10, whatever it would have said.
      {"RESPOSTA/resposta.txt is a folder",
       both(folderAt("RESPOSTA/resposta.txt"), remove("ORDEM")), 10},
      {"program: no terminal-serial", noProgram, 9},
      // Nor one that no program is there to run.
      {"program: no terminal-serial", both(noProgram, remove("RESPOSTA")), 9},
      {"program: terminal-serial is not an ordinary file",
       both(noProgram, folderAt("terminal-serial")), 9, true},
      {"program: terminal-serial is a link to ",
       [](Installation& i) {
         i.folder.mkdir("bin");
         const auto moved = i.folder.path() / "bin/terminal-serial";
         std::filesystem::rename(i.executablePath, moved);
         std::filesystem::create_symlink(moved, i.executablePath);
         return true;
       },
       9, true},
      {"program: terminal-serial cannot be executed by this user",
       [](Installation& i) {
         std::filesystem::permissions(i.executablePath, perms::owner_read | perms::owner_write);
         return true;
       },
       9, true},
      {"no ordem.txt in ORDEM", remove("ORDEM/ordem.txt"), 4},
      {"this user may not look into the folder ORDEM", asNobodyWith("ORDEM", perms::owner_all), 4,
       true},
      {"ORDEM/ordem.txt: cannot be read by this user",
       asNobodyWith("ORDEM/ordem.txt", perms::owner_read), 4, true},
      {"RESPOSTA/: this user cannot write in it", asNobodyWith("RESPOSTA", readOnlyFolder), 10,
       true},
      // Where no entry can be made, an answer file the user may write is rewritten in place.
      {"",
       [&](Installation& i) {
         i.folder.write("RESPOSTA/resposta.txt",
                        "000|Sucesso\r\nlonger answer of an earlier run\r\n");
         std::filesystem::permissions(i.folder.path() / "RESPOSTA/resposta.txt", perms::all);
         return asNobodyWith("RESPOSTA", readOnlyFolder)(i);
       },
       0, true},
      {"not an ordinary file (a dangling link", linkAt("ORDEM/ordem.txt", "gone.txt"), 4, true},
      {"larger than an order can be",
       wholeOrder("1\r\n9600\r\n8\r\n1\r\nN\r\n" + std::string(1 << 20, 'x')), 5},
      {"port COM199: /dev/ttyS198 (no PORTAS/COM199): no such device",
       wholeOrder("199\r\n9600\r\n8\r\n1\r\nN\r\nX"), 3, true},
      {"not a serial device", linkAt("PORTAS/COM1", "/dev/null"), 3, true},
      {"cannot open: Is a directory", linkAt("PORTAS/COM1", "/"), 3, true},
      {"the device node exists but no hardware answers behind it", linkToLocked, 3, true},
  };
  for (const auto& c : cases) {
    if (c.posixOnly && wine()) continue;
    Installation broken(testTarget());
    PtyDevice device({.echo = true});
    broken.writeOrder(broken.linkPort(device.terminalPath()), "X");
    if (!c.breakIt(broken)) continue;
    const RunResult check = broken.check();
    EXPECT_EQ(check.exitStatus, c.status) << c.what << "\n" << check.output << check.errors;
    // Checking its own folder, it points to the usage only where that is no working folder.
    if (!wine()) {
      EXPECT_EQ(check.errors.find("no FOLDER given") != std::string::npos,
                c.status == ts::check::kExitNoProgram)
          << c.what << "\n"
          << check.errors;
    }
    const std::string failMark = "\nFAIL  ";
    const auto failLine = check.output.find(failMark);
    // A FAIL line only where the check fails, and where it passes no note but
    // the one expected: the test holding the pseudo-terminal is what plays the
    // device, not a rival reader.
    EXPECT_EQ(failLine != std::string::npos, c.status != 0) << check.output;
    if (c.status == 0) {
      // An order of six lines or more is counted to six: what lies beyond is never read.
      EXPECT_TRUE(holds(check.output, "\nok    ORDEM/ordem.txt: found, 6"));
      EXPECT_TRUE(holds(check.output, "\nok    order line 6 (text): 1 byte to send: \"X\""));
      const auto noteLine = check.output.find("\nnote  ");
      EXPECT_EQ(noteLine != std::string::npos, !c.what.empty()) << check.output;
      if (!c.what.empty()) {
        EXPECT_TRUE(holds(check.output, c.what, noteLine));
      }
    } else {
      // Named in the failure, or in a note on what led to it.
      const auto firstMark = std::min(failLine, check.output.find("\nnote  "));
      EXPECT_TRUE(holds(check.output, c.what, firstMark));
      // What it has failed it never passes after, say by reading on past the failure.
      const auto subjectAt = failLine + failMark.size();
      const std::string subject =
          check.output.substr(subjectAt, check.output.find(": ", subjectAt) - subjectAt);
      EXPECT_EQ(check.output.find("\nok    " + subject + ": ", failLine), std::string::npos)
          << check.output;
    }
    EXPECT_EQ(device.received(), "") << "the check sent something: " << c.what;
    std::error_code noFolder;
    for (const auto& entry :
         std::filesystem::directory_iterator(broken.folder.path() / "RESPOSTA", noFolder)) {
      EXPECT_FALSE(entry.path().filename().string().starts_with(".terminal-serial-check"))
          << "the check left its probe: " << c.what;
    }
    // Settings a run cannot configure, the check does not pass as a whole.
    if (c.status == 2) {
      EXPECT_TRUE(holds(check.output, "\nFAIL  settings: "));
    }
    // Devices offered in place of a missing one are named, never blank.
    const std::string offeredList = "present now: ";
    const auto offered = check.output.find(offeredList);
    if (offered != std::string::npos) {
      EXPECT_EQ(check.output.compare(offered + offeredList.size(), 5, "/dev/"), 0) << check.output;
    }
    // The link it advises is made by the command it gives: device first.
    if (holds(check.output, "ln -s")) {
      EXPECT_TRUE(holds(check.output, "ln -sfn DEVICE " + broken.folder.str() + "/PORTAS/COM"));
    }
    if (c.status == ts::check::kExitNoProgram) continue;
    const RunResult run = broken.run();
    EXPECT_EQ(run.exitStatus, c.status) << c.what;
    // Without a place for its answer a run still sends; it only cannot say,
    // and names the file it could not write.
    const bool sends = (c.status == 0 || c.status == kExitResponseNotWritten) &&
                       std::filesystem::exists(broken.folder.path() / "ORDEM");
    if (c.status == 0) {
      EXPECT_EQ(broken.response(), "000|Sucesso\r\nX\r\n") << c.what;
    }
    if (c.status == kExitResponseNotWritten) {
      EXPECT_TRUE(holds(run.errors, broken.folder.str() + "/RESPOSTA/resposta.txt"));
    }
    EXPECT_EQ(device.received(), sends ? "X" : "") << c.what;
  }
  if (lockedMaster >= 0) ::close(lockedMaster);
  for (int holder : exclusiveHolders) ::close(holder);
}

// The check given the folder from elsewhere: a folder it passes reaches the
// port and sends, and the port it reports is the one the run opens.
TEST_F(EndToEnd, CheckOfANamedFolderFromElsewhere) {
  PtyDevice device({.echo = true});
  const int port = install.linkPort(device.terminalPath());
  const std::string text = "named" + std::string(55, 'x');  // as long as is shown uncut
  install.writeOrder(port, text);
  Installation elsewhere(testTarget());
  // Named through a link, the folder is checked and reported as what the link leads to.
  std::string named = install.folderArgument();
  if (!wine()) {
    named = elsewhere.folder.str() + "/link-to-folder";
    std::filesystem::create_symlink(install.folder.path(), named);
  }
  const RunResult check = elsewhere.check({named});
  EXPECT_EQ(check.exitStatus, 0) << check.output << check.errors;
  if (!wine()) {
    EXPECT_EQ(check.output.rfind("terminal-serial-check: " + install.folder.str() + "\n", 0), 0u)
        << check.output;
  }
  EXPECT_TRUE(holds(check.output, "port COM" + std::to_string(port) + ": "));
  // Uncut: its line ends at the closing quote (in CR LF on Windows).
  const std::string lineEnd = wine() ? "\r\n" : "\n";
  EXPECT_TRUE(
      holds(check.output, "order line 6 (text): 60 bytes to send: \"" + text + "\"" + lineEnd));
  EXPECT_EQ(install.run().exitStatus, 0);
  EXPECT_EQ(device.received(), text);
  for (const auto& wrong : {std::vector<std::string>{"--bogus"}, {install.folder.str(), "."}}) {
    EXPECT_EQ(elsewhere.check(wrong).exitStatus, ts::check::kExitUsage) << wrong.size();
  }
  // Asked for its usage, it succeeds: a script probing for the check is not told it failed.
  const RunResult help = elsewhere.check({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_TRUE(holds(help.output, "FOLDER"));
  if (!wine()) {  // a file named as the folder, by its native path
    const RunResult notAFolder = elsewhere.check({install.executablePath});
    EXPECT_NE(notAFolder.exitStatus, 0);
    EXPECT_TRUE(
        holds(notAFolder.output, "FAIL  folder: " + install.executablePath + " is not a folder"));
  }
  const RunResult version = elsewhere.check({"--version"});
  EXPECT_EQ(version.exitStatus, 0);
  const std::string name = "terminal-serial-check ";
  EXPECT_TRUE(version.output.rfind(name, 0) == 0 && version.output.size() > name.size() &&
              std::isdigit(static_cast<unsigned char>(version.output[name.size()])))
      << version.output;
}

TEST_F(EndToEnd, LineSettingsTheDriverTakesOrRefuses) {
  PtyDevice device({.echo = true});
  const int port = install.linkPort(device.terminalPath());
  const std::vector<std::pair<std::string, int>> cases{
      {"31250\r\n8\r\n1\r\nN", 0},  {"9600\r\n7\r\n2\r\nm", 0}, {"9600 \r\n 8\r\n1\r\nS", 0},
      {"115200\r\n5\r\n1\r\ne", 0}, {"9600\r\n4\r\n1\r\nN", 3}, {"9600\r\n8\r\n1.5\r\nN", 3}};
  for (const auto& [settings, status] : cases) {
    if (status != 0 && wine()) continue;  // Windows drivers may take these
    install.writeOrder(std::to_string(port) + "\r\n" + settings + "\r\nok");
    EXPECT_EQ(install.run().exitStatus, status) << settings;
    EXPECT_EQ(install.response(),
              status == 0 ? "000|Sucesso\r\nok\r\n" : responseBytes(results::kNaoAberta));
  }
  install.writeOrder("199\r\n9600\r\n8\r\n1\r\nN\r\nX");  // no such device
  EXPECT_EQ(install.run().exitStatus, 3);
  EXPECT_EQ(device.received(), "okokokok");
}

enum class Hold { open, lockedByEndedParent, exclusivelyAsNobody };

// A process that holds `path` open until killed: without a lock, with one
// taken by its parent, which then ended (the lock lives on in the child), or
// in exclusive mode as user nobody, on two descriptors. Returns its pid.
pid_t openPortElsewhere(const std::string& path, Hold how = Hold::open) {
  const bool lockedByEndedParent = how == Hold::lockedByEndedParent;
  // Looked up before the fork: in the child, a lock another thread held may never open.
  const passwd* nobody = ::getpwnam("nobody");
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    bool holding = how != Hold::exclusivelyAsNobody ||
                   (nobody && becomeUser(nobody->pw_uid, nobody->pw_gid) &&
                    ::prctl(PR_SET_DUMPABLE, 1) == 0);  // its /proc entry, as a user's own
    const int fd = holding ? ::open(path.c_str(), O_RDWR | O_NOCTTY) : -1;
    holding = fd >= 0 &&
              (how != Hold::exclusivelyAsNobody || (::ioctl(fd, TIOCEXCL) == 0 && ::dup(fd) >= 0));
    // A lock on a file of its own makes it no holder of the port.
    holding = holding && ::flock(::open("/tmp", O_TMPFILE | O_RDWR, 0600), LOCK_EX) == 0;
    if (holding && lockedByEndedParent) {
      holding = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
      if (holding && ::fork() != 0) ::_exit(0);
    }
    const pid_t holder = holding ? ::getpid() : -1;
    [[maybe_unused]] const auto written = ::write(ready[1], &holder, sizeof holder);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  pid_t holder = -1;
  const bool told = child > 0 && ::read(ready[0], &holder, sizeof holder) == sizeof holder;
  ::close(ready[0]);
  if (lockedByEndedParent && child > 0) ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(told && holder > 0) << "could not hold " << path;
  return holder;
}

void endProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// A device another process holds, by a lock or in exclusive mode, is busy;
// the check names the holder (this test process, renamed as the services
// that take ports unasked) and says what to do about it.
TEST_F(EndToEnd, LockedPortGives003) {
  if (wine()) GTEST_SKIP() << "locks are the POSIX way of holding a port";
  PtyDevice device({.echo = true});
  install.writeOrder(install.linkPort(device.terminalPath()), "X");
  char ownName[17] = {};
  ASSERT_EQ(::prctl(PR_GET_NAME, ownName), 0);
  struct Holder {
    bool exclusiveMode;
    std::string name, advice;
  };
  const std::vector<Holder> holders{
      {false, ownName, "end the program holding the port"},
      {true, "brltty", "the braille display service claims USB-serial chips"},
      {false, "ModemManager", "the modem manager probes new serial ports"},
      {false, "", "end the program holding the port"}};  // a name cleared: shown as ?
  for (const Holder& h : holders) {
    const int holder = ::open(device.terminalPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(h.exclusiveMode ? ::ioctl(holder, TIOCEXCL) : ::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(install.run().exitStatus, 3);
    EXPECT_EQ(install.response(), responseBytes(results::kNaoAberta));
    // The run that found the port taken left it as it was: not exclusive.
    int exclusive = -1;
    EXPECT_EQ(::ioctl(holder, TIOCGEXCL, &exclusive) == 0 && exclusive, h.exclusiveMode);
    // Beside a lock's holder, a process that only has the port open is no holder.
    const pid_t bystander = h.exclusiveMode ? -1 : openPortElsewhere(device.terminalPath());
    ::prctl(PR_SET_NAME, h.name.c_str());
    const RunResult check = install.check();
    ::prctl(PR_SET_NAME, ownName);
    if (bystander > 0) {
      endProcess(bystander);
      EXPECT_EQ(check.output.find("pid " + std::to_string(bystander)), std::string::npos)
          << check.output;
    }
    EXPECT_EQ(check.exitStatus, 3);
    const std::string named =
        "pid " + std::to_string(::getpid()) + " (" + (h.name.empty() ? "?" : h.name) + ")";
    EXPECT_TRUE(holds(check.output, "held by another process: " + named));
    EXPECT_TRUE(holds(check.output, "to do: " + h.advice));
    if (h.exclusiveMode) ::ioctl(holder, TIOCNXCL);
    ::close(holder);
  }
  // The lock's taker ended, leaving the lock to a child: the child is named.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);  // so that the orphaned child can be reaped here
  const pid_t heir = openPortElsewhere(device.terminalPath(), Hold::lockedByEndedParent);
  const RunResult check = install.check();
  const auto heldBy = check.output.find("held by another process: ");
  EXPECT_TRUE(holds(check.output, "pid " + std::to_string(heir) + " (", heldBy));
  // With this test (which holds the terminal) and four more, four are named.
  std::vector<pid_t> more;
  for (int i = 0; i < 3; ++i) more.push_back(openPortElsewhere(device.terminalPath()));
  const std::string many = install.check().output;
  for (const pid_t pid : more) endProcess(pid);
  endProcess(heir);
  const std::string line = many.substr(many.find("held by another process: "));
  const std::string named = line.substr(0, line.find(" -- "));
  EXPECT_EQ(std::count(named.begin(), named.end(), '('), 4) << many;
  EXPECT_NE(named.find(") and others: a run answers 003"), std::string::npos) << many;
  // Held in exclusive mode by the check's own user, who may look into its own
  // processes: the holder is found behind the PORTAS link.
  if (install.runAsNobody()) {
    std::filesystem::permissions(device.terminalPath(), std::filesystem::perms::all);
    const pid_t sameUser = openPortElsewhere(device.terminalPath(), Hold::exclusivelyAsNobody);
    const std::string asNobody = install.check().output;
    endProcess(sameUser);
    // Named once, however many descriptors it holds.
    EXPECT_TRUE(holds(asNobody, "held by another process: pid " + std::to_string(sameUser) + " (" +
                                    ownName + "): "));
  }
  EXPECT_EQ(device.received(), "");
}

TEST_F(EndToEnd, TwoInstancesOnOnePort) {
  PtyDevice device({.echo = true});
  Installation other(testTarget());
  install.writeOrder(install.linkPort(device.terminalPath()), "A");
  other.writeOrder(other.linkPort(device.terminalPath()), "B");
  const int first = install.start({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
  const int second = other.start({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
  const int a = Installation::wait(first, 20s).exitStatus;
  const int b = Installation::wait(second, 20s).exitStatus;
  EXPECT_EQ(std::pair(std::min(a, b), std::max(a, b)), std::pair(0, 3));
  const auto winner = a == 0 ? install.response() : other.response();
  const auto loser = a == 0 ? other.response() : install.response();
  EXPECT_EQ(loser, responseBytes(results::kNaoAberta));
  EXPECT_EQ(winner, "000|Sucesso\r\n" + device.received() + "\r\n");
}

// A Windows reader holding `RESPOSTA\resposta.txt` open without delete
// sharing (hold-file.exe, built beside the Windows executable) from the
// installation's folder; returns its pid once the file is held. It lets go
// `release` ms after the run begins to replace the file, or "never". With
// `mode` "deleted" it deletes the file while holding it (Windows keeps the
// name taken until it lets go); with "temporary" it holds the run's
// temporary file instead, as a scanner does.
int holdResponse(const Installation& install, const std::string& release,
                 const std::string& mode = "") {
  const auto helper =
      std::filesystem::path(install.target.executable).parent_path() / "hold-file.exe";
  const std::string copy = install.folder.str() + "/hold-file.exe";
  std::filesystem::copy_file(helper, copy);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execlp("wine", "wine", copy.c_str(), "RESPOSTA\\resposta.txt", release.c_str(),
             mode.empty() ? nullptr : mode.c_str(), nullptr);
    ::_exit(127);
  }
  for (int i = 0; i < 300 && !install.folder.exists("hold-file.ready"); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  return pid;
}

long fileIdentity(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_ino) : -1;
}

// The calling program still reading the last answer, an editor or a virus
// scanner holds the response open without delete sharing, so it cannot be
// renamed over: a brief hold is waited out, a lasting one makes the run
// rewrite the file in place. Either way it ends with this run's answer. A
// caller that deleted the answer while a scanner held it leaves the name
// taken: that is waited out too, as is a scanner holding the temporary
// file while no answer is there yet (the caller deleted it). Temporary
// files an earlier run could not remove are removed; none of this run's
// stays.
TEST_F(EndToEnd, ResponseHeldOpenByAWindowsReader) {
  if (!wine()) GTEST_SKIP() << "sharing modes are Windows'";
  const auto responseFolderEntries = [](const Installation& i) {
    return std::distance(std::filesystem::directory_iterator(i.folder.path() / "RESPOSTA"), {});
  };
  for (const std::string release : {"300", "never", "deleted"}) {
    Installation held(testTarget());
    PtyDevice device({.echo = true});
    held.writeOrder(held.linkPort(device.terminalPath()), "X");
    held.folder.write("RESPOSTA/resposta.txt", "000|Sucesso\r\nold\r\n");
    held.folder.write("RESPOSTA/resposta.txt.tmp4000000-0", "left by a run that crashed");
    const auto response = held.folder.path() / "RESPOSTA/resposta.txt";
    const long before = fileIdentity(response);
    const bool deleted = release == "deleted";
    const int holder = holdResponse(held, deleted ? "300" : release, deleted ? release : "");
    ASSERT_TRUE(held.folder.exists("hold-file.ready")) << release;
    const RunResult run = held.run();
    EXPECT_EQ(run.exitStatus, 0) << release << run.errors;
    EXPECT_EQ(held.response(), "000|Sucesso\r\nX\r\n") << release;
    // Renamed over once the hold ended; rewritten where it is under a lasting one.
    EXPECT_EQ(fileIdentity(response) != before, release != "never") << release;
    EXPECT_EQ(responseFolderEntries(held), 1) << "a temporary file was left behind";
    endProcess(holder);
  }

  // A large reply, so that the scanner's open lands while the temporary file
  // is being written; a try whose open came too late is made again.
  const std::size_t replyBytes = 8 << 20;
  bool caught = false;
  for (int attempt = 0; attempt < 3 && !caught; ++attempt) {
    Installation scanned(testTarget());
    PtyDevice flood({.floodBytes = replyBytes});
    scanned.writeOrder(scanned.linkPort(flood.terminalPath()), "X");
    const int scanner = holdResponse(scanned, "300", "temporary");
    const RunResult run = scanned.run();
    caught = scanned.folder.exists("hold-file.caught");
    EXPECT_EQ(run.exitStatus, 0) << run.errors;
    // As much of the flood as came within the second, whole.
    const std::string response = scanned.response().value_or("");
    EXPECT_EQ(response.substr(0, 14), "000|Sucesso\r\nF");
    EXPECT_EQ(response.find_first_not_of('F', 13), response.size() - 2);
    EXPECT_EQ(responseFolderEntries(scanned), 1) << "a temporary file was left behind";
    endProcess(scanner);
  }
  EXPECT_TRUE(caught) << "the scanner never held the temporary file";
}

// A device that hangs up mid-reply, and one that never answers: the run ends on schedule, and
// while it waits (for the answer, then to end) it uses next to no processor time under any
// wrapper, where a loop that never sleeps uses all it gets, even on a loaded machine.
TEST_F(EndToEnd, HungUpOrSilentDeviceEndsOnScheduleWithoutSpinning) {
  const std::vector<std::pair<PtyDevice::Script, std::string>> cases{
      {{.reply = "partial", .delay = 50ms, .hangUpAfter = 50ms}, "000|Sucesso\r\npartial\r\n"},
      {{}, responseBytes(results::kSemResposta)}};
  for (const auto& [script, response] : cases) {
    Installation run(testTarget());
    PtyDevice device(script);
    run.writeOrder(run.linkPort(device.terminalPath()), "R");
    const auto started = std::chrono::steady_clock::now();
    const int pid = run.start({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
    for (int i = 0; i < 2000 && device.firstByteAtMs() < 0; ++i) std::this_thread::sleep_for(5ms);
    const auto sent = std::chrono::steady_clock::now();
    double waiting = 0;
    // The hang-up is 100 ms after the first byte, the answer 1000 ms, the end 1500 ms.
    for (const auto& [from, to] : {std::pair{250ms, 750ms}, std::pair{1150ms, 1400ms}}) {
      std::this_thread::sleep_until(sent + from);
      const double before = Installation::cpuMsSoFar(pid);
      std::this_thread::sleep_until(sent + to);
      waiting += Installation::cpuMsSoFar(pid) - before;
    }
    const RunResult result = Installation::wait(pid, 20s);
    EXPECT_EQ(result.exitStatus, results::resultCode(response));
    EXPECT_EQ(run.response(), response);
    EXPECT_EQ(device.received(), "R");
    EXPECT_LE(std::chrono::steady_clock::now() - started, slow() ? 10s : 3s);
    EXPECT_LT(waiting, 100) << "the loop does not sleep while it waits: " << response;
  }
}

TEST_F(EndToEnd, LargeTransfersBothWays) {
  const std::size_t megabyte = 1 << 20;
  PtyDevice device({.floodBytes = megabyte});
  const std::string text(300'000, 'T');  // more than the driver buffers
  // 3.3 s on the line: closing gives queued text its line time.
  install.writeOrder(install.linkPort(device.terminalPath()), text, 921600);
  EXPECT_EQ(install.run().exitStatus, 0);
  EXPECT_EQ(device.received().size(), text.size());
  ASSERT_EQ(device.floodWritten(), megabyte);
  EXPECT_EQ(install.response(), "000|Sucesso\r\n" + std::string(megabyte, 'F') + "\r\n");
}

TEST_F(EndToEnd, WorkingFolderIsTheExecutablesOwn) {
  if (wine()) GTEST_SKIP() << "symbolic links to a Windows executable are not how it is started";
  Installation elsewhere(testTarget());
  PtyDevice device({.echo = true});
  install.writeOrder(install.linkPort(device.terminalPath()), "here");
  // A link elsewhere to this folder's executable still works in this folder.
  std::filesystem::remove(elsewhere.executablePath);
  std::filesystem::create_symlink(install.executablePath, elsewhere.executablePath);
  EXPECT_EQ(elsewhere.run().exitStatus, 0);
  EXPECT_EQ(install.response(), "000|Sucesso\r\nhere\r\n");
  EXPECT_FALSE(elsewhere.response());
}

TEST_F(EndToEnd, FolderWithNonAsciiLetters) {
  // Calling programs live in folders named in their users' language.
  const std::string inner = "Pasta a\xC3\xA7\xC3\xA3o";  // UTF-8, as Linux names files
  const auto home = install.folder.path() / inner;
  install.folder.write(inner + "/config.ini", "N\r\n");
  for (const char* folder : {"/ORDEM", "/RESPOSTA"}) install.folder.mkdir(inner + folder);
  const auto moved = home / std::filesystem::path(install.executablePath).filename();
  std::filesystem::rename(install.executablePath, moved);
  install.executablePath = moved.string();
  const int pid = install.start({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
  EXPECT_EQ(Installation::wait(pid, 20s).exitStatus, 4);
  EXPECT_EQ(install.folder.read(inner + "/RESPOSTA/resposta.txt"),
            responseBytes(results::kOrdemAusente));
}

// Most runs are hidden on machines without a display: they are timed as
// hidden, load no window libraries, and a display that is named but cannot
// be reached leaves the run just as it would be without one.
TEST_F(EndToEnd, WithoutADisplayTheRunIsTimedAsHidden) {
  if (wine()) GTEST_SKIP() << "Wine always has a display here";
  Installation shown(testTarget(), "S\r\n0\r\n");
  PtyDevice device({.echo = true});
  shown.writeOrder(shown.linkPort(device.terminalPath()), "X");
  const int pid = shown.start({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
  std::this_thread::sleep_for(1000ms);  // past start-up, before the answer
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  const std::string mapped{std::istreambuf_iterator<char>(maps), {}};
  EXPECT_EQ(mapped.find("libX11"), std::string::npos);
  RunResult run = Installation::wait(pid, 20s);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_LE(run.elapsedMs, slow() ? 10000 : 3000);

  run = Installation::wait(shown.start({{"DISPLAY", ":73.0"}, {"WAYLAND_DISPLAY", ""}}), 20s);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_LE(run.elapsedMs, slow() ? 10000 : 3000);
  EXPECT_EQ(shown.response(), "000|Sucesso\r\nX\r\n");
}

// A display server that takes the connection and never answers (hung, or
// behind a link that drops packets) costs a shown run a bounded delay, and
// the run then goes on hidden; a hidden run never connects at all.
TEST_F(EndToEnd, AHungDisplayServerLeavesTheRunHidden) {
  if (wine()) GTEST_SKIP() << "Wine brings its own display";
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{.sin_family = AF_INET, .sin_addr = {.s_addr = htonl(INADDR_LOOPBACK)}};
  int display = 50;  // X display N listens on TCP port 6000 + N
  for (; display < 100; ++display) {
    address.sin_port = htons(static_cast<std::uint16_t>(6000 + display));
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
  }
  ASSERT_LT(display, 100);
  ASSERT_EQ(::listen(listener, 4), 0);  // connections wait, never accepted
  const std::string name = "127.0.0.1:" + std::to_string(display);
  PtyDevice device({.echo = true});

  // Hidden mode never even reaches for the display, and keeps its schedule.
  Installation hidden(testTarget(), "N\r\n");
  hidden.writeOrder(hidden.linkPort(device.terminalPath()), "H");
  const RunResult hiddenRun = Installation::wait(hidden.start({{"DISPLAY", name}}), 30s);
  EXPECT_EQ(hiddenRun.exitStatus, 0);
  EXPECT_LE(hiddenRun.elapsedMs, slow() ? 10000 : 3000);
  EXPECT_EQ(hidden.response(), "000|Sucesso\r\nH\r\n");
  pollfd pending{listener, POLLIN, 0};
  EXPECT_EQ(::poll(&pending, 1, 0), 0) << "a hidden run connected to the display";

  Installation shown(testTarget(), "S\r\n0\r\n");
  shown.writeOrder(shown.linkPort(device.terminalPath()), "X");
  const RunResult run = Installation::wait(shown.start({{"DISPLAY", name}}), 30s);
  ::close(listener);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_LE(run.elapsedMs, slow() ? 15000 : 6000);
  EXPECT_EQ(shown.response(), "000|Sucesso\r\nX\r\n");
}

}  // namespace
}  // namespace ts
