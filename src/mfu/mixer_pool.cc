#include "mfu/mixer_pool.h"

#include <algorithm>
#include <array>
#include <functional>

#include "base/time_utils.h"
#include "packet/batch_sender.h"

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
  timer_.SignalAll();
  idle_.SignalAll();
  for (auto& worker : workers_) worker->Stop();
}

bool MixerPool::Runnable(void* obj) {
  static_cast<MixerPool*>(obj)->RunOnce();
  return true;
}

MixerPool::TaskId MixerPool::Add(Pass pass) { return AddTask(std::move(pass), nullptr); }

MixerPool::TaskId MixerPool::AddWithWorkFlag(Pass pass, std::atomic<bool>** work) {
  return AddTask(std::move(pass), work);
}

MixerPool::TaskId MixerPool::AddTask(Pass pass, std::atomic<bool>** work) {
  const int64_t now = rtc::TimeMicros();
  TaskId id = 0;
  bool timer_waiter = false;
  {
    rtc::MutexLock hold(&lock_);
    id = next_id_++;
    Slot slot = 0;
    if (free_slots_.empty()) {
      slot = static_cast<Slot>(slots_.size());
      slots_.emplace_back();
      states_.push_back(State::kFree);
      work_.emplace_back(false);
    } else {
      slot = free_slots_.back();
      free_slots_.pop_back();
    }
    Task& task = slots_[slot];
    task.id = id;
    task.pass = std::move(pass);
    states_[slot] = State::kWaiting;
    std::atomic<bool>* flag = &work_[slot];
    flag->store(false, std::memory_order_relaxed);
    if (work != nullptr) *work = flag;
    ids_[id] = slot;
    // Rooms made together (a create-room request, a restart of the gateway)
    // would all fall due at the same moments; consecutive ids are spread
    // evenly over the period instead, so that no pass waits for a crowd.
    const int64_t due = now + static_cast<int64_t>((id * kPhaseStep) % kMixerPeriodUs);
    schedule_.push_back({due, id, slot, work != nullptr ? flag : nullptr});
    std::push_heap(schedule_.begin(), schedule_.end(), std::greater<Due>());
    timer_waiter = timer_waiter_;
  }
  // The new pass may be due before the one the waiting worker aims at; with
  // nobody waiting for a due time, an idle worker takes that job.
  if (timer_waiter) {
    timer_.Signal();
  } else {
    idle_.Signal();
  }
  return id;
}

void MixerPool::Remove(TaskId id) {
  Pass gone;
  rtc::MutexLock hold(&lock_);
  auto it = ids_.find(id);
  if (it == ids_.end()) return;
  const Slot slot = it->second;
  ids_.erase(it);
  if (states_[slot] == State::kRunning) {
    // The worker frees the slot when the pass ends.
    states_[slot] = State::kRemovedRunning;
    while (states_[slot] == State::kRemovedRunning && slots_[slot].id == id) {
      pass_done_.Wait(&lock_);
    }
    return;
  }
  // Its heap entry stays until it comes up; the pass goes now. (`gone` dies
  // after the lock is released.)
  states_[slot] = State::kRemoved;
  gone = std::move(slots_[slot].pass);
}

size_t MixerPool::task_count() const {
  rtc::MutexLock hold(&lock_);
  return ids_.size();
}

void MixerPool::FreeSlot(Slot slot) {
  states_[slot] = State::kFree;
  slots_[slot].pass = nullptr;
  slots_[slot].id = 0;
  free_slots_.push_back(slot);
}

void MixerPool::SkipRemoved() {
  while (!schedule_.empty() && states_[schedule_.front().slot] == State::kRemoved) {
    const Slot slot = schedule_.front().slot;
    std::pop_heap(schedule_.begin(), schedule_.end(), std::greater<Due>());
    schedule_.pop_back();
    FreeSlot(slot);
  }
}

void MixerPool::RunOnce() {
  struct Taken {
    Due due;
    // Null when the pass has nothing to do.
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
  SkipRemoved();
  if (schedule_.empty() || schedule_.front().due_us > now + kEarlyTakeUs) {
    if (!timer_waiter_) {
      const int64_t wait_us =
          schedule_.empty() ? kMaxWaitUs : std::min(kMaxWaitUs, schedule_.front().due_us - now);
      timer_waiter_ = true;
      timer_.WaitForMicros(&lock_, wait_us);
      timer_waiter_ = false;
    } else {
      // A backstop for a timer worker that does not get a core in time.
      const int64_t wait_us =
          schedule_.empty() ? kMaxWaitUs
                            : std::min(kMaxWaitUs, schedule_.front().due_us + kBackstopUs - now);
      idle_.WaitForMicros(&lock_, wait_us);
    }
    lock_.Unlock();
    return;
  }
  while (count < kBatch && !schedule_.empty() && schedule_.front().due_us <= now + kEarlyTakeUs) {
    const Due due = schedule_.front();
    std::pop_heap(schedule_.begin(), schedule_.end(), std::greater<Due>());
    schedule_.pop_back();
    // The slot stays the task's while it runs; only this worker frees it then.
    states_[due.slot] = State::kRunning;
    taken[count++] = {due, &slots_[due.slot]};
    SkipRemoved();
  }
  lock_.Unlock();

  bool handed_off = false;
  {
    // The passes' deliveries leave in one flush per socket when the scope ends.
    BatchSender batch;
    BatchSender::Scope sends(&batch);
    for (size_t i = 0; i < count; ++i) {
      const int64_t start = rtc::TimeMicros();
      if (lateness_ != nullptr) lateness_->Record(start - taken[i].due.due_us);
      if (!handed_off && start - now >= kHandOffUs) {
        // These passes run long: another worker looks after what falls due
        // meanwhile, while this one finishes its batch.
        idle_.Signal();
        handed_off = true;
      }
      const Due& due = taken[i].due;
      // A pass without work is not called: its room's memory stays untouched.
      if (due.work != nullptr && !due.work->load(std::memory_order_acquire)) continue;
      taken[i].task->pass();
    }
  }

  const int64_t end = rtc::TimeMicros();
  bool any_removed = false;
  lock_.Lock();
  for (size_t i = 0; i < count; ++i) {
    const Due& due = taken[i].due;
    if (states_[due.slot] == State::kRemovedRunning) {
      FreeSlot(due.slot);
      any_removed = true;
      continue;
    }
    states_[due.slot] = State::kWaiting;
    schedule_.push_back({NextPassDue(due.due_us, now, end), due.id, due.slot, due.work});
    std::push_heap(schedule_.begin(), schedule_.end(), std::greater<Due>());
  }
  lock_.Unlock();
  if (any_removed) pass_done_.SignalAll();
}

}  // namespace corvaneserver
