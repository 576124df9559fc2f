// The mixing server's channel: one member of one room. It admits the member's
// datagrams as every channel does, queues a speaker's FEC datagrams for the
// room's mixer, hands them out one frame per pass (GetAudio) and sends the
// mixer's chosen datagrams to the member, leaving out the member's own.
//
// Threads: OnPacketReceived on the deliver worker of the member's datagram,
// under the server's read lock; GetAudio and DeliverPackets on the thread that
// runs the room's pass, without any server lock; OnUserTypeChanged on the
// service thread under the server's write lock.
//
// Lock order: `lock_` is a leaf lock (the logging library's lock below it).
#ifndef MFU_MFU_CHANNEL_H_
#define MFU_MFU_CHANNEL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>

#include "base/log_rate_limiter.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "channel/user_channel.h"
#include "mfu/mfu_frame.h"

namespace corvaneserver {

class UDPPacket;

class MfuChannel final : public Channel, public std::enable_shared_from_this<MfuChannel> {
 public:
  // Most datagrams one channel keeps for the mixer; one more pushes out the
  // oldest. A speaker who sends faster than the mixer drains cannot exhaust
  // memory.
  static constexpr size_t kMaxQueuedPackets = 500;

  // `frame_log` false leaves out the per-frame "get audio" line.
  MfuChannel(uint64_t room_id, uint64_t user_id, uint32_t user_type, std::string token,
             bool frame_log = true);
  ~MfuChannel();

  uint64_t RoomId() const { return room_id_; }

  // Service thread: a listener's queue empties at once.
  int OnUserTypeChanged() override;

  // Deliver worker. 0 when the base accepted the datagram (a speaker's FEC
  // datagram is then queued, muted or not), -1 when it rejected it.
  // REQUIRES: packet->HasMediaHeader().
  int OnPacketReceived(const std::shared_ptr<UDPPacket>& packet);

  // Mixer: the next frame, or empty when the queue holds none (nothing, or
  // repair datagrams without a source datagram behind them) or the member is
  // muted (the frame is then taken and dropped).
  std::shared_ptr<MfUFrame> GetAudio();
  // Mixer: sends every datagram of the list that this member did not send, in
  // list order, to the member's address. Nothing while the address is unknown.
  void DeliverPackets(const std::list<std::shared_ptr<UDPPacket>>& packets);

  // Datagrams waiting for the mixer. Safe from any thread.
  size_t QueueSize() const;

  // The room's flag that this channel raises (release) whenever it queues a
  // datagram, and at once when its queue already holds some; null for none.
  // The flag must outlive the channel or be replaced before it goes.
  void SetQueueFlag(std::atomic<bool>* flag);

 private:
  const uint64_t room_id_;
  const bool frame_log_;

  mutable rtc::Mutex lock_;
  std::deque<std::shared_ptr<UDPPacket>> queue_ GUARDED_BY(lock_);
  // The queue's length, written under lock_, read without it so that an idle
  // pass does not take the lock.
  std::atomic<size_t> queued_{0};
  // Borrowed from the room that holds this channel.
  std::atomic<bool>* queue_flag_ GUARDED_BY(lock_) = nullptr;
  // Passes in a row whose frame had waited kLateFrameWaitMs or more.
  int late_passes_ GUARDED_BY(lock_) = 0;

  // A flooding speaker: one line per 10 s.
  rtc::LogRateLimiter overflow_log_{rtc::kPeerLogIntervalMs};
};

}  // namespace corvaneserver

#endif  // MFU_MFU_CHANNEL_H_
