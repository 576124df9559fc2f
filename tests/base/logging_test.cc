#include "base/logging.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_util.h"

namespace rtc {
namespace {

class CollectingSink : public LogSink {
 public:
  void OnLogMessage(const std::string& msg, LoggingSeverity severity) override {
    // The library promises sinks never run concurrently; catch it if they do.
    if (inside_.exchange(true)) overlapped_ = true;
    lines_.push_back(msg);
    severities_.push_back(severity);
    std::this_thread::yield();
    inside_ = false;
  }
  std::vector<std::string> lines_;
  std::vector<LoggingSeverity> severities_;
  std::atomic<bool> inside_{false};
  std::atomic<bool> overlapped_{false};
};

// Sends stderr to a file while alive.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    saved_ = dup(STDERR_FILENO);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrCapture() { Restore(); }
  std::string Restore() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
    return testutil::ReadFile(path_);
  }

 private:
  std::string path_;
  int saved_ = -1;
};

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override { LogMessage::SetLogToStderr(false); }
  void TearDown() override {
    LogMessage::RemoveLogToStream(&sink_);
    LogMessage::SetLogToStderr(false);
  }
  // Runs `log` with stderr sent to a file, flushes the logging's stderr copy
  // and gives what reached stderr in `text`.
  void CaptureStderr(const std::function<void()>& log, std::string* text) {
    testutil::TempDir dir;
    StderrCapture capture(dir.File("stderr"));
    log();
    ASSERT_TRUE(LogMessage::FlushStderr(5000));
    *text = capture.Restore();
  }

  CollectingSink sink_;
};

TEST_F(LoggingTest, LineHasFileBaseNameLineNumberAndNewline) {
  LogMessage::AddLogToStream(&sink_, LS_INFO);
  const int line = __LINE__ + 1;
  RTC_LOG(LS_INFO) << "user [" << 42u << "] joined";
  ASSERT_EQ(sink_.lines_.size(), 1u);
  EXPECT_EQ(sink_.lines_[0], "(logging_test.cc:" + std::to_string(line) + "): user [42] joined\n");
  EXPECT_EQ(sink_.severities_[0], LS_INFO);
}

TEST_F(LoggingTest, ThresholdFiltersAndSkipsFormatting) {
  LogMessage::AddLogToStream(&sink_, LS_INFO);
  int evaluated = 0;
  auto touch = [&] { return ++evaluated; };
  RTC_LOG(LS_VERBOSE) << touch();
  RTC_LOG(LS_SENSITIVE) << touch();
  EXPECT_EQ(evaluated, 0);
  EXPECT_TRUE(sink_.lines_.empty());
  RTC_LOG(LS_WARNING) << "w";
  RTC_LOG(LS_ERROR) << "e";
  RTC_LOG(LS_NONE) << "stat";
  ASSERT_EQ(sink_.severities_.size(), 3u);
  EXPECT_EQ(sink_.severities_[2], LS_NONE);
}

TEST_F(LoggingTest, RemovedSinkReceivesNothing) {
  LogMessage::AddLogToStream(&sink_, LS_INFO);
  RTC_LOG(LS_INFO) << "one";
  LogMessage::RemoveLogToStream(&sink_);
  RTC_LOG(LS_INFO) << "two";
  EXPECT_EQ(sink_.lines_.size(), 1u);
}

TEST_F(LoggingTest, ManyThreadsLogWholeLinesOneAtATime) {
  LogMessage::AddLogToStream(&sink_, LS_INFO);
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        RTC_LOG(LS_INFO) << "thread " << t << " line " << i << " end";
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(sink_.overlapped_);
  ASSERT_EQ(sink_.lines_.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : sink_.lines_) {
    int t = -1;
    int i = -1;
    const size_t body = line.find("): ");
    ASSERT_NE(body, std::string::npos) << line;
    ASSERT_EQ(sscanf(line.c_str() + body + 3, "thread %d line %d end\n", &t, &i), 2) << line;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(i, next[t]++) << "lines of one thread out of order";
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "two lines ran together: " << line;
  }
}

TEST_F(LoggingTest, StderrCopySwitchesOnAndOff) {
  std::string text;
  ASSERT_NO_FATAL_FAILURE(CaptureStderr(
      [] {
        LogMessage::SetLogToStderr(true);
        RTC_LOG(LS_INFO) << "visible";
        RTC_LOG(LS_VERBOSE) << "too quiet";
        LogMessage::SetLogToStderr(false);
        RTC_LOG(LS_ERROR) << "hidden";
      },
      &text));
  EXPECT_NE(text.find("): visible\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("too quiet"), std::string::npos);
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  EXPECT_EQ(text.rfind("(logging_test.cc:", 0), 0u) << "no time prefix on stderr: " << text;
}

TEST_F(LoggingTest, StderrSeverityCopiesOnlyErrors) {
  std::string text;
  ASSERT_NO_FATAL_FAILURE(CaptureStderr(
      [] {
        LogMessage::SetStderrSeverity(LS_ERROR);
        RTC_LOG(LS_INFO) << "ordinary";
        RTC_LOG(LS_ERROR) << "why it failed";
      },
      &text));
  EXPECT_NE(text.find("): why it failed\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("ordinary"), std::string::npos) << text;
}

}  // namespace
}  // namespace rtc
