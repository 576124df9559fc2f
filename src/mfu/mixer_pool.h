// A few "mfu_mixer" threads that run the passes of many rooms: each room's
// pass every 20 ms on the schedule of mixer_schedule.h, never two passes of
// one room at once. The alternative to a thread per room, whose wake-ups cost
// too much once there are many rooms.
//
// An idle pool costs little: one worker at a time waits for the next due
// time, the others until it hands off, which it does only when its passes run
// long, so the pool wakes about once per millisecond, not once per worker;
// and a task may have a flag that says whether its pass has anything to do,
// kept with the schedule so that a pass skipped for want of work touches no
// memory of its room.
//
// Lock order: `lock_` is never held while a pass runs; a pass takes the locks
// of its room and channels.
#ifndef MFU_MIXER_POOL_H_
#define MFU_MIXER_POOL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/platform_thread.h"
#include "base/thread_annotations.h"
#include "mfu/mixer_schedule.h"

namespace corvaneserver {

class MixerPool {
 public:
  using Pass = std::function<void()>;
  using TaskId = uint64_t;

  // A pass due within this much of now is taken at once, so that a worker
  // that wakes runs every pass due about then instead of sleeping again for
  // each: wake-ups stay near one per millisecond however many rooms there are.
  static constexpr int64_t kEarlyTakeUs = 1000;
  // Passes a worker takes under one acquisition of the lock.
  static constexpr size_t kBatch = 32;
  // A worker whose passes have run this long since it took them wakes
  // another, so that passes falling due meanwhile are not left waiting.
  static constexpr int64_t kHandOffUs = 500;
  // The other workers wake by themselves when the earliest pass is this late,
  // in case the worker waiting for it does not get a core.
  static constexpr int64_t kBackstopUs = 2000;

  // `lateness` (borrowed, may be null) is fed with every pass's lateness.
  MixerPool(size_t worker_count, PassLateness* lateness);
  // Stops and joins the workers. Every task must have been removed.
  ~MixerPool();
  MixerPool(const MixerPool&) = delete;
  MixerPool& operator=(const MixerPool&) = delete;

  // Schedules `pass` every kMixerPeriodMs, the first one due within one
  // period, at a phase that spreads the tasks over the period. Safe from any
  // thread.
  TaskId Add(Pass pass);
  // The same for a pass that has work only while a flag is up. The flag is
  // returned in `*work`, down at first; whoever gives the pass work raises it
  // (release), and the pass lowers it itself. A pass that falls due while it
  // is down is not called: it had nothing to do, and counts as run (its
  // lateness is recorded). The flag stays valid until Remove returns.
  TaskId AddWithWorkFlag(Pass pass, std::atomic<bool>** work);
  // Unschedules a task; when its pass is running, waits for it to end. After
  // the call the pass never runs again. Must not be called from a pass.
  void Remove(TaskId id);

  size_t worker_count() const { return workers_.size(); }
  size_t task_count() const;

 private:
  // Where a task is: a slot of `slots_`, `states_` and `work_`.
  using Slot = uint32_t;
  enum class State : uint8_t {
    kFree,
    kWaiting,         // in the heap
    kRunning,         // taken by a worker
    kRemoved,         // removed while waiting: freed when its heap entry comes up
    kRemovedRunning,  // removed while running: freed by the worker
  };
  struct Task {
    TaskId id = 0;
    Pass pass;
  };

  static bool Runnable(void* obj);
  TaskId AddTask(Pass pass, std::atomic<bool>** work);
  // One step of a worker: runs the passes that are due (up to kBatch), or
  // waits (at most 10 ms, so that a stop is noticed) for one to become due.
  void RunOnce();

  // A heap entry: the due time of a task's next pass. Each waiting or
  // removed-while-waiting task has exactly one.
  struct Due {
    int64_t due_us;
    TaskId id;
    Slot slot;
    // The task's work flag, or null when its pass always runs.
    std::atomic<bool>* work;
    bool operator>(const Due& other) const {
      return due_us != other.due_us ? due_us > other.due_us : id > other.id;
    }
  };
  // Frees removed tasks from the top of the heap.
  void SkipRemoved() REQUIRES(lock_);
  void FreeSlot(Slot slot) REQUIRES(lock_);

  PassLateness* const lateness_;

  mutable rtc::Mutex lock_;
  // The worker waiting for the next due time: signalled when the earliest
  // due time may have moved earlier, or at stop.
  rtc::CondVar timer_;
  // The other idle workers: signalled by a hand-off, or at stop.
  rtc::CondVar idle_;
  // Signalled when a removed task's pass ends.
  rtc::CondVar pass_done_;
  bool stopping_ GUARDED_BY(lock_) = false;
  // A worker waits on `timer_`.
  bool timer_waiter_ GUARDED_BY(lock_) = false;
  TaskId next_id_ GUARDED_BY(lock_) = 1;
  // Tasks not removed, by id.
  std::unordered_map<TaskId, Slot> ids_ GUARDED_BY(lock_);
  // Per slot. A deque keeps its elements in place as it grows: a worker calls
  // a pass without the lock, and channels raise work flags at any time.
  std::deque<Task> slots_ GUARDED_BY(lock_);
  std::vector<State> states_ GUARDED_BY(lock_);
  std::deque<std::atomic<bool>> work_ GUARDED_BY(lock_);
  std::vector<Slot> free_slots_ GUARDED_BY(lock_);
  // Min-heap by due time of every task that is not running.
  std::vector<Due> schedule_ GUARDED_BY(lock_);

  // Allocated by this; started by the constructor.
  std::vector<std::unique_ptr<rtc::PlatformThread>> workers_;
};

}  // namespace corvaneserver

#endif  // MFU_MIXER_POOL_H_
