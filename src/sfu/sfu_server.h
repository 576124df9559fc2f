// The forwarding server: rooms of voice channels, forwarding every unmuted
// speaker's datagrams to the other members, with cascade links to peer servers,
// resending until acknowledged, receiver reports and the inactivity sweeps.
//
// Lock order (take from top to bottom, never upwards, never one twice):
//   1. SfuServer::lock_            write: control operations, inactivity sweep;
//                                  read: packet routing, 100 ms sweep, statistics
//   2. one leaf lock at a time, only while 1 is held:
//        Room::music_lock_, VoiceChannel::wait_lock_, Channel::address_lock_,
//        ReceiverReport::lock_
//   (the logging library's lock is below all of them)
#ifndef SFU_SFU_SERVER_H_
#define SFU_SFU_SERVER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "base/log_rate_limiter.h"
#include "base/mutex.h"
#include "service/service.h"

namespace corvaneserver {

class VoiceChannel;
class VoiceRoom;

// Interval between two log lines about the same kind of malformed datagram.
constexpr int64_t kBadInputLogIntervalMs = 10000;

class SfuServer : public Service {
 public:
  // The process-wide instance: created and initialised on first call, returned
  // unchanged afterwards. Null when Init fails.
  static SfuServer* Create(const std::string& path) { return CreateInstance(inst_, path); }

  SfuServer();
  ~SfuServer() override;

  bool Init(const std::string& path);

  // --- Room operations: service thread, take the write lock --------------------
  // Puts the user into the room (created when missing); a user already in a
  // room, this one included, leaves it first and gets a fresh channel.
  int JoinRoom(uint64_t room_id, uint64_t user_id, uint32_t user_type, std::string token) override;
  // Takes the user, or the cascade link of that id, out of `room_id`. Naming a
  // room other than the user's changes nothing. Returns 0 in every case.
  int QuitRoom(uint64_t room_id, uint64_t user_id) override;
  // Find the user by id alone; -1 when unknown.
  int AllowSpeaker(uint64_t room_id, uint64_t user_id, bool allow) override;
  int MuteSpeaker(uint64_t room_id, uint64_t user_id, bool unmute) override;
  // Drops the room and its users. Always 0.
  int RemoveRoom(uint64_t room_id) override;
  // Links an existing room to the peer server at `address` ("a.b.c.d:port");
  // -1 for a missing room, an address that is not a complete IPv4 address and
  // port, or when no cascade socket is available.
  int AddCascade(uint64_t room_id, uint64_t cascade_id, std::string address) override;
  int GetServerType() override { return kServerTypeForwarding; }
  // The forwarding server takes no recorders: -1.
  int AddRecorder(uint64_t room_id, uint64_t user_id, uint64_t unique_id,
                  std::string token) override;

  // --- Deliver workers, concurrently: take the read lock ------------------------
  // Routes one datagram by payload type: receiver reports, NACKs and cascade
  // datagrams to their handlers, everything else to the channel of its user.
  int OnPacketReceived(std::shared_ptr<UDPPacket> packet) override;

  // --- Service thread ------------------------------------------------------------
  // The statistics line (read lock).
  void OuputStatistics() override;
  // Heartbeat; redeliver; statistics, then the inactivity sweep.
  bool OnTimer(uint32_t id) override;
  // Every 100 ms: resends and receiver reports for every joined member (read lock).
  void RedeliverTimerProcess();
  // Every 30 s: removes silent members and abandoned rooms (write lock).
  void InactiveTimerProcess();

  // Observers for tests and tools; each takes the read lock.
  size_t RoomCount() const;
  size_t UserCount() const;
  // Members of every room by role, and the cascade links by state; what the
  // metrics export. Read lock.
  struct MemberTally {
    size_t speakers = 0;
    size_t listeners = 0;
    size_t links = 0;
    size_t confirmed_links = 0;
  };
  MemberTally TallyMembers() const;
  std::shared_ptr<VoiceRoom> FindRoom(uint64_t room_id) const;
  std::shared_ptr<VoiceChannel> FindUser(uint64_t user_id) const;

 private:
  // REQUIRES: lock_ held (write for CreateRoom and RemoveUser).
  std::shared_ptr<VoiceRoom> CreateRoom(uint64_t room_id);
  std::shared_ptr<VoiceRoom> SeekRoom(uint64_t room_id) const;
  std::shared_ptr<VoiceChannel> SeekUser(uint64_t user_id) const;
  int RemoveUser(uint64_t room_id, uint64_t user_id);
  // The server's gauges: rooms, members by role, cascade links by state.
  void AddMetrics();

  // REQUIRES: lock_ held for reading.
  int OnRtcpReceived(const std::shared_ptr<UDPPacket>& packet);
  int OnNackReceived(const std::shared_ptr<UDPPacket>& packet);
  int OnCascadeReceived(const std::shared_ptr<UDPPacket>& packet);

  static SfuServer* inst_;

  // Allocated by this; guards rooms_, users_ and every room's member map.
  std::unique_ptr<rtc::RWLock> lock_;
  std::map<uint64_t, std::shared_ptr<VoiceRoom>> rooms_;
  // Members that joined through JoinRoom; cascade links live in their room only.
  std::map<uint64_t, std::shared_ptr<VoiceChannel>> users_;

  // One per kind of malformed datagram.
  rtc::LogRateLimiter short_packet_log_{kBadInputLogIntervalMs};
  rtc::LogRateLimiter short_report_log_{kBadInputLogIntervalMs};
  rtc::LogRateLimiter short_nack_log_{kBadInputLogIntervalMs};
  rtc::LogRateLimiter short_cascade_log_{kBadInputLogIntervalMs};
  rtc::LogRateLimiter foreign_nack_log_{kBadInputLogIntervalMs};

  // Configuration "nack_enabled": members decode FEC and answer NACKs.
  // Set by Init before any member joins.
  bool nack_enabled_ = false;
};

}  // namespace corvaneserver

#endif  // SFU_SFU_SERVER_H_
