// A room of the forwarding server: the channels among which datagrams are
// forwarded (whatever a member's channel passes on goes to every other member),
// and the room's music detail, the newest music datagram, for late arrivals.
//
// Locks: the member map and the active time have no lock of their own; they
// are changed only under the server's write lock and read under at least its
// read lock. `music_lock_` guards the music detail; it is a leaf lock, never
// held while a channel is called.
#ifndef SFU_VOICE_ROOM_H_
#define SFU_VOICE_ROOM_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "base/log_rate_limiter.h"
#include "base/mutex.h"
#include "base/socket_address.h"
#include "base/thread_annotations.h"
#include "channel/room_registry.h"

namespace corvaneserver {

class UDPPacket;
class VoiceChannel;

// Most peer-server source addresses one room remembers; a room is spread over
// a handful of servers, and anyone may send cascade datagrams.
constexpr size_t kMaxCascadeSources = 16;

class Room {
 public:
  explicit Room(uint64_t room_id);
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;

  uint64_t Id() const { return room_id_; }
  // REQUIRES: the server's write lock.
  void UpdateActiveTime();
  // At least kRoomInactiveMs since construction or the last membership change.
  bool IsOvertime() const;

  // Keeps a copy of `packet` when it is the room's first music datagram or
  // newer than the stored one (sequence numbers compared modulo 2^32, so the
  // copy follows the stream across the wrap of the counter). Safe from any thread.
  void UpdateMusicDetail(const std::shared_ptr<UDPPacket>& packet) EXCLUDES(music_lock_);
  // The stored copy (shared, never rewritten afterwards), or empty before the
  // room's first music datagram. Safe from any thread.
  std::shared_ptr<UDPPacket> GetMusicDetail() const EXCLUDES(music_lock_);

 private:
  const uint64_t room_id_;
  int64_t active_time_ms_;

  // The server's lock is ordered before this class's lock and names it.
  friend class SfuServer;

  mutable rtc::Mutex music_lock_;
  // Each update stores a fresh copy instead of writing
  // over the old one, because the old one may be in flight to a member or
  // waiting in a channel for its acknowledgement.
  std::shared_ptr<UDPPacket> music_detail_ GUARDED_BY(music_lock_);
};

class VoiceRoom : public Room, public std::enable_shared_from_this<VoiceRoom> {
 public:
  explicit VoiceRoom(uint64_t room_id);
  ~VoiceRoom();

  // --- Membership (server write lock held) -----------------------------------
  // Stores the channel under its id (replacing an earlier member with that id).
  // Returns 0.
  int AddUser(const std::shared_ptr<VoiceChannel>& channel);
  // Removes a member and tells every remaining member; the 10-minute clock is
  // reset even when `user_id` was not a member. Returns 0.
  int DeleteUser(uint64_t user_id);
  // Empty, or holding only one cascader, for at least kRoomInactiveMs.
  bool IsInactive() const;

  // --- Forwarding (server read lock held; deliver workers in parallel) --------
  // Gives `packet` to every member but its sender, in ascending member id.
  // A datagram relayed by a peer server (`from_peer`: the source it came from)
  // is not given to the cascade links that lead back to that peer: it would
  // go round and round between two servers linked both ways. Returns 0.
  int OnPacketDelivered(const std::shared_ptr<UDPPacket>& packet,
                        const rtc::SocketAddress* from_peer = nullptr);
  // Keeps the music datagram as the room's music detail, then forwards it.
  int OnMusicPacketReceived(const std::shared_ptr<UDPPacket>& packet,
                            const rtc::SocketAddress* from_peer = nullptr);
  // Offers a cascade datagram's value to every member. Returns 0.
  int OnCascadeReceived(uint32_t value);
  // The same for a cascade datagram that came from `source`. True when a link
  // took it as its answer. The room remembers `source` as a peer server's when
  // a link took it, or when it is a detect datagram meant for this server
  // (`for_this_server`): not for any cascade datagram, which anyone may send.
  bool OnCascadeReceived(uint32_t value, const rtc::SocketAddress& source, bool for_this_server)
      EXCLUDES(sources_lock_);
  // Whether `source` is a peer server of this room, whose datagrams are
  // relayed ones, not a member's own: the peer of a link (which answered it,
  // so a table filled by strangers cannot hide it) or a server that sent a
  // detect datagram meant for this one. Cheap when there is none.
  bool IsCascadeSource(const rtc::SocketAddress& source) const EXCLUDES(sources_lock_);
  // Whether the room reaches or hears another server: what it forwards must
  // then be remembered, to catch it when it comes back round a cycle.
  bool IsCascaded() const {
    return !links_.empty() || has_sources_.load(std::memory_order_acquire);
  }
  // Cascade links that are not yet confirmed send their detect datagram again.
  void SendDetectPackets() const;
  // Every cascade link sends its detect datagram, confirmed or not.
  void SendKeepalives() const;

  // REQUIRES: at least the server's read lock.
  size_t MemberCount() const { return members_.size(); }
  template <class Visit>
  void ForEachMember(Visit visit) const {
    for (const auto& [id, member] : members_) visit(*member);
  }
  std::shared_ptr<VoiceChannel> SeekMember(uint64_t id) const;
  // Whether some member is currently known at `address`. The member named
  // `hint_id` is tried first; the others are searched only when it is not there.
  bool HasMemberAt(const rtc::SocketAddress& address, uint64_t hint_id) const;

 private:
  // Lists the cascade links among the members. Server write lock held.
  void CountLinks();

  // Shares the channels with the server's user map; channels refer back weakly.
  std::map<uint64_t, std::shared_ptr<VoiceChannel>> members_;
  // The cascade links among the members, borrowed from the member map and
  // kept with it.
  std::vector<VoiceChannel*> links_;

  // The server's lock is ordered before this class's lock and names it.
  friend class SfuServer;

  // Source addresses of peer servers, learned from their cascade datagrams
  // by the deliver workers; never forgotten while the room lives.
  mutable rtc::Mutex sources_lock_;
  std::vector<rtc::SocketAddress> sources_ GUARDED_BY(sources_lock_);
  rtc::LogRateLimiter sources_full_log_ GUARDED_BY(sources_lock_){rtc::kPeerLogIntervalMs};
  // Set with the first source: the packet path of a room that no peer server
  // talks to never takes the lock.
  std::atomic<bool> has_sources_{false};
};

}  // namespace corvaneserver

#endif  // SFU_VOICE_ROOM_H_
