// Test entry: reports go to the capture of each test, never to a real message box.
#include <gtest/gtest.h>

#include "support/report_capture.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    sonaflux::test::DiscardReports();
    return RUN_ALL_TESTS();
}
