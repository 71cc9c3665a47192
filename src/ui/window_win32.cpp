#include "ui/window_win32.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "text/windows1252.h"
#include "ui/icon_resource_win32.h"

namespace ts {
namespace {

constexpr wchar_t kWindowClass[] = L"TerminalSerialForm";
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kTwipsPerInch = 1440;
constexpr unsigned kWhite = 0xFFFFFF;
constexpr unsigned kBlack = 0x000000;
// A text area shows a few lines; beyond this many bytes a text is shown cut
// (it is kept whole for the response file). Wrapping a long unbroken line
// in an edit control costs time growing with the square of its length:
// 4 KiB takes about 0.1 to 0.2 s under Wine, 32 KiB tens of seconds.
constexpr std::size_t kShownBytes = 4096;
// Faces tried in turn; Tahoma is Verdana's narrower sibling and on every
// Windows since 2000.
constexpr const wchar_t* kFallbackFaces[] = {L"Tahoma", L"MS Shell Dlg 2"};

std::wstring wide(std::string_view windows1252Bytes) {
  const std::u16string text = windows1252::displayText(windows1252Bytes);
  return std::wstring(text.begin(), text.end());
}

COLORREF colour(unsigned rgb) {
  return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

layout::Id layoutId(Control control) {
  switch (control) {
    case Control::LblPorta:
      return layout::Id::LblPorta;
    case Control::TextTX:
      return layout::Id::TextTX;
    case Control::TextRX:
      break;
  }
  return layout::Id::TextRX;
}

HFONT fontWithFace(const std::wstring& face, int dpiY) {
  LOGFONTW font{};
  font.lfHeight = -static_cast<LONG>(std::lround(layout::kFontPoints * dpiY / 72.0));
  font.lfWeight = layout::kFontWeight;
  font.lfCharSet = ANSI_CHARSET;
  face.copy(font.lfFaceName, LF_FACESIZE - 1);
  return CreateFontIndirectW(&font);
}

// The executable's own icon (the one Explorer shows), at the size the
// system asks for.
HICON loadIcon(int widthMetric, int heightMetric) {
  return static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(TS_ICON_RESOURCE), IMAGE_ICON,
                 GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric), LR_DEFAULTCOLOR));
}

// The face the font mapper actually chose for `font`.
std::wstring chosenFace(HFONT font) {
  const HDC screen = GetDC(nullptr);
  const HGDIOBJ previous = SelectObject(screen, font);
  wchar_t face[LF_FACESIZE] = {};
  GetTextFaceW(screen, LF_FACESIZE, face);
  SelectObject(screen, previous);
  ReleaseDC(nullptr, screen);
  return face;
}

struct ControlClass {
  const wchar_t* name;
  DWORD style;
  DWORD exStyle;
};

ControlClass classOf(layout::Kind kind) {
  switch (kind) {
    case layout::Kind::Frame:
      return {L"BUTTON", BS_GROUPBOX, 0};
    case layout::Kind::Label:
      return {L"STATIC", SS_LEFT | SS_NOPREFIX, 0};
    case layout::Kind::TextArea:
      break;
  }
  return {L"EDIT", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, WS_EX_CLIENTEDGE};
}

}  // namespace

Win32Window::Win32Window(Win32EventLoop& loop) : loop_(loop) {
  const HDC screen = GetDC(nullptr);
  dpiX_ = GetDeviceCaps(screen, LOGPIXELSX);
  dpiY_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  if (dpiX_ <= 0 || dpiY_ <= 0) dpiX_ = dpiY_ = 96;

  workspaceBrush_ = CreateSolidBrush(colour(layout::kWorkspaceGrey));
  labelBrush_ = CreateSolidBrush(colour(layout::kActiveBorderGrey));
  textAreaBrush_ = CreateSolidBrush(colour(kWhite));

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &Win32Window::windowProc;
  windowClass.hInstance = instance;
  icon_ = loadIcon(SM_CXICON, SM_CYICON);
  smallIcon_ = loadIcon(SM_CXSMICON, SM_CYSMICON);
  windowClass.hIcon = icon_;
  windowClass.hIconSm = smallIcon_;
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hbrBackground = workspaceBrush_;
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExW(&windowClass);

  // The client area has the layout's size; the border comes on top.
  RECT outer{0, 0, pixelsX(layout::kClientWidth), pixelsY(layout::kClientHeight)};
  AdjustWindowRectEx(&outer, kWindowStyle, FALSE, 0);
  window_ = CreateWindowExW(0, kWindowClass, wide(layout::kCaption).c_str(), kWindowStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, outer.right - outer.left,
                            outer.bottom - outer.top, nullptr, nullptr, instance, this);
  if (!window_) {
    releaseDrawingObjects();
    throw std::runtime_error("cannot create the window");
  }
  createFont();
  createControls();
  loop_.setIdleHandler([this] { showKeptTexts(); });
}

Win32Window::~Win32Window() {
  loop_.setIdleHandler(nullptr);
  // The run is over: destroying the window is not the user closing it.
  onClose_ = nullptr;
  DestroyWindow(window_);
  releaseDrawingObjects();
}

void Win32Window::releaseDrawingObjects() {
  if (font_) DeleteObject(font_);
  DeleteObject(workspaceBrush_);
  DeleteObject(labelBrush_);
  DeleteObject(textAreaBrush_);
  if (icon_) DestroyIcon(icon_);
  if (smallIcon_) DestroyIcon(smallIcon_);
}

int Win32Window::pixelsX(int twips) const {
  return MulDiv(twips, dpiX_, kTwipsPerInch);
}
int Win32Window::pixelsY(int twips) const {
  return MulDiv(twips, dpiY_, kTwipsPerInch);
}

