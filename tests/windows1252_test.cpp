// What the Windows window shows for the Windows-1252 bytes it is given.
#include "text/windows1252.h"

#include <gtest/gtest.h>

namespace ts {
namespace {

using windows1252::displayText;

// Each byte is checked against the C library's code page by
// Windows1252.EveryByteDrawsAsTheCodePageCharacter, through the same table.
TEST(Windows1252, MapsEveryByteByTheFixedTable) {
  EXPECT_EQ(displayText("Tr\xE1"
                        "fego p\xF4"
                        "de \xE7\xE3o"),
            u"Tráfego pôde ção");
  // Where Windows-1252 differs from Latin-1, including the undefined bytes.
  EXPECT_EQ(displayText("\x80\x81\x8A\x8D\x93\x94\x99\x9F"), u"€\u0081Š\u008D“”™Ÿ");
  EXPECT_EQ(displayText("\x7F\xA0\xFF"), u"\u007F\u00A0ÿ");
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
