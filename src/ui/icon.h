#pragma once

#include <cstdint>
#include <vector>

namespace ts {

// The window's icon, the shell of a serial connector with its two rows of
// pins, drawn at any size: at run time by the X11 window, at build time
// into the Windows executable's icon resource (tools/make_icon.cpp).
// `size` x `size` pixels, rows from the top, each 0xAARRGGBB with straight
// (not premultiplied) alpha. Sizes below 1 give no pixels.
std::vector<std::uint32_t> iconPixels(int size);

}  // namespace ts
