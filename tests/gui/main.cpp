#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <filesystem>

#include "gui/simple/ConsoleTexts.h"

// The dialog tests need a QApplication; the platform defaults to offscreen
// so that listing the tests works on a machine without a display too.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Remembered settings go to a folder of this run, never the user's own.
  char szConfig[] = "/tmp/stratavon-config-XXXXXX";
  const bool bConfig = mkdtemp(szConfig) != nullptr;
  if (bConfig) setenv("XDG_CONFIG_HOME", szConfig, 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(stratavon::kApplicationName));
  ::testing::InitGoogleTest(&argc, argv);
  const int nResult = RUN_ALL_TESTS();
  std::error_code ec;
  if (bConfig) std::filesystem::remove_all(szConfig, ec);
  return nResult;
}
