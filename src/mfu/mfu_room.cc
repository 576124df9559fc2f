#include "mfu/mfu_room.h"

#include <algorithm>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "base/time_utils.h"
#include "mfu/mfu_channel.h"
#include "mfu/mfu_metrics.h"
#include "packet/fec_header.h"
#include "packet/udp_packet.h"

namespace corvaneserver {
namespace {

// Longest sleep of the room's own thread before it looks at its stop flag again.
constexpr int64_t kMaxSleepUs = 10000;

}  // namespace

MfuRoom::MfuRoom(uint64_t room_id, const MixerOptions& options)
    : room_id_(room_id), options_(options), last_change_ms_(rtc::TimeMillis()) {
  switch (options_.mode) {
    case MixerOptions::Mode::kOwnThread:
      next_due_us_ = rtc::TimeMicros();
      mixer_thread_ = std::make_unique<rtc::PlatformThread>(&MfuRoom::Runnable, this, "mfu_mixer");
      mixer_thread_->Start();
      break;
    case MixerOptions::Mode::kPool:
      // The room outlives its task: the destructor removes it first.
      pool_task_ = options_.pool->AddWithWorkFlag([this] { DeliverFrame(); }, &queued_);
      break;
    case MixerOptions::Mode::kDriven:
      break;
  }
}

MfuRoom::~MfuRoom() {
  RTC_LOG(LS_INFO) << "remove room [" << room_id_ << "]";
  {
    // A channel that lives on elsewhere forgets the flag before it goes.
    rtc::MutexLock hold(&channels_lock_);
    for (const auto& [id, channel] : channels_) channel->SetQueueFlag(nullptr);
  }
  if (mixer_thread_) mixer_thread_->Stop();
  if (pool_task_ != 0) options_.pool->Remove(pool_task_);
  // The channels go with the map, after the mixer has stopped.
}

bool MfuRoom::Runnable(void* obj) {
  static_cast<MfuRoom*>(obj)->Run();
  return true;
}

void MfuRoom::Run() {
  const int64_t now = rtc::TimeMicros();
  if (now < next_due_us_) {
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::min(next_due_us_ - now, kMaxSleepUs)));
    return;
  }
  if (options_.lateness != nullptr) options_.lateness->Record(now - next_due_us_);
  DeliverFrame();
  next_due_us_ = NextPassDue(next_due_us_, now, rtc::TimeMicros());
}

int MfuRoom::AddChannel(std::shared_ptr<MfuChannel> channel) {
  rtc::MutexLock hold(&channels_lock_);
  const uint64_t user_id = channel->Id();
  channel->SetQueueFlag(queued_);
  std::shared_ptr<MfuChannel>& slot = channels_[user_id];
  if (slot && slot != channel) slot->SetQueueFlag(nullptr);
  slot = std::move(channel);
  return 0;
}

int MfuRoom::RemoveChannel(uint64_t user_id) {
  std::shared_ptr<MfuChannel> removed;
  rtc::MutexLock hold(&channels_lock_);
  auto it = channels_.find(user_id);
  if (it != channels_.end()) {
    // Released after the lock: the channel's destructor logs.
    removed = std::move(it->second);
    channels_.erase(it);
    removed->SetQueueFlag(nullptr);
    for (const auto& [id, channel] : channels_) channel->OnAnotherUserRemoved(user_id);
  }
  last_change_ms_ = rtc::TimeMillis();
  return 0;
}

bool MfuRoom::IsInactive() const {
  rtc::MutexLock hold(&channels_lock_);
  return channels_.empty() && rtc::TimeMillis() >= last_change_ms_ + kRoomInactiveMs;
}

size_t MfuRoom::ChannelCount() const {
  rtc::MutexLock hold(&channels_lock_);
  return channels_.size();
}

void MfuRoom::DeliverFrame() {
  // Most passes of a quiet room: nothing was queued since the last pass left
  // every queue empty, so there is nothing to take, send or log.
  if (!queued_->load(std::memory_order_acquire)) return;
  // Lowered before the queues are read: a datagram queued from here on
  // raises it again, for the next pass.
  queued_->exchange(false, std::memory_order_acq_rel);
  {
    rtc::MutexLock hold(&channels_lock_);
    bool queued = false;
    for (const auto& [id, channel] : channels_) {
      if (channel->QueueSize() != 0) {
        queued = true;
        break;
      }
    }
    if (!queued) return;
    pass_channels_.reserve(channels_.size());
    for (const auto& [id, channel] : channels_) pass_channels_.push_back(channel);
  }
  std::list<std::shared_ptr<MfUFrame>> frames;
  for (const auto& channel : pass_channels_) {
    if (std::shared_ptr<MfUFrame> frame = channel->GetAudio()) frames.push_back(std::move(frame));
  }
  if (!frames.empty()) {
    const size_t offered = frames.size();
    const size_t chosen = std::min<size_t>(offered, 2);
    MfuMetrics::Get().frames_chosen.Add(chosen);
    MfuMetrics::Get().frames_dropped.Add(offered - chosen);
    const std::list<std::shared_ptr<UDPPacket>> packets = GetMixedFrame(std::move(frames));
    if (options_.frame_log) {
      std::ostringstream seqs;
      for (const auto& packet : packets) {
        seqs << "[" << packet->UserId() << ":" << SequenceNum(packet->data()) << "]";
      }
      RTC_LOG(LS_INFO) << "deliver frame, packet list size is " << packets.size() << ", seq is "
                       << seqs.str();
    }
    for (const auto& channel : pass_channels_) channel->DeliverPackets(packets);
  }
  // What is left queued (a grown queue, repair datagrams waiting for their
  // source datagram) is looked at again by the next pass.
  for (const auto& channel : pass_channels_) {
    if (channel->QueueSize() != 0) {
      queued_->store(true, std::memory_order_release);
      break;
    }
  }
  // A channel removed meanwhile dies here, on the pass's thread, not later.
  pass_channels_.clear();
}

std::list<std::shared_ptr<UDPPacket>> MfuRoom::GetMixedFrame(
    std::list<std::shared_ptr<MfUFrame>> frames) {
  if (frames.size() > kMixedFrameCount) {
    // list::sort is stable: equal frames keep ascending user id.
    frames.sort([](const std::shared_ptr<MfUFrame>& a, const std::shared_ptr<MfUFrame>& b) {
      return *a > *b;
    });
  }
  std::list<std::shared_ptr<UDPPacket>> packets;
  size_t taken = 0;
  for (const auto& frame : frames) {
    if (taken++ == kMixedFrameCount) break;
    packets.splice(packets.begin(), frame->packets);
  }
  return packets;
}

}  // namespace corvaneserver
