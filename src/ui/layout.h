#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace ts::layout {

inline constexpr std::string_view kCaption = "Terminal Serial Vorlan - Multi Portas";

// Client area, in twips.
inline constexpr int kClientWidth = 4905;
inline constexpr int kClientHeight = 3120;

inline constexpr std::string_view kFontFace = "Verdana";
inline constexpr double kFontPoints = 8.25;
inline constexpr int kFontWeight = 400;

// Colours the window keeps, as RGB of the classic system colours they name.
inline constexpr unsigned kWorkspaceGrey = 0xABABAB;     // window and frames
inline constexpr unsigned kActiveBorderGrey = 0xB4B4B4;  // LblPorta background
inline constexpr unsigned kBlue = 0x0000FF;              // LblPorta text
inline constexpr unsigned kRed = 0xFF0000;               // text areas' text

enum class Kind { Frame, TextArea, Label };
enum class Id { Frame1, TextTX, Label1, Label2, TextRX, Frame2, LblPorta };

struct ControlPlacement {
  Id id;
  std::string_view name;
  Kind kind;
  // The frame the control sits in; nullopt for a control on the window.
  std::optional<Id> parent;
  // Twips, from the parent's top-left corner (a frame's caption lies inside
  // the frame's area).
  int left, top, width, height;
  // Windows-1252 bytes.
  std::string_view caption;
};

// In tab order.
inline constexpr std::array<ControlPlacement, 7> kControls{{
    {Id::Frame1, "Frame1", Kind::Frame, std::nullopt, 2160, 120, 2655, 2895,
     "Tr\xE1"
     "fego de dados: "},
    {Id::TextTX, "TextTX", Kind::TextArea, Id::Frame1, 120, 600, 2415, 855, ""},
    {Id::Label1, "Label1", Kind::Label, Id::Frame1, 120, 360, 975, 255, "TX:"},
    {Id::Label2, "Label2", Kind::Label, Id::Frame1, 120, 1680, 975, 255, "RX:"},
    {Id::TextRX, "TextRX", Kind::TextArea, Id::Frame1, 120, 1920, 2415, 855, ""},
    {Id::Frame2, "Frame2", Kind::Frame, std::nullopt, 120, 120, 1935, 2895, "Porta Serial: "},
    {Id::LblPorta, "LblPorta", Kind::Label, Id::Frame2, 120, 360, 1695, 2415, ""},
}};

constexpr const ControlPlacement& control(Id id) {
  for (const auto& placement : kControls) {
    if (placement.id == id) return placement;
  }
  return kControls[0];  // unreachable: every Id is in the table
}

// A control's place on the window's client area, in twips.
struct Rect {
  int left, top, width, height;
};
constexpr Rect clientRect(Id id) {
  const ControlPlacement& placement = control(id);
  Rect rect{placement.left, placement.top, placement.width, placement.height};
  if (placement.parent) {
    rect.left += control(*placement.parent).left;
    rect.top += control(*placement.parent).top;
  }
  return rect;
}

}  // namespace ts::layout
