// The forwarding server: rooms of voice channels, forwarding every unmuted
// speaker's datagrams to the other members.
#ifndef SFU_SFU_SERVER_H_
#define SFU_SFU_SERVER_H_

#include <memory>
#include <shared_mutex>
#include <string>

#include "common/service.h"

namespace corvaneserver {

class SfuServer : public Service {
 public:
  // The process-wide instance: created and initialised on first call, returned
  // unchanged afterwards. Null when Init fails.
  static SfuServer* Create(const std::string& path);
  static SfuServer* Instance() { return inst_; }

  SfuServer();
  ~SfuServer() override;

  bool Init(const std::string& path);

  int JoinRoom(uint64_t room_id, uint64_t user_id, uint32_t user_type, std::string token) override;
  int QuitRoom(uint64_t room_id, uint64_t user_id) override;
  int AllowSpeaker(uint64_t room_id, uint64_t user_id, bool allow) override;
  int MuteSpeaker(uint64_t room_id, uint64_t user_id, bool unmute) override;
  int RemoveRoom(uint64_t room_id) override;
  int AddCascade(uint64_t room_id, uint64_t cascade_id, std::string address) override;
  int OnPacketReceived(std::shared_ptr<UDPPacket> packet) override;
  int GetServerType() override { return 1; }
  int AddRecorder(uint64_t room_id, uint64_t user_id, uint64_t unique_id,
                  std::string token) override;
  void OuputStatistics() override;
  void OnMessage(rtc::Message* msg) override;

  void RedeliverTimerProcess();
  void InactiveTimerProcess();

 private:
  static SfuServer* inst_;

  // Guards the room and user registries; the service thread takes it
  // exclusively, deliver workers shared.
  std::unique_ptr<std::shared_mutex> lock_;
};

}  // namespace corvaneserver

#endif  // SFU_SFU_SERVER_H_
