#include "sfu/sfu_server.h"

#include "base/logging.h"

namespace corvaneserver {

SfuServer* SfuServer::inst_ = nullptr;

SfuServer* SfuServer::Create(const std::string& path) {
  if (inst_ != nullptr) return inst_;
  inst_ = new SfuServer();
  if (!inst_->Init(path)) {
    delete inst_;
    inst_ = nullptr;
  }
  return inst_;
}

SfuServer::SfuServer() : lock_(std::make_unique<std::shared_mutex>()) {}

SfuServer::~SfuServer() = default;

bool SfuServer::Init(const std::string& path) {
  if (!lock_) return false;
  return Service::Init(path, "corvane-sfu-server") && StartRecordListen();
}

int SfuServer::JoinRoom(uint64_t, uint64_t, uint32_t, std::string) { return -1; }
int SfuServer::QuitRoom(uint64_t, uint64_t) { return -1; }
int SfuServer::AllowSpeaker(uint64_t, uint64_t, bool) { return -1; }
int SfuServer::MuteSpeaker(uint64_t, uint64_t, bool) { return -1; }
int SfuServer::RemoveRoom(uint64_t) { return 0; }
int SfuServer::AddCascade(uint64_t, uint64_t, std::string) { return -1; }
int SfuServer::OnPacketReceived(std::shared_ptr<UDPPacket>) { return -1; }
int SfuServer::AddRecorder(uint64_t, uint64_t, uint64_t, std::string) { return -1; }
void SfuServer::OuputStatistics() {}
void SfuServer::RedeliverTimerProcess() {}
void SfuServer::InactiveTimerProcess() {}

void SfuServer::OnMessage(rtc::Message* msg) {
  switch (msg->message_id) {
    case kTimerHeartbeat:
      SendHeartbeat();
      break;
    case kTimerRedeliver:
      RedeliverTimerProcess();
      break;
    case kTimerInactive:
      Statistics();
      InactiveTimerProcess();
      break;
    default:
      RTC_LOG(LS_ERROR) << "timer id [" << msg->message_id << "] is invalid";
      break;
  }
  StartTimer(msg->message_id);
}

}  // namespace corvaneserver
