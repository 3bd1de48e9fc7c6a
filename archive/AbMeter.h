// AbMeter: the block progress meter the unzipper drives, as a Qt widget.
//
// The meter shows a percentage as a row (or column) of filled blocks. What
// it shows, and when a new value counts as a change, is TAbMeterModel's
// business; this widget fills the model's rectangles in its colours and,
// after every change of value, repaints at once and lets every pending
// window event run. The launcher extracts on its one and only thread, so
// these calls are what keep its window painted, its close box live and its
// clicks answered while an archive is being unpacked. A report that repeats
// the current value costs nothing, which keeps byte-level progress reports
// cheap.
//
// `TAbCustomMeter` carries the state and the painting; `TAbMeter` publishes
// the properties, the way a design-time component would. It is the only
// engine unit that needs the window toolkit, and it builds as its own small
// library so that the engine and the command line stay free of Qt.
#pragma once

#include <QColor>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

#include "archive/AbMeterModel.h"
#include "archive/AbProgressMeter.h"

class QMouseEvent;

namespace ab {

class TAbCustomMeter : public QWidget, public IAbProgressMeter {
public:
  explicit TAbCustomMeter(QWidget* Parent = nullptr);

  // ---- IAbProgressMeter ---------------------------------------------------
  void DoProgress(uint8_t Progress) override;
  void Reset() override;

  // The value being shown, 0..99 (100 is shown as an empty meter).
  int32_t Percent() const { return FModel.Percent(); }

  // While a window's design is being loaded, a change of orientation must not
  // swap the stored size: the stored size already is the designed one.
  void SetDesignLoading(bool Loading) { FDesignLoading = Loading; }
  bool DesignLoading() const { return FDesignLoading; }

  // Mouse events, with the toolkit's meaning.
  std::function<void()> OnClick;
  std::function<void()> OnDblClick;
  std::function<void(QMouseEvent*)> OnMouseDown;
  std::function<void(QMouseEvent*)> OnMouseMove;
  std::function<void(QMouseEvent*)> OnMouseUp;

protected:
  TAbMeterBorderStyle BorderStyle() const { return FModel.BorderStyle(); }
  void SetBorderStyle(TAbMeterBorderStyle Value);
  bool Ctl3D() const { return FModel.Ctl3D(); }
  void SetCtl3D(bool Value);
  TAbMeterOrientation Orientation() const { return FModel.Orientation(); }
  void SetOrientation(TAbMeterOrientation Value);
  uint8_t TickMarks() const { return FModel.TickMarks(); }
  void SetTickMarks(uint8_t Value);
  QColor UnusedColor() const { return FUnusedColor; }
  void SetUnusedColor(const QColor& Value);
  QColor UsedColor() const { return FUsedColor; }
  void SetUsedColor(const QColor& Value);
  std::string Version() const { return "5.0"; }
  void SetVersion(const std::string&) {}

  void paintEvent(QPaintEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void mouseDoubleClickEvent(QMouseEvent* Event) override;

private:
  TAbMeterModel FModel;
  QColor FUsedColor{0, 0, 128};
  QColor FUnusedColor;
  bool FDesignLoading = false;
};

class TAbMeter : public TAbCustomMeter {
public:
  using TAbCustomMeter::TAbCustomMeter;

  using TAbCustomMeter::BorderStyle;
  using TAbCustomMeter::Ctl3D;
  using TAbCustomMeter::Orientation;
  using TAbCustomMeter::SetBorderStyle;
  using TAbCustomMeter::SetCtl3D;
  using TAbCustomMeter::SetOrientation;
  using TAbCustomMeter::SetTickMarks;
  using TAbCustomMeter::SetUnusedColor;
  using TAbCustomMeter::SetUsedColor;
  using TAbCustomMeter::SetVersion;
  using TAbCustomMeter::TickMarks;
  using TAbCustomMeter::UnusedColor;
  using TAbCustomMeter::UsedColor;
  using TAbCustomMeter::Version;
};

} // namespace ab
