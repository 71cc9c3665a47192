#include "ui/display_text.h"

#include <algorithm>

#include "text/windows1252.h"

namespace ts {
namespace {

char32_t codePoint(unsigned char byte) {
  return windows1252::toUnicode(byte);
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the line break that starts at pos; 0 when none does.
std::size_t breakLength(std::string_view text, std::size_t pos) {
  if (text[pos] == '\n') return 1;
  if (text[pos] != '\r') return 0;
  // A lone CR is a line end of its own, as on Windows, so the port
  // summary's CR CR LF leaves a blank line between its groups.
  if (text.substr(pos, 2) == "\r\n") return 2;
  return 1;
}

bool isControl(unsigned char byte) {
  const char32_t cp = codePoint(byte);
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

int advance(const Advances& advances, char byte) {
  return advances[static_cast<unsigned char>(byte)];
}

// Breaks one line into pieces that fit `widthPx`, appending them to `lines`
// until it holds maxLines.
void wrapLine(std::string_view line, const Advances& advances, int widthPx, std::size_t maxLines,
              std::vector<std::string>& lines) {
  do {
    if (lines.size() == maxLines) return;
    std::size_t fit = 0;
    for (int used = 0; fit < line.size(); ++fit) {
      used += advance(advances, line[fit]);
      if (used > widthPx) break;
    }
    if (fit == line.size()) {
      lines.emplace_back(line);
      return;
    }
    std::size_t cut = fit;
    if (const std::size_t blank = line.rfind(' ', fit);
        blank != std::string_view::npos && blank > 0) {
      cut = blank;
    }
    cut = std::max<std::size_t>(cut, 1);  // a glyph wider than the area still takes a line
    lines.emplace_back(line.substr(0, cut));
    line.remove_prefix(cut);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  } while (!line.empty());
}

}  // namespace

std::string windows1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char byte : bytes) appendUtf8(out, codePoint(static_cast<unsigned char>(byte)));
  return out;
}

std::vector<std::string> visibleLines(std::string_view text, const Advances& advances, int widthPx,
                                      std::size_t maxLines) {
  text = text.substr(0, kLaidOutBytes);
  std::vector<std::string> lines;
  std::string line;
  std::size_t pos = 0;
  while (pos < text.size() && lines.size() < maxLines) {
    line.clear();
    std::size_t breakBytes = 0;
    for (; pos < text.size() && (breakBytes = breakLength(text, pos)) == 0; ++pos) {
      const auto byte = static_cast<unsigned char>(text[pos]);
      if (byte == '\t') {
        line += ' ';
      } else if (!isControl(byte)) {
        line += text[pos];
      }
    }
    wrapLine(line, advances, widthPx, maxLines, lines);
    pos += breakBytes;
  }
  return lines;
}

}  // namespace ts
