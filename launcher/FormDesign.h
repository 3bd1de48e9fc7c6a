// FormDesign: the launcher window's design as data.
//
// The window is one fixed-size tool window of 532 x 191 pixels with a choice
// screen, an install panel and a run panel. Every toolkit that shows it (Qt
// on Linux, the native window on Windows) builds it from this one table, so
// that a control's kind, rectangle, text, font, anchoring and tab order are
// written down once and every window shows the same thing. The flows name
// controls by `TControlId`, never by a toolkit's object, which is what lets
// them run on any of the windows and also with no window at all.
//
// Rows are in the order the window declares its controls; a control's
// parent is either the window or one of the two panels, and positions are
// relative to the parent. Sizes are pixels at 96 pixels per inch.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace launcher {

// The controls, in declaration order. The unzipper component sits between
// btnCopyStart and Panel2 in that order; it is not a control and has no row.
enum TControlId : uint8_t {
  ciLabel1,
  ciButton1,
  ciButton2,
  ciPanel1,
  ciChkDesktop,
  ciLabel3,
  ciTxtPath,
  ciBtnPath,
  ciChkStartmenu,
  ciBtnCopyStart,
  ciPanel2,
  ciLabel4,
  ciAbMeter1,
  ciAbMeter2,
  ciControlCount
};

// No parent: the control sits directly on the window.
inline constexpr TControlId ciForm = ciControlCount;

enum class TControlKind : uint8_t { ckLabel, ckButton, ckPanel, ckCheckBox, ckEdit, ckMeter };

struct TRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  friend bool operator==(const TRect&, const TRect&) = default;
};

// Colours as 0xRRGGBB.
using TRgb = uint32_t;

struct TControlDesign {
  TControlId Id;
  const char* Name;  // the design name, also the toolkit object's name
  TControlKind Kind;
  TControlId Parent;
  TRect Bounds;
  const char* Text;     // as designed (UTF-8); empty for none
  bool BigFont;         // the design face at its big height instead of the window's
  bool Visible;         // as designed (FormCreate hides both panels)
  bool Checked;         // check boxes
  bool WordWrap;        // labels
  bool CentreText;      // labels: horizontally centred (else left, vertically centred)
  bool AnchorRight;     // keeps its right margin when the parent is resized
  bool BlackText;       // text in black instead of the window-text colour
  int TabOrder;         // position among the parent's focusable children; -1 takes no focus
};

struct TFormDesign {
  const char* Name;
  const char* Caption;  // as designed; FormCreate replaces it
  int ClientWidth;
  int ClientHeight;
  TRgb Background;
  const char* FontFace;
  int FontPixels;     // the window's character height
  int BigFontPixels;  // the big font's
};

// Meter settings of the design (both meters alike); the unused colour is the
// system's button face, which only the toolkit knows.
struct TMeterDesign {
  TRgb UsedColor;
  bool Horizontal;
};

// The unzipper component's password, as the design sets it: the payload's
// entries are encrypted under it. The publisher's kit packs payloads with it.
extern const char* const kUnZipperPassword;

extern const TFormDesign kFormDesign;
extern const std::array<TControlDesign, ciControlCount> kControlDesign;
extern const TMeterDesign kMeterDesign;

inline const TControlDesign& DesignOf(TControlId Id) { return kControlDesign[Id]; }

// Every focusable control in the order the Tab key visits them: the window's
// children by their tab order, a panel's children in its place.
std::vector<TControlId> TabSequence();

} // namespace launcher
