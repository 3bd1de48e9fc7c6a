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

TAbCustomMeter::TAbCustomMeter(QWidget* Parent) : QWidget(Parent) {
  // The meter fills every pixel it owns, so the toolkit need not clear the
  // background first (it would flicker on every block).
  setAttribute(Qt::WA_OpaquePaintEvent);
  FUnusedColor = palette().color(QPalette::Button);
  resize(kAbMeterDefaultWidth, kAbMeterDefaultHeight);
}

// ===========================================================================
// IAbProgressMeter
// ===========================================================================

void TAbCustomMeter::DoProgress(uint8_t Progress) {
  if (!FModel.DoProgress(Progress)) return;
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
  if (FModel.SetBorderStyle(Value)) update();
}

void TAbCustomMeter::SetCtl3D(bool Value) {
  if (FModel.SetCtl3D(Value)) update();
}

void TAbCustomMeter::SetOrientation(TAbMeterOrientation Value) {
  if (!FModel.SetOrientation(Value)) return;
  // Turning a horizontal bar on end keeps its proportions; a design being
  // loaded already carries the turned size.
  if (!FDesignLoading) resize(height(), width());
  update();
}

void TAbCustomMeter::SetTickMarks(uint8_t Value) {
  FModel.SetTickMarks(Value);
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

void TAbCustomMeter::paintEvent(QPaintEvent*) {
  QPainter P(this);
  const QPalette& Pal = palette();
  for (const TAbMeterFill& F : FModel.Paint(width(), height())) {
    QColor C;
    switch (F.Paint) {
      case mpUnused: C = FUnusedColor; break;
      case mpUsed: C = FUsedColor; break;
      case mpShadow: C = Pal.color(QPalette::Dark); break;
      case mpHighlight: C = Pal.color(QPalette::Light); break;
      case mpBlack: C = Qt::black; break;
    }
    P.fillRect(QRect(F.Left, F.Top, F.Right - F.Left, F.Bottom - F.Top), C);
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
