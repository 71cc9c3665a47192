#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ts {

// Windows-1252 bytes as UTF-8, for drawing. Every byte maps to its own code
// point, so no two texts look alike by accident; the five bytes the code
// page leaves undefined keep their C1 code points.
std::string windows1252ToUtf8(std::string_view bytes);

// A text area shows a few lines: only this much of a text is ever laid out,
// so that showing a long text costs no more than showing a screenful (the
// window keeps every byte, and the response file receives them all).
inline constexpr std::size_t kLaidOutBytes = 4096;

// Pixel advance of each byte in the window's font (0 for bytes not drawn).
using Advances = std::array<int, 256>;

// The lines a text area or label shows of the first kLaidOutBytes of `text`,
// at most `maxLines`, each at most `widthPx` wide where it can be broken.
// CR LF, a lone CR and a lone LF each end a line (so CR CR LF leaves a blank
// line, as on Windows); long lines wrap at the last blank that fits, or
// inside a word too long for the width. Control bytes are not drawn (a tab
// shows as a blank). Lines stay Windows-1252 bytes.
std::vector<std::string> visibleLines(std::string_view text, const Advances& advances, int widthPx,
                                      std::size_t maxLines);

}  // namespace ts
