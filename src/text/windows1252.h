#pragma once

#include <string>
#include <string_view>

// Windows-1252 text at a window's edge. The table is fixed rather than
// taken from the machine's ANSI code page, so that files and the serial line
// read the same on every Windows installation.
namespace ts::windows1252 {

// The Unicode character of one byte. Bytes the code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) keep their own value, as Windows maps them.
char16_t toUnicode(unsigned char byte);

// The text as a window control shows it, in UTF-16: every line end (CR LF,
// lone CR, lone LF) becomes the CR LF that edit and static controls break
// lines at, and a NUL, which would end a window's text, shows as a blank so
// that what follows it stays visible.
std::u16string displayText(std::string_view bytes);

}  // namespace ts::windows1252
