// GoogleTest under a QApplication: the editors are widgets and need one.
#include <gtest/gtest.h>

#include <QApplication>

#include "tests/monitor/ui/modal_guard.h"

int main(int argc, char** argv) {
  // Test discovery runs the program outside ctest's environment; without a
  // display Qt would abort there.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const quillon::monitor::testing::ModalGuard guard;
  return RUN_ALL_TESTS();
}
