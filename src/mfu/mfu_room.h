// A room of the mixing server: its members' channels and its mixer, which
// every 20 ms takes at most one frame from each speaker, keeps the two that
// rank highest and sends their datagrams, unchanged, to every member but
// each datagram's sender.
//
// The pass (DeliverFrame) is the same however it is scheduled: on a thread of
// the room's own ("mfu_mixer", Run), on a shared MixerPool, or by the caller.
//
// Lock order: the server's lock (write side, for membership changes) above
// `channels_lock_`, above the locks of a channel's receiver report. A pass
// takes `channels_lock_` only to copy the channel references, and calls the
// channels without it; it never takes the server's lock.
#ifndef MFU_MFU_ROOM_H_
#define MFU_MFU_ROOM_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "base/mutex.h"
#include "base/platform_thread.h"
#include "base/thread_annotations.h"
#include "channel/room_registry.h"
#include "mfu/mfu_frame.h"
#include "mfu/mixer_pool.h"
#include "mfu/mixer_schedule.h"

namespace corvaneserver {

class MfuChannel;
class UDPPacket;

// Frames a pass sends at most.
constexpr size_t kMixedFrameCount = 2;

// How a room's passes are run.
struct MixerOptions {
  enum class Mode {
    kOwnThread,  // a "mfu_mixer" thread of the room's own
    kPool,       // the passes of `pool`
    kDriven,     // none: the caller calls DeliverFrame (tests)
  };
  Mode mode = Mode::kOwnThread;
  // Borrowed; must outlive the room. Only for kPool.
  MixerPool* pool = nullptr;
  // Borrowed, may be null: fed with the lateness of every scheduled pass.
  PassLateness* lateness = nullptr;
  // False leaves out the per-pass "deliver frame" line (and, through the
  // server, the channels' "get audio" lines).
  bool frame_log = true;
};

class MfuRoom : public std::enable_shared_from_this<MfuRoom> {
 public:
  // Starts mixing at once (unless driven).
  explicit MfuRoom(uint64_t room_id, const MixerOptions& options = MixerOptions());
  // Stops the mixer, waiting for a pass in flight, before the channels go.
  ~MfuRoom();
  MfuRoom(const MfuRoom&) = delete;
  MfuRoom& operator=(const MfuRoom&) = delete;

  uint64_t Id() const { return room_id_; }

  // --- Membership: service thread, server write lock held ------------------
  // Stores the channel under its user id, replacing one stored there. Returns 0.
  int AddChannel(std::shared_ptr<MfuChannel> channel);
  // Removes the user and tells every remaining channel; found or not, the
  // room's last change moves to now. Returns 0.
  int RemoveChannel(uint64_t user_id);
  // No channel, and kRoomInactiveMs since the last RemoveChannel (or construction).
  bool IsInactive() const;
  size_t ChannelCount() const;

  // --- Mixer ---------------------------------------------------------------
  // One pass: a frame from each channel in ascending user id, the two best
  // sent to every channel. Never runs twice at once for one room.
  void DeliverFrame();
  // The packets of the frames to send: with more than kMixedFrameCount frames,
  // stably sorted best first; each chosen frame's packets go in front of the
  // list, so the second-ranked frame's packets come first.
  static std::list<std::shared_ptr<UDPPacket>> GetMixedFrame(
      std::list<std::shared_ptr<MfUFrame>> frames);

  // One period of the room's own mixer thread: a pass when one is due, else a
  // short sleep towards the due time.
  void Run();

 private:
  static bool Runnable(void* obj);

  const uint64_t room_id_;
  const MixerOptions options_;

  // Raised by a channel that queues a datagram; lowered by the pass that
  // looks at the queues, which raises it again when it leaves datagrams
  // queued. While it is down every queue is empty, and a pass takes nothing.
  // The pool's work flag of the room's task (kPool), else `own_queued_`.
  std::atomic<bool> own_queued_{false};
  std::atomic<bool>* queued_ = &own_queued_;

  mutable rtc::Mutex channels_lock_;
  std::map<uint64_t, std::shared_ptr<MfuChannel>> channels_ GUARDED_BY(channels_lock_);
  int64_t last_change_ms_ GUARDED_BY(channels_lock_);

  // The pass's copy of the channel references; only the running pass touches
  // it, and empties it before it ends.
  std::vector<std::shared_ptr<MfuChannel>> pass_channels_;

  // kOwnThread: the due time of the next pass (mixer thread only).
  int64_t next_due_us_ = 0;
  // Allocated by this for kOwnThread.
  std::unique_ptr<rtc::PlatformThread> mixer_thread_;
  // kPool: the room's task in options_.pool; 0 when none.
  MixerPool::TaskId pool_task_ = 0;
};

}  // namespace corvaneserver

#endif  // MFU_MFU_ROOM_H_
