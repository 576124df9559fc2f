// Streaming log statements and the sinks that receive them.
//
//   RTC_LOG(LS_INFO) << "user [" << user_id << "] joined";
//
// A statement below every registered threshold (and below the stderr threshold
// while the stderr copy is on) evaluates nothing after the `<<`.
#ifndef BASE_LOGGING_H_
#define BASE_LOGGING_H_

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>

namespace rtc {

class Counter;

enum LoggingSeverity {
  LS_SENSITIVE = 0,
  LS_VERBOSE = 1,
  LS_INFO = 2,
  LS_WARNING = 3,
  LS_ERROR = 4,
  LS_NONE = 5,
};

// Receives finished lines. The library calls every sink under one process-wide
// lock, so no two calls into sinks ever overlap.
class LogSink {
 public:
  LogSink() = default;
  virtual ~LogSink() = default;
  LogSink(const LogSink&) = delete;
  LogSink& operator=(const LogSink&) = delete;

  // Forwards to OnLogMessage(msg, severity); the tag is not used by this system.
  virtual void OnLogMessage(const std::string& msg, LoggingSeverity severity, const char* tag);
  // Forwards to OnLogMessage(msg).
  virtual void OnLogMessage(const std::string& msg, LoggingSeverity severity);
  virtual void OnLogMessage(const std::string& msg);
};

class LogMessage {
 public:
  LogMessage(const char* file, int line, LoggingSeverity sev);
  ~LogMessage();  // hands the finished line to the sinks
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  std::ostream& stream() { return print_stream_; }

  // Registers a sink for lines of min_sev and above. Safe from any thread.
  static void AddLogToStream(LogSink* stream, LoggingSeverity min_sev);
  // Unregisters; once it returns no call into the sink is running or will start.
  static void RemoveLogToStream(LogSink* stream);
  // While on (the default), every line at LS_INFO and above also goes to stderr.
  // The copy is written by a thread of its own: logging never waits for
  // stderr, and lines that stderr cannot take in time are dropped and counted.
  static void SetLogToStderr(bool log_to_stderr);
  // Copies only lines of `min_sev` and above to stderr (LS_INFO at the least;
  // above LS_ERROR: none).
  static void SetStderrSeverity(LoggingSeverity min_sev);
  // Waits at most `timeout_ms` for the lines queued for stderr to be written;
  // true when none is left. For the end of a process.
  static bool FlushStderr(int64_t timeout_ms);
  // Lines of the stderr copy that were dropped because stderr did not keep up.
  static const Counter& StderrDroppedLines();
  static bool IsLoggable(LoggingSeverity sev) {
    return sev >= min_sev_.load(std::memory_order_relaxed);
  }

 private:
  // The lowest severity any destination takes: stored under the logging lock,
  // read without it.
  static std::atomic<int> min_sev_;

  LoggingSeverity severity_;
  std::ostringstream print_stream_;
};

// Lets the conditional in RTC_LOG have type void on both branches.
class LogMessageVoidify {
 public:
  void operator&(std::ostream&) {}
};

}  // namespace rtc

#define RTC_LOG(sev)                     \
  !rtc::LogMessage::IsLoggable(rtc::sev) \
      ? (void)0                          \
      : rtc::LogMessageVoidify() & rtc::LogMessage(__FILE__, __LINE__, rtc::sev).stream()

#endif  // BASE_LOGGING_H_
