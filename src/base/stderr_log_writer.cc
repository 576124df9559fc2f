#include "base/stderr_log_writer.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace rtc {

StderrLogWriter::StderrLogWriter(int fd, size_t max_queued_bytes, Counter* dropped)
    : fd_(fd),
      max_queued_bytes_(max_queued_bytes),
      dropped_(dropped),
      thread_(&ThreadEntry, this, "LogStderr") {
  thread_.Start();
}

StderrLogWriter::~StderrLogWriter() { thread_.Stop(); }

void StderrLogWriter::Append(const std::string& line) {
  MutexLock hold(&lock_);
  if (queued_bytes_ + line.size() > max_queued_bytes_) {
    dropped_->Add();
    ++unreported_drops_;
    return;
  }
  queued_bytes_ += line.size();
  queue_.push_back(line);
  changed_.SignalAll();
}

bool StderrLogWriter::Flush(int64_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  MutexLock hold(&lock_);
  while (!queue_.empty() || writing_) {
    if (!changed_.WaitUntil(&lock_, deadline)) return queue_.empty() && !writing_;
  }
  return true;
}

bool StderrLogWriter::ThreadEntry(void* writer) {
  static_cast<StderrLogWriter*>(writer)->Run();
  return true;
}

void StderrLogWriter::Run() {
  if (current_done_ == current_.size()) {
    MutexLock hold(&lock_);
    if (writing_) {
      writing_ = false;
      changed_.SignalAll();
    }
    if (queue_.empty()) changed_.WaitFor(&lock_, kMaxEntryBlockMs);
    if (queue_.empty()) return;
    current_.clear();
    // Drops are reported in the stream, before the first line that made it.
    if (unreported_drops_ > 0 && !output_gone_) {
      current_ = "(stderr_log_writer): " + std::to_string(unreported_drops_) +
                 " log lines dropped: standard error did not keep up\n";
      unreported_drops_ = 0;
    }
    current_ += queue_.front();
    queued_bytes_ -= queue_.front().size();
    queue_.pop_front();
    current_done_ = 0;
    writing_ = true;
  }
  if (output_gone_) {
    dropped_->Add();
    current_done_ = current_.size();
    return;
  }
  const ssize_t n = WriteSome(current_.data() + current_done_, current_.size() - current_done_);
  if (n < 0) {
    output_gone_ = true;
    dropped_->Add();
    current_done_ = current_.size();
    return;
  }
  current_done_ += static_cast<size_t>(n);
}

ssize_t StderrLogWriter::WriteSome(const char* text, size_t size) {
  pollfd p = {fd_, POLLOUT, 0};
  const int ready = poll(&p, 1, kMaxEntryBlockMs);
  if (ready <= 0) return 0;  // no room yet: the next pass tries again
  if (p.revents & (POLLERR | POLLNVAL)) return -1;
  // A pipe that polls writable has room for at least PIPE_BUF bytes, and a
  // write of no more than that does not block.
  const ssize_t n = ::write(fd_, text, std::min<size_t>(size, PIPE_BUF));
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EINTR) return 0;
  return -1;
}

}  // namespace rtc
