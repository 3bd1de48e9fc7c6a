// Test entry: one QApplication on the offscreen platform for every suite,
// so that the window and the meters are real widgets without a display.
#include <QApplication>

#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication App(argc, argv);
  return RUN_ALL_TESTS();
}
