// Test programs that need an X server start their own Xvfb, so they run the same with or without a
// display on the machine, and make the QApplication the Qt backend needs.
#include <gtest/gtest.h>

#include <QApplication>

#include "support/test_bundle.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (ctest does, to discover them) needs no server.
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  qova::test::XvfbServer server(1440, 900);
  if (!server.running()) return fprintf(stderr, "Xvfb could not be started\n"), 1;
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
