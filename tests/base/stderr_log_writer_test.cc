#include "base/stderr_log_writer.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "base/metrics.h"

#include "support/test_util.h"

namespace rtc {
namespace {

std::string ReadAvailable(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

class StderrLogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // As in the servers: a vanished reader is an error on the write, not a signal.
    signal(SIGPIPE, SIG_IGN);
    // The write end blocks, as stderr does; the test reads without waiting.
    ASSERT_EQ(pipe2(fds_, O_CLOEXEC), 0);
    fcntl(fds_[0], F_SETFL, O_NONBLOCK);
  }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }
  int fds_[2] = {-1, -1};
};

TEST_F(StderrLogWriterTest, WritesLinesInOrder) {
  Counter dropped;
  StderrLogWriter writer(fds_[1], 1024, &dropped);
  writer.Append("one\n");
  writer.Append("two\n");
  ASSERT_TRUE(writer.Flush(5000));
  EXPECT_EQ(ReadAvailable(fds_[0]), "one\ntwo\n");
  EXPECT_EQ(dropped.Value(), 0u);
}

TEST_F(StderrLogWriterTest, FullPipeNeverBlocksTheLoggerAndDropsAreReported) {
  Counter dropped;
  StderrLogWriter writer(fds_[1], 1024, &dropped);
  // A stalled reader: the pipe is full already, then the queue fills, then
  // lines are dropped.
  fcntl(fds_[1], F_SETFL, O_NONBLOCK);
  const std::string fill(4096, 'f');
  while (write(fds_[1], fill.data(), fill.size()) > 0) {
  }
  fcntl(fds_[1], F_SETFL, 0);
  const std::string line(99, 'x');
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 2000; ++i) writer.Append(line + "\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_FALSE(writer.Flush(50)) << "the reader never read: lines are still queued";
  EXPECT_GT(dropped.Value(), 1000u);
  // The reader comes back: what was queued arrives, then a count of the drops.
  std::string text;
  ASSERT_TRUE(testutil::WaitFor([&] {
    text += ReadAvailable(fds_[0]);
    writer.Append("after\n");
    return text.find(" log lines dropped: standard error did not keep up\n") != std::string::npos;
  }));
}

TEST_F(StderrLogWriterTest, PipeWithoutReaderDropsAndCounts) {
  close(fds_[0]);
  fds_[0] = -1;
  Counter dropped;
  StderrLogWriter writer(fds_[1], 1024, &dropped);
  for (int i = 0; i < 5; ++i) writer.Append("lost\n");
  EXPECT_TRUE(writer.Flush(5000));
  EXPECT_EQ(dropped.Value(), 5u);
}

}  // namespace
}  // namespace rtc
