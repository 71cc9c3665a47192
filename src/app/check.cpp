#include "app/check.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "app/startup_settings.h"
#include "exchange/file_io.h"
#include "exchange/order_file.h"
#include "exchange/result_texts.h"
#include "exchange/text_lines.h"
#include "text/ascii.h"
#include "ui/display_text.h"

namespace ts::check {
namespace {

namespace fs = std::filesystem;

// Paths are UTF-8 inside the program on every platform.
fs::path fsPath(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

bool isDirectory(const std::string& path) {
  std::error_code error;
  return fs::is_directory(fsPath(path), error);
}

bool entryExists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(fsPath(path), error));
}

// Values are shown whole up to this many bytes: a misread file can make
// line 1 of any length.
constexpr std::size_t kShownBytes = 60;

bool permissionDenied(const std::string& path) {
  std::error_code error;
  static_cast<void>(fs::symlink_status(fsPath(path), error));  // only the error tells
  return error == std::errc::permission_denied;
}

std::string inQuotes(const std::string& bytes) {
  std::string text = "\"";
  text += printable(bytes.substr(0, kShownBytes));
  text += '"';
  if (bytes.size() > kShownBytes) text += "...";
  return text;
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lowerAscii(x) == lowerAscii(y);
         });
}

// An entry of `folder` named `name` in other letters' case, which a
// case-sensitive file system does not take for it; empty when none.
std::string otherCaseOf(const std::string& folder, const std::string& name) {
  std::error_code error;
  for (fs::directory_iterator it(fsPath(folder), error), end; !error && it != end;
       it.increment(error)) {
    const std::u8string found = it->path().filename().u8string();
    const std::string entry(found.begin(), found.end());
    if (entry != name && sameIgnoringCase(entry, name)) return entry;
  }
  return {};
}

