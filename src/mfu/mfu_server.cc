#include "mfu/mfu_server.h"

#include "base/logging.h"

namespace corvaneserver {

MfuServer* MfuServer::inst_ = nullptr;

MfuServer::MfuServer() : lock_(std::make_unique<rtc::RWLock>()) {}

MfuServer::~MfuServer() {
  // No deliver worker may be inside OnPacketReceived while this part of the
  // object goes away: stop the receivers and workers before anything else.
  Shutdown();
  if (inst_ == this) inst_ = nullptr;
}

bool MfuServer::Init(const std::string& path) {
  if (!lock_) return false;
  return Service::Init(path, "corvane-mfu-server");
}

int MfuServer::JoinRoom(uint64_t, uint64_t, uint32_t, std::string) { return -1; }
int MfuServer::QuitRoom(uint64_t, uint64_t) { return -1; }
int MfuServer::AllowSpeaker(uint64_t, uint64_t, bool) { return -1; }
int MfuServer::MuteSpeaker(uint64_t, uint64_t, bool) { return -1; }
int MfuServer::RemoveRoom(uint64_t) { return 0; }

int MfuServer::AddCascade(uint64_t room_id, uint64_t, std::string) {
  RTC_LOG(LS_ERROR) << "add cascade channel failed for room [" << room_id
                    << "], as this is not a sfu server";
  return -1;
}

int MfuServer::OnPacketReceived(std::shared_ptr<UDPPacket>) { return -1; }
int MfuServer::AddRecorder(uint64_t, uint64_t, uint64_t, std::string) { return -1; }
void MfuServer::InactiveTimerProcess() {}

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
