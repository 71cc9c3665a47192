#pragma once

#include <array>
#include <functional>

#include "ui/window.h"

namespace ts {

// The window of a run without a screen: it keeps the controls' texts and
// answers fixed screen metrics, and never shows anything.
class HeadlessWindow : public Window {
 public:
  void setText(Control control, std::string text) override;
  const std::string& text(Control control) const override;
  bool canDisplay() const override { return false; }
  void setVisible(bool) override {}
  bool visible() const override { return false; }
  ScreenMetrics screenMetrics() const override;
  std::int32_t outerWidthTwips() const override;
  void moveTo(std::int32_t leftTwips, std::int32_t topTwips) override;
  void setOnClose(std::function<void()>) override {}

  std::int32_t left() const { return left_; }
  std::int32_t top() const { return top_; }

 private:
  std::array<std::string, 3> texts_;
  std::int32_t left_ = 0;
  std::int32_t top_ = 0;
};

}  // namespace ts
