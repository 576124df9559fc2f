// The forwarding server's channel: one member of one room. Inbound it sorts a
// member's admitted datagrams (acknowledgement, music, voice) and hands what may
// be heard to the room; outbound it sends the room's datagrams to the member and
// keeps the ones that need an acknowledgement (music 0x80, and 0x82) until the
// member acknowledges them. A cascade link is a channel of this kind too: it
// carries a room to a peer server and proves itself with detect datagrams.
//
// Lock order: the server's lock (read side for everything here but the
// destructor) is held around every call; `wait_lock_` and the locks of the base
// channel are leaf locks under it, never held together and never while the room
// is called.
#ifndef SFU_VOICE_CHANNEL_H_
#define SFU_VOICE_CHANNEL_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "base/log_rate_limiter.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "channel/user_channel.h"
#include "sfu/repeat_filter.h"

namespace corvaneserver {

class BatchSender;
class Nack;
class UDPPacket;
class VoiceRoom;

// Most datagrams waiting for one member's acknowledgement; one more drops the
// one that has waited longest.
constexpr size_t kMaxWaitPackets = 256;
// An unacknowledged datagram is sent again on every sweep for this long after
// it was delivered.
constexpr int64_t kResendWindowMs = 250;

class VoiceChannel : public Channel, public std::enable_shared_from_this<VoiceChannel> {
 public:
  // A member who joined through the control plane. With `nack_enabled` the
  // member's FEC datagrams are decoded and kept for answering NACKs.
  VoiceChannel(const std::shared_ptr<VoiceRoom>& room, uint64_t user_id, uint32_t type,
               std::string token, bool nack_enabled = false);
  // A cascade link (user type 3) to the peer server at `address`, reached
  // through `socket`; unconfirmed until the peer answers its detect datagram.
  VoiceChannel(const std::shared_ptr<VoiceRoom>& room, uint64_t cascade_id, int socket,
               const rtc::SocketAddress& address);
  virtual ~VoiceChannel();

  int OnUserTypeChanged() override { return 0; }

  // --- Deliver worker of this member's datagram -------------------------------
  // A datagram the server routed to this member. 0 when it was accepted and is
  // not an acknowledgement, -1 otherwise.
  // REQUIRES: packet->HasMediaHeader().
  int OnPacketReceived(const std::shared_ptr<UDPPacket>& packet);
  // A NACK naming this member: the retransmission buffer's answer, or -1
  // when the NACK switch is off.
  int OnNackReceived(const std::shared_ptr<UDPPacket>& nack);
  // A cascade datagram's value, offered by the room; confirms a cascade link
  // whose peer address hashes to it and sends the peer the music detail.
  void CascadeResponse(uint32_t value);
  // The same for a datagram from `source`; a link it confirms also learns
  // that the peer's relayed datagrams come from there (a server sends from
  // its cascade interface, not from the address it is linked at). True when
  // this channel took it as its answer.
  bool CascadeResponse(uint32_t value, const rtc::SocketAddress& source)
      EXCLUDES(peer_source_lock_);
  // A cascade link (a channel of user type 3 made by AddCascade).
  bool IsLink() const { return is_link_; }
  // A cascade link to the peer server that sends from `source`.
  bool IsLinkTo(const rtc::SocketAddress& source) const EXCLUDES(peer_source_lock_);

  // --- Deliver worker of any member (several at once) -------------------------
  // Sends a datagram of the room to this member, stamps its delivered time and
  // keeps it when it must be acknowledged.
  void DeliverPacket(const std::shared_ptr<UDPPacket>& packet);
  // The same, but the datagrams for this member (the detect datagram of an
  // unconfirmed cascade link, then `packet`) are queued on `batch`, which the
  // caller flushes while it still holds `packet`. A room's fan-out uses this
  // to send to all its members with one system call per socket.
  void DeliverPacket(const std::shared_ptr<UDPPacket>& packet, BatchSender* batch);
  // Sends to the member's address through its socket; nothing while unknown.
  void SendPacket(const std::shared_ptr<UDPPacket>& packet);
  // Delivers the room's music detail, when the room has one.
  void NotifyMusicDetail();
  // The detect datagram of a cascade link that is not yet confirmed.
  void SendDetectPacket();
  // The detect datagram of a cascade link, confirmed or not: it keeps this
  // server known to the peer's admission, which forgets a silent source.
  void SendKeepalive();

