#include "mfu/mixer_pool.h"

#include <algorithm>
#include <array>
#include <functional>

#include "base/time_utils.h"

namespace corvaneserver {
namespace {

// Longest wait of an idle worker before it looks at its stop flag again.
constexpr int64_t kMaxWaitUs = 10000;
// Phase of a task's passes within the period, per task id: about the golden
// ratio of the period, so that any run of consecutive ids lies evenly spread.
constexpr uint64_t kPhaseStep = 12361;

}  // namespace

MixerPool::MixerPool(size_t worker_count, PassLateness* lateness) : lateness_(lateness) {
  for (size_t i = 0; i < worker_count; ++i) {
    workers_.push_back(
        std::make_unique<rtc::PlatformThread>(&MixerPool::Runnable, this, "mfu_mixer"));
  }
  for (auto& worker : workers_) worker->Start();
}

MixerPool::~MixerPool() {
  {
    rtc::MutexLock hold(&lock_);
    stopping_ = true;
  }
  wake_.SignalAll();
  for (auto& worker : workers_) worker->Stop();
}

bool MixerPool::Runnable(void* obj) {
  static_cast<MixerPool*>(obj)->RunOnce();
  return true;
}

MixerPool::TaskId MixerPool::Add(Pass pass) {
  const int64_t now = rtc::TimeMicros();
  TaskId id = 0;
  {
    rtc::MutexLock hold(&lock_);
    id = next_id_++;
    // Rooms made together (a create-room request, a restart of the gateway)
    // would all fall due at the same moments; consecutive ids are spread
    // evenly over the period instead, so that no pass waits for a crowd.
    const int64_t due = now + static_cast<int64_t>((id * kPhaseStep) % kMixerPeriodUs);
    Task& task = tasks_[id];
    task.pass = std::move(pass);
    task.due_us = due;
    schedule_.push_back({due, id});
    std::push_heap(schedule_.begin(), schedule_.end(), std::greater<Due>());
  }
  wake_.Signal();
  return id;
}

void MixerPool::Remove(TaskId id) {
  rtc::MutexLock hold(&lock_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return;
  if (it->second.running) {
    // The worker erases the task when the pass ends.
    it->second.removed = true;
    while (tasks_.count(id) != 0) pass_done_.Wait(&lock_);
    return;
  }
  // Its heap entry goes stale and is skipped.
  tasks_.erase(it);
}

size_t MixerPool::task_count() const {
  rtc::MutexLock hold(&lock_);
  return tasks_.size();
}

void MixerPool::SkipStale() {
  while (!schedule_.empty()) {
    const Due& top = schedule_.front();
    auto it = tasks_.find(top.id);
    if (it != tasks_.end() && !it->second.running && it->second.due_us == top.due_us) return;
    std::pop_heap(schedule_.begin(), schedule_.end(), std::greater<Due>());
    schedule_.pop_back();
  }
}

void MixerPool::RunOnce() {
  struct Taken {
    Due due;
    Task* task;
  };
  std::array<Taken, kBatch> taken;
  size_t count = 0;
  lock_.Lock();
  if (stopping_) {
    lock_.Unlock();
    return;
  }
  const int64_t now = rtc::TimeMicros();
  SkipStale();
  if (schedule_.empty() || schedule_.front().due_us > now + kEarlyTakeUs) {
    const int64_t wait_us =
        schedule_.empty() ? kMaxWaitUs : std::min(kMaxWaitUs, schedule_.front().due_us - now);
    wake_.WaitForMicros(&lock_, wait_us);
    lock_.Unlock();
    return;
  }
  while (count < kBatch && !schedule_.empty() && schedule_.front().due_us <= now + kEarlyTakeUs) {
    const Due due = schedule_.front();
    std::pop_heap(schedule_.begin(), schedule_.end(), std::greater<Due>());
    schedule_.pop_back();
    // The task stays in the map while it runs; only this worker erases it then.
    Task& task = tasks_[due.id];
    task.running = true;
    taken[count++] = {due, &task};
    SkipStale();
  }
  lock_.Unlock();

  for (size_t i = 0; i < count; ++i) {
    if (lateness_ != nullptr) lateness_->Record(rtc::TimeMicros() - taken[i].due.due_us);
    taken[i].task->pass();
  }

  const int64_t end = rtc::TimeMicros();
  bool any_removed = false;
  lock_.Lock();
  for (size_t i = 0; i < count; ++i) {
    Task& task = *taken[i].task;
    task.running = false;
    if (task.removed) {
      tasks_.erase(taken[i].due.id);
      any_removed = true;
      continue;
    }
    task.due_us = NextPassDue(taken[i].due.due_us, now, end);
    schedule_.push_back({task.due_us, taken[i].due.id});
    std::push_heap(schedule_.begin(), schedule_.end(), std::greater<Due>());
  }
  lock_.Unlock();
  if (any_removed) pass_done_.SignalAll();
}

}  // namespace corvaneserver
