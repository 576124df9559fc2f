// Test entry: keeps log lines off stderr unless CORVANE_TEST_LOG is set, so
// failures are not buried under the servers' own output.
#include <csignal>
#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/logging.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  // A child that stops reading its input must not kill the test with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  if (std::getenv("CORVANE_TEST_LOG") == nullptr) rtc::LogMessage::SetLogToStderr(false);
  return RUN_ALL_TESTS();
}
