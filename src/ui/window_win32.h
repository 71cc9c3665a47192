#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <string>

#include "loop/event_loop_win32.h"
#include "ui/layout.h"
#include "ui/window.h"

namespace ts {

// FormPrincipal as a Win32 top-level window: fixed single border, the
// layout's controls placed in twips converted with the screen's real pixels
// per inch, texts shown in UTF-16 but kept as the bytes they were given.
// Created hidden; the run decides whether it is shown, and it is shown
// without taking the focus from the program that started this one.
//
// Laying out a text in a control can take long (an edit control wraps a
// long unbroken line slowly), so setText() only keeps the bytes: the
// controls receive them when the loop is about to wait, and only while the
// window is shown. Whatever a handler shows and then sends is sent at once.
class Win32Window : public Window {
 public:
  // Throws std::runtime_error when the window cannot be created. The loop
  // must outlive the window.
  explicit Win32Window(Win32EventLoop& loop);
  ~Win32Window() override;
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  void setText(Control control, std::string text) override;
  const std::string& text(Control control) const override;
  bool canDisplay() const override { return true; }
  void setVisible(bool visible) override;
  bool visible() const override;
  ScreenMetrics screenMetrics() const override;
  std::int32_t outerWidthTwips() const override;
  void moveTo(std::int32_t leftTwips, std::int32_t topTwips) override;
  void setOnClose(std::function<void()> handler) override;

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  // Brushes, font and icons: freed when the window goes, or when it could
  // not be made.
  void releaseDrawingObjects();
  void createFont();
  void createControls();
  HBRUSH colourControl(HDC dc, HWND control) const;
  void notifyClosed();
  int pixelsX(int twips) const;
  int pixelsY(int twips) const;
  HWND controlWindow(layout::Id id) const;
  // Gives the controls the texts they do not show yet; nothing while hidden.
  void showKeptTexts();

  Win32EventLoop& loop_;
  int dpiX_ = 96;
  int dpiY_ = 96;
  HWND window_ = nullptr;
  HFONT font_ = nullptr;
  HBRUSH workspaceBrush_ = nullptr;
  HBRUSH labelBrush_ = nullptr;
  HBRUSH textAreaBrush_ = nullptr;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  std::array<HWND, layout::kControls.size()> controls_{};
  std::array<std::string, 3> texts_;
  // Texts kept but not yet given to their control.
  std::array<bool, 3> unshown_{};
  std::function<void()> onClose_;
  bool closed_ = false;
};

}  // namespace ts
