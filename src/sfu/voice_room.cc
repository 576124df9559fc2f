#include "sfu/voice_room.h"

#include <algorithm>

#include "base/logging.h"
#include "base/time_utils.h"
#include "packet/batch_sender.h"
#include "packet/udp_packet.h"
#include "sfu/voice_channel.h"

namespace corvaneserver {

Room::Room(uint64_t room_id) : room_id_(room_id), active_time_ms_(rtc::TimeMillis()) {}

void Room::UpdateActiveTime() { active_time_ms_ = rtc::TimeMillis(); }

bool Room::IsOvertime() const { return rtc::TimeMillis() >= active_time_ms_ + kRoomInactiveMs; }

void Room::UpdateMusicDetail(const std::shared_ptr<UDPPacket>& packet) {
  const uint32_t seq = packet->SequenceNum();
  rtc::MutexLock hold(&music_lock_);
  if (music_detail_ && static_cast<int32_t>(seq - music_detail_->SequenceNum()) <= 0) {
    return;  // not newer than what the room keeps
  }
  // The copy has exactly the new datagram's bytes and length.
  music_detail_ = std::make_shared<UDPPacket>(packet->data(), packet->size());
}

std::shared_ptr<UDPPacket> Room::GetMusicDetail() const {
  rtc::MutexLock hold(&music_lock_);
  return music_detail_;
}

VoiceRoom::VoiceRoom(uint64_t room_id) : Room(room_id) {}

VoiceRoom::~VoiceRoom() { RTC_LOG(LS_INFO) << "remove room [" << Id() << "]"; }

int VoiceRoom::AddUser(const std::shared_ptr<VoiceChannel>& channel) {
  members_[channel->Id()] = channel;
  CountLinks();
  UpdateActiveTime();
  return 0;
}

int VoiceRoom::DeleteUser(uint64_t user_id) {
  auto it = members_.find(user_id);
  if (it != members_.end()) {
    RTC_LOG(LS_INFO) << "delete user [" << user_id << "] in room [" << Id() << "]";
    members_.erase(it);
    CountLinks();
    for (const auto& [id, member] : members_) member->OnAnotherUserRemoved(user_id);
  }
  UpdateActiveTime();
  return 0;
}

bool VoiceRoom::IsInactive() const {
  const bool abandoned =
      members_.empty() ||
      (members_.size() == 1 && members_.begin()->second->ChannelType() == kUserTypeCascader);
  return abandoned && IsOvertime();
}

void VoiceRoom::CountLinks() {
  links_.clear();
  for (const auto& [id, member] : members_) {
    if (member->IsLink()) links_.push_back(member.get());
  }
}

int VoiceRoom::OnPacketDelivered(const std::shared_ptr<UDPPacket>& packet,
                                 const rtc::SocketAddress* from_peer) {
  const uint64_t sender = packet->UserId();
  // Queued for the whole room into the thread's batch: one sendmmsg per
  // socket for everything the thread's receive batch causes.
  ThreadBatch batch;
  for (const auto& [id, member] : members_) {
    if (id == sender) continue;
    if (from_peer != nullptr && member->IsLinkTo(*from_peer)) continue;
    member->DeliverPacket(packet, batch.get());
  }
  return 0;
}

int VoiceRoom::OnMusicPacketReceived(const std::shared_ptr<UDPPacket>& packet,
                                     const rtc::SocketAddress* from_peer) {
  UpdateMusicDetail(packet);
  return OnPacketDelivered(packet, from_peer);
}

int VoiceRoom::OnCascadeReceived(uint32_t value) {
  for (const auto& [id, member] : members_) member->CascadeResponse(value);
  return 0;
}

bool VoiceRoom::OnCascadeReceived(uint32_t value, const rtc::SocketAddress& source,
                                  bool for_this_server) {
  bool answered = false;
  for (const auto& [id, member] : members_) answered |= member->CascadeResponse(value, source);
  if (!answered && !for_this_server) return false;
  rtc::MutexLock hold(&sources_lock_);
  if (std::find(sources_.begin(), sources_.end(), source) != sources_.end()) return answered;
  if (sources_.size() >= kMaxCascadeSources) {
    RTC_LOG_LIMITED(LS_WARNING, sources_full_log_)
        << "room [" << Id() << "] knows [" << kMaxCascadeSources << "] peer servers already, ["
        << source.ToString() << "] is not taken as one";
    return answered;
  }
  sources_.push_back(source);
  has_sources_.store(true, std::memory_order_release);
  return answered;
}

bool VoiceRoom::IsCascadeSource(const rtc::SocketAddress& source) const {
  for (const VoiceChannel* link : links_) {
    if (link->IsLinkTo(source)) return true;
  }
  if (!has_sources_.load(std::memory_order_acquire)) return false;
  rtc::MutexLock hold(&sources_lock_);
  return std::find(sources_.begin(), sources_.end(), source) != sources_.end();
}

void VoiceRoom::SendKeepalives() const {
  for (VoiceChannel* link : links_) link->SendKeepalive();
}

void VoiceRoom::SendDetectPackets() const {
  for (VoiceChannel* link : links_) link->SendDetectPacket();
}

std::shared_ptr<VoiceChannel> VoiceRoom::SeekMember(uint64_t id) const {
  auto it = members_.find(id);
  return it == members_.end() ? nullptr : it->second;
}

bool VoiceRoom::HasMemberAt(const rtc::SocketAddress& address, uint64_t hint_id) const {
  if (!address.IsComplete()) return false;
  const std::shared_ptr<VoiceChannel> hinted = SeekMember(hint_id);
  if (hinted && hinted->FromAddress() == address) return true;
  for (const auto& [id, member] : members_) {
    if (member->FromAddress() == address) return true;
  }
  return false;
}

}  // namespace corvaneserver