// "; found X instead: names are case-sensitive here", or nothing.
std::string caseHint(const std::string& folder, const std::string& name) {
  const std::string other = otherCaseOf(folder, name);
  if (other.empty()) return {};
  return " (there is " + other + ", but names must match in case: " + name + ")";
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool startsWithByteOrderMark(const std::string& bytes) {
  return bytes.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0;
}

bool lineEndsInLfAlone(const std::string& bytes) {
  return bytes.find('\r') == std::string::npos && bytes.find('\n') != std::string::npos;
}

std::string codeOf(std::string_view resultText) {
  return std::string(resultText.substr(0, 3));
}

// Collects the lines and the first failure in the order a run meets them.
class Checker {
 public:
  Checker(const std::string& folder, FormPrincipal& form, Platform& platform)
      : folder_(folder), form_(form), platform_(platform) {}

  Report run() {
    checkFolderItself();
    checkProgram();
    checkConfig();
    if (checkOrder()) checkPort();
    checkResponseFolder();
    return finish();
  }

 private:
  std::string path(std::string_view suffix) const {
    return workingPath(folder_, suffix, platform_.pathStyle());
  }
  void ok(std::string topic, std::string finding) {
    report_.lines.push_back({Mark::Ok, std::move(topic), std::move(finding), {}});
  }
  void note(std::string topic, std::string finding, std::string advice = {}) {
    report_.lines.push_back({Mark::Note, std::move(topic), std::move(finding), std::move(advice)});
  }
  void fail(std::string topic, std::string finding, std::string advice) {
    report_.lines.push_back({Mark::Fail, std::move(topic), std::move(finding), std::move(advice)});
  }
  // The run stops at the first failure it records; later ones are reported
  // but do not change what it answers.
  void recordResult(std::string_view resultText) {
    if (result_.empty()) result_ = std::string(resultText);
  }

  void checkFolderItself() {
    if (isDirectory(folder_)) {
      ok("folder", folder_);
    } else {
      fail("folder", folder_ + " is not a folder", "name the calling program's working folder");
    }
  }

  void checkProgram() {
    const std::string name = platform_.programName();
    const std::string program = folder_ + "/" + name;
    const PortTrouble problem = platform_.programProblem(folder_, program);
    if (problem.finding.empty()) {
      ok("program", name + " is there and can be started");
      return;
    }
    noProgram_ = true;
    fail("program", problem.finding, problem.advice);
  }

  void checkConfig() {
    const std::string file = path(kConfigSuffix);
    const DisplaySettings settings = readDisplaySettings(folder_, platform_.pathStyle());
    if (settings.problem == DisplaySettings::Problem::NoDisplayLine) {
      recordResult(results::kSemExibicao);
      const std::string why = !entryExists(file)  ? "missing" + caseHint(folder_, "config.ini")
                              : isDirectory(file) ? "a folder, not a file"
                                                  : "empty or unreadable by this user";
      fail("config.ini", why + ": a run answers 006",
           "write a first line N (no window) or S (window shown), and for S a second line with "
           "the seconds the window stays (0 to 9)");
      return;
    }
    if (settings.problem == DisplaySettings::Problem::NoTimeLine) {
      recordResult(results::kSemTempo);
      fail("config.ini",
           "the window is shown (first line not N) but no second line starts with a digit" +
               configHint() + ": a run answers 007",
           "add a second line with the seconds the window stays (0 to 9), or make the first "
           "line N for no window");
      return;
    }
    if (settings.hidden) {
      ok("config.ini", "no window (first line N); a run ends 500 ms after its answer");
      return;
    }
    const int seconds = *settings.displaySeconds;
    if (seconds == 0) {
      note("config.ini",
           "window shown until the user closes it (display time 0); without a display the run "
           "ends 500 ms after its answer",
           "for unattended runs use N on the first line, or a display time of 1 to 9");
      return;
    }
    ok("config.ini", "window shown, staying " + std::to_string(seconds) +
                         " s after the answer; without a display the run ends 500 ms after it");
  }

  // What commonly turns a meant N, or a meant second line, into 007.
  std::string configHint() const {
    const auto head = fileio::readFileHead(path(kConfigSuffix), kConfigReadLimit);
    if (!head) return {};
    const std::string& bytes = head->bytes;
    if (startsWithByteOrderMark(bytes)) {
      return " (the file starts with a UTF-8 byte order mark, which hides a first N; save it "
             "without one)";
    }
    if (!bytes.empty() && bytes[0] == 'n') return " (a small n does not hide the window; write N)";
    if (lineEndsInLfAlone(bytes)) {
      return " (its lines end in LF alone, which is no line end here: end them with CR LF)";
    }
    return {};
  }

  // Reads the order as a run does. True when a run would go on to the port.
  bool checkOrder() {
    const std::string orderFolder = path(kOrderSuffix);
    const std::string file = orderFolder + "ordem.txt";
    const OrderReading reading = readOrder(orderFolder);
    if (reading.status == OrderStatus::NotFound) {
      recordResult(results::kOrdemAusente);
      explainMissingOrder(orderFolder, file);
      return false;
    }
    const auto head = fileio::readFileHead(file, kOrderSizeLimit);
    if (head && !head->whole) {
      recordResult(results::kOrdemIncorreta);
      fail("ORDEM/ordem.txt", "larger than an order can be: a run answers 005",
           "write the six lines of an order only");
      return false;
    }
    const std::size_t lineCount = head ? splitLines(head->bytes, 7).size() : 0;
    ok("ORDEM/ordem.txt", "found, " + std::to_string(lineCount > 6 ? 6 : lineCount) +
                              (lineCount > 6 ? "+" : "") + (lineCount == 1 ? " line" : " lines"));
    if (head && startsWithByteOrderMark(head->bytes)) {
      note("ORDEM/ordem.txt", "starts with a UTF-8 byte order mark, which becomes part of line 1",
           "write the file without one (Windows-1252 text)");
    }
    if (lineCount > 6) note("ORDEM/ordem.txt", "lines after the sixth are ignored");
    const bool accepted = reading.status == OrderStatus::Accepted;
    if (!accepted) recordResult(results::kOrdemIncorreta);
    // Without a CR the whole file is line 1, so such an order is never complete.
    if (head && lineEndsInLfAlone(head->bytes)) {
      fail("ORDEM/ordem.txt",
           "its lines end in LF alone, which is no line end here: the whole file is line 1: a "
           "run answers 005",
           "end each line with CR LF (or CR)");
    }
    // With a line missing the run stops at 005 before any value is used.
    valueFailure_ = accepted ? "gives 002" : "would give 002 once the order is complete";
    describeOrderLines(reading.order);
    if (accepted) takeIntoRecord(reading.order);
    return accepted;
  }

  // The fields the port methods read, as a run's order phase sets them.
  void takeIntoRecord(const Order& order) {
    form_.NumPorta = order.numPorta;
    form_.VelocidadePorta = order.velocidadePorta;
    form_.QtdBitsPorta = order.qtdBitsPorta;
    form_.QtdBitsStop = order.qtdBitsStop;
    form_.TemParidade = order.temParidade;
    form_.TextoPorta = order.textoPorta;
  }

  void explainMissingOrder(const std::string& orderFolder, const std::string& file) {
    const std::string topic = "ORDEM/ordem.txt";
    const std::string gives = ": a run answers 004";
    if (!isDirectory(orderFolder)) {
      fail(topic, "the folder ORDEM is missing" + caseHint(folder_, "ORDEM") + gives,
           "create ORDEM (capital letters) beside the program; the calling program writes "
           "ordem.txt in it");
    } else if (permissionDenied(file)) {
      fail(topic, "this user may not look into the folder ORDEM" + gives,
           "let the user that runs the program enter and read ORDEM (permissions or ownership)");
    } else if (!entryExists(file)) {
      fail(topic, "no ordem.txt in ORDEM" + caseHint(orderFolder, "ordem.txt") + gives,
           "the calling program must write ORDEM/ordem.txt (that exact name) before each run");
    } else if (isDirectory(file)) {
      fail(topic, "a folder, not a file" + gives, "remove the folder ORDEM/ordem.txt");
    } else if (fileio::isRegularFile(file)) {
      fail(topic, "cannot be read by this user" + gives,
           "let the user that runs the program read it (permissions or ownership)");
    } else if (platform_.pathStyle() == PathStyle::Windows) {
      fail(topic, "marked hidden or system, and such files do not count" + gives,
           "clear the file's hidden and system attributes (attrib -h -s ordem.txt)");
    } else {
      fail(topic, "not an ordinary file (a dangling link, a device or a pipe)" + gives,
           "the calling program must write an ordinary file there");
    }
  }

  // Each field with what a run makes of it: 005 when empty, 002 when the
  // settings cannot take it.
  void describeOrderLines(const Order& order) {
    describePortLine(order.numPorta);
    describeSettingsLine(2, "baud rate", order.velocidadePorta,
                         settingsString(order.velocidadePorta, "n", "8", "1"),
                         "a positive whole number such as 9600");
    describeSettingsLine(3, "data bits", order.qtdBitsPorta,
                         settingsString("9600", "n", order.qtdBitsPorta, "1"), "5, 6, 7 or 8");
    describeSettingsLine(4, "stop bits", order.qtdBitsStop,
                         settingsString("9600", "n", "8", order.qtdBitsStop), "1 or 2");
    describeSettingsLine(5, "parity", order.temParidade,
                         settingsString("9600", order.temParidade, "8", "1"),
                         "one letter: N (none), E (even), O (odd), M (mark) or S (space)");
    if (order.textoPorta.empty()) {
      note("order line 6 (text)", "empty: a run opens the port and sends nothing");
    } else {
      const std::size_t size = order.textoPorta.size();
      ok("order line 6 (text)", std::to_string(size) + (size == 1 ? " byte" : " bytes") +
                                    " to send: " + inQuotes(order.textoPorta));
    }
  }

  bool lineMissing(int number, const std::string& name, const std::string& value) {
    if (!value.empty()) return false;
    fail("order line " + std::to_string(number) + " (" + name + ")", "empty or missing: gives 005",
         "the order needs six lines, ending in CR LF: port, baud rate, data bits, stop bits, "
         "parity, text");
    return true;
  }

  void describePortLine(const std::string& value) {
    const std::string topic = "order line 1 (port)";
    if (lineMissing(1, "port", value)) return;
    const auto port = parsePortNumber(value);
    if (!port || *port <= 0) {
      fail(topic, inQuotes(value) + " is not a port number from 1 to 32767: " + valueFailure_,
           "write the COM number alone, e.g. 3 for COM3");
      return;
    }
    ok(topic, inQuotes(value) + ": COM" + std::to_string(*port));
  }

  void describeSettingsLine(int number, const std::string& name, const std::string& value,
                            const std::string& probe, const std::string& accepted) {
    if (lineMissing(number, name, value)) return;
    const std::string topic = "order line " + std::to_string(number) + " (" + name + ")";
    if (!parseSettings(probe)) {
      fail(topic, inQuotes(value) + " cannot be taken: " + valueFailure_, "write " + accepted);
      return;
    }
    ok(topic, inQuotes(value));
  }

  // The run's own port steps on the run's own serial control.
  void checkPort() {
    const std::string settings = settingsString(form_.VelocidadePorta, form_.TemParidade,
                                                form_.QtdBitsPorta, form_.QtdBitsStop);
    form_.TextoErro.clear();
    form_.ConfiguraPorta();
    if (!form_.TextoErro.empty()) {
      recordResult(form_.TextoErro);
      fail("settings",
           inQuotes(settings) + " for port " + inQuotes(form_.NumPorta) +
               " cannot be set: a run answers " + codeOf(form_.TextoErro),
           "correct the order lines marked above");
      return;
    }
    ok("settings", printable(settings));
    const std::int16_t port = *parsePortNumber(form_.NumPorta);
    const std::string topic = "port COM" + std::to_string(port);
    const std::string where = platform_.portLocation(port);
    form_.AbrePorta();
    const bool opened = form_.TextoErro.empty();
    form_.FechaPorta();
    if (opened) {
      ok(topic, where + " opens with " + printable(settings) + " (closed again, nothing sent)");
      const PortTrouble shared = platform_.sharedWith(port);
      if (!shared.finding.empty()) note(topic, shared.finding, shared.advice);
      return;
    }
    recordResult(form_.TextoErro);
    const PortTrouble why = platform_.whyPortDidNotOpen(port, *parseSettings(settings));
    fail(topic, where + ": " + why.finding + ": a run answers " + codeOf(form_.TextoErro),
         why.advice);
  }

  void checkResponseFolder() {
    const std::string responseFolder = path(kResponseSuffix);
    const std::string file = responseFolder + "resposta.txt";
    const std::string topic = "RESPOSTA/";
    const std::string consequence = ": a run can write no answer and ends with exit status " +
                                    std::to_string(kExitResponseNotWritten);
    if (!isDirectory(responseFolder)) {
      responseUnwritable_ = true;
      fail(topic, "the folder RESPOSTA is missing" + caseHint(folder_, "RESPOSTA") + consequence,
           "create RESPOSTA (capital letters) beside the program; a run never creates it");
      return;
    }
    if (isDirectory(file)) {
      responseUnwritable_ = true;
      fail(topic, "RESPOSTA/resposta.txt is a folder" + consequence,
           "remove the folder RESPOSTA/resposta.txt");
      return;
    }
    if (fileio::isRegularFile(file) && platform_.unchangeable(file)) {
      responseUnwritable_ = true;
      fail(topic,
           "RESPOSTA/resposta.txt is marked unchangeable (immutable or append-only)" + consequence,
           "clear the mark (on Linux: chattr -i -a RESPOSTA/resposta.txt)");
      return;
    }
    if (canCreateIn(responseFolder) || canWriteInPlace(file)) {
      ok(topic, "a run can write resposta.txt there");
      return;
    }
    responseUnwritable_ = true;
    fail(topic, "this user cannot write in it" + consequence,
         "let the user that runs the program write in RESPOSTA (permissions or ownership)");
  }

  // A run writes its answer to a new file beside resposta.txt and renames
  // it into place: the same is tried here with a file removed at once.
  static bool canCreateIn(const std::string& folder) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path probe = fsPath(folder + ".terminal-serial-check-" + std::to_string(stamp));
    bool created = false;
    {
      std::ofstream out(probe, std::ios::binary | std::ios::app);
      created = out.is_open();
    }
    std::error_code error;
    if (created) fs::remove(probe, error);
    return created;
  }

  // Where no new entry can be made, a run rewrites resposta.txt in place.
  static bool canWriteInPlace(const std::string& file) {
    if (!fileio::isRegularFile(file)) return false;
    std::ofstream out(fsPath(file), std::ios::binary | std::ios::app);
    return out.is_open();
  }

  Report finish() {
    if (noProgram_) {
      report_.exitStatus = kExitNoProgram;
      report_.verdict =
          "no run can start from this folder (exit status " + std::to_string(kExitNoProgram) + ")";
    } else if (responseUnwritable_) {
      report_.exitStatus = kExitResponseNotWritten;
      report_.verdict = "a run would write no response and end with exit status " +
                        std::to_string(kExitResponseNotWritten);
    } else if (!result_.empty()) {
      report_.exitStatus = results::resultCode(result_);
      report_.verdict = "a run would answer " + printable(result_) + " (exit status " +
                        std::to_string(report_.exitStatus) + ")";
    } else {
      report_.exitStatus = 0;
      report_.verdict =
          "a run would open the port and send the order; it then answers 000 with the "
          "device's reply, or 001 if the device says nothing within 1 second (exit status 0)";
    }
    return std::move(report_);
  }

  const std::string& folder_;
  FormPrincipal& form_;
  Platform& platform_;
  Report report_;
  std::string result_;  // the first result text a run would record
  std::string valueFailure_;
  bool noProgram_ = false;
  bool responseUnwritable_ = false;
};

