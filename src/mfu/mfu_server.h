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

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "mfu/mfu_channel.h"
#include "mfu/mfu_room.h"
#include "mfu/mixer_schedule.h"

#include "server/room_server.h"

namespace corvaneserver {

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

class MfuServer : public RoomServer<MfuRoom, MfuChannel, MfuRoomMembership> {
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
  // No cascading here: -1, logged.
  int AddCascade(uint64_t room_id, uint64_t cascade_id, std::string address) override;
  int GetServerType() override { return kServerTypeMixing; }

  // --- Service thread ----------------------------------------------------------
  // Prints nothing.
  void OuputStatistics() override {}
  // Every 30 s: resets silent channels, removes abandoned rooms (write lock).
  void InactiveTimerProcess();

  // Members (of the user map) that may speak, or that may not. Read lock.
  size_t CountMembers(bool speakers) const;
  // Lateness of every scheduled pass since start. Safe from any thread.
  const PassLateness& pass_lateness() const { return pass_lateness_; }
  // Service thread: how rooms created from now on are mixed.
  const MixerOptions& mixer_options() const { return mixer_options_; }

 private:
  // The server's gauges: rooms and members by role.
  void AddMetrics();
  // Reads mixer_worker_numbers and mixer_frame_log and sets up the mixing.
  void ConfigureMixer();

  // The 30 s sweep: InactiveTimerProcess (the 100 ms tick has no work here).
  void OnInactiveTimer() override { InactiveTimerProcess(); }

  static MfuServer* inst_;

  PassLateness pass_lateness_;
  // Allocated by this when mixer_worker_numbers > 0; outlives every room.
  std::unique_ptr<MixerPool> mixer_pool_;
  // Written by ConfigureMixer during Init, before any room exists.
  MixerOptions mixer_options_;
};

}  // namespace corvaneserver

#endif  // MFU_MFU_SERVER_H_
