// One member of one room as the server sees it: who it is, how it proves itself
// (its join token), where it is reached (learned from its own datagrams), whether
// it is muted, when it last spoke, and the receiver reports about it. The common
// base of the forwarding and the mixing server's channels.
//
// Lock order: the server's lock (when the server has one) is taken before any
// lock of a channel. A channel's `address_lock_` and its receiver report's lock
// are leaf locks: neither is held while any other lock is taken.
#ifndef CHANNEL_USER_CHANNEL_H_
#define CHANNEL_USER_CHANNEL_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "base/socket_address.h"
#include "base/thread_annotations.h"
#include "channel/receiver_report.h"
#include "control/user_type.h"
#include "packet/media_constants.h"

namespace corvaneserver {

class UDPPacket;

// Rejected datagrams from a new address answered per run of rejections.
constexpr uint32_t kMaxAuthenticationAnswers = 30;
// A member silent this long loses its address (and, in the forwarding server,
// its place in the room).
constexpr int64_t kChannelInactiveMs = 120000;
// At most one receiver report to a speaker per this interval.
constexpr int64_t kReceiverReportIntervalMs = 500;

// Writes the 15-byte answer to a rejected datagram with sequence number `seq`.
void BuildAuthenticationPacket(uint32_t seq, uint64_t user_id,
                               uint8_t (&out)[kAuthenticationPacketSize]);
// Writes the 22-byte acknowledgement of a datagram of `payload_type` and `seq`
// sent by `user_id`.
void BuildAckPacket(uint8_t payload_type, uint32_t seq, uint64_t user_id,
                    uint8_t (&out)[kAckPacketSize]);

// Threads: the packet side runs on the deliver worker handling the member's
// datagram; the control side on the service thread under the server's write
// lock; the timer side on the service thread.
class Channel {
 public:
  // A member that joined through the control plane: address unknown until its
  // first datagram carrying `token`.
  Channel(uint64_t user_id, uint32_t type, std::string token);
  // A channel whose peer is known in advance (a cascade link): no token.
  Channel(uint64_t user_id, uint32_t type, int socket, const rtc::SocketAddress& address);
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Called by AllowSpeaker after the user type has changed.
  virtual int OnUserTypeChanged() = 0;

  uint64_t Id() const { return user_id_; }
  uint32_t ChannelType() const { return user_type_.load(std::memory_order_relaxed); }
  bool Muted() const { return muted_.load(std::memory_order_relaxed); }
  bool IsSpeaker() const { return ChannelType() == kUserTypeSpeaker; }
  const std::string& token() const { return token_; }
  // Each takes the address lock by itself. Safe from any thread.
  rtc::SocketAddress FromAddress() const EXCLUDES(address_lock_);
  int Socket() const EXCLUDES(address_lock_);
  // Socket and address together, under one acquisition of the address lock:
  // what a sender needs for every datagram. Safe from any thread.
  void Destination(int* socket, rtc::SocketAddress* address) const EXCLUDES(address_lock_);

  // --- Packet side ----------------------------------------------------------
  // Admission: a datagram from the known address is accepted as it is; one from
  // a new address only with the join token, and it then moves the member there.
  // Up to kMaxAuthenticationAnswers rejected datagrams of a run are answered.
  // An accepted datagram that asks for it is acknowledged. 0 accepted, -1
  // rejected (the caller drops it).
  // REQUIRES: the caller checked packet->HasMediaHeader().
  int ReceivedPacket(const std::shared_ptr<UDPPacket>& packet);
  // Admission of the member's datagram relayed by a peer server of its room
  // (the member talks to that server): the member's address stays where it
  // is and nothing is acknowledged to the peer, as the member's own server
  // did both. It must carry the member's token, as any datagram from an address
  // that is not the member's: a cascade datagram proves little about its sender.
  // Counts as hearing from the member. 0 accepted, -1 rejected.
  // REQUIRES: the caller checked packet->HasMediaHeader().
  int ReceivedFromPeer(const std::shared_ptr<UDPPacket>& packet);
  // The authentication answer to `packet`'s sender, through the socket it came in on.
  void SendAuthenticationPacket(const std::shared_ptr<UDPPacket>& packet);
  // The acknowledgement of `packet` to this member, when the packet asks for
  // one (a FEC repair datagram never does); then clears the packet's ack bit
  // unless it is a music datagram.
  void ResponseAck(const std::shared_ptr<UDPPacket>& packet);

  // --- Control side (service thread, server write lock held) ----------------
  // true: speaker, false: listener. Returns 0.
  int AllowSpeaker(bool allow);
  // true unmutes, false mutes. Returns 0.
  int MuteSpeaker(bool unmute);

  // --- Timer side (service thread) -------------------------------------------
  // 0 when the member has been silent for kChannelInactiveMs and has just been
  // reset (address forgotten, reports dropped); -1 otherwise. Cascaders never.
  int InactiveCheck() EXCLUDES(address_lock_);
  // Sends a speaker its receiver report when one is due.
  void SendReceiverReport();

  // --- Receiver reports -------------------------------------------------------
  // Keeps a listener's counter about this member when this member is a speaker.
  void OnRReportReceived(uint64_t reporter_id, uint32_t value);
  // Another member left the room: forget its counter.
  void OnAnotherUserRemoved(uint64_t user_id);
  ReceiverReport& receiver_report() { return receiver_report_; }

  int64_t last_receive_time_ms() const {
    return last_receive_time_ms_.load(std::memory_order_relaxed);
  }
  uint32_t rejected_count() const { return rejected_count_.load(std::memory_order_relaxed); }

 protected:
  // Channels are owned through shared pointers of the derived class.
  ~Channel();

 private:
  void SetAddress(int socket, const rtc::SocketAddress& address) EXCLUDES(address_lock_);

  // Fixed at construction.
  const uint64_t user_id_;
  const std::string token_;

  // Written by the service thread, read by deliver workers.
  std::atomic<uint32_t> user_type_;
  std::atomic<bool> muted_{false};

  // Written by deliver workers. A member's datagrams from two addresses may be
  // handled by two workers at once, hence atomics.
  std::atomic<uint32_t> rejected_count_{0};
  std::atomic<int64_t> last_receive_time_ms_;

  ReceiverReport receiver_report_;
  // Service thread only (the 100 ms sweep).
  int64_t last_report_time_ms_;

  // A leaf lock: taken under the owning server's registry lock, whose header
  // writes the whole order, and never while another leaf lock is held.
  // Writer-preferring: a member's move to a new address is not held up by the
  // senders that read it for every datagram.
  mutable rtc::RWLock address_lock_;
  // Set and cleared together.
  int socket_ GUARDED_BY(address_lock_) = -1;
  rtc::SocketAddress remote_address_ GUARDED_BY(address_lock_);
};

}  // namespace corvaneserver

#endif  // CHANNEL_USER_CHANNEL_H_
