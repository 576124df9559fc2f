#include "mfu/mfu_server.h"

#include <utility>

#include "base/logging.h"
#include "channel/channel_metrics.h"
#include "channel/receiver_report.h"
#include "mfu/mfu_channel.h"
#include "mfu/mfu_metrics.h"
#include "mfu/mixer_pool.h"
#include "packet/udp_packet.h"

namespace corvaneserver {

MfuServer* MfuServer::inst_ = nullptr;

MfuServer::MfuServer() { mixer_options_.mode = MixerOptions::Mode::kDriven; }

MfuServer::~MfuServer() {
  // No scrape may read the maps while they go.
  RemoveMetrics();
  // No deliver worker may be inside OnPacketReceived while the maps go away.
  Shutdown();
  {
    rtc::WriteLockScoped hold(&registry_);
    // Users first; each room stops its mixer before its channels go.
    registry_.Clear();
  }
  mixer_pool_.reset();
  if (inst_ == this) inst_ = nullptr;
}

bool MfuServer::Init(const std::string& path) {
  if (!Service::Init(path, "corvane-mfu-server")) return false;
  ConfigureMixer();
  AddMetrics();
  return true;
}

void MfuServer::AddMetrics() {
  ChannelMetrics::Get();
  MfuMetrics::Get();
  AddMetricGauge("corvane_rooms", "Rooms on this server.", {},
                 [this] { return static_cast<double>(RoomCount()); });
  const char* const members_help = "Members of the rooms, by role.";
  AddMetricGauge("corvane_members", members_help, {{"role", "speaker"}},
                 [this] { return static_cast<double>(CountMembers(true)); });
  AddMetricGauge("corvane_members", members_help, {{"role", "listener"}},
                 [this] { return static_cast<double>(CountMembers(false)); });
}

size_t MfuServer::CountMembers(bool speakers) const {
  rtc::ReadLockScoped hold(&registry_);
  size_t count = 0;
  for (const auto& [id, channel] : registry_.users()) {
    if (channel->IsSpeaker() == speakers) ++count;
  }
  return count;
}

void MfuServer::ConfigureMixer() {
  const uint32_t workers = configure()->ReadBounded("mixer_worker_numbers",
                                                    kDefaultMixerWorkerNumbers, kMaxWorkerNumbers);
  uint32_t frame_log = kDefaultMixerFrameLog;
  configure()->Read(frame_log, "mixer_frame_log");
  mixer_options_.frame_log = frame_log != 0;
  mixer_options_.lateness = &pass_lateness_;
  if (workers == 0) {
    mixer_options_.mode = MixerOptions::Mode::kOwnThread;
    RTC_LOG(LS_INFO) << "mixer worker thread numbers is 0, every room mixes on its own thread";
  } else {
    mixer_pool_ = std::make_unique<MixerPool>(workers, &pass_lateness_);
    mixer_options_.mode = MixerOptions::Mode::kPool;
    mixer_options_.pool = mixer_pool_.get();
    RTC_LOG(LS_INFO) << "mixer worker thread numbers is " << workers;
  }
  RTC_LOG(LS_INFO) << "mixer frame log is " << (mixer_options_.frame_log ? "on" : "off");
}

int MfuServer::JoinRoom(uint64_t room_id, uint64_t user_id, uint32_t user_type, std::string token) {
  rtc::WriteLockScoped hold(&registry_);
  std::shared_ptr<MfuRoom> room = registry_.CreateRoom(room_id, mixer_options_);
  return registry_.JoinRoom(
      room, user_id,
      [&](uint64_t old_room_id) {
        RTC_LOG(LS_INFO) << "user [" << user_id << "] is exist in room [" << old_room_id
                         << "], now transfrom to room [" << room_id << "]";
      },
      [&] {
        return std::make_shared<MfuChannel>(room_id, user_id, user_type, std::move(token),
                                            mixer_options_.frame_log);
      });
}

int MfuServer::QuitRoom(uint64_t room_id, uint64_t user_id) {
  rtc::WriteLockScoped hold(&registry_);
  std::shared_ptr<MfuChannel> channel = registry_.SeekUser(user_id);
  if (!channel) return 0;
  // Only the room the user is in can let it go: dropping it from the user map
  // alone would leave it in its real room, receiving the room's voice while
  // no operation could reach it again.
  if (channel->RoomId() != room_id) return 0;
  channel.reset();
  return registry_.RemoveUser(room_id, user_id);
}

int MfuServer::AllowSpeaker(uint64_t, uint64_t user_id, bool allow) {
  return registry_.ChangeUser(user_id,
                              [allow](MfuChannel& channel) { return channel.AllowSpeaker(allow); });
}

int MfuServer::MuteSpeaker(uint64_t, uint64_t user_id, bool unmute) {
  return registry_.ChangeUser(
      user_id, [unmute](MfuChannel& channel) { return channel.MuteSpeaker(unmute); });
}

int MfuServer::RemoveRoom(uint64_t room_id) {
  rtc::WriteLockScoped hold(&registry_);
  registry_.RemoveRoom(room_id);
  return 0;
}

int MfuServer::AddCascade(uint64_t room_id, uint64_t, std::string) {
  RTC_LOG(LS_ERROR) << "add cascade channel failed for room [" << room_id
                    << "], as this is not a sfu server";
  return -1;
}

int MfuServer::AddRecorder(uint64_t, uint64_t, uint64_t, std::string) { return -1; }

int MfuServer::OnPacketReceived(std::shared_ptr<UDPPacket> packet) {
  if (!packet->HasMediaHeader()) {
    uint64_t suppressed = 0;
    if (short_packet_log_.Allow(&suppressed)) {
      RTC_LOG(LS_ERROR) << "drop datagram from [" << packet->FromAddress().ToString() << "]: ["
                        << packet->size() << "] bytes is shorter than its media header"
                        << rtc::SuppressedSinceLastLine(suppressed);
    }
    return -1;
  }
  rtc::ReadLockScoped hold(&registry_);
  // A repair datagram's "payload type" is a repair byte: it is voice of the
  // user named in its FEC header, whatever that byte holds.
  if (!packet->IsFecRepair()) {
    const uint8_t payload_type = packet->PayloadType();
    if (IsRtcp(payload_type)) return OnRtcpReceived(packet);
    // No retransmission and no cascading here: NACK and cascade datagrams are
    // taken and dropped.
    if (IsNack(payload_type) || IsCascade(payload_type)) return 0;
  }
  std::shared_ptr<MfuChannel> channel = registry_.SeekUser(packet->UserId());
  if (!channel) {
    ChannelMetrics::Get().dropped_unknown_user.Add();
    return -1;
  }
  return channel->OnPacketReceived(packet);
}

int MfuServer::OnRtcpReceived(const std::shared_ptr<UDPPacket>& packet) {
  ParsedReceiverReport report;
  if (!ReadReceiverReport(*packet, &short_report_log_, &report)) {
    ChannelMetrics::Get().dropped_malformed.Add();
    return -1;
  }
  // Only a member can report on the speakers of its own room: samples from
  // made-up reporter ids would grow without bound and drag the average down.
  const std::shared_ptr<MfuChannel> reporter = registry_.SeekUser(report.reporter_id);
  if (!reporter) return 0;
  registry_.RouteReportBlocks(report, reporter->RoomId());
  return 0;
}

void MfuServer::InactiveTimerProcess() {
  rtc::WriteLockScoped hold(&registry_);
  for (const auto& [user_id, channel] : registry_.users()) channel->InactiveCheck();
  registry_.RemoveInactiveRooms();
}

size_t MfuServer::RoomCount() const { return registry_.CountRooms(); }

size_t MfuServer::UserCount() const { return registry_.CountUsers(); }

std::shared_ptr<MfuRoom> MfuServer::FindRoom(uint64_t room_id) const {
  return registry_.FindRoom(room_id);
}

std::shared_ptr<MfuChannel> MfuServer::FindUser(uint64_t user_id) const {
  return registry_.FindUser(user_id);
}

bool MfuServer::OnTimer(uint32_t id) {
  switch (id) {
    case kTimerHeartbeat:
      SendHeartbeat();
      return true;
    case kTimerInactive:
      InactiveTimerProcess();
      return true;
    default:
      // The redeliver tick has no work here: it is logged as invalid and re-armed.
      return false;
  }
}

}  // namespace corvaneserver
