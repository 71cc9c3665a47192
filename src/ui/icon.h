#pragma once

#include <cstdint>
#include <vector>

namespace ts {

// The window's icon, drawn at whatever size a platform asks for rather than
// stored: the shell of a serial connector with its two rows of pins.
// `size` x `size` pixels, rows from the top, each 0xAARRGGBB with straight
// (not premultiplied) alpha. Sizes below 1 give no pixels.
std::vector<std::uint32_t> iconPixels(int size);

}  // namespace ts
