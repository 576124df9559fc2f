#include "base/logging.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/stderr_log_writer.h"
#include "base/thread_annotations.h"

namespace rtc {
namespace {

// What the stderr copy may hold back while its reader is slow: a few
// thousand lines; beyond it lines are dropped (and counted), never waited for.
constexpr size_t kStderrQueueBytes = 512 * 1024;
constexpr int kStderrOff = LS_NONE + 1;

struct LogState {
  // Serialises every sink call and every hand-over to the stderr copy, and
  // guards the fields below.
  Mutex lock;
  std::vector<std::pair<LogSink*, LoggingSeverity>> sinks GUARDED_BY(lock);
  // Lines of this severity and above are copied to stderr.
  int stderr_min_sev GUARDED_BY(lock) = LS_INFO;
  // Started with the first line copied; never destroyed, like this state.
  StderrLogWriter* stderr_writer GUARDED_BY(lock) = nullptr;
  Counter stderr_dropped;
};

LogState& State() {
  static LogState* state = new LogState();  // never destroyed: logging works during exit
  return *state;
}

const char* BaseName(const char* file) {
  const char* slash = std::strrchr(file, '/');
  return slash ? slash + 1 : file;
}

// The lowest severity that any destination takes.
int LowestSeverity(const LogState& state) REQUIRES(state.lock) {
  int min_sev = state.stderr_min_sev;
  for (const auto& entry : state.sinks) min_sev = std::min<int>(min_sev, entry.second);
  return min_sev;
}

}  // namespace

std::atomic<int> LogMessage::min_sev_{LS_INFO};

void LogSink::OnLogMessage(const std::string& msg, LoggingSeverity severity, const char*) {
  OnLogMessage(msg, severity);
}

void LogSink::OnLogMessage(const std::string& msg, LoggingSeverity) { OnLogMessage(msg); }

void LogSink::OnLogMessage(const std::string&) {}

LogMessage::LogMessage(const char* file, int line, LoggingSeverity sev) : severity_(sev) {
  print_stream_ << "(" << BaseName(file) << ":" << line << "): ";
}

LogMessage::~LogMessage() {
  print_stream_ << "\n";
  const std::string text = print_stream_.str();
  LogState& state = State();
  MutexLock hold(&state.lock);
  if (severity_ >= state.stderr_min_sev) {
    if (state.stderr_writer == nullptr) {
      state.stderr_writer =
          new StderrLogWriter(STDERR_FILENO, kStderrQueueBytes, &state.stderr_dropped);
    }
    state.stderr_writer->Append(text);
  }
  for (const auto& [sink, min_sev] : state.sinks) {
    if (severity_ >= min_sev) sink->OnLogMessage(text, severity_);
  }
}

void LogMessage::AddLogToStream(LogSink* stream, LoggingSeverity min_sev) {
  LogState& state = State();
  MutexLock hold(&state.lock);
  state.sinks.emplace_back(stream, min_sev);
  min_sev_.store(LowestSeverity(state), std::memory_order_relaxed);
}

void LogMessage::RemoveLogToStream(LogSink* stream) {
  LogState& state = State();
  MutexLock hold(&state.lock);
  auto& sinks = state.sinks;
  sinks.erase(std::remove_if(sinks.begin(), sinks.end(),
                             [stream](const auto& entry) { return entry.first == stream; }),
              sinks.end());
  min_sev_.store(LowestSeverity(state), std::memory_order_relaxed);
}

void LogMessage::SetLogToStderr(bool log_to_stderr) {
  SetStderrSeverity(log_to_stderr ? LS_INFO : static_cast<LoggingSeverity>(kStderrOff));
}

void LogMessage::SetStderrSeverity(LoggingSeverity min_sev) {
  LogState& state = State();
  MutexLock hold(&state.lock);
  state.stderr_min_sev = std::max<int>(min_sev, LS_INFO);
  min_sev_.store(LowestSeverity(state), std::memory_order_relaxed);
}

bool LogMessage::FlushStderr(int64_t timeout_ms) {
  StderrLogWriter* writer = nullptr;
  {
    LogState& state = State();
    MutexLock hold(&state.lock);
    writer = state.stderr_writer;
  }
  // Waited for without the logging lock: other threads go on logging.
  return writer == nullptr || writer->Flush(timeout_ms);
}

const Counter& LogMessage::StderrDroppedLines() { return State().stderr_dropped; }

}  // namespace rtc