const char* markText(Mark mark) {
  switch (mark) {
    case Mark::Ok:
      return "ok    ";
    case Mark::Note:
      return "note  ";
    case Mark::Fail:
      return "FAIL  ";
  }
  return "";
}

}  // namespace

std::string printable(const std::string& bytes) {
  std::string out;
  for (const char byte : bytes) {
    const auto b = static_cast<unsigned char>(byte);
    if (b == '\r') {
      out += "\\r";
    } else if (b == '\n') {
      out += "\\n";
    } else if (b == '\\') {
      out += "\\\\";
    } else if (b < 0x20 || b == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    } else {
      out += windows1252ToUtf8(std::string_view(&byte, 1));
    }
  }
  return out;
}

Report checkFolder(const std::string& folder, FormPrincipal& form, Platform& platform) {
  return Checker(folder, form, platform).run();
}

std::string formatReport(const std::string& folder, const Report& report) {
  std::string text = "terminal-serial-check: " + folder + "\n";
  for (const Line& line : report.lines) {
    text += markText(line.mark) + line.topic + ": " + line.finding;
    if (!line.advice.empty()) text += " -- to do: " + line.advice;
    text += "\n";
  }
  text += "result: " + report.verdict + "\n";
  return text;
}

std::string usage(const std::string& program) {
  return "usage: " + program +
         " [FOLDER]\n"
         "       " +
         program +
         " --help | --version\n"
         "\n"
         "Checks a working folder of terminal-serial as a run would go through it: the\n"
         "program, config.ini, ORDEM/ordem.txt line by line, the order's port (opened with\n"
         "the order's settings and closed again; nothing is sent) and RESPOSTA/. One line\n"
         "per check: ok, note or FAIL, with what to do; then the result a run would give.\n"
         "FOLDER defaults to the folder of this program.\n"
         "\n"
         "Exit status: 0 when a run would reach the port and send; otherwise the result\n"
         "code a run would answer (2 to 7), 9 when no run can start from the folder,\n"
         "10 when a run could write no response, 64 for a wrong command line.\n";
}

}  // namespace ts::check
