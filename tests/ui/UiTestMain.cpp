// The interface tests' main: the application lives exactly as long as the tests run (a
// QApplication destroyed among the process's exit handlers outlives Qt's own globals).

#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
