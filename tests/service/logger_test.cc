#include "service/logger.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

#include <gtest/gtest.h>

#include "base/logging.h"

#include "support/test_util.h"

namespace corvaneserver {
namespace {

// A wall clock the test moves by hand; local time zone is forced to UTC.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    rtc::LogMessage::SetLogToStderr(false);
    now_ = 1581521966;  // 2020-02-12 15:39:26 UTC
  }
  std::unique_ptr<Logger> MakeLogger(const std::string& prefix) {
    return std::make_unique<Logger>(prefix, "corvane-sfu-server", [this] { return now_.load(); });
  }
  std::string Name(const std::string& date, const char* kind) {
    return "corvane-sfu-server" + date + "-" + std::to_string(getpid()) + ".log." + kind;
  }

  testutil::TempDir dir_;
  std::atomic<time_t> now_{0};
};

TEST_F(LoggerTest, FileNamesAndLineFormat) {
  auto logger = MakeLogger(dir_.path() + "/");
  EXPECT_EQ(logger->GetLoggerFileName(rtc::LS_INFO), dir_.path() + "/" + Name("20200212", "info"));
  EXPECT_EQ(logger->GetLoggerFileName(rtc::LS_NONE), dir_.path() + "/" + Name("20200212", "stat"));
  std::string prefix;
  EXPECT_EQ(logger->GetLoggerTime(prefix), 2020 * 65536 + 2 * 256 + 12);
  EXPECT_EQ(prefix, "15:39:26 ");

  logger->OnLogMessage("(x.cc:1): hello\n", rtc::LS_INFO);
  EXPECT_EQ(testutil::ReadFile(dir_.File(Name("20200212", "info"))), "15:39:26 (x.cc:1): hello\n");
  // No statistics line: no stat file.
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{Name("20200212", "info")}));
}

TEST_F(LoggerTest, SeverityRoutingThroughTheLibrary) {
  auto logger = MakeLogger(dir_.path() + "/");
  rtc::LogMessage::AddLogToStream(logger.get(), rtc::LS_INFO);
  RTC_LOG(LS_INFO) << "info line";
  RTC_LOG(LS_WARNING) << "warning line";
  RTC_LOG(LS_ERROR) << "error line";
  RTC_LOG(LS_NONE) << "stat line";
  RTC_LOG(LS_VERBOSE) << "verbose line";
  RTC_LOG(LS_SENSITIVE) << "sensitive line";
  logger.reset();  // removes itself from the library first

  const std::string info = testutil::ReadFile(dir_.File(Name("20200212", "info")));
  const std::string stat = testutil::ReadFile(dir_.File(Name("20200212", "stat")));
  EXPECT_NE(info.find("info line"), std::string::npos);
  EXPECT_NE(info.find("warning line"), std::string::npos);
  EXPECT_NE(info.find("error line"), std::string::npos);
  EXPECT_EQ(info.find("stat line"), std::string::npos);
  EXPECT_EQ(info.find("verbose"), std::string::npos);
  EXPECT_EQ(info.find("sensitive"), std::string::npos);
  EXPECT_NE(stat.find("stat line"), std::string::npos);
  EXPECT_EQ(stat.find("info line"), std::string::npos);
  EXPECT_EQ(stat.rfind("15:39:26 (logger_test.cc:", 0), 0u) << stat;

  // Logging after the logger is gone must not reach it (it would crash here).
  RTC_LOG(LS_INFO) << "after";
}

TEST_F(LoggerTest, AppendsAcrossReopenAndWritesUnbuffered) {
  const std::string file = dir_.File(Name("20200212", "info"));
  {
    auto logger = MakeLogger(dir_.path() + "/");
    logger->OnLogMessage("first\n", rtc::LS_INFO);
    // Visible at once, while the logger is still alive.
    EXPECT_EQ(testutil::ReadFile(file), "15:39:26 first\n");
  }
  auto logger = MakeLogger(dir_.path() + "/");
  logger->OnLogMessage("second\n", rtc::LS_INFO);
  EXPECT_EQ(testutil::ReadFile(file), "15:39:26 first\n15:39:26 second\n");
}

TEST_F(LoggerTest, LineCrossingMidnightGoesToOldFileThenNewDayOpensNewFiles) {
  auto logger = MakeLogger(dir_.path() + "/");
  now_ = 1581551999;  // 23:59:59
  logger->OnLogMessage("before\n", rtc::LS_INFO);
  logger->OnLogMessage("stat before\n", rtc::LS_NONE);
  now_ = 1581552000;  // 00:00:00 the next day
  logger->OnLogMessage("crossing\n", rtc::LS_INFO);
  logger->OnLogMessage("after\n", rtc::LS_INFO);
  logger->OnLogMessage("stat after\n", rtc::LS_NONE);

  EXPECT_EQ(testutil::ReadFile(dir_.File(Name("20200212", "info"))),
            "23:59:59 before\n00:00:00 crossing\n");
  EXPECT_EQ(testutil::ReadFile(dir_.File(Name("20200213", "info"))), "00:00:00 after\n");
  EXPECT_EQ(testutil::ReadFile(dir_.File(Name("20200212", "stat"))), "23:59:59 stat before\n");
  EXPECT_EQ(testutil::ReadFile(dir_.File(Name("20200213", "stat"))), "00:00:00 stat after\n");
}

TEST_F(LoggerTest, StatLineFirstAfterMidnightAlsoClosesTheOldInfoFile) {
  auto logger = MakeLogger(dir_.path() + "/");
  now_ = 1581551999;  // 23:59:59, no stat line yet that day
  logger->OnLogMessage("before\n", rtc::LS_INFO);
  now_ = 1581552000;  // 00:00:00 the next day; a stat line comes first
  logger->OnLogMessage("stat after\n", rtc::LS_NONE);
  logger->OnLogMessage("after\n", rtc::LS_INFO);

  EXPECT_EQ(testutil::ReadFile(dir_.File(Name("20200212", "info"))), "23:59:59 before\n");
  EXPECT_EQ(testutil::ReadFile(dir_.File(Name("20200213", "info"))), "00:00:00 after\n");
  EXPECT_EQ(testutil::ReadFile(dir_.File(Name("20200213", "stat"))), "00:00:00 stat after\n");
}

TEST_F(LoggerTest, PrefixWithoutSlashIsPlainPrefix) {
  auto logger = MakeLogger(dir_.path() + "/x");
  logger->OnLogMessage("line\n", rtc::LS_INFO);
  EXPECT_EQ(dir_.List(), (std::vector<std::string>{"x" + Name("20200212", "info")}));
}

TEST_F(LoggerTest, UnopenableFileReportsOnStderrAndRetries) {
  auto logger = MakeLogger(dir_.path() + "/missing-dir/");
  testing::internal::CaptureStderr();
  logger->OnLogMessage("lost 1\n", rtc::LS_INFO);
  logger->OnLogMessage("lost 2\n", rtc::LS_INFO);
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string expected = "failed to open logger file " + dir_.path() + "/missing-dir/" +
                               Name("20200212", "info") + "\n";
  EXPECT_EQ(err, expected + expected);

  // Once the directory exists the next line gets through.
  ASSERT_EQ(mkdir((dir_.path() + "/missing-dir").c_str(), 0755), 0);
  logger->OnLogMessage("kept\n", rtc::LS_INFO);
  EXPECT_EQ(testutil::ReadFile(dir_.File("missing-dir/" + Name("20200212", "info"))),
            "15:39:26 kept\n");
}

}  // namespace
}  // namespace corvaneserver
