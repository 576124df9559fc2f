// The stderr copy of the log, written by a thread of its own so that a stalled
// or vanished reader of stderr never holds up the thread that logs.
#ifndef BASE_STDERR_LOG_WRITER_H_
#define BASE_STDERR_LOG_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "base/metrics.h"
#include "base/mutex.h"
#include "base/platform_thread.h"
#include "base/thread_annotations.h"

namespace rtc {

// Lines wait in a bounded queue for the "LogStderr" thread, which writes them
// to `fd` only when the descriptor can take them (so it never blocks for long
// itself and stops promptly). A line that finds the queue full is dropped and
// counted; so is every line once the reader has gone (EPIPE), and the count
// is written out as one line when the output takes lines again.
class StderrLogWriter {
 public:
  // `dropped` (borrowed, outlives this) counts the lines that never made it.
  StderrLogWriter(int fd, size_t max_queued_bytes, Counter* dropped);
  // Stops the thread; what is still queued is lost (Flush first to keep it).
  ~StderrLogWriter();
  StderrLogWriter(const StderrLogWriter&) = delete;
  StderrLogWriter& operator=(const StderrLogWriter&) = delete;

  // Never blocks beyond a short queue lock. Safe from any thread.
  void Append(const std::string& line) EXCLUDES(lock_);
  // Waits at most `timeout_ms` for every queued line to be written; true when
  // the queue ran empty. Safe from any thread but the writer's.
  bool Flush(int64_t timeout_ms) EXCLUDES(lock_);

 private:
  static bool ThreadEntry(void* writer);
  // One pass: waits briefly for a line and writes what the output takes now.
  void Run() EXCLUDES(lock_);
  // Writes as much of `text` as the descriptor takes within one short wait;
  // the number of bytes written, or -1 when the output is gone for good.
  ssize_t WriteSome(const char* text, size_t size);

  const int fd_;
  const size_t max_queued_bytes_;
  Counter* const dropped_;

  Mutex lock_;  // guards the queue and what the writer has taken from it
  CondVar changed_;
  std::deque<std::string> queue_ GUARDED_BY(lock_);
  size_t queued_bytes_ GUARDED_BY(lock_) = 0;
  // A line taken off the queue and not yet written whole.
  bool writing_ GUARDED_BY(lock_) = false;
  // Drops not yet reported on the output itself.
  uint64_t unreported_drops_ GUARDED_BY(lock_) = 0;

  // Used only by the writer thread.
  std::string current_;
  size_t current_done_ = 0;
  bool output_gone_ = false;

  PlatformThread thread_;
};

}  // namespace rtc

#endif  // BASE_STDERR_LOG_WRITER_H_
