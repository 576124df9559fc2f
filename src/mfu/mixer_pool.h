// A few "mfu_mixer" threads that run the passes of many rooms: each room's
// pass every 20 ms on the schedule of mixer_schedule.h, never two passes of
// one room at once. The alternative to a thread per room, whose wake-ups cost
// too much once there are many rooms.
//
// Lock order: `lock_` is never held while a pass runs; a pass takes the locks
// of its room and channels.
#ifndef MFU_MIXER_POOL_H_
#define MFU_MIXER_POOL_H_

#include <cstddef>
#include <cstdint>
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
  // Unschedules a task; when its pass is running, waits for it to end. After
  // the call the pass never runs again. Must not be called from a pass.
  void Remove(TaskId id);

  size_t worker_count() const { return workers_.size(); }
  size_t task_count() const;

 private:
  struct Task {
    Pass pass;
    int64_t due_us = 0;
    bool running = false;
    bool removed = false;
  };

  static bool Runnable(void* obj);
  // One step of a worker: runs the passes that are due (up to kBatch), or
  // waits (at most 10 ms, so that a stop is noticed) for one to become due.
  void RunOnce();

  // A heap entry: the due time of a task's next pass. An entry whose task is
  // gone or has moved on is skipped when it comes up.
  struct Due {
    int64_t due_us;
    TaskId id;
    bool operator>(const Due& other) const {
      return due_us != other.due_us ? due_us > other.due_us : id > other.id;
    }
  };
  // Drops stale entries from the top of the heap.
  void SkipStale() REQUIRES(lock_);

  PassLateness* const lateness_;

  mutable rtc::Mutex lock_;
  // Signalled when the earliest due time may have moved earlier, or at stop.
  rtc::CondVar wake_;
  // Signalled when a pass ends.
  rtc::CondVar pass_done_;
  bool stopping_ GUARDED_BY(lock_) = false;
  TaskId next_id_ GUARDED_BY(lock_) = 1;
  // Element references stay valid across rehashing: a worker keeps one to the
  // task it runs.
  std::unordered_map<TaskId, Task> tasks_ GUARDED_BY(lock_);
  // Min-heap by due time of every task that is not running.
  std::vector<Due> schedule_ GUARDED_BY(lock_);

  // Allocated by this; started by the constructor.
  std::vector<std::unique_ptr<rtc::PlatformThread>> workers_;
};

}  // namespace corvaneserver

#endif  // MFU_MIXER_POOL_H_
