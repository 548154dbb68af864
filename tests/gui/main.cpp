// The window tests need a QApplication; they run on Qt's offscreen platform unless told
// otherwise, so they need no display (also when the test list is read at build time).
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QApplication::setApplicationName("KOV Bridge");
  QApplication::setQuitOnLastWindowClosed(false);
  return RUN_ALL_TESTS();
}
