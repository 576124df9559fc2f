#include "mfu/mfu_channel.h"

#include <sstream>
#include <utility>

#include "base/logging.h"
#include "base/time_utils.h"
#include "packet/batch_sender.h"
#include "packet/fec_header.h"
#include "packet/udp_packet.h"

namespace corvaneserver {
namespace {

// From this many queued datagrams on, a frame starts with two datagrams, so
// that a grown queue drains.
constexpr size_t kCatchUpQueueSize = 20;
// A speaker who sends a frame every 20 ms keeps a backlog (a burst after a
// stall on the way) for good at one frame per pass. So when the frame taken
// has waited a whole mixer period or more at this many passes in a row, and
// another source datagram is queued, the frame takes it too: a backlog of N
// frames is gone within N times this many passes, and no frame is dropped.
constexpr int kDrainAfterLatePasses = 4;
constexpr int64_t kLateFrameWaitMs = 20;

bool IsSource(const std::shared_ptr<UDPPacket>& packet) { return !packet->IsFecRepair(); }

}  // namespace

MfuChannel::MfuChannel(uint64_t room_id, uint64_t user_id, uint32_t user_type, std::string token,
                       bool frame_log)
    : Channel(user_id, user_type, std::move(token)), room_id_(room_id), frame_log_(frame_log) {}

MfuChannel::~MfuChannel() {
  RTC_LOG(LS_INFO) << "remove user [" << Id() << "] in room [" << room_id_ << "]";
}

int MfuChannel::OnUserTypeChanged() {
  rtc::MutexLock hold(&lock_);
  if (!IsSpeaker()) {
    queue_.clear();
    queued_.store(0, std::memory_order_relaxed);
  }
  return 0;
}

int MfuChannel::OnPacketReceived(const std::shared_ptr<UDPPacket>& packet) {
  if (ReceivedPacket(packet) != 0) return -1;
  if (!IsSpeaker() || !packet->IsFecPacket()) return 0;
  uint64_t dropped = 0;
  {
    rtc::MutexLock hold(&lock_);
    if (queue_.size() >= kMaxQueuedPackets) {
      queue_.pop_front();
      dropped = 1;
    }
    queue_.push_back(packet);
    queued_.store(queue_.size(), std::memory_order_relaxed);
    if (queue_flag_ != nullptr) queue_flag_->store(true, std::memory_order_release);
  }
  if (dropped != 0) {
    RTC_LOG_LIMITED(LS_WARNING, overflow_log_)
        << "user [" << Id() << "] in room [" << room_id_ << "] has [" << kMaxQueuedPackets
        << "] packets waiting for the mixer, drop the oldest";
  }
  return 0;
}

std::shared_ptr<MfUFrame> MfuChannel::GetAudio() {
  // Most passes find most queues empty.
  if (queued_.load(std::memory_order_relaxed) == 0) return nullptr;
  rtc::MutexLock hold(&lock_);
  const size_t size = queue_.size();
  if (size == 0) return nullptr;
  size_t take = 0;
  if (IsSource(queue_.front())) {
    take = size >= kCatchUpQueueSize ? 2 : 1;
    while (take < size && !IsSource(queue_[take])) ++take;
  } else {
    // Repair datagrams go with the source datagram behind them; without one
    // the queue stays as it is until one arrives.
    while (take < size && !IsSource(queue_[take])) ++take;
    if (take == size) return nullptr;
    ++take;
  }
  // The frame's source datagram (the last one it takes) tells how long the
  // speaker's frames wait for the mixer.
  size_t source = take - 1;
  while (source > 0 && !IsSource(queue_[source])) --source;
  if (rtc::TimeMillis() - queue_[source]->ReceiveTime() >= kLateFrameWaitMs) {
    ++late_passes_;
  } else {
    late_passes_ = 0;
  }
  if (late_passes_ >= kDrainAfterLatePasses) {
    size_t next = take;
    while (next < size && !IsSource(queue_[next])) ++next;
    if (next < size) {
      take = next + 1;
      while (take < size && !IsSource(queue_[take])) ++take;
      late_passes_ = 0;
    }
  }
  auto frame = std::make_shared<MfUFrame>();
  for (size_t i = 0; i < take; ++i) {
    frame->packets.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  queued_.store(queue_.size(), std::memory_order_relaxed);
  for (const auto& packet : frame->packets) {
    if (!IsSource(packet)) continue;
    const FrameMarks marks = ReadFrameMarks(*packet);
    if (marks.level > frame->level) frame->level = marks.level;
    frame->priority = frame->priority || marks.priority;
  }
  if (frame_log_) {
    std::ostringstream seqs;
    for (const auto& packet : frame->packets) {
      seqs << "[" << SequenceNum(packet->data()) << ":" << (IsSource(packet) ? "S" : "R") << "]";
    }
    RTC_LOG(LS_INFO) << "user [" << Id() << "] get audio, list leave size [" << queue_.size()
                     << "], get size [" << frame->packets.size() << "]. seq is " << seqs.str();
  }
  if (Muted()) return nullptr;
  return frame;
}

void MfuChannel::DeliverPackets(const std::list<std::shared_ptr<UDPPacket>>& packets) {
  int socket = -1;
  rtc::SocketAddress to;
  Destination(&socket, &to);
  // Queued into the mixer worker's batch: one sendmmsg for its passes.
  ThreadBatch batch;
  for (const auto& packet : packets) {
    if (packet->UserId() == Id()) continue;
    batch->Add(socket, to, packet, BatchSender::Kind::kForwarded);
  }
}

size_t MfuChannel::QueueSize() const { return queued_.load(std::memory_order_relaxed); }

void MfuChannel::SetQueueFlag(std::atomic<bool>* flag) {
  rtc::MutexLock hold(&lock_);
  queue_flag_ = flag;
  if (queue_flag_ != nullptr && !queue_.empty()) {
    queue_flag_->store(true, std::memory_order_release);
  }
}

}  // namespace corvaneserver
