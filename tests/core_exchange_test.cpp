// The file formats and texts that calling programs and devices depend on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "app/startup_settings.h"
#include "app/working_path.h"
#include "exchange/file_io.h"
#include "exchange/order_file.h"
#include "exchange/response_file.h"
#include "exchange/result_texts.h"
#include "exchange/text_lines.h"
#include "serial/settings.h"
#include "test_folder.h"
#include "text/ascii.h"
#include "ui/layout.h"

namespace ts {
namespace {

using ::ts::testing::TestFolder;

// UTF-8 text of Latin letters to the single bytes of Windows-1252.
std::string cp1252(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c == 0xC3) {
      out += static_cast<char>(static_cast<unsigned char>(utf8[++i]) + 0x40);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

TEST(ResultTexts, AreTheExactWindows1252Bytes) {
  EXPECT_EQ(results::kSucesso, "000|Sucesso");
  EXPECT_EQ(
      results::kSemResposta,
      cp1252("001|O dispositivo conectado à porta serial não respondeu no prazo de 1 segundo"));
  EXPECT_EQ(results::kNaoConfigurada,
            cp1252("002|A porta não pôde ser configurada conforme os dados recebidos no arquivo "
                   "ordem.txt"));
  EXPECT_EQ(results::kNaoAberta,
            cp1252("003|A porta não pôde ser aberta. Verifique se ela existe ou se está ocupada "
                   "por outro processo"));
  EXPECT_EQ(results::kOrdemAusente,
            cp1252("004|Não foi encontrado o arquivo ordem.txt na pasta ORDEM"));
  EXPECT_EQ(results::kOrdemIncorreta,
            cp1252("005|O arquivo de origem está incorreto, verifique o que consta em cada linha"));
  EXPECT_EQ(results::kSemExibicao,
            cp1252("006|O arquivo config.ini não possui configuração para exibição do formulário"));
  EXPECT_EQ(results::kSemTempo, cp1252("007|O arquivo config.ini não possui configuração de tempo "
                                       "em segundos para exibição do formulário"));
  EXPECT_EQ(layout::control(layout::Id::Frame1).caption, cp1252("Tráfego de dados: "));
}

TEST(ResultTexts, ChoiceAndCode) {
  EXPECT_EQ(results::chooseResult(std::string(results::kNaoAberta), "reply"), results::kNaoAberta);
  EXPECT_EQ(results::chooseResult("", "AB\r"), "000|Sucesso\r\nAB\r");
  EXPECT_EQ(results::chooseResult("", " "), "000|Sucesso\r\n ");
  EXPECT_EQ(results::chooseResult("", std::string("\0x", 2)),
            std::string("000|Sucesso\r\n\0x", 15));
  EXPECT_EQ(results::chooseResult("", ""), results::kSemResposta);
  EXPECT_EQ(results::resultCode(results::kSemTempo), 7);
  EXPECT_EQ(results::resultCode("000|Sucesso\r\nx"), 0);
  for (const char* notAResult : {"12|x", "1234|x", "12", "1a2|x"}) {
    EXPECT_EQ(results::resultCode(notAResult), -1) << notAResult;
  }
  EXPECT_EQ(results::resultCode("129|any code a caller may one day write"), 129);
}

TEST(TextLines, EndAtCrOrCrLfButNotLoneLf) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitLines("a\r\nb\rc", 6), (V{"a", "b", "c"}));
  EXPECT_EQ(splitLines("a\nb\nc\n", 6), (V{"a\nb\nc\n"}));
  EXPECT_EQ(splitLines("a\r\n", 6), (V{"a"}));
  EXPECT_EQ(splitLines("\r\n\r\n", 6), (V{"", ""}));
  EXPECT_EQ(splitLines("a\r\r\nb", 6), (V{"a", "", "b"}));
  EXPECT_EQ(splitLines("", 6), V{});
  EXPECT_EQ(splitLines("1\r2\r3", 2), (V{"1", "2"}));
}

TEST(OrderFile, SixLinesTakenAsTheyStand) {
  const auto r = parseOrder("3\r\n9600 \r\n8\r\n1\r\ne\r\nP\n1\xE7\r\nignored\r\n");
  EXPECT_EQ(r.status, OrderStatus::Accepted);
  EXPECT_EQ(
      std::tie(r.order.numPorta, r.order.velocidadePorta, r.order.temParidade, r.order.textoPorta),
      std::tuple("3", "9600 ", "e", "P\n1\xE7"));
}

TEST(OrderFile, PresenceRules) {
  EXPECT_EQ(parseOrder("3\r\n9600\r\n8\r\n1\r\nN\r\n").status, OrderStatus::Accepted);
  EXPECT_EQ(parseOrder("3\r9600\r8\r1\rN").status, OrderStatus::Accepted);
  EXPECT_EQ(parseOrder(" \r\n \r\n \r\n \r\n \r\n").status, OrderStatus::Accepted);
  for (std::size_t empty = 0; empty < 5; ++empty) {
    std::string order;
    for (std::size_t line = 0; line < 6; ++line) order += line == empty ? "\r\n" : "3\r\n";
    EXPECT_EQ(parseOrder(order).status, OrderStatus::Incorrect) << "line " << empty + 1;
  }
  EXPECT_EQ(parseOrder("3\r\n9600\r\n8\r\n1\r\n").status, OrderStatus::Incorrect);
  EXPECT_EQ(parseOrder("3\n9600\n8\n1\nN\nX").status, OrderStatus::Incorrect);
  EXPECT_EQ(parseOrder("").status, OrderStatus::Incorrect);
}

TEST(OrderFile, MissingUnreadableOrOversizedFiles) {
  // Thousands of runs a day: a reading that leaks its descriptor is a fault.
  const auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  const auto descriptorsBefore = openDescriptors();
  TestFolder folder;
  EXPECT_EQ(readOrder(folder.str() + "/ORDEM/").status, OrderStatus::NotFound);
  folder.mkdir("ORDEM/ordem.txt");
  EXPECT_EQ(readOrder(folder.str() + "/ORDEM/").status, OrderStatus::NotFound);
  ASSERT_EQ(::mkfifo((folder.str() + "/fifo").c_str(), 0600), 0);
  EXPECT_FALSE(fileio::readFileHead(folder.str() + "/fifo", 16));  // and does not block
  // A head is the limit's bytes at most, and says whether the file goes on.
  folder.write("head", "0123456789");
  for (const std::size_t limit : {4u, 10u}) {
    const auto head = fileio::readFileHead(folder.str() + "/head", limit);
    EXPECT_TRUE(head && head->bytes == std::string("0123456789").substr(0, limit) &&
                head->whole == (limit == 10))
        << limit;
  }
  folder.write("X/ordem.txt", "1\r2\r3\r4\r5\r");
  EXPECT_EQ(readOrder(folder.str() + "/X/").status, OrderStatus::Accepted);
  folder.mkdir("L");
  std::filesystem::create_symlink("../X/ordem.txt", folder.path() / "L/ordem.txt");
  EXPECT_EQ(readOrder(folder.str() + "/L/").status, OrderStatus::Accepted) << "a link is followed";
  // Lines after the sixth fill the file up to the limit, and one byte past it.
  const std::string order = "1\r2\r3\r4\r5\rX\r";
  folder.write("X/ordem.txt", order + std::string(kOrderSizeLimit - order.size(), 'p'));
  const OrderReading atLimit = readOrder(folder.str() + "/X/");
  EXPECT_EQ(atLimit.status, OrderStatus::Accepted);
  EXPECT_EQ(atLimit.order.textoPorta, "X");
  folder.write("X/ordem.txt", order + std::string(kOrderSizeLimit - order.size() + 1, 'p'));
  EXPECT_EQ(readOrder(folder.str() + "/X/").status, OrderStatus::Incorrect);
  EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

TEST(StartupSettings, FirstCharacterOfTwoLines) {
  using P = DisplaySettings::Problem;
  EXPECT_EQ(parseDisplaySettings(std::nullopt).problem, P::NoDisplayLine);
  EXPECT_EQ(parseDisplaySettings("").problem, P::NoDisplayLine);
  // A lone LF ends no line: "S\n5\n" is one.
  for (const char* noTime : {"\r\n", "S\r\n", "S\r\n\r\n", "S\r\nx5\r\n", "S\n5\n"}) {
    EXPECT_EQ(parseDisplaySettings(noTime).problem, P::NoTimeLine) << noTime;
  }
  const auto hidden = parseDisplaySettings("Nao\r\n9\r\n");
  EXPECT_TRUE(hidden.hidden);
  EXPECT_FALSE(hidden.displaySeconds);
  EXPECT_TRUE(parseDisplaySettings("N").hidden);
  const auto shown = parseDisplaySettings("n\r15 seconds");
  EXPECT_FALSE(shown.hidden);
  EXPECT_EQ(shown.displaySeconds, 1);
  EXPECT_EQ(parseDisplaySettings("\r0").displaySeconds, 0);
}

TEST(Settings, StringAndParsing) {
  // Letters are matched without the machine's locale: only A to Z change.
  // Checked at run time, so that a mistake fails this test, not the build.
  EXPECT_EQ(std::string({lowerAscii('A'), lowerAscii('Z'), lowerAscii('@'), lowerAscii('['),
                         lowerAscii('\xC9')}),
            "az@[\xC9");
  EXPECT_EQ(settingsString("9600", "E", "8", "1"), "9600,e,8,1");
  EXPECT_EQ(settingsString("9600 ", "N", " 8", "1.5"), "9600 ,n, 8,1.5");

  const auto s = parseSettings(" 115200 , M ,7,\t1.5 ");
  ASSERT_TRUE(s);
  EXPECT_EQ(*s, (LineSettings{115200, Parity::Mark, 7, StopBits::OneHalf}));
  EXPECT_EQ(parseSettings("300,s,4,2")->parity, Parity::Space);
  EXPECT_EQ(parseSettings("31250,o,5,2")->baud, 31250u);
  EXPECT_EQ(parseSettings("4294967295,n,8,1")->baud, 4294967295u);
  EXPECT_EQ(parseSettings("000000000000000000000001,n,8,1")->baud, 1u);
  // Numbers with more digits than the type holds are refused, never wrapped:
  // 2^32, and 2^64 + 1, which 64-bit arithmetic would take for 1. Only
  // spaces and tabs are blanks around a field, not other control bytes.
  for (const char* bad :
       {"0,n,8,1", "-9600,n,8,1", "96OO,n,8,1", "9600,x,8,1", "9600,n,9,1", "9600,n,3,1",
        "9600,n,8,3", "9600,n,8,1.0", "9600,n,8", "9600,n,8,1,1", "9600,,8,1", "99999999999,n,8,1",
        "9 600,n,8,1", "9600,no,8,1", "4294967296,n,8,1", "18446744073709551617,n,8,1",
        "9600,n,18446744073709551624,1", "9600,n,8\v,1", "9600\x01,n,8,1"}) {
    EXPECT_FALSE(parseSettings(bad)) << bad;
  }
}

TEST(Settings, LineTimeCountsEveryBitOfACharacter) {
  using std::chrono::microseconds;
  // 8N1 is ten bits a character: 960 characters a second at 9600 baud.
  EXPECT_EQ(lineTime({9600, Parity::None, 8, StopBits::One}, 960), microseconds(1'000'000));
  // 7E2: start, 7 data, parity, 2 stop bits; a part of a microsecond counts.
  EXPECT_EQ(lineTime({9600, Parity::Even, 7, StopBits::Two}, 1), microseconds(1146));
  EXPECT_EQ(lineTime({300, Parity::None, 5, StopBits::OneHalf}, 2), microseconds(50'000));
  EXPECT_EQ(lineTime({115200, Parity::None, 8, StopBits::One}, 0), microseconds(0));
  EXPECT_EQ(lineTime({1, Parity::Odd, 8, StopBits::One}, 1), microseconds(11'000'000));
  // A whole order at the slowest rate does not overflow.
  EXPECT_EQ(lineTime({50, Parity::Mark, 8, StopBits::Two}, kOrderSizeLimit),
            microseconds(12LL * kOrderSizeLimit * 20'000));
}

TEST(Settings, PortNumberIsASixteenBitInteger) {
  EXPECT_EQ(parsePortNumber("3"), 3);
  EXPECT_EQ(parsePortNumber("  12 "), 12);
  EXPECT_EQ(parsePortNumber("+4"), 4);
  EXPECT_EQ(parsePortNumber("-32768"), -32768);
  EXPECT_EQ(parsePortNumber("32767"), 32767);
  EXPECT_EQ(parsePortNumber("00000000000000000000000007"), 7);
  for (const char* bad : {"COM3", "32768", "-32769", "65539", "18446744073709551619", "3.0", "3,0",
                          "", " ", "3 3", "0x3", "-", "+"}) {
    EXPECT_FALSE(parsePortNumber(bad)) << bad;
  }
}

TEST(Settings, PortSummaryLines) {
  EXPECT_EQ(portSummary("3", "9600", "8", "E", "1", 1),
            "\rPorta: COM3\r\r\nVelocidade: 9600\r\nBits: 8\r\nParidade: E\r\nStop bits: "
            "1\r\r\nDisparo RX: 1 crt");
}

TEST(WorkingPath, BackslashesBecomeSlashes) {
  EXPECT_EQ(workingPath("C:\\Apps\\Term", kOrderSuffix, PathStyle::Windows), "C:/Apps/Term/ORDEM/");
  EXPECT_EQ(workingPath("C:\\Apps", kConfigSuffix, PathStyle::Windows), "C:/Apps/config.ini");
  EXPECT_EQ(workingPath("/opt/a\\b", kResponseSuffix, PathStyle::Posix), "/opt/a\\b/RESPOSTA/");
  EXPECT_EQ(workingPath("", kOrderSuffix, PathStyle::Posix), "/ORDEM/");
}

TEST(ResponseFile, WrittenWholeWithClosingLineEnd) {
  TestFolder folder;
  folder.mkdir("RESPOSTA");
  folder.write("RESPOSTA/resposta.txt", std::string(5000, 'o'));
  const std::string reply("000|Sucesso\r\nA\0\xFF\r", 17);
  // Readable as any new file is: the calling program may be another user.
  for (const mode_t mask : {022, 077, 0}) {
    const mode_t callers = ::umask(mask);
    ASSERT_TRUE(writeResponse(folder.str() + "/RESPOSTA/", reply));
    ::umask(callers);
    const auto perms =
        std::filesystem::status(folder.path() / "RESPOSTA/resposta.txt").permissions();
    EXPECT_EQ(static_cast<mode_t>(perms), 0666 & ~mask) << std::oct << mask;
  }
  EXPECT_EQ(folder.read("RESPOSTA/resposta.txt"), reply + "\r\n");
  // Nothing but the response is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path() / "RESPOSTA"),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_FALSE(writeResponse(folder.str() + "/MISSING/", reply));
  EXPECT_FALSE(folder.exists("MISSING"));
}

TEST(ResponseFile, AFailedWriteLeavesNeitherATornNorAStaleFile) {
  // A full disk, played by a file size limit in a child process: met in
  // the text, or half-way through the closing line end, whose first byte
  // the disk still takes.
  for (const rlim_t bytes : {64, 1001}) {
    TestFolder folder;
    folder.mkdir("RESPOSTA");
    folder.write("RESPOSTA/resposta.txt", "000|Sucesso\r\nfrom an earlier run\r\n");
    const pid_t child = ::fork();
    if (child == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{bytes, bytes};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      ::_exit(writeResponse(folder.str() + "/RESPOSTA/", std::string(1000, 'x')) ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << bytes;
    EXPECT_TRUE(std::filesystem::is_empty(folder.path() / "RESPOSTA")) << bytes;
  }
}

TEST(ResponseFile, RewrittenInPlaceNeverShowsPartOfAnAnswer) {
  // A file rewritten where it stands, whose n-th step fails (a disk full for
  // a moment); n = 0 means every step succeeds.
  for (int failFrom = 0; failFrom <= 6; ++failFrom) {
    std::string file = "000|Sucesso\r\nold\r\n";
    std::vector<std::string> seen;
    int steps = 0;
    const auto step = [&](auto change) {
      if (++steps == failFrom) return false;
      change();
      seen.push_back(file);
      return true;
    };
    const fileio::InPlaceFile inPlace{
        [&](std::string_view bytes, std::uint64_t offset) {
          return step([&] {
            if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size());
            file.replace(offset, bytes.size(), bytes);
          });
        },
        [&](std::uint64_t length) { return step([&] { file.resize(length); }); }};
    const bool written = fileio::rewriteFirstByteLast(inPlace, {"001|Falha", "", "\r\nX\r\n"});
    EXPECT_EQ(written, failFrom == 0) << failFrom;
    EXPECT_EQ(file, failFrom == 0 ? "001|Falha\r\nX\r\n" : failFrom == 1 ? file : "") << failFrom;
    // Until the last step, a reader sees no result code: the file starts
    // with NUL, or is empty once a failure has cut it.
    for (std::size_t i = 0; i + 1 < seen.size(); ++i) {
      EXPECT_TRUE(seen[i].empty() || seen[i][0] == '\0') << failFrom << ": " << seen[i];
    }
    if (failFrom == 0) {
      EXPECT_EQ(steps, 6) << "NUL, cut, three pieces, first byte";
    }
  }
  const fileio::InPlaceFile never{[](std::string_view, std::uint64_t) { return false; },
                                  [](std::uint64_t) { return false; }};
  EXPECT_FALSE(fileio::rewriteFirstByteLast(never, {"", ""})) << "nothing to write";
}

TEST(Layout, ControlsSitInsideTheirFramesAndTheClientArea) {
  for (const auto& placement : layout::kControls) {
    const auto r = layout::clientRect(placement.id);
    EXPECT_LE(r.left + r.width, layout::kClientWidth) << placement.name;
    EXPECT_LE(r.top + r.height, layout::kClientHeight) << placement.name;
    if (placement.parent) {
      const auto& frame = layout::control(*placement.parent);
      EXPECT_LE(placement.left + placement.width, frame.width) << placement.name;
      EXPECT_LE(placement.top + placement.height, frame.height) << placement.name;
    }
  }
}

}  // namespace
}  // namespace ts
