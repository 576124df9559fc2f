#include "channel/user_channel.h"

#include <utility>

#include "base/byte_io.h"
#include "base/logging.h"
#include "base/time_utils.h"
#include "channel/channel_metrics.h"
#include "packet/batch_sender.h"
#include "packet/udp_packet.h"

namespace corvaneserver {
void BuildAuthenticationPacket(uint32_t seq, uint64_t user_id,
                               uint8_t (&out)[kAuthenticationPacketSize]) {
  out[kMediaFlagsOffset] = kServerPacketFlags;
  out[kMediaPayloadTypeOffset] = kAuthenticationPayloadType;
  rtc::SetBE32(out + kMediaSequenceOffset, seq);
  rtc::SetBE64(out + kMediaUserIdOffset, user_id);
  out[kMediaHeaderSize] = 0;
}

void BuildAckPacket(uint8_t payload_type, uint32_t seq, uint64_t user_id,
                    uint8_t (&out)[kAckPacketSize]) {
  out[kMediaFlagsOffset] = kServerPacketFlags;
  out[kMediaPayloadTypeOffset] = static_cast<uint8_t>(payload_type - 1);
  rtc::SetBE32(out + kMediaSequenceOffset, seq);
  rtc::SetBE64(out + kMediaUserIdOffset, 0);
  rtc::SetBE64(out + kAckUserIdOffset, user_id);
}

Channel::Channel(uint64_t user_id, uint32_t type, std::string token)
    : user_id_(user_id),
      token_(std::move(token)),
      user_type_(type),
      last_receive_time_ms_(rtc::TimeMillis()),
      last_report_time_ms_(rtc::TimeMillis()) {}

Channel::Channel(uint64_t user_id, uint32_t type, int socket, const rtc::SocketAddress& address)
    : user_id_(user_id),
      user_type_(type),
      last_receive_time_ms_(rtc::TimeMillis()),
      last_report_time_ms_(rtc::TimeMillis()),
      socket_(socket),
      remote_address_(address) {}

Channel::~Channel() = default;

rtc::SocketAddress Channel::FromAddress() const {
  rtc::ReadLockScoped hold(&address_lock_);
  return remote_address_;
}

int Channel::Socket() const {
  rtc::ReadLockScoped hold(&address_lock_);
  return socket_;
}

void Channel::Destination(int* socket, rtc::SocketAddress* address) const {
  rtc::ReadLockScoped hold(&address_lock_);
  *socket = socket_;
  *address = remote_address_;
}

void Channel::SetAddress(int socket, const rtc::SocketAddress& address) {
  rtc::WriteLockScoped hold(&address_lock_);
  socket_ = socket;
  remote_address_ = address;
}

int Channel::ReceivedFromPeer(const std::shared_ptr<UDPPacket>& packet) {
  if (packet->Token() != token_) {
    ChannelMetrics::Get().dropped_wrong_token.Add();
    return -1;
  }
  last_receive_time_ms_.store(rtc::TimeMillis(), std::memory_order_relaxed);
  return 0;
}

int Channel::ReceivedPacket(const std::shared_ptr<UDPPacket>& packet) {
  const rtc::SocketAddress from = packet->FromAddress();
  const rtc::SocketAddress known = FromAddress();
  // An unknown member (nil address) is never matched, whatever the datagram's
  // source says: its first datagram always needs the token.
  if (from != known || known.IsNil()) {
    const std::string packet_token = packet->Token();
    if (packet_token != token_) {
      // Counts saturate so that a flood never wraps back to "first of a run".
      uint32_t previous = rejected_count_.load(std::memory_order_relaxed);
      while (previous != UINT32_MAX && !rejected_count_.compare_exchange_weak(
                                           previous, previous + 1, std::memory_order_relaxed)) {
      }
      if (previous == 0) {
        RTC_LOG(LS_ERROR) << "user [" << user_id_ << "] address have changed, but token ["
                          << packet_token << "] is invalid";
      }
      ChannelMetrics::Get().dropped_wrong_token.Add();
      if (previous < kMaxAuthenticationAnswers) SendAuthenticationPacket(packet);
      return -1;
    }
    RTC_LOG(LS_INFO) << "modify user [" << user_id_ << "] remote address from [" << known.ToString()
                     << "] to [" << from.ToString() << "]";
    rejected_count_.store(0, std::memory_order_relaxed);
    SetAddress(packet->socket(), from);
  }
  last_receive_time_ms_.store(rtc::TimeMillis(), std::memory_order_relaxed);
  ResponseAck(packet);
  return 0;
}

void Channel::SendAuthenticationPacket(const std::shared_ptr<UDPPacket>& packet) {
  uint8_t bytes[kAuthenticationPacketSize];
  BuildAuthenticationPacket(packet->SequenceNum(), user_id_, bytes);
  ThreadBatch batch;
  batch->AddCopy(packet->socket(), packet->FromAddress(), bytes, sizeof(bytes));
  ChannelMetrics::Get().authentication_answers.Add();
  RTC_LOG(LS_INFO) << "user [" << user_id_ << "] send authentication response to ["
                   << packet->FromAddress().ToString() << "]";
}

void Channel::ResponseAck(const std::shared_ptr<UDPPacket>& packet) {
  // A repair datagram has no flags byte: Ack() is false for it.
  if (!packet->Ack()) return;
  const uint8_t payload_type = packet->PayloadType();
  uint8_t bytes[kAckPacketSize];
  BuildAckPacket(payload_type, packet->SequenceNum(), packet->UserId(), bytes);
  // A failed acknowledgement is logged by the batch.
  ThreadBatch batch;
  batch->AddCopy(Socket(), FromAddress(), bytes, sizeof(bytes), BatchSender::Kind::kAck);
  ChannelMetrics::Get().acknowledgements.Add();
  // The copy forwarded to the other members must not ask them for an ack; a
  // music datagram keeps the bit. A FEC source datagram loses it too, although
  // its wrapped datagram is a source symbol of its block: a receiver that
  // rebuilds a lost symbol of that block gets this one bit of the flags byte
  // wrong (the code works byte position by byte position, so nothing else
  // changes), while a forwarded datagram that still asked for an ack would
  // make every receiver answer it. A repair datagram never gets here.
  if (payload_type != kMusicPayloadType) packet->ResetAck();
}

int Channel::AllowSpeaker(bool allow) {
  const uint32_t new_type = allow ? kUserTypeSpeaker : kUserTypeListener;
  const uint32_t old_type = ChannelType();
  if (old_type == new_type) return 0;
  RTC_LOG(LS_INFO) << "user [" << user_id_ << "] modify type from [" << UserTypeToString(old_type)
                   << "] to [" << UserTypeToString(new_type) << "]";
  user_type_.store(new_type, std::memory_order_relaxed);
  OnUserTypeChanged();
  return 0;
}

int Channel::MuteSpeaker(bool unmute) {
  RTC_LOG(LS_INFO) << "user [" << user_id_ << "] modify to " << (unmute ? "unmuted" : "muted");
  muted_.store(!unmute, std::memory_order_relaxed);
  return 0;
}

int Channel::InactiveCheck() {
  if (ChannelType() == kUserTypeCascader) return -1;
  if (rtc::TimeMillis() < last_receive_time_ms() + kChannelInactiveMs) return -1;
  RTC_LOG(LS_WARNING) << "user [" << user_id_
                      << "] haven't received packet for a long time, reset it";
  receiver_report_.Reset();
  rtc::WriteLockScoped hold(&address_lock_);
  socket_ = -1;
  remote_address_.Clear();
  return 0;
}

void Channel::SendReceiverReport() {
  if (ChannelType() != kUserTypeSpeaker) return;
  const rtc::SocketAddress to = FromAddress();
  if (!to.IsComplete()) return;
  const int64_t now = rtc::TimeMillis();
  if (now < last_report_time_ms_ + kReceiverReportIntervalMs) return;
  last_report_time_ms_ = now;
  const std::optional<uint32_t> value = receiver_report_.GetReport();
  if (!value) return;
  uint8_t bytes[kServerReportSize];
  BuildServerReport(user_id_, *value, bytes);
  ThreadBatch batch;
  batch->AddCopy(Socket(), to, bytes, sizeof(bytes));
  ChannelMetrics::Get().receiver_reports_sent.Add();
}

void Channel::OnRReportReceived(uint64_t reporter_id, uint32_t value) {
  if (ChannelType() != kUserTypeSpeaker) return;
  receiver_report_.AddSample(reporter_id, value);
}

void Channel::OnAnotherUserRemoved(uint64_t user_id) { receiver_report_.RemoveSample(user_id); }

}  // namespace corvaneserver
