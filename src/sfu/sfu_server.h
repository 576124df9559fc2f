// The forwarding server: rooms of voice channels, forwarding every unmuted
// speaker's datagrams to the other members, with cascade links to peer servers,
// resending until acknowledged, receiver reports and the inactivity sweeps.
//
// Lock order (take from top to bottom, never upwards, never one twice):
//   1. SfuServer::registry_        write: control operations, inactivity sweep;
//                                  read: packet routing, 100 ms sweep, statistics
//   2. one leaf lock at a time, only while 1 is held:
//        Room::music_lock_, VoiceRoom::sources_lock_, VoiceChannel::wait_lock_,
//        VoiceChannel::forwarded_lock_, VoiceChannel::peer_source_lock_,
//        Channel::address_lock_,
//        ReceiverReport::lock_, or the FEC decoder's lock followed by
//        Nack::lock_ (the decoder's callback takes it)
//   (the logging library's lock is below all of them; above 1 is the metrics
//   registry's read lock, held while a scrape calls the gauges that read the
//   registries through RoomCount and TallyMembers)
// registry_ is declared by RoomServer, which knows no leaf lock of this server:
// the order is kept by taking registry_ only in this file's and RoomServer's
// entry points, none of which is called with a leaf lock held.
#ifndef SFU_SFU_SERVER_H_
#define SFU_SFU_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/log_rate_limiter.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "channel/room_registry.h"
#include "sfu/nack.h"
#include "sfu/sfu_wire.h"
#include "sfu/voice_channel.h"
#include "sfu/voice_room.h"

#include "server/room_server.h"

namespace corvaneserver {

// How a voice room takes a joined member in and lets one go.
struct VoiceRoomMembership {
  static int Add(VoiceRoom& room, std::shared_ptr<VoiceChannel> channel) {
    return room.AddUser(channel);
  }
  static int Remove(VoiceRoom& room, uint64_t user_id) { return room.DeleteUser(user_id); }
};

class SfuServer : public RoomServer<VoiceRoom, VoiceChannel, VoiceRoomMembership> {
 public:
  // The process-wide instance: created and initialised on first call, returned
  // unchanged afterwards. Null when Init fails. The caller owns the result.
  static SfuServer* Create(const std::string& path) { return CreateInstance(inst_, path); }

  SfuServer();
  ~SfuServer() override;

  bool Init(const std::string& path);

  // --- Room operations: service thread, take the write lock --------------------
  // Puts the user into the room (created when missing); a user already in a
  // room, this one included, leaves it first and gets a fresh channel.
  int JoinRoom(uint64_t room_id, uint64_t user_id, uint32_t user_type, std::string token) override
      EXCLUDES(registry_);
  // Takes the user, or the cascade link of that id, out of `room_id`. Naming a
  // room other than the user's changes nothing. Returns 0 in every case.
  int QuitRoom(uint64_t room_id, uint64_t user_id) override EXCLUDES(registry_);
  // Links an existing room to the peer server at `address` ("a.b.c.d:port");
  // -1 for a missing room, an address that is not a complete IPv4 address and
  // port, or when no cascade socket is available.
  int AddCascade(uint64_t room_id, uint64_t cascade_id, std::string address) override
      EXCLUDES(registry_);
  int GetServerType() override { return kServerTypeForwarding; }

  // --- Service thread ------------------------------------------------------------
  // The statistics line (read lock).
  void OuputStatistics() override EXCLUDES(registry_);
  // Every 100 ms: resends and receiver reports for every joined member, and the
  // detect datagram of every unconfirmed cascade link (read lock).
  void RedeliverTimerProcess() EXCLUDES(registry_);
  // Every 30 s: removes silent members and abandoned rooms (write lock). A
  // member known here only through peer servers is left to its own server.
  void InactiveTimerProcess() EXCLUDES(registry_);
  // Every 30 s: every cascade link sends its detect datagram, so that its peer,
  // which forgets a source silent for 120 s, keeps taking the relayed voice
  // of a room that fell silent for a while (read lock).
  void KeepCascadeLinksAlive() EXCLUDES(registry_);

  // Members of every room by role, and the cascade links by state; what the
  // metrics export. Read lock.
  struct MemberTally {
    size_t speakers = 0;
    size_t listeners = 0;
    size_t links = 0;
    size_t confirmed_links = 0;
  };
  MemberTally TallyMembers() const EXCLUDES(registry_);

 private:
  // The 100 ms tick: RedeliverTimerProcess.
  bool OnRedeliverTimer() override;
  // Statistics, then the inactivity sweep, then the links' keepalives.
  void OnInactiveTimer() override;

  // The server's gauges: rooms, members by role, cascade links by state.
  void AddMetrics();

  int OnNackReceived(const std::shared_ptr<UDPPacket>& packet) override REQUIRES_SHARED(registry_);
  int OnCascadeReceived(const std::shared_ptr<UDPPacket>& packet) override
      REQUIRES_SHARED(registry_);
  // Sends a peer's detect datagram back to it, marked as an answer, from this
  // server's cascade interface: the peer's link is confirmed, and learns the
  // source this server's relayed datagrams come from.
  void AnswerCascade(const UDPPacket& detect, const CascadeFields& fields);

  static SfuServer* inst_;

  // One per kind of malformed datagram.
  rtc::LogRateLimiter short_nack_log_{rtc::kPeerLogIntervalMs};
  rtc::LogRateLimiter short_cascade_log_{rtc::kPeerLogIntervalMs};
  rtc::LogRateLimiter foreign_nack_log_{rtc::kPeerLogIntervalMs};

  // Configuration "nack_enabled": members decode FEC and answer NACKs.
  // Set by Init before any member joins.
  bool nack_enabled_ = false;
};

}  // namespace corvaneserver

#endif  // SFU_SFU_SERVER_H_
