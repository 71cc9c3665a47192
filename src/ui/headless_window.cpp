#include "ui/headless_window.h"

#include <utility>

#include "ui/layout.h"

namespace ts {
namespace {

// A 1920-pixel screen at 96 pixels per inch, with a thin border.
constexpr std::int32_t kTwipsPerPixel = 15;
constexpr std::int32_t kScreenWidthPixels = 1920;
constexpr std::int32_t kBorderTwips = 2 * 3 * kTwipsPerPixel;

}  // namespace

void HeadlessWindow::setText(Control control, std::string text) {
  texts_[static_cast<std::size_t>(control)] = std::move(text);
}

const std::string& HeadlessWindow::text(Control control) const {
  return texts_[static_cast<std::size_t>(control)];
}

ScreenMetrics HeadlessWindow::screenMetrics() const {
  return {kScreenWidthPixels * kTwipsPerPixel, kTwipsPerPixel, kTwipsPerPixel};
}

std::int32_t HeadlessWindow::outerWidthTwips() const {
  return layout::kClientWidth + kBorderTwips;
}

void HeadlessWindow::moveTo(std::int32_t leftTwips, std::int32_t topTwips) {
  left_ = leftTwips;
  top_ = topTwips;
}

}  // namespace ts
