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
  // Each room stops its mixer before its channels go, and before the pool.
  StopAndClear();
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
  AddRoomMetrics();
  MfuMetrics::Get();
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

int MfuServer::AddCascade(uint64_t room_id, uint64_t, std::string) {
  RTC_LOG(LS_ERROR) << "add cascade channel failed for room [" << room_id
                    << "], as this is not a sfu server";
  return -1;
}

void MfuServer::InactiveTimerProcess() {
  rtc::WriteLockScoped hold(&registry_);
  for (const auto& [user_id, channel] : registry_.users()) channel->InactiveCheck();
  registry_.RemoveInactiveRooms();
}

}  // namespace corvaneserver