void Win32Window::createFont() {
  const std::wstring preferred = wide(layout::kFontFace);
  font_ = fontWithFace(preferred, dpiY_);
  if (font_ && _wcsicmp(chosenFace(font_).c_str(), preferred.c_str()) == 0) return;
  for (const wchar_t* face : kFallbackFaces) {
    if (font_) DeleteObject(font_);
    font_ = fontWithFace(face, dpiY_);
    if (font_ && _wcsicmp(chosenFace(font_).c_str(), face) == 0) return;
  }
  // Whatever the mapper gave for the last face will do.
}

void Win32Window::createControls() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  for (std::size_t i = 0; i < layout::kControls.size(); ++i) {
    const layout::ControlPlacement& placement = layout::kControls[i];
    const layout::Rect place = layout::clientRect(placement.id);
    const ControlClass kind = classOf(placement.kind);
    const int left = pixelsX(place.left);
    const int top = pixelsY(place.top);
    // Edges converted, not sizes, so neighbours line up after rounding.
    const int width = pixelsX(place.left + place.width) - left;
    const int height = pixelsY(place.top + place.height) - top;
    controls_[i] =
        CreateWindowExW(kind.exStyle, kind.name, wide(placement.caption).c_str(),
                        WS_CHILD | WS_VISIBLE | kind.style, left, top, width, height, window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(i + 1)), instance, nullptr);
    if (controls_[i] && font_)
      SendMessageW(controls_[i], WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  }
}

HWND Win32Window::controlWindow(layout::Id id) const {
  for (std::size_t i = 0; i < layout::kControls.size(); ++i) {
    if (layout::kControls[i].id == id) return controls_[i];
  }
  return nullptr;
}

void Win32Window::setText(Control control, std::string text) {
  const auto index = static_cast<std::size_t>(control);
  texts_[index] = std::move(text);
  unshown_[index] = true;
}

void Win32Window::showKeptTexts() {
  if (!visible()) return;
  for (const Control control : {Control::LblPorta, Control::TextTX, Control::TextRX}) {
    const auto index = static_cast<std::size_t>(control);
    if (!unshown_[index]) continue;
    unshown_[index] = false;
    const std::string_view shown = std::string_view(texts_[index]).substr(0, kShownBytes);
    SetWindowTextW(controlWindow(layoutId(control)), wide(shown).c_str());
  }
}

const std::string& Win32Window::text(Control control) const {
  // The bytes as given: a reply's NULs and undefined code points survive,
  // which reading back through the control would not guarantee.
  return texts_[static_cast<std::size_t>(control)];
}

void Win32Window::setVisible(bool visible) {
  // Not ShowWindow: its first call in a process follows the show state the
  // starting program put in STARTUPINFO (hidden, minimised, maximised), and
  // only config.ini decides. Shown on top but not activated, so the calling
  // program keeps the keyboard focus (a scanner typing into it, say). The
  // texts kept meanwhile reach the controls once the loop is idle.
  const UINT show = visible ? SWP_SHOWWINDOW : SWP_HIDEWINDOW | SWP_NOZORDER;
  SetWindowPos(window_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | show);
}

bool Win32Window::visible() const {
  return IsWindowVisible(window_) != 0;
}

ScreenMetrics Win32Window::screenMetrics() const {
  // Whole twips per pixel, and the width in 32 bits, so that moveTo lands
  // on exact pixels on any screen, also one wider than 32767 twips.
  const std::int32_t perPixelX = std::max(1L, std::lround(double{kTwipsPerInch} / dpiX_));
  const std::int32_t perPixelY = std::max(1L, std::lround(double{kTwipsPerInch} / dpiY_));
  return {GetSystemMetrics(SM_CXSCREEN) * perPixelX, perPixelX, perPixelY};
}

std::int32_t Win32Window::outerWidthTwips() const {
  RECT outer{};
  GetWindowRect(window_, &outer);
  return (outer.right - outer.left) * screenMetrics().twipsPerPixelX;
}

void Win32Window::moveTo(std::int32_t leftTwips, std::int32_t topTwips) {
  const ScreenMetrics metrics = screenMetrics();
  SetWindowPos(window_, nullptr, leftTwips / metrics.twipsPerPixelX,
               topTwips / metrics.twipsPerPixelY, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Window::setOnClose(std::function<void()> handler) {
  onClose_ = std::move(handler);
}

void Win32Window::notifyClosed() {
  if (closed_ || !onClose_) return;
  closed_ = true;
  onClose_();
}

HBRUSH Win32Window::colourControl(HDC dc, HWND control) const {
  if (control == controlWindow(layout::Id::TextTX) ||
      control == controlWindow(layout::Id::TextRX)) {
    SetTextColor(dc, colour(layout::kRed));
    SetBkColor(dc, colour(kWhite));
    return textAreaBrush_;
  }
  if (control == controlWindow(layout::Id::LblPorta)) {
    SetTextColor(dc, colour(layout::kBlue));
    SetBkColor(dc, colour(layout::kActiveBorderGrey));
    return labelBrush_;
  }
  SetTextColor(dc, colour(kBlack));
  SetBkColor(dc, colour(layout::kWorkspaceGrey));
  return workspaceBrush_;
}

LRESULT CALLBACK Win32Window::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self || !self->window_) return DefWindowProcW(window, message, wParam, lParam);
  return self->handle(message, wParam, lParam);
}

LRESULT Win32Window::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
      return reinterpret_cast<LRESULT>(
          colourControl(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case WM_CLOSE:
      // The program ends; the window goes with it.
      notifyClosed();
      return 0;
    case WM_DESTROY:
      notifyClosed();
      return 0;
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}

}  // namespace ts
