#include "packet/receive_group.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <utility>

#include "base/logging.h"

namespace corvaneserver {

namespace {

// The real time, for the load windows: a fake clock in tests must not stop
// them.
int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ReceiveGroup::Worker::Worker(ReceiveGroup* owner, size_t position)
    : group(owner), index(position), thread(&ReceiveGroup::ThreadEntry, this, "ReceiveWorker") {}

ReceiveGroup::ReceiveGroup(std::vector<std::unique_ptr<ReceiveSocket>> sockets,
                           uint32_t spread_percent)
    : sockets_(std::move(sockets)),
      shared_(new std::atomic<bool>[sockets_.size()]),
      handed_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      load_(spread_percent) {
  first_ready_.reserve(sockets_.size() + 1);
  first_held_.reserve(sockets_.size());
  first_readable_.reserve(sockets_.size());
  // Without the eventfd a hand-over would wait for the first thread's next
  // look; never share then.
  const bool shared = load_.StartsShared() && handed_fd_ >= 0 && sockets_.size() > 1;
  if (load_.StartsShared() && handed_fd_ < 0) {
    RTC_LOG(LS_WARNING) << "receive threads cannot share their sockets: no eventfd";
  }
  for (size_t i = 0; i < sockets_.size(); ++i) shared_[i].store(i != 0 && shared);
  for (size_t i = 0; i < sockets_.size(); ++i) {
    workers_.push_back(std::make_unique<Worker>(this, i));
  }
}

ReceiveGroup::~ReceiveGroup() {
  Shutdown();
  if (handed_fd_ >= 0) ::close(handed_fd_);
}

void ReceiveGroup::Start() {
  window_start_us_ = NowUs();
  for (auto& worker : workers_) worker->thread.Start();
}

void ReceiveGroup::Shutdown() {
  for (auto& worker : workers_) worker->thread.Stop();
}

uint32_t ReceiveGroup::backlog(size_t i) const {
  return workers_[i]->backlog.load(std::memory_order_relaxed);
}

size_t ReceiveGroup::SharedSockets() const {
  size_t count = 1;
  for (size_t i = 1; i < sockets_.size(); ++i) count += shared_[i].load(std::memory_order_relaxed);
  return count;
}

bool ReceiveGroup::ThreadEntry(void* worker) {
  auto* const self = static_cast<Worker*>(worker);
  if (self->cpu_clock.load(std::memory_order_relaxed) == Worker::kNoClock) {
    clockid_t clock;
    if (::pthread_getcpuclockid(::pthread_self(), &clock) == 0) {
      self->cpu_clock.store(clock, std::memory_order_relaxed);
    }
  }
  if (self->index == 0) {
    self->group->RunFirst(self);
  } else {
    self->group->RunOther(self);
  }
  return true;
}

uint32_t ReceiveGroup::ReadReady(Worker* worker, size_t* sockets, size_t count) {
  // A full batch means more are probably waiting: read again at once instead
  // of asking poll, a bounded number of times.
  uint32_t found = 0;
  for (int round = 0; round < kMaxRoundsPerWake && count > 0; ++round) {
    // Everything the round causes leaves in one flush when the scope ends.
    BatchSender::Scope sends(&worker->batch);
    size_t still_full = 0;
    for (size_t k = 0; k < count; ++k) {
      const uint32_t received = sockets_[sockets[k]]->ReceiveBatch();
      found += received;
      if (received == ReceiveSocket::kBatchSize) sockets[still_full++] = sockets[k];
    }
    count = still_full;
  }
  return found;
}

int64_t ReceiveGroup::CpuUs() const {
  int64_t total = 0;
  for (const auto& worker : workers_) {
    const int64_t clock = worker->cpu_clock.load(std::memory_order_relaxed);
    timespec used{};
    if (clock == Worker::kNoClock || ::clock_gettime(static_cast<clockid_t>(clock), &used) != 0) {
      continue;
    }
    total += static_cast<int64_t>(used.tv_sec) * 1000000 + used.tv_nsec / 1000;
  }
  return total;
}

void ReceiveGroup::RunFirst(Worker* worker) {
  // Block in the kernel rather than sleep: a datagram is taken the moment it
  // arrives, and a stop is still noticed within rtc::kMaxEntryBlockMs.
  std::vector<pollfd>& ready = first_ready_;
  std::vector<size_t>& held = first_held_;
  ready.clear();
  held.clear();
  for (size_t i = 0; i < sockets_.size(); ++i) {
    // Acquire: whatever thread i did with the socket is seen before reading it.
    if (i != 0 && !shared_[i].load(std::memory_order_acquire)) continue;
    ready.push_back({sockets_[i]->socket(), POLLIN, 0});
    held.push_back(i);
  }
  if (handed_fd_ >= 0) ready.push_back({handed_fd_, POLLIN, 0});
  const int events = ::poll(ready.data(), ready.size(), rtc::kMaxEntryBlockMs);
  uint32_t found = 0;
  if (events > 0) {
    std::vector<size_t>& readable = first_readable_;
    readable.clear();
    for (size_t k = 0; k < held.size(); ++k) {
      if ((ready[k].revents & POLLNVAL) != 0) {
        // Not a socket any more; never spin on it.
        ::poll(nullptr, 0, rtc::kMaxEntryBlockMs);
        return;
      }
      if ((ready[k].revents & (POLLIN | POLLERR)) != 0) readable.push_back(held[k]);
    }
    found = ReadReady(worker, readable.data(), readable.size());
    if (handed_fd_ >= 0 && (ready.back().revents & POLLIN) != 0) {
      uint64_t handed;
      // The count itself says nothing: the flags tell which sockets came.
      [[maybe_unused]] const ssize_t n = ::read(handed_fd_, &handed, sizeof(handed));
    }
  }
  worker->backlog.store(found, std::memory_order_relaxed);
  WeighLoad();
}

void ReceiveGroup::WeighLoad() {
  const int64_t now = NowUs();
  const int64_t elapsed = now - window_start_us_;
  if (elapsed < ReceiveLoad::kWindowUs) return;
  bool all_shared = true;
  bool any_shared = false;
  for (size_t i = 1; i < workers_.size(); ++i) {
    const bool shared = shared_[i].load(std::memory_order_relaxed);
    all_shared = all_shared && shared;
    any_shared = any_shared || shared;
  }
  window_start_us_ = now;
  if (workers_.size() < 2 || handed_fd_ < 0) return;
  // CPU time, not the time between wake-up and sleep: a thread that waits
  // for a core on a loaded host is not busier for it.
  const int64_t cpu = CpuUs();
  const int64_t window_cpu = cpu - window_cpu_us_;
  window_cpu_us_ = cpu;
  switch (load_.Report(window_cpu, elapsed, all_shared)) {
    case ReceiveLoad::Change::kSpread: {
      // Each socket this thread holds goes back to its own thread.
      share_asked_.store(false, std::memory_order_relaxed);
      rtc::MutexLock hold(&lock_);
      for (size_t i = 1; i < workers_.size(); ++i) {
        // Release: this thread's reads of the socket happen before thread i's.
        shared_[i].store(false, std::memory_order_release);
      }
      handed_back_.SignalAll();
      break;
    }
    case ReceiveLoad::Change::kShare:
      share_asked_.store(true, std::memory_order_relaxed);
      break;
    case ReceiveLoad::Change::kNone:
      // Every socket came: nothing more to ask for.
      if (all_shared && any_shared) share_asked_.store(false, std::memory_order_relaxed);
      break;
  }
}

void ReceiveGroup::RunOther(Worker* worker) {
  const size_t index = worker->index;
  if (shared_[index].load(std::memory_order_acquire)) {
    worker->backlog.store(0, std::memory_order_relaxed);
    rtc::MutexLock hold(&lock_);
    // Woken when the socket comes back; a stop is noticed within rtc::kMaxEntryBlockMs.
    if (shared_[index].load(std::memory_order_acquire))
      handed_back_.WaitFor(&lock_, rtc::kMaxEntryBlockMs);
    return;
  }
  if (share_asked_.load(std::memory_order_relaxed)) {
    // Release: everything this thread did with the socket happens before the
    // first thread's next read of it.
    shared_[index].store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(handed_fd_, &one, sizeof(one));
    return;
  }
  pollfd ready{sockets_[index]->socket(), POLLIN, 0};
  const int events = ::poll(&ready, 1, rtc::kMaxEntryBlockMs);
  if (events <= 0) {
    worker->backlog.store(0, std::memory_order_relaxed);
    return;
  }
  if ((ready.revents & POLLNVAL) != 0) {
    ::poll(nullptr, 0, rtc::kMaxEntryBlockMs);
    return;
  }
  size_t own = index;
  worker->backlog.store(ReadReady(worker, &own, 1), std::memory_order_relaxed);
}

}  // namespace corvaneserver
