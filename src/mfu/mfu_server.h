// The mixing server: rooms of MfuChannels, each room mixed every 20 ms by
// keeping its two best frames; the control operations, the routing of
// received datagrams to channels, and the timers.
//
// Lock order (take from top to bottom, never upwards, never one twice):
//   1. MfuServer::registry_      write: control operations, inactivity sweep;
//                                read: packet routing
//   2. MfuRoom::channels_lock_   membership changes (under 1), and the pass's
//                                copy of its channels (without 1)
//   3. leaf locks: MfuChannel::lock_, Channel's address lock, ReceiverReport's lock
//   (MixerPool's lock is never held while any of these is taken; the logging
//   library's lock is below all of them)
// A pass never takes 1, so removing a room under 1 may wait for its pass.
#ifndef MFU_MFU_SERVER_H_
#define MFU_MFU_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/log_rate_limiter.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "channel/room_registry.h"
#include "mfu/mfu_room.h"
#include "mfu/mixer_schedule.h"
#include "service/service.h"

namespace corvaneserver {

class MfuChannel;
class MixerPool;

// Defaults of the mixer's configuration keys.
constexpr uint32_t kDefaultMixerWorkerNumbers = 2;  // mixer_worker_numbers; 0: a thread per room
constexpr uint32_t kDefaultMixerFrameLog = 1;       // mixer_frame_log; 0: no per-frame lines

// How a mixing room takes a joined member in and lets one go.
struct MfuRoomMembership {
  static int Add(MfuRoom& room, std::shared_ptr<MfuChannel> channel) {
    return room.AddChannel(std::move(channel));
  }
  static int Remove(MfuRoom& room, uint64_t user_id) { return room.RemoveChannel(user_id); }
};
using MfuRoomRegistry = RoomRegistry<MfuRoom, MfuChannel, MfuRoomMembership>;

class MfuServer : public Service {
 public:
  // The process-wide instance: created and initialised on first call, returned
  // unchanged afterwards. Null when Init fails. The caller owns the result.
  static MfuServer* Create(const std::string& path) { return CreateInstance(inst_, path); }

  // Until Init has read the configuration, rooms get no mixer of their own:
  // their passes are driven by the caller (tests).
  MfuServer();
  ~MfuServer() override;

  bool Init(const std::string& path);

  // --- Room operations: service thread, take the write lock -----------------
  // Puts the user into the room (created when missing), with a fresh channel
  // even when it was in a room already. Returns 0.
  int JoinRoom(uint64_t room_id, uint64_t user_id, uint32_t user_type, std::string token) override;
  // Takes the user out of `room_id`; naming a room other than the user's
  // changes nothing. Returns 0 in every case.
  int QuitRoom(uint64_t room_id, uint64_t user_id) override;
  // Find the user by id alone; -1 when unknown.
  int AllowSpeaker(uint64_t room_id, uint64_t user_id, bool allow) override;
  int MuteSpeaker(uint64_t room_id, uint64_t user_id, bool unmute) override;
  // Drops the room and its users. Always 0.
  int RemoveRoom(uint64_t room_id) override;
  // No cascading here: -1, logged.
  int AddCascade(uint64_t room_id, uint64_t cascade_id, std::string address) override;
  int GetServerType() override { return kServerTypeMixing; }
  // -1, nothing else.
  int AddRecorder(uint64_t room_id, uint64_t user_id, uint64_t unique_id,
                  std::string token) override;

  // --- Deliver workers, concurrently: take the read lock ---------------------
  // Receiver reports to their speakers; NACK and cascade datagrams ignored (0);
  // everything else to the channel of its user (-1 when unknown).
  int OnPacketReceived(std::shared_ptr<UDPPacket> packet) override;

  // --- Service thread ----------------------------------------------------------
  // Prints nothing.
  void OuputStatistics() override {}
  // Heartbeat and inactivity timers; false for any other id, the redeliver
  // tick included (the framework logs it as invalid and re-arms it).
  bool OnTimer(uint32_t id) override;
  // Every 30 s: resets silent channels, removes abandoned rooms (write lock).
  void InactiveTimerProcess();

  // Observers for tests, tools and benchmarks; each takes the read lock.
  size_t RoomCount() const;
  size_t UserCount() const;
  // Members (of the user map) that may speak, or that may not. Read lock.
  size_t CountMembers(bool speakers) const;
  std::shared_ptr<MfuRoom> FindRoom(uint64_t room_id) const;
  std::shared_ptr<MfuChannel> FindUser(uint64_t user_id) const;
  // Lateness of every scheduled pass since start. Safe from any thread.
  const PassLateness& pass_lateness() const { return pass_lateness_; }
  // Service thread: how rooms created from now on are mixed.
  const MixerOptions& mixer_options() const { return mixer_options_; }

 private:
  // The server's gauges: rooms and members by role.
  void AddMetrics();
  // Reads mixer_worker_numbers and mixer_frame_log and sets up the mixing.
  void ConfigureMixer();

  int OnRtcpReceived(const std::shared_ptr<UDPPacket>& packet) REQUIRES_SHARED(registry_);

  static MfuServer* inst_;

  PassLateness pass_lateness_;
  // Allocated by this when mixer_worker_numbers > 0; outlives every room.
  std::unique_ptr<MixerPool> mixer_pool_;
  // Written by ConfigureMixer during Init, before any room exists.
  MixerOptions mixer_options_;

  // The rooms and the joined users, and the lock that guards both maps.
  mutable MfuRoomRegistry registry_;

  rtc::LogRateLimiter short_packet_log_{10000};
  rtc::LogRateLimiter short_report_log_{10000};
};

}  // namespace corvaneserver

#endif  // MFU_MFU_SERVER_H_
