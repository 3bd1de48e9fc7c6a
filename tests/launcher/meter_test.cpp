// The block meter: block geometry on rendered images, and what a change of
// value costs (an immediate paint and one pass of event processing) against
// what a repeated value costs (nothing).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QImage>
#include <QPalette>

#include "archive/AbMeter.h"

using ab::TAbMeter;

namespace {

const QColor kNavy(0, 0, 128);

QImage Render(TAbMeter& M) { return M.grab().toImage().convertToFormat(QImage::Format_RGB32); }

// Pixels and colours compared as 8-bit RGB, whatever form the palette keeps.
QRgb At(const QImage& I, int X, int Y) { return I.pixel(X, Y); }

// Counts the events of one type an object receives.
class TCounter : public QObject {
public:
  explicit TCounter(QEvent::Type T) : FType(T) {}
  int Count = 0;
  bool eventFilter(QObject*, QEvent* E) override {
    if (E->type() == FType) ++Count;
    return false;
  }
  bool event(QEvent* E) override {
    if (E->type() == FType) {
      ++Count;
      return true;
    }
    return QObject::event(E);
  }

private:
  QEvent::Type FType;
};

const QEvent::Type kPing = static_cast<QEvent::Type>(QEvent::User + 1);

} // namespace

TEST(Meter, HorizontalBlocksOfTheLaunchersMeters) {
  TAbMeter M;
  M.resize(473, 16);
  const QColor Unused = M.UnusedColor();
  const QColor Shadow = M.palette().color(QPalette::Dark);
  const QColor Light = M.palette().color(QPalette::Light);
  ASSERT_NE(Unused, kNavy);

  M.DoProgress(99);
  QImage I = Render(M);
  // B = (473 - 19) div 10 + 1 = 46; block i covers x = 1 + 48i .. 46 + 48i.
  for (int i = 0; i < 9; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(At(I, 1 + 48 * i, 1), kNavy.rgb());
    EXPECT_EQ(At(I, 46 + 48 * i, 14), kNavy.rgb());
    EXPECT_EQ(At(I, 47 + 48 * i, 8), Unused.rgb());  // the two-pixel gap
    EXPECT_EQ(At(I, 48 + 48 * i, 8), Unused.rgb());
  }
  EXPECT_EQ(At(I, 430, 8), kNavy.rgb());  // the ninth block ends at 431
  EXPECT_EQ(At(I, 431, 8), Unused.rgb());
  EXPECT_EQ(At(I, 470, 8), Unused.rgb());
  // Sunken frame over the blocks' outer pixels.
  EXPECT_EQ(At(I, 0, 8), Shadow.rgb());
  EXPECT_EQ(At(I, 20, 0), Shadow.rgb());
  EXPECT_EQ(At(I, 472, 8), Light.rgb());
  EXPECT_EQ(At(I, 20, 15), Light.rgb());
  EXPECT_EQ(At(I, 0, 15), Light.rgb());   // bottom-left corner
  EXPECT_EQ(At(I, 472, 0), Light.rgb());  // top-right corner

  // Nine percent lights nothing, ten lights one block.
  M.DoProgress(9);
  I = Render(M);
  EXPECT_EQ(At(I, 10, 8), Unused.rgb());
  M.DoProgress(10);
  I = Render(M);
  EXPECT_EQ(At(I, 10, 8), kNavy.rgb());
  EXPECT_EQ(At(I, 60, 8), Unused.rgb());

  // A plain black frame without 3-D, none at all without a border.
  M.SetCtl3D(false);
  I = Render(M);
  EXPECT_EQ(At(I, 0, 8), (QColor(Qt::black)).rgb());
  EXPECT_EQ(At(I, 472, 8), (QColor(Qt::black)).rgb());
  M.SetBorderStyle(ab::bsNone);
  I = Render(M);
  EXPECT_EQ(At(I, 0, 0), Unused.rgb());
  EXPECT_EQ(At(I, 1, 8), kNavy.rgb());
}

TEST(Meter, VerticalBlocksGrowFromTheBottom) {
  TAbMeter M;
  M.resize(16, 150);
  M.SetDesignLoading(true);
  M.SetOrientation(ab::moVertical);
  M.SetDesignLoading(false);
  ASSERT_EQ(M.size(), QSize(16, 150));
  M.SetUsedColor(Qt::red);
  M.DoProgress(50);
  const QImage I = Render(M);
  // B = (150 - 10) div 10 + 1 = 15; block i covers y = 134 - 16i .. 148 - 16i, x = 2 .. 13.
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(At(I, 2, 148 - 16 * i), (QColor(Qt::red)).rgb());
    EXPECT_EQ(At(I, 13, 134 - 16 * i), (QColor(Qt::red)).rgb());
    EXPECT_EQ(At(I, 8, 133 - 16 * i), M.UnusedColor().rgb());  // one-pixel gap
    EXPECT_EQ(At(I, 1, 140 - 16 * i), M.UnusedColor().rgb());  // side margin
    EXPECT_EQ(At(I, 14, 140 - 16 * i), M.UnusedColor().rgb());
  }
  EXPECT_EQ(At(I, 8, 60), M.UnusedColor().rgb());
}

TEST(Meter, PropertiesAndOrientationSwap) {
  TAbMeter M;
  EXPECT_EQ(M.size(), QSize(150, 16));
  EXPECT_EQ(M.UsedColor(), kNavy);
  EXPECT_EQ(M.TickMarks(), 10);
  EXPECT_EQ(M.Version(), "5.0");
  M.SetVersion("9.9");
  EXPECT_EQ(M.Version(), "5.0");
  M.SetTickMarks(0);
  EXPECT_EQ(M.TickMarks(), 10);
  M.SetTickMarks(25);
  EXPECT_EQ(M.TickMarks(), 25);
  M.SetOrientation(ab::moVertical);
  EXPECT_EQ(M.size(), QSize(16, 150));
  M.SetOrientation(ab::moVertical);  // unchanged: no second swap
  EXPECT_EQ(M.size(), QSize(16, 150));
}

TEST(Meter, OnlyAChangeRepaintsAndProcessesEvents) {
  TAbMeter M;
  M.resize(473, 16);
  M.show();
  QCoreApplication::processEvents();
  TCounter Paints(QEvent::Paint);
  M.installEventFilter(&Paints);
  TCounter Pings(kPing);

  auto Post = [&] { QCoreApplication::postEvent(&Pings, new QEvent(kPing)); };

  // The current value again: no paint, the posted event waits.
  Post();
  M.DoProgress(0);
  EXPECT_EQ(Paints.Count, 0);
  EXPECT_EQ(Pings.Count, 0);

  // A new value paints at once and lets the posted event run.
  M.DoProgress(40);
  EXPECT_EQ(Paints.Count, 1);
  EXPECT_EQ(Pings.Count, 1);
  EXPECT_EQ(M.Percent(), 40);

  // 100 shows as empty; a second 100 differs from the stored 0 and repeats.
  Post();
  M.DoProgress(100);
  EXPECT_EQ(M.Percent(), 0);
  EXPECT_EQ(Pings.Count, 2);
  Post();
  M.DoProgress(100);
  EXPECT_EQ(Pings.Count, 3);
  EXPECT_EQ(Paints.Count, 3);

  // Reset is DoProgress(0); a hidden meter still lets events run.
  M.DoProgress(70);
  M.hide();
  Post();
  M.Reset();
  EXPECT_EQ(M.Percent(), 0);
  EXPECT_EQ(Pings.Count, 4);
}
