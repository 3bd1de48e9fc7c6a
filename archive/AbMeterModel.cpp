// AbMeterModel: the meter's value rule and block geometry.
#include "archive/AbMeterModel.h"

namespace ab {

bool TAbMeterModel::DoProgress(uint8_t Progress) {
  // A repeated value is free: no paint and no event processing. The item
  // stage reports after every buffer, and most reports repeat.
  if (Progress == FPercent) return false;
  FPercent = Progress;
  // A finished run shows an empty meter, ready for the next item.
  if (FPercent >= 100) FPercent = 0;
  return true;
}

bool TAbMeterModel::SetBorderStyle(TAbMeterBorderStyle Value) {
  if (Value == FBorderStyle) return false;
  FBorderStyle = Value;
  return true;
}

bool TAbMeterModel::SetCtl3D(bool Value) {
  if (Value == FCtl3D) return false;
  FCtl3D = Value;
  return true;
}

bool TAbMeterModel::SetOrientation(TAbMeterOrientation Value) {
  if (Value == FOrientation) return false;
  FOrientation = Value;
  return true;
}

void TAbMeterModel::SetTickMarks(uint8_t Value) { FTickMarks = Value == 0 ? kAbMeterDefaultTickMarks : Value; }

int TAbMeterModel::BlockSize(int W, int H) const {
  // Horizontal blocks leave room for the frame and a right margin, vertical
  // ones for the frame; the "+ 1" keeps a block at least one pixel thick on
  // a tiny meter.
  return FOrientation == moHorizontal ? (W - 19) / FTickMarks + 1 : (H - 10) / FTickMarks + 1;
}

std::vector<TAbMeterFill> TAbMeterModel::Paint(int W, int H) const {
  std::vector<TAbMeterFill> Out;
  auto Fill = [&](int L, int T, int R, int B, TAbMeterPaint P) {
    if (R > L && B > T) Out.push_back({L, T, R, B, P});
  };
  const int B = BlockSize(W, H);
  const int N = LitBlocks();

  Fill(0, 0, W, H, mpUnused);
  for (int i = 0; i < N; ++i) {
    if (FOrientation == moHorizontal) {
      // From the left, two pixels apart.
      const int L = 1 + i * (B + 2);
      Fill(L, 1, L + B, H - 1, mpUsed);
    } else {
      // From the bottom, one pixel apart.
      const int Bottom = H - 1 - i * (B + 1);
      Fill(2, Bottom - B, W - 2, Bottom, mpUsed);
    }
  }

  if (FBorderStyle == bsSingle) {
    // The frame comes last so that it covers the blocks' outer pixels. The
    // bottom-left and top-right corners belong to the lower-right colour, as
    // with a pen that draws the top-left edges first.
    const TAbMeterPaint TopLeft = FCtl3D ? mpShadow : mpBlack;
    const TAbMeterPaint BottomRight = FCtl3D ? mpHighlight : mpBlack;
    Fill(0, 0, 1, H - 1, TopLeft);
    Fill(0, 0, W - 1, 1, TopLeft);
    Fill(W - 1, 0, W, H, BottomRight);
    Fill(0, H - 1, W, H, BottomRight);
  }
  return Out;
}

} // namespace ab