  // --- Service thread --------------------------------------------------------
  // Sends every waiting datagram again that was delivered at most
  // kResendWindowMs ago. Server read lock held.
  void ResendPacket();
  // True when the member has been silent too long and was just reset. Server
  // write lock held.
  bool CheckOvertime();
  // A member of a room spread over several servers that never talked to this
  // one: its own server hears it, and this one only sees what peers relay,
  // which is nothing while it is silent or muted. Server lock held.
  bool KnownOnlyThroughPeers() const;

  // Snapshot of the waiting datagrams: the pending music datagram first, then
  // the 0x82 datagrams in ascending sequence number.
  std::list<std::shared_ptr<UDPPacket>> GetWaitPacketList() const EXCLUDES(wait_lock_);
  // Removes the datagram that `ack` acknowledges.
  void OnAckReceived(const std::shared_ptr<UDPPacket>& ack) EXCLUDES(wait_lock_);
  // The room's id, or 0 once the room is gone.
  uint64_t RoomId() const;
  bool cascade_confirmed() const { return cascade_confirmed_.load(std::memory_order_acquire); }

 private:
  // The detect datagram of an unconfirmed cascade link, queued on `batch`.
  void SendDetectPacket(BatchSender* batch);
  // The detect datagram of a cascade link, queued on `batch`.
  void QueueDetect(BatchSender* batch);
  // The member's datagram relayed by the peer server at `from`, in `room`.
  int OnPeerPacketReceived(const std::shared_ptr<UDPPacket>& packet, uint8_t payload_type,
                           const std::shared_ptr<VoiceRoom>& room, const rtc::SocketAddress& from);
  // True the first time this member's datagram is forwarded here: a plain one
  // by its sequence number, a FEC one by its number in the FEC stream.
  bool FirstForward(const UDPPacket& packet) EXCLUDES(forwarded_lock_);
  // Keeps a music (0x80) or 0x82 datagram, delivered to this member at
  // `delivered_ms`, until the member acknowledges it.
  void Keep(uint8_t payload_type, const std::shared_ptr<UDPPacket>& packet, int64_t delivered_ms)
      EXCLUDES(wait_lock_);

  // Passed by argument; the room owns this channel, not the other way round.
  const std::weak_ptr<VoiceRoom> room_;

  // Member channels count as confirmed; a cascade link until its peer answers.
  std::atomic<bool> cascade_confirmed_;
  // Cleared by the first accepted datagram, which brings the music detail.
  std::atomic<bool> music_notice_pending_{true};
  // Set by the server's configuration for members; always off for cascade links.
  const bool nack_enabled_;
  // Allocated by this only when the NACK switch is on.
  std::unique_ptr<Nack> nack_;

  // Anyone may send 'b' datagrams naming this member: one line per 10 s for
  // those relayed, and one for those dropped (not from a cascade peer).
  rtc::LogRateLimiter relay_log_limiter_{rtc::kPeerLogIntervalMs};
  // Repeats come round cycles of links at the peers' rate: one line per 10 s.
  rtc::LogRateLimiter repeat_log_limiter_{rtc::kPeerLogIntervalMs};
  // Made by the cascade constructor.
  const bool is_link_;
  rtc::LogRateLimiter forged_relay_log_limiter_{rtc::kPeerLogIntervalMs};

  // The server's lock is ordered before this class's lock and names it.
  friend class SfuServer;

  // What this server forwarded of the member, when its room is cascaded.
  mutable rtc::Mutex forwarded_lock_;
  RepeatFilter forwarded_plain_ GUARDED_BY(forwarded_lock_);
  RepeatFilter forwarded_fec_ GUARDED_BY(forwarded_lock_);

  // A link's peer, as the source of its answer; nil until then.
  mutable rtc::Mutex peer_source_lock_;
  rtc::SocketAddress peer_source_ GUARDED_BY(peer_source_lock_);

  mutable rtc::Mutex wait_lock_;
  // The last music datagram sent and not acknowledged, and the 0x82 datagrams
  // by sequence number with their place in the age order.
  // The delivered time is this member's: one datagram is shared by all the
  // members it went to, and handing it to a newcomer later must not restart
  // the resend window of the others.
  struct Waiting {
    std::shared_ptr<UDPPacket> packet;
    int64_t delivered_ms = 0;
    std::list<uint32_t>::iterator age;
  };
  Waiting pending_music_ GUARDED_BY(wait_lock_);
  std::map<uint32_t, Waiting> wait_packets_ GUARDED_BY(wait_lock_);
  // Sequence numbers, longest waiting first.
  std::list<uint32_t> wait_order_ GUARDED_BY(wait_lock_);
};

}  // namespace corvaneserver

#endif  // SFU_VOICE_CHANNEL_H_
