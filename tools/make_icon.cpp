// Writes the window's icon as a Windows .ico file, drawn by the same code
// that draws it at run time on Linux, so the Windows executable's icon
// resource cannot drift from it. Runs on the build machine while the
// Windows executable is cross-built.
//
//   make-icon OUTPUT.ico
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ui/icon.h"

namespace {

// The sizes the title bar, the taskbar and Explorer ask for at 100 % to
// 200 % (16 to 32 for small icons, 32 to 64 for large ones), and Explorer's
// largest views (256).
constexpr int kSizes[] = {16, 20, 24, 32, 40, 48, 64, 256};

void put16(std::string& out, unsigned value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}

void put32(std::string& out, std::uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

// One image: a bitmap header of twice the height (colour and mask), the
// colour rows bottom-up as blue, green, red, alpha (straight alpha, as icons
// keep it), then the one-bit mask, set where the icon is fully transparent,
// for the systems that draw without alpha.
std::string image(int size) {
  const std::vector<std::uint32_t> pixels = ts::iconPixels(size);
  const int maskRowBytes = (size + 31) / 32 * 4;
  const auto colourBytes = static_cast<std::uint32_t>(size * size * 4);
  const auto maskBytes = static_cast<std::uint32_t>(maskRowBytes * size);
  std::string out;
  put32(out, 40);  // the header's own size
  put32(out, static_cast<std::uint32_t>(size));
  put32(out, static_cast<std::uint32_t>(size * 2));
  put16(out, 1);   // planes
  put16(out, 32);  // bits per pixel
  put32(out, 0);   // no compression
  put32(out, colourBytes + maskBytes);
  for (int unused = 0; unused < 4; ++unused) put32(out, 0);
  for (int row = size - 1; row >= 0; --row) {
    for (int column = 0; column < size; ++column) put32(out, pixels[row * size + column]);
  }
  for (int row = size - 1; row >= 0; --row) {
    std::string mask(static_cast<std::size_t>(maskRowBytes), '\0');
    for (int column = 0; column < size; ++column) {
      if ((pixels[row * size + column] >> 24) == 0)
        mask[column / 8] |= static_cast<char>(0x80 >> (column % 8));
    }
    out += mask;
  }
  return out;
}

std::string icoFile() {
  std::vector<std::string> images;
  for (const int size : kSizes) images.push_back(image(size));
  std::string out;
  put16(out, 0);  // reserved
  put16(out, 1);  // an icon, not a cursor
  put16(out, static_cast<unsigned>(images.size()));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    // Width and height in a byte each; 0 means 256.
    out += static_cast<char>(kSizes[i] & 0xFF);
    out += static_cast<char>(kSizes[i] & 0xFF);
    out += '\0';  // no palette
    out += '\0';
    put16(out, 1);
    put16(out, 32);
    put32(out, static_cast<std::uint32_t>(images[i].size()));
    put32(out, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const std::string& bytes : images) out += bytes;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-icon OUTPUT.ico\n");
    return 2;
  }
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file << icoFile();
  file.close();
  if (!file) {
    std::fprintf(stderr, "make-icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
