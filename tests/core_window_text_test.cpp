// What the window draws: the code page conversion, the line structure of
// the shown texts, wrapping and clipping, the twips-to-pixels scale and the
// icon.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "app/check.h"
#include "serial/settings.h"
#include "ui/display_text.h"
#include "ui/icon.h"
#include "ui/layout.h"
#include "ui/screen_scale.h"

namespace ts {
namespace {

Advances uniform(int width) {
  Advances advances;
  advances.fill(width);
  return advances;
}

std::vector<std::string> lines(std::string_view text, int widthPx = 1000,
                               std::size_t maxLines = 100) {
  return visibleLines(text, uniform(1), widthPx, maxLines);
}

// One byte as the C library's CP1252 gives it in UTF-8; the bytes that code
// page leaves undefined are drawn as the control character of their value.
std::string codePageUtf8(unsigned char byte) {
  const iconv_t cd = ::iconv_open("UTF-8", "CP1252");
  char in[1] = {static_cast<char>(byte)};
  char out[4] = {};
  char* inPtr = in;
  char* outPtr = out;
  std::size_t inLeft = 1, outLeft = sizeof out;
  const bool ok = cd != reinterpret_cast<iconv_t>(-1) &&
                  ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1);
  if (cd != reinterpret_cast<iconv_t>(-1)) ::iconv_close(cd);
  if (!ok) return {static_cast<char>(0xC2), static_cast<char>(byte)};
  return std::string(out, sizeof out - outLeft);
}

TEST(Windows1252, EveryByteDrawsAsTheCodePageCharacter) {
  std::string all;
  std::string expected;
  for (int byte = 0; byte < 256; ++byte) {
    const auto b = static_cast<unsigned char>(byte);
    EXPECT_EQ(windows1252ToUtf8(std::string(1, static_cast<char>(b))), codePageUtf8(b))
        << std::hex << byte;
    all += static_cast<char>(b);
    expected += codePageUtf8(b);
  }
  EXPECT_EQ(windows1252ToUtf8(all), expected);
  // The check quotes order bytes the same way, with line ends, the
  // backslash and other control bytes written out so that each shows.
  EXPECT_EQ(check::printable("a b\r\n\\\t\x7F\x80\xE9\x98"), "a b\\r\\n\\\\\\x09\\x7F€é˜");
}

TEST(VisibleLines, FollowTheLineStructureOfTheTexts) {
  const std::string summary = portSummary("3", "9600", "8", "N", "1", 1);
  EXPECT_EQ(lines(summary),
            (std::vector<std::string>{"", "Porta: COM3", "", "Velocidade: 9600", "Bits: 8",
                                      "Paridade: N", "Stop bits: 1", "", "Disparo RX: 1 crt"}));
  EXPECT_EQ(lines("000|Sucesso\r\nA\rB\nC\r\n\r\nD"),
            (std::vector<std::string>{"000|Sucesso", "A", "B", "C", "", "D"}));
  EXPECT_EQ(lines("a\tb\x01"
                  "c\x7F\x81"
                  "d\x80"),
            (std::vector<std::string>{"a bcd\x80"}));
  EXPECT_TRUE(lines("").empty());
}

TEST(VisibleLines, WrapAtBlanksOrInsideLongWordsAndClip) {
  EXPECT_EQ(lines("hello world again", 10), (std::vector<std::string>{"hello", "world", "again"}));
  EXPECT_EQ(lines("abcdefghijklm", 5), (std::vector<std::string>{"abcde", "fghij", "klm"}));
  // Blanks that start a text stay; a wrapped line starts at its next word.
  EXPECT_EQ(lines("  lead  and  more", 8), (std::vector<std::string>{"  lead ", "and ", "more"}));
  EXPECT_EQ(lines(" abcdefghij", 5), (std::vector<std::string>{" abcd", "efghi", "j"}));
  // A glyph wider than the area still advances.
  EXPECT_EQ(lines("xyz", 0), (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_EQ(lines("1\r\n2\r\n3\r\n4", 10, 2), (std::vector<std::string>{"1", "2"}));
  // A megabyte reply costs only the lines that show.
  const std::vector<std::string> shown = lines(std::string(1 << 20, 'F'), 100, 3);
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[2], std::string(100, 'F'));
  // Only the first 4 KiB is ever laid out, however wide the area.
  EXPECT_EQ(lines(std::string(4096, 'a') + "b", 1 << 20),
            (std::vector<std::string>{std::string(4096, 'a')}));
}

TEST(ScreenScale, SizesFollowTheRealDensityAndPlacementWholeTwips) {
  EXPECT_EQ(twipsToPixels(layout::kClientWidth, 96), 327);
  EXPECT_EQ(twipsToPixels(layout::kClientHeight, 96), 208);
  EXPECT_EQ(twipsPerPixel(96), 15);
  EXPECT_EQ(twipsToPixels(1000, 96), 67);          // 66.7, rounded
  const double xvfb = densityFromSize(1920, 488);  // 99.9 pixels per inch
  EXPECT_EQ(twipsToPixels(layout::kClientWidth, xvfb), 340);
  EXPECT_EQ(twipsPerPixel(xvfb), 14);
  EXPECT_EQ(twipsPerPixel(120), 12);
  EXPECT_EQ(twipsPerPixel(92), 16);  // 15.65, rounded
  // Unknown or absurd sizes fall back to the usual density.
  for (const auto& [pixels, millimetres] :
       std::vector<std::pair<int, int>>{{1920, 0}, {1920, 1}, {0, 0}, {-1920, 488}, {1920, -488}}) {
    EXPECT_EQ(densityFromSize(pixels, millimetres), 96) << pixels << " " << millimetres;
  }
  for (const auto& [dpi, plausible] : std::vector<std::pair<double, bool>>{
           {0.0, false}, {23.9, false}, {24, true}, {1440, true}, {1440.1, false}}) {
    EXPECT_EQ(isPlausibleDensity(dpi), plausible) << dpi;
  }
  // Neighbouring edges stay shared: TX's label ends where its area starts.
  // Each direction has its own density.
  const PixelRect area = toPixels(layout::clientRect(layout::Id::TextTX), {xvfb, 192});
  const PixelRect frame = toPixels(layout::clientRect(layout::Id::Frame1), {xvfb, 192});
  EXPECT_EQ(area.x, frame.x + twipsToPixels(120, xvfb));
  EXPECT_EQ(area.y, 96);  // 720 twips at 192 pixels per inch
  EXPECT_EQ(area.height, 114);
  // A size is the distance of the rounded edges, not rounded itself: the
  // port summary ends where its right edge's twips put it.
  const PixelRect port = toPixels(layout::clientRect(layout::Id::LblPorta), {xvfb, 192});
  EXPECT_EQ(port.x + port.width, twipsToPixels(240 + 1695, xvfb));
}

// Where each control sits on the client area, in tab order, twip for twip
// as users in the field know the window, whatever the nesting in frames.
TEST(ScreenScale, EveryControlWhereTheKnownWindowHasIt) {
  using layout::Id;
  const std::vector<std::pair<Id, std::array<int, 4>>> expected{
      {Id::Frame1, {2160, 120, 2655, 2895}}, {Id::TextTX, {2280, 720, 2415, 855}},
      {Id::Label1, {2280, 480, 975, 255}},   {Id::Label2, {2280, 1800, 975, 255}},
      {Id::TextRX, {2280, 2040, 2415, 855}}, {Id::Frame2, {120, 120, 1935, 2895}},
      {Id::LblPorta, {240, 480, 1695, 2415}}};
  EXPECT_EQ((std::pair{layout::kClientWidth, layout::kClientHeight}), (std::pair{4905, 3120}));
  ASSERT_EQ(layout::kControls.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& [id, rect] = expected[i];
    EXPECT_EQ(layout::kControls[i].id, id) << i;
    const layout::Rect placed = layout::clientRect(id);
    EXPECT_EQ((std::array{placed.left, placed.top, placed.width, placed.height}), rect)
        << layout::control(id).name;
  }
}

TEST(Icon, AnOpaqueConnectorWithLightPinsOnATransparentSquare) {
  for (const int size : {16, 32, 48}) {
    const std::vector<std::uint32_t> pixels = iconPixels(size);
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(size * size));
    const auto at = [&](int x, int y) { return pixels[static_cast<std::size_t>(y * size + x)]; };
    for (const int x : {0, size - 1}) {
      for (const int y : {0, size - 1}) EXPECT_EQ(at(x, y), 0u) << size;
    }
    EXPECT_EQ(at(size / 2, size / 2) >> 24, 255u) << size;
    // Its edges are smoothed: pixels they cross in part are partly opaque.
    EXPECT_TRUE(std::any_of(pixels.begin(), pixels.end(), [](std::uint32_t p) {
      return p >> 24 > 0 && p >> 24 < 255;
    })) << size;
    // The connector is drawn symmetric, its smoothed edges too.
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size / 2; ++x) ASSERT_EQ(at(x, y), at(size - 1 - x, y)) << size;
    }
  }
  // At 48 pixels the middle pin of the upper row covers whole pixels.
  const std::vector<std::uint32_t> large = iconPixels(48);
  EXPECT_EQ(large[19 * 48 + 24], 0xFFF2F2F2u);
  EXPECT_EQ(large[24 * 48 + 8], 0xFF1F4E79u);
  EXPECT_TRUE(iconPixels(0).empty());
  // Five pins above and four below, as on the connector it stands for.
  const auto pinsInRow = [&](int y) {
    int pins = 0;
    bool onPin = false;
    for (int x = 0; x < 48; ++x) {
      const bool light = (large[static_cast<std::size_t>(y * 48 + x)] >> 16 & 0xFF) > 0x80;
      pins += light && !onPin;
      onPin = light;
    }
    return pins;
  };
  EXPECT_EQ(pinsInRow(19), 5);
  EXPECT_EQ(pinsInRow(28), 4);
}

}  // namespace
}  // namespace ts
