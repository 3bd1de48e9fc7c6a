// AbMeterModel: what the block progress meter shows, without a toolkit.
//
// The meter shows a percentage as a row (or column) of filled blocks, one
// block per `TickMarks` percentage points. Everything that decides what it
// shows lives here: the value rule (a repeated value changes nothing, 100
// and more read as an empty meter), the block size, and the list of
// rectangles a paint fills, in painting order, each with the role of its
// colour. A meter control of any toolkit keeps one model, maps the roles to
// its colours, fills the rectangles, and after a change of value repaints at
// once and lets pending window events run. So every window draws the same
// pixels, and the rule that makes a repeated report free is written once.
//
// Rectangles are (left, top, right, bottom) with the right and bottom edges
// excluded.
#pragma once

#include <cstdint>
#include <vector>

namespace ab {

enum TAbMeterOrientation { moHorizontal, moVertical };
enum TAbMeterBorderStyle { bsNone, bsSingle };

// Which colour a rectangle is filled with.
enum TAbMeterPaint {
  mpUnused,     // the meter's unused colour (background)
  mpUsed,       // the meter's used colour (lit blocks)
  mpShadow,     // the system's button shadow (sunken frame, top and left)
  mpHighlight,  // the system's button highlight (sunken frame, bottom and right)
  mpBlack       // the flat frame
};

struct TAbMeterFill {
  int Left, Top, Right, Bottom;
  TAbMeterPaint Paint;
  friend bool operator==(const TAbMeterFill&, const TAbMeterFill&) = default;
};

// A new meter's size: wide enough for ten readable blocks at the default
// tick size, one text line high.
inline constexpr int kAbMeterDefaultWidth = 150;
inline constexpr int kAbMeterDefaultHeight = 16;
inline constexpr uint8_t kAbMeterDefaultTickMarks = 10;

class TAbMeterModel {
public:
  // The value rule: true when the shown value changed, which is when the
  // control repaints at once and processes pending messages.
  bool DoProgress(uint8_t Progress);
  // The value being shown, 0..99.
  int32_t Percent() const { return FPercent; }

  // Setters return true when the value changed (the control then repaints
  // later; a changed orientation also swaps the control's width and height
  // unless its design is being loaded).
  TAbMeterBorderStyle BorderStyle() const { return FBorderStyle; }
  bool SetBorderStyle(TAbMeterBorderStyle Value);
  bool Ctl3D() const { return FCtl3D; }
  bool SetCtl3D(bool Value);
  TAbMeterOrientation Orientation() const { return FOrientation; }
  bool SetOrientation(TAbMeterOrientation Value);
  uint8_t TickMarks() const { return FTickMarks; }
  // 0 is stored as the default (it would divide by zero in the block size).
  void SetTickMarks(uint8_t Value);

  // Block size along the orientation for a W x H meter.
  int BlockSize(int W, int H) const;
  // Number of lit blocks.
  int LitBlocks() const { return FPercent / FTickMarks; }
  // The rectangles of one paint of a W x H meter, in the order they are
  // filled: background, blocks, frame.
  std::vector<TAbMeterFill> Paint(int W, int H) const;

private:
  TAbMeterBorderStyle FBorderStyle = bsSingle;
  bool FCtl3D = true;
  TAbMeterOrientation FOrientation = moHorizontal;
  int32_t FPercent = 0;
  uint8_t FTickMarks = kAbMeterDefaultTickMarks;
};

} // namespace ab
