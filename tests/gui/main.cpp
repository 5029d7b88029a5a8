#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>

#include "console/simple/gui/ConsoleTexts.h"

// The dialog tests need a QApplication; the platform defaults to offscreen
// so that listing the tests works on a machine without a display too.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(stratavon::kApplicationName));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
