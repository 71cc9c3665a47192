#include "text/windows1252.h"

#include <array>

namespace ts::windows1252 {
namespace {

// 0x80 to 0x9F, where Windows-1252 differs from Latin-1.
constexpr std::array<char16_t, 32> kHighControls{
    u'\u20AC', u'\u0081', u'\u201A', u'\u0192', u'\u201E', u'\u2026', u'\u2020', u'\u2021',
    u'\u02C6', u'\u2030', u'\u0160', u'\u2039', u'\u0152', u'\u008D', u'\u017D', u'\u008F',
    u'\u0090', u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014',
    u'\u02DC', u'\u2122', u'\u0161', u'\u203A', u'\u0153', u'\u009D', u'\u017E', u'\u0178',
};

}  // namespace

char16_t toUnicode(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
  return static_cast<char16_t>(byte);
}

std::u16string displayText(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size() + bytes.size() / 8);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r' || c == '\n') {
      // CR LF is one line end; a lone CR or LF is one too.
      if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
      text += u"\r\n";
    } else if (c == '\0') {
      text += u' ';
    } else {
      text += toUnicode(static_cast<unsigned char>(c));
    }
  }
  return text;
}

}  // namespace ts::windows1252
