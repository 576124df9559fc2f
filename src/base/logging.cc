#include "base/logging.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace rtc {
namespace {

struct LogState {
  // Serialises every sink call and every stderr write, and guards the fields below.
  Mutex lock;
  std::vector<std::pair<LogSink*, LoggingSeverity>> sinks GUARDED_BY(lock);
  bool log_to_stderr GUARDED_BY(lock) = true;
};

LogState& State() {
  static LogState* state = new LogState();  // never destroyed: logging works during exit
  return *state;
}

const char* BaseName(const char* file) {
  const char* slash = std::strrchr(file, '/');
  return slash ? slash + 1 : file;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The lowest severity that any destination takes.
int LowestSeverity(const LogState& state) REQUIRES(state.lock) {
  int min_sev = state.log_to_stderr ? LS_INFO : LS_NONE + 1;
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
  if (state.log_to_stderr && severity_ >= LS_INFO) WriteAll(STDERR_FILENO, text);
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
  LogState& state = State();
  MutexLock hold(&state.lock);
  state.log_to_stderr = log_to_stderr;
  min_sev_.store(LowestSeverity(state), std::memory_order_relaxed);
}

}  // namespace rtc
