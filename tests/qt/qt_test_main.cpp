#include <gtest/gtest.h>

#include <QApplication>

// Widgets need an application object; tests run offscreen unless told otherwise.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
