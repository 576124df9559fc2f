// The mixing server: a mixer per room that forwards the two best frames every 20 ms.
#ifndef MFU_MFU_SERVER_H_
#define MFU_MFU_SERVER_H_

#include <memory>
#include <string>

#include "base/mutex.h"
#include "service/service.h"

namespace corvaneserver {

class MfuServer : public Service {
 public:
  // The process-wide instance: created and initialised on first call, returned
  // unchanged afterwards. Null when Init fails. The caller owns the result.
  static MfuServer* Create(const std::string& path) { return CreateInstance(inst_, path); }

  MfuServer();
  ~MfuServer() override;

  bool Init(const std::string& path);

  int JoinRoom(uint64_t room_id, uint64_t user_id, uint32_t user_type, std::string token) override;
  int QuitRoom(uint64_t room_id, uint64_t user_id) override;
  int AllowSpeaker(uint64_t room_id, uint64_t user_id, bool allow) override;
  int MuteSpeaker(uint64_t room_id, uint64_t user_id, bool unmute) override;
  int RemoveRoom(uint64_t room_id) override;
  int AddCascade(uint64_t room_id, uint64_t cascade_id, std::string address) override;
  int OnPacketReceived(std::shared_ptr<UDPPacket> packet) override;
  int GetServerType() override { return kServerTypeMixing; }
  int AddRecorder(uint64_t room_id, uint64_t user_id, uint64_t unique_id,
                  std::string token) override;
  void OuputStatistics() override {}
  bool OnTimer(uint32_t id) override;

  void InactiveTimerProcess();

 private:
  static MfuServer* inst_;

  // Guards the room and user registries.
  std::unique_ptr<rtc::RWLock> lock_;
};

}  // namespace corvaneserver

#endif  // MFU_MFU_SERVER_H_
