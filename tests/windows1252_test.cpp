// What the Windows window shows for the Windows-1252 bytes it is given.
#include "text/windows1252.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <optional>

namespace ts {
namespace {

using windows1252::displayText;

// The code page as the C library knows it: the character of one byte, or
// nothing where the code page leaves the byte undefined.
std::optional<char32_t> codePage1252(unsigned char byte) {
  const iconv_t cd = ::iconv_open("UTF-32LE", "CP1252");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  char in[1] = {static_cast<char>(byte)};
  unsigned char out[4] = {};
  char* inPtr = in;
  char* outPtr = reinterpret_cast<char*>(out);
  std::size_t inLeft = 1, outLeft = sizeof out;
  const bool ok = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1);
  ::iconv_close(cd);
  if (!ok || outLeft != 0) return std::nullopt;
  return static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24);
}

TEST(Windows1252, MapsEveryByteAsTheCodePageDoes) {
  const iconv_t available = ::iconv_open("UTF-32LE", "CP1252");
  ASSERT_NE(available, reinterpret_cast<iconv_t>(-1)) << "the C library has no CP1252";
  ::iconv_close(available);
  std::u32string undefined;
  for (int byte = 0; byte < 256; ++byte) {
    const char16_t shown = windows1252::toUnicode(static_cast<unsigned char>(byte));
    if (const auto expected = codePage1252(static_cast<unsigned char>(byte))) {
      EXPECT_EQ(static_cast<char32_t>(shown), *expected) << std::hex << byte;
    } else {
      // Undefined in the code page: the byte keeps its own value.
      undefined += static_cast<char32_t>(byte);
      EXPECT_EQ(shown, byte) << std::hex << byte;
    }
  }
  EXPECT_EQ(undefined, U"\x81\x8D\x8F\x90\x9D");
  EXPECT_EQ(displayText("Tr\xE1"
                        "fego p\xF4"
                        "de \xE7\xE3o \x80\x81\x9F\xFF"),
            u"Tráfego pôde ção €\u0081Ÿÿ");
}

TEST(Windows1252, EveryLineEndShowsAsALineBreakAndNulAsABlank) {
  // The port summary's lone CR and CR CR LF groups.
  EXPECT_EQ(displayText("\rPorta: COM3\r\r\nBits: 8\r\nX\nY"),
            u"\r\nPorta: COM3\r\n\r\nBits: 8\r\nX\r\nY");
  EXPECT_EQ(displayText(std::string("a\0b\r", 4)), u"a b\r\n");
  EXPECT_EQ(displayText(""), u"");
}

}  // namespace
}  // namespace ts
