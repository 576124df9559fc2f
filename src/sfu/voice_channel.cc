#include "sfu/voice_channel.h"

#include <utility>
#include <vector>

#include "base/logging.h"
#include "base/time_utils.h"
#include "packet/batch_sender.h"
#include "packet/fec_header.h"
#include "packet/media_constants.h"
#include "packet/udp_packet.h"
#include "sfu/nack.h"
#include "sfu/sfu_metrics.h"
#include "sfu/sfu_wire.h"
#include "sfu/voice_room.h"

namespace corvaneserver {
namespace {

// What a FEC repair datagram counts as wherever a payload type picks a branch:
// plain voice (even, and neither music, retained, nor authentication).
constexpr uint8_t kRepairAsVoice = 0;
}  // namespace

VoiceChannel::VoiceChannel(const std::shared_ptr<VoiceRoom>& room, uint64_t user_id, uint32_t type,
                           std::string token, bool nack_enabled)
    : Channel(user_id, type, std::move(token)),
      room_(room),
      cascade_confirmed_(true),
      nack_enabled_(nack_enabled),
      is_link_(false) {
  if (nack_enabled_) nack_ = std::make_unique<Nack>(user_id);
}

VoiceChannel::VoiceChannel(const std::shared_ptr<VoiceRoom>& room, uint64_t cascade_id, int socket,
                           const rtc::SocketAddress& address)
    : Channel(cascade_id, kUserTypeCascader, socket, address),
      room_(room),
      cascade_confirmed_(false),
      nack_enabled_(false),
      is_link_(true) {}

VoiceChannel::~VoiceChannel() {
  RTC_LOG(LS_INFO) << "remove user [" << Id() << "] from room [" << RoomId() << "]";
}

uint64_t VoiceChannel::RoomId() const {
  const std::shared_ptr<VoiceRoom> room = room_.lock();
  return room ? room->Id() : 0;
}

int VoiceChannel::OnPacketReceived(const std::shared_ptr<UDPPacket>& packet) {
  // A repair datagram is voice, byte for byte: its inner bytes choose no branch.
  const uint8_t payload_type = packet->IsFecRepair() ? kRepairAsVoice : packet->PayloadType();
  if (payload_type == kAuthenticationPayloadType) {
    const std::shared_ptr<VoiceRoom> room = room_.lock();
    // An authentication answer for a member comes back only through a cascade
    // peer of its room; from anyone else it would be a forgery.
    if (!room || !room->IsCascadeSource(packet->FromAddress())) {
      SfuMetrics::Get().dropped_authentication.Add();
      RTC_LOG_LIMITED(LS_WARNING, forged_relay_log_limiter_)
          << "drop authentication packet for user [" << Id() << "] from ["
          << packet->FromAddress().ToString() << "]: not a cascade peer of room [" << RoomId()
          << "]";
      return -1;
    }
    RTC_LOG_LIMITED(LS_INFO, relay_log_limiter_)
        << "received authentication packet from other packet, deliver it to user address";
    SendPacket(packet);
    return 0;
  }
  const rtc::SocketAddress from = packet->FromAddress();
  std::shared_ptr<VoiceRoom> room = room_.lock();
  if (room && room->IsCascadeSource(from)) {
    return OnPeerPacketReceived(packet, payload_type, room, from);
  }
  if (ReceivedPacket(packet) != 0) return -1;
  if (music_notice_pending_.exchange(false, std::memory_order_acq_rel)) NotifyMusicDetail();
  if (IsAckPacket(payload_type)) {
    OnAckReceived(packet);
    return -1;  // acknowledgements are never forwarded
  }
  if (payload_type == kMusicPayloadType) {
    // Music goes to the room whatever the member's role and mute state.
    if (!room) return 0;
    if (room->IsCascaded()) FirstForward(*packet);
    return room->OnMusicPacketReceived(packet);
  }
  if (IsSpeaker() && !Muted() && room) {
    // Remembered so that a copy coming back round a cycle of links is known.
    if (room->IsCascaded()) FirstForward(*packet);
    room->OnPacketDelivered(packet);
  }
  if (nack_) nack_->OnPacketReceived(packet);
  return 0;
}

int VoiceChannel::OnPeerPacketReceived(const std::shared_ptr<UDPPacket>& packet,
                                       uint8_t payload_type, const std::shared_ptr<VoiceRoom>& room,
                                       const rtc::SocketAddress& from) {
  if (ReceivedFromPeer(packet) != 0) return -1;
  // The member's own server acknowledged it; acknowledgements are never relayed.
  if (IsAckPacket(payload_type)) return -1;
  const bool music = payload_type == kMusicPayloadType;
  if (!music && !(IsSpeaker() && !Muted())) return 0;
  if (!FirstForward(*packet)) {
    SfuMetrics::Get().cascade_repeats.Add();
    RTC_LOG_LIMITED(LS_WARNING, repeat_log_limiter_)
        << "drop repeated datagram [" << packet->SequenceNum() << "] of user [" << Id()
        << "] from cascade peer [" << from.ToString() << "], it was forwarded already";
    return -1;
  }
  if (music) return room->OnMusicPacketReceived(packet, &from);
  room->OnPacketDelivered(packet, &from);
  return 0;
}

bool VoiceChannel::FirstForward(const UDPPacket& packet) {
  const int64_t now = rtc::TimeMillis();
  rtc::MutexLock hold(&forwarded_lock_);
  if (packet.IsFecPacket()) return forwarded_fec_.Offer(SequenceNum(packet.data()), now);
  return forwarded_plain_.Offer(packet.SequenceNum(), now);
}

int VoiceChannel::OnNackReceived(const std::shared_ptr<UDPPacket>& nack) {
  return nack_ ? nack_->OnNackReceived(nack) : -1;
}

void VoiceChannel::DeliverPacket(const std::shared_ptr<UDPPacket>& packet) {
  ThreadBatch batch;
  DeliverPacket(packet, batch.get());
}

void VoiceChannel::DeliverPacket(const std::shared_ptr<UDPPacket>& packet, BatchSender* batch) {
  SendDetectPacket(batch);
  const uint8_t payload_type = packet->IsFecRepair() ? kRepairAsVoice : packet->PayloadType();
  if (payload_type == kMusicPayloadType || payload_type == kRetainedPayloadType) {
    // Kept before it is sent: the member may acknowledge it at once, on another
    // worker, and that acknowledgement must find it.
    Keep(payload_type, packet, rtc::TimeMillis());
  }
  int socket = -1;
  rtc::SocketAddress to;
  Destination(&socket, &to);
  batch->Add(socket, to, packet, BatchSender::Kind::kForwarded);
}

void VoiceChannel::Keep(uint8_t payload_type, const std::shared_ptr<UDPPacket>& packet,
                        int64_t delivered_ms) {
  rtc::MutexLock hold(&wait_lock_);
  if (payload_type == kMusicPayloadType) {
    pending_music_.packet = packet;
    pending_music_.delivered_ms = delivered_ms;
    return;
  }
  const uint32_t seq = packet->SequenceNum();
  if (wait_packets_.count(seq) != 0) return;  // the earlier datagram stays
  if (wait_packets_.size() >= kMaxWaitPackets) {
    wait_packets_.erase(wait_order_.front());
    wait_order_.pop_front();
  }
  wait_order_.push_back(seq);
  wait_packets_.emplace(seq, Waiting{packet, delivered_ms, std::prev(wait_order_.end())});
}

void VoiceChannel::SendPacket(const std::shared_ptr<UDPPacket>& packet) {
  ThreadBatch batch;
  batch->Add(Socket(), FromAddress(), packet);
}

std::list<std::shared_ptr<UDPPacket>> VoiceChannel::GetWaitPacketList() const {
  std::list<std::shared_ptr<UDPPacket>> list;
  rtc::MutexLock hold(&wait_lock_);
  if (pending_music_.packet) list.push_back(pending_music_.packet);
  for (const auto& [seq, waiting] : wait_packets_) list.push_back(waiting.packet);
  return list;
}

void VoiceChannel::ResendPacket() {
  const int64_t now = rtc::TimeMillis();
  // Picked under the lock, sent without it.
  std::vector<std::shared_ptr<UDPPacket>> due;
  {
    rtc::MutexLock hold(&wait_lock_);
    if (pending_music_.packet && now <= pending_music_.delivered_ms + kResendWindowMs) {
      due.push_back(pending_music_.packet);
    }
    for (const auto& [seq, waiting] : wait_packets_) {
      if (now <= waiting.delivered_ms + kResendWindowMs) due.push_back(waiting.packet);
    }
  }
  // One sendmmsg for all of them, or part of the thread's batch.
  ThreadBatch batch;
  const rtc::SocketAddress to = FromAddress();
  for (const auto& packet : due) batch->Add(Socket(), to, packet);
  SfuMetrics::Get().resends.Add(due.size());
}

void VoiceChannel::OnAckReceived(const std::shared_ptr<UDPPacket>& ack) {
  const auto acked_type = static_cast<uint8_t>(ack->PayloadType() + 1);
  const uint32_t seq = ack->SequenceNum();
  rtc::MutexLock hold(&wait_lock_);
  if (acked_type == kMusicPayloadType) {
    if (pending_music_.packet && pending_music_.packet->SequenceNum() == seq) {
      pending_music_ = Waiting{};
    }
  } else if (acked_type == kRetainedPayloadType) {
    auto it = wait_packets_.find(seq);
    if (it != wait_packets_.end()) {
      wait_order_.erase(it->second.age);
      wait_packets_.erase(it);
    }
  }
}

void VoiceChannel::NotifyMusicDetail() {
  const std::shared_ptr<VoiceRoom> room = room_.lock();
  if (!room) return;
  const std::shared_ptr<UDPPacket> detail = room->GetMusicDetail();
  if (detail) DeliverPacket(detail);
}

bool VoiceChannel::CheckOvertime() { return InactiveCheck() == 0; }

bool VoiceChannel::KnownOnlyThroughPeers() const {
  if (is_link_ || !FromAddress().IsNil()) return false;
  const std::shared_ptr<VoiceRoom> room = room_.lock();
  return room && room->IsCascaded();
}

void VoiceChannel::SendDetectPacket() {
  ThreadBatch batch;
  SendDetectPacket(batch.get());
}

void VoiceChannel::SendDetectPacket(BatchSender* batch) {
  if (ChannelType() != kUserTypeCascader || cascade_confirmed()) return;
  QueueDetect(batch);
}

void VoiceChannel::SendKeepalive() {
  if (!is_link_) return;
  ThreadBatch batch;
  QueueDetect(batch.get());
}

void VoiceChannel::QueueDetect(BatchSender* batch) {
  int socket = -1;
  rtc::SocketAddress peer;
  Destination(&socket, &peer);
  uint8_t bytes[kCascadePacketSize];
  BuildCascadePacket(RoomId(), CascadeAddressHash(peer), bytes);
  batch->AddCopy(socket, peer, bytes, sizeof(bytes));
}

void VoiceChannel::CascadeResponse(uint32_t value) {
  if (ChannelType() != kUserTypeCascader) return;
  const rtc::SocketAddress peer = FromAddress();
  if (value != CascadeAddressHash(peer)) return;
  cascade_confirmed_.store(true, std::memory_order_release);
  RTC_LOG(LS_INFO) << "received cascade response from [" << peer.ToString() << "]";
  NotifyMusicDetail();
}

bool VoiceChannel::CascadeResponse(uint32_t value, const rtc::SocketAddress& source) {
  if (ChannelType() != kUserTypeCascader || value != CascadeAddressHash(FromAddress())) {
    return false;
  }
  if (is_link_) {
    rtc::MutexLock hold(&peer_source_lock_);
    // The answers to keepalives: the link knows its peer already.
    if (cascade_confirmed() && peer_source_ == source) return true;
    peer_source_ = source;
  }
  CascadeResponse(value);
  return true;
}

bool VoiceChannel::IsLinkTo(const rtc::SocketAddress& source) const {
  if (!is_link_) return false;
  if (FromAddress() == source) return true;
  rtc::MutexLock hold(&peer_source_lock_);
  return peer_source_ == source;
}

}  // namespace corvaneserver
