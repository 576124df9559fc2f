// Keeps the log lines written while it is registered, for tests that check
// what the servers say. Safe to feed from any thread.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/logging.h"

namespace testutil {

class LogCapture : public rtc::LogSink {
 public:
  explicit LogCapture(rtc::LoggingSeverity min_sev = rtc::LS_INFO) {
    rtc::LogMessage::AddLogToStream(this, min_sev);
  }
  ~LogCapture() override { rtc::LogMessage::RemoveLogToStream(this); }

  using rtc::LogSink::OnLogMessage;
  void OnLogMessage(const std::string& msg, rtc::LoggingSeverity severity) override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      lines_.push_back({severity, msg});
    }
    changed_.notify_all();
  }

  // Lines containing `text` (at `severity`, when given).
  std::vector<std::string> Lines(const std::string& text,
                                 std::optional<rtc::LoggingSeverity> severity = {}) const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::string> found;
    for (const Line& line : lines_) {
      if ((!severity || line.severity == *severity) && line.text.find(text) != std::string::npos) {
        found.push_back(line.text);
      }
    }
    return found;
  }
  size_t Count(const std::string& text, std::optional<rtc::LoggingSeverity> severity = {}) const {
    return Lines(text, severity).size();
  }
  bool Contains(const std::string& text) const { return Count(text) > 0; }

  // Waits (real time, up to the deadline) until `count` lines contain `text`.
  bool WaitFor(const std::string& text, size_t count = 1,
               std::chrono::milliseconds deadline = std::chrono::seconds(5)) const {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, deadline, [&] {
      size_t n = 0;
      for (const Line& line : lines_) n += line.text.find(text) != std::string::npos;
      return n >= count;
    });
  }
  bool WaitFor(const std::string& text, size_t count, int deadline_ms) const {
    return WaitFor(text, count, std::chrono::milliseconds(deadline_ms));
  }

  void Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    lines_.clear();
  }

 private:
  struct Line {
    rtc::LoggingSeverity severity;
    std::string text;
  };
  mutable std::mutex lock_;  // guards lines_
  mutable std::condition_variable changed_;
  std::vector<Line> lines_;
};

}  // namespace testutil

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
