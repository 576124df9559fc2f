#include "sfu/sfu_server.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <utility>

#include "base/byte_io.h"
#include "base/logging.h"
#include "channel/channel_metrics.h"
#include "channel/receiver_report.h"
#include "fec/fec_metrics.h"
#include "packet/batch_sender.h"
#include "packet/media_constants.h"
#include "packet/packet_metrics.h"
#include "packet/udp_packet.h"
#include "sfu/sfu_metrics.h"
#include "sfu/sfu_wire.h"
#include "sfu/voice_channel.h"
#include "sfu/voice_room.h"

namespace corvaneserver {
namespace {

// The local address of a bound socket; nil when it cannot be read.
rtc::SocketAddress LocalAddress(int socket) {
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  rtc::SocketAddress address;
  if (socket >= 0 && ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
      local.sin_family == AF_INET) {
    address.FromSockAddr(local);
  }
  return address;
}

}  // namespace

SfuServer* SfuServer::inst_ = nullptr;

SfuServer::SfuServer() = default;

SfuServer::~SfuServer() {
  StopAndClear();
  if (inst_ == this) inst_ = nullptr;
}

bool SfuServer::Init(const std::string& path) {
  if (!Service::Init(path, "corvane-sfu-server")) return false;
  nack_enabled_ = configure()->ReadBounded("nack_enabled", 0, 1, /*over_limit=*/0) == 1;
  if (nack_enabled_) RTC_LOG(LS_INFO) << "nack and fec decoding enabled for every member";
  if (!StartRecordListen()) return false;
  AddMetrics();
  return true;
}

void SfuServer::AddMetrics() {
  AddRoomMetrics();
  SfuMetrics::Get();
  fec::FecMetrics::Get();
  const char* const members_help = "Members of the rooms, by role.";
  AddMetricGauge("corvane_members", members_help, {{"role", "speaker"}},
                 [this] { return static_cast<double>(TallyMembers().speakers); });
  AddMetricGauge("corvane_members", members_help, {{"role", "listener"}},
                 [this] { return static_cast<double>(TallyMembers().listeners); });
  const char* const links_help = "Cascade links to peer servers, by state.";
  AddMetricGauge("corvane_cascade_links", links_help, {{"state", "confirmed"}},
                 [this] { return static_cast<double>(TallyMembers().confirmed_links); });
  AddMetricGauge("corvane_cascade_links", links_help, {{"state", "unconfirmed"}}, [this] {
    const MemberTally tally = TallyMembers();
    return static_cast<double>(tally.links - tally.confirmed_links);
  });
}

SfuServer::MemberTally SfuServer::TallyMembers() const {
  MemberTally tally;
  rtc::ReadLockScoped hold(&registry_);
  for (const auto& [id, room] : registry_.rooms()) {
    room->ForEachMember([&tally](const VoiceChannel& member) {
      switch (member.ChannelType()) {
        case kUserTypeSpeaker:
          ++tally.speakers;
          break;
        case kUserTypeCascader:
          ++tally.links;
          if (member.cascade_confirmed()) ++tally.confirmed_links;
          break;
        default:
          ++tally.listeners;
          break;
      }
    });
  }
  return tally;
}

int SfuServer::JoinRoom(uint64_t room_id, uint64_t user_id, uint32_t user_type, std::string token) {
  rtc::WriteLockScoped hold(&registry_);
  std::shared_ptr<VoiceRoom> room = registry_.CreateRoom(room_id);
  return registry_.JoinRoom(
      room, user_id,
      [&](uint64_t old_room_id) {
        RTC_LOG(LS_INFO) << "user [" << user_id << "] is exist in room [" << old_room_id
                         << "], now transfrom to room " << room_id;
      },
      [&] {
        return std::make_shared<VoiceChannel>(room, user_id, user_type, std::move(token),
                                              nack_enabled_);
      });
}

int SfuServer::QuitRoom(uint64_t room_id, uint64_t user_id) {
  rtc::WriteLockScoped hold(&registry_);
  // A user is only taken out of the room it is in: dropping it from the user
  // map alone would leave it in its real room, still receiving the room's voice
  // while no operation could reach it again. A channel whose room is gone
  // belongs nowhere and may go. An id without a channel still reaches the
  // room: that resets its clock, and takes out a cascade link of that id.
  if (std::shared_ptr<VoiceChannel> channel = registry_.SeekUser(user_id)) {
    const uint64_t current_room_id = channel->RoomId();
    if (current_room_id != room_id && current_room_id != 0) return 0;
  }
  return registry_.RemoveUser(room_id, user_id);
}

int SfuServer::AddCascade(uint64_t room_id, uint64_t cascade_id, std::string address) {
  rtc::WriteLockScoped hold(&registry_);
  std::shared_ptr<VoiceRoom> room = registry_.SeekRoom(room_id);
  if (!room) {
    RTC_LOG(LS_ERROR) << "add cascade failed, room [" << room_id << "] is not exist";
    return -1;
  }
  rtc::SocketAddress peer;
  if (!peer.FromString(address) || !peer.IsComplete() || peer.ipaddr().family() != AF_INET) {
    RTC_LOG(LS_ERROR) << "room [" << room_id << "] add cascade failed, address [" << address
                      << "] is not an IPv4 address and port";
    return -1;
  }
  const int socket = GetSocket();
  if (socket <= 0) {
    RTC_LOG(LS_ERROR) << "room [" << room_id << "] add cascade failed, socket get failed";
    return -1;
  }
  auto channel = std::make_shared<VoiceChannel>(room, cascade_id, socket, peer);
  return room->AddUser(channel);
}

int SfuServer::OnNackReceived(const std::shared_ptr<UDPPacket>& packet) {
  uint64_t user_id = 0;
  if (!ParseNackUserId(packet->data(), packet->size(), &user_id)) {
    ChannelMetrics::Get().dropped_malformed.Add();
    RTC_LOG_LIMITED(LS_ERROR, short_nack_log_)
        << "drop nack from [" << packet->FromAddress().ToString() << "]: [" << packet->size()
        << "] bytes, at least [" << kNackMinSize << "] needed";
    return -1;
  }
  std::shared_ptr<VoiceChannel> channel = registry_.SeekUser(user_id);
  if (!channel) return -1;
  // Only a member of the user's room, from the address it is known at, may
  // pull the user's media; anyone else could otherwise ask for any stream.
  const std::shared_ptr<VoiceRoom> room = registry_.SeekRoom(channel->RoomId());
  const rtc::SocketAddress from = packet->FromAddress();
  if (!room || !room->HasMemberAt(from, rtc::GetBE64(packet->data() + kNackSenderIdOffset))) {
    RTC_LOG_LIMITED(LS_ERROR, foreign_nack_log_)
        << "drop nack for user [" << user_id << "] from [" << from.ToString()
        << "], not a member of its room";
    return -1;
  }
  return channel->OnNackReceived(packet);
}

int SfuServer::OnCascadeReceived(const std::shared_ptr<UDPPacket>& packet) {
  CascadeFields fields;
  if (!ParseCascadePacket(packet->data(), packet->size(), &fields)) {
    ChannelMetrics::Get().dropped_malformed.Add();
    RTC_LOG_LIMITED(LS_ERROR, short_cascade_log_)
        << "drop cascade datagram from [" << packet->FromAddress().ToString() << "]: ["
        << packet->size() << "] bytes, at least [" << kCascadePacketSize << "] needed";
    return -1;
  }
  std::shared_ptr<VoiceRoom> room = registry_.SeekRoom(fields.room_id);
  if (!room) return -1;
  // A detect datagram meant for this server carries the hash of the address
  // it was sent to.
  const bool for_this_server =
      !fields.answer && fields.address_hash == CascadeAddressHash(LocalAddress(packet->socket()));
  const bool answered_a_link =
      room->OnCascadeReceived(fields.address_hash, packet->FromAddress(), for_this_server);
  // Only such a detect datagram is answered. Answers, and datagrams that
  // confirmed a link here, are never answered, so no two servers answer each
  // other for ever.
  if (for_this_server && !answered_a_link) AnswerCascade(*packet, fields);
  return 0;
}

void SfuServer::AnswerCascade(const UDPPacket& detect, const CascadeFields& fields) {
  uint8_t answer[kCascadePacketSize];
  BuildCascadeAnswer(fields.room_id, fields.address_hash, answer);
  // Relayed datagrams leave through the cascade interface: the answer does
  // too, so that the peer sees the source they will come from.
  int socket = GetSocket();
  if (socket <= 0) socket = detect.socket();
  ThreadBatch batch;
  batch->AddCopy(socket, detect.FromAddress(), answer, sizeof(answer));
}

void SfuServer::OuputStatistics() {
  rtc::ReadLockScoped hold(&registry_);
  RTC_LOG(LS_NONE) << "room count is [" << registry_.rooms().size() << "] and user count is ["
                   << registry_.users().size() << "]";
}

void SfuServer::RedeliverTimerProcess() {
  rtc::ReadLockScoped hold(&registry_);
  for (const auto& [user_id, channel] : registry_.users()) {
    channel->ResendPacket();
    channel->SendReceiverReport();
  }
  // A link proves itself without waiting for the room's first datagram, so
  // that it knows its peer before it has anything to relay.
  for (const auto& [room_id, room] : registry_.rooms()) room->SendDetectPackets();
}

void SfuServer::KeepCascadeLinksAlive() {
  rtc::ReadLockScoped hold(&registry_);
  for (const auto& [room_id, room] : registry_.rooms()) room->SendKeepalives();
}

void SfuServer::InactiveTimerProcess() {
  rtc::WriteLockScoped hold(&registry_);
  // A member that never talked to this server is silent here whatever it
  // does, and a muted one is never relayed: timing it out would leave it deaf
  // and mute across the servers for the rest of the call.
  registry_.RemoveUsersIf([](VoiceChannel& channel) {
    return !channel.KnownOnlyThroughPeers() && channel.CheckOvertime();
  });
  registry_.RemoveInactiveRooms();
}

bool SfuServer::OnRedeliverTimer() {
  RedeliverTimerProcess();
  return true;
}

void SfuServer::OnInactiveTimer() {
  Statistics();
  InactiveTimerProcess();
  KeepCascadeLinksAlive();
}

}  // namespace corvaneserver
