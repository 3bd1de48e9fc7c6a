// AbMeter: painting and value changes of the block progress meter.
#include "archive/AbMeter.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>

namespace ab {

// ===========================================================================
// Construction
// ===========================================================================

// A new meter is 150 x 16: wide enough for ten readable blocks at the default
// tick size, one text line high.
static constexpr int kDefaultWidth = 150;
static constexpr int kDefaultHeight = 16;

TAbCustomMeter::TAbCustomMeter(QWidget* Parent) : QWidget(Parent) {
  // The meter fills every pixel it owns, so the toolkit need not clear the
  // background first (it would flicker on every block).
  setAttribute(Qt::WA_OpaquePaintEvent);
  FUnusedColor = palette().color(QPalette::Button);
  resize(kDefaultWidth, kDefaultHeight);
}

// ===========================================================================
// IAbProgressMeter
// ===========================================================================

void TAbCustomMeter::DoProgress(uint8_t Progress) {
  // A repeated value is free: no paint and no event processing. The item
  // stage reports after every buffer, and most reports repeat.
  if (Progress == FPercent) return;
  FPercent = Progress;
  // A finished run shows an empty meter, ready for the next item.
  if (FPercent >= 100) FPercent = 0;
  repaint();
  // This is what keeps the window alive while one thread extracts; it runs
  // even for a hidden meter.
  QCoreApplication::processEvents();
}

void TAbCustomMeter::Reset() { DoProgress(0); }

// ===========================================================================
// Properties
// ===========================================================================

void TAbCustomMeter::SetBorderStyle(TAbMeterBorderStyle Value) {
  if (Value == FBorderStyle) return;
  FBorderStyle = Value;
  update();
}

void TAbCustomMeter::SetCtl3D(bool Value) {
  if (Value == FCtl3D) return;
  FCtl3D = Value;
  update();
}

void TAbCustomMeter::SetOrientation(TAbMeterOrientation Value) {
  if (Value == FOrientation) return;
  FOrientation = Value;
  // Turning a horizontal bar on end keeps its proportions; a design being
  // loaded already carries the turned size.
  if (!FDesignLoading) resize(height(), width());
  update();
}

void TAbCustomMeter::SetTickMarks(uint8_t Value) {
  // Zero would divide by zero in the block size; it means "the default".
  FTickMarks = Value == 0 ? 10 : Value;
}

void TAbCustomMeter::SetUnusedColor(const QColor& Value) {
  if (Value == FUnusedColor) return;
  FUnusedColor = Value;
  update();
}

void TAbCustomMeter::SetUsedColor(const QColor& Value) {
  if (Value == FUsedColor) return;
  FUsedColor = Value;
  update();
}

// ===========================================================================
// Painting
// ===========================================================================

// Rectangles below are (left, top, right, bottom) with the right and bottom
// edges excluded, which is how the block positions are worked out.
static void FillLTRB(QPainter& P, int L, int T, int R, int B, const QColor& C) {
  if (R > L && B > T) P.fillRect(QRect(L, T, R - L, B - T), C);
}

void TAbCustomMeter::paintEvent(QPaintEvent*) {
  QPainter P(this);
  const int W = width();
  const int H = height();

  // Horizontal blocks sit two pixels apart and leave room for the frame and
  // a right margin; vertical ones sit one pixel apart. The "+ 1" keeps a
  // block at least one pixel thick on a tiny meter.
  const int B = FOrientation == moHorizontal ? (W - 19) / FTickMarks + 1 : (H - 10) / FTickMarks + 1;
  const int N = FPercent / FTickMarks;

  FillLTRB(P, 0, 0, W, H, FUnusedColor);
  for (int i = 0; i < N; ++i) {
    if (FOrientation == moHorizontal) {
      const int L = 1 + i * (B + 2);
      FillLTRB(P, L, 1, L + B, H - 1, FUsedColor);
    } else {
      const int Bottom = H - 1 - i * (B + 1);
      FillLTRB(P, 2, Bottom - B, W - 2, Bottom, FUsedColor);
    }
  }

  if (FBorderStyle == bsSingle) {
    // Sunken frame drawn last so that it covers the blocks' outer pixels.
    // The corners bottom-left and top-right belong to the lower-right
    // colour, as with a pen that draws the top-left edges first.
    const QPalette& Pal = palette();
    const QColor TopLeft = FCtl3D ? Pal.color(QPalette::Dark) : QColor(Qt::black);
    const QColor BottomRight = FCtl3D ? Pal.color(QPalette::Light) : QColor(Qt::black);
    FillLTRB(P, 0, 0, 1, H - 1, TopLeft);
    FillLTRB(P, 0, 0, W - 1, 1, TopLeft);
    FillLTRB(P, W - 1, 0, W, H, BottomRight);
    FillLTRB(P, 0, H - 1, W, H, BottomRight);
  }
}

// ===========================================================================
// Mouse events
// ===========================================================================

void TAbCustomMeter::mousePressEvent(QMouseEvent* Event) {
  if (OnMouseDown) OnMouseDown(Event);
}

void TAbCustomMeter::mouseMoveEvent(QMouseEvent* Event) {
  if (OnMouseMove) OnMouseMove(Event);
}

void TAbCustomMeter::mouseReleaseEvent(QMouseEvent* Event) {
  if (OnMouseUp) OnMouseUp(Event);
  if (OnClick && Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint())) OnClick();
}

void TAbCustomMeter::mouseDoubleClickEvent(QMouseEvent* Event) {
  if (OnDblClick) OnDblClick();
  QWidget::mouseDoubleClickEvent(Event);
}

} // namespace ab
