#include "mfu/mixer_pool.h"

#include <algorithm>

#include "base/time_utils.h"

namespace corvaneserver {
namespace {

// Longest wait of an idle worker before it looks at its stop flag again.
constexpr int64_t kMaxWaitUs = 10000;

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
    Task& task = tasks_[id];
    task.pass = std::move(pass);
    task.due_us = now;
    schedule_.emplace(now, id);
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
  schedule_.erase({it->second.due_us, id});
  tasks_.erase(it);
}

size_t MixerPool::task_count() const {
  rtc::MutexLock hold(&lock_);
  return tasks_.size();
}

void MixerPool::RunOnce() {
  lock_.Lock();
  if (stopping_) {
    lock_.Unlock();
    return;
  }
  const int64_t now = rtc::TimeMicros();
  if (schedule_.empty() || schedule_.begin()->first > now + kEarlyTakeUs) {
    const int64_t wait_us =
        schedule_.empty() ? kMaxWaitUs : std::min(kMaxWaitUs, schedule_.begin()->first - now);
    wake_.WaitForMicros(&lock_, wait_us);
    lock_.Unlock();
    return;
  }
  const auto [due_us, id] = *schedule_.begin();
  schedule_.erase(schedule_.begin());
  Task& task = tasks_[id];
  task.running = true;
  // The task stays in the map while it runs; only this worker erases it then.
  const Pass* pass = &task.pass;
  lock_.Unlock();

  if (lateness_ != nullptr) lateness_->Record(now - due_us);
  (*pass)();

  lock_.Lock();
  Task& done = tasks_[id];
  done.running = false;
  if (done.removed) {
    tasks_.erase(id);
    lock_.Unlock();
    pass_done_.SignalAll();
    return;
  }
  done.due_us = NextPassDue(due_us, now, rtc::TimeMicros());
  schedule_.emplace(done.due_us, id);
  lock_.Unlock();
}

}  // namespace corvaneserver
