// The per-user retransmission buffer: feeds the FEC datagrams the user sends
// to the user's own FEC decoder, keeps the last 256 media datagrams the
// decoder hands out (received or rebuilt), and resends the ones a NACK asks for.
//
// NACK datagram: byte 1 is 202; bytes 14-21 the user whose datagrams are asked
// for, 22-25 a reference sequence number R, 26-27 a mask M; bit i of M asks
// for sequence number R + 1 + i. All big-endian.
//
// A FEC number more than kRestartDistance away, either way, from the newest
// one of the user's stream starts a new stream (a client that restarted its
// numbers without a new join): the decoder and the kept datagrams start
// afresh, and late datagrams of the stream before are dropped, so a NACK is
// never answered with a datagram of an older stream.
//
// Lock order: `stream_lock_`, then the decoder's lock, then `lock_` (the
// decoder's callback takes it). Nothing here holds `lock_` while it calls the
// decoder.
#ifndef SFU_NACK_H_
#define SFU_NACK_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/log_rate_limiter.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "sfu/sfu_wire.h"

namespace fec {
class Decoder;
}

namespace corvaneserver {

class UDPPacket;

// Media datagrams kept per user; one more evicts the smallest sequence number.
constexpr size_t kMaxNackPackets = 256;
// Far more than any reordering: one ring of the decoder.
constexpr uint32_t kRestartDistance = 512;

class Nack {
 public:
  explicit Nack(uint64_t user_id);
  ~Nack();
  Nack(const Nack&) = delete;
  Nack& operator=(const Nack&) = delete;

  uint64_t user_id() const { return user_id_; }

  // --- Deliver worker of this user's datagrams -------------------------------
  // A datagram of the user that the channel accepted (neither ack nor music).
  // -1 for anything that is not a FEC datagram; else the decoder's result.
  int OnPacketReceived(const std::shared_ptr<UDPPacket>& packet);
  // A NACK naming this user, whose sender the server has checked: resends each
  // kept datagram it asks for to the NACK's source through its socket. -1 for a
  // NACK shorter than kNackPacketSize, else 0.
  int OnNackReceived(const std::shared_ptr<UDPPacket>& nack);

  // --- Decoder callback (decoder's lock held) --------------------------------
  // Keeps a copy of a media datagram the decoder handed out; one shorter than
  // the media header is not kept (-1).
  int OnFecPacketDecoded(const unsigned char* data, unsigned int size) EXCLUDES(lock_);
  // Keeps `packet` under its sequence number unless that number is kept
  // already; then evicts the smallest while more than kMaxNackPackets are kept.
  int InsertPacket(std::shared_ptr<UDPPacket> packet) EXCLUDES(lock_);

  // Any thread. The kept datagram, or null.
  std::shared_ptr<UDPPacket> SeekPacket(uint32_t seq) EXCLUDES(lock_);
  size_t PacketCount() EXCLUDES(lock_);

 private:
  const uint64_t user_id_;

  // The server's lock is ordered before this class's lock and names it.
  friend class SfuServer;

  // True when `seq` belongs to the user's current stream, starting a new
  // stream when it lies far from it; false for a late datagram of the stream
  // before the last restart.
  bool FromCurrentStream(uint32_t seq) REQUIRES(stream_lock_);
  // Empties the kept datagrams.
  void Clear() EXCLUDES(lock_);

  // Guards the numbers of the user's FEC stream; held across the decoder call
  // so that a restart and the datagrams around it are handled in order.
  rtc::Mutex stream_lock_;
  bool have_stream_ GUARDED_BY(stream_lock_) = false;
  uint32_t newest_fec_ GUARDED_BY(stream_lock_) = 0;
  bool have_retired_ GUARDED_BY(stream_lock_) = false;
  uint32_t retired_newest_fec_ GUARDED_BY(stream_lock_) = 0;

  rtc::Mutex lock_;
  // Allocated by this; destroyed first (see the destructor).
  std::unique_ptr<fec::Decoder> decoder_;
  // Kept media datagrams in ascending sequence number, compared on the 32-bit
  // circle so that the oldest goes first across the wrap too:
  // a sorted ring of kMaxNackPackets entries, the smallest at `head_`. A
  // steady stream appends at the end and evicts the head, reusing its
  // datagram when nobody else holds it: no allocation, one contiguous array.
  struct Entry {
    uint32_t seq = 0;
    std::shared_ptr<UDPPacket> packet;
  };
  Entry& At(size_t i) REQUIRES(lock_) { return entries_[(head_ + i) % kMaxNackPackets]; }
  // Position of the first kept entry whose number is not below `seq`.
  size_t LowerBound(uint32_t seq) REQUIRES(lock_);
  // Makes room at position `pos` (0 .. count_) for a new entry; returns the
  // evicted head's datagram when the store was full, else null. False when
  // `seq` would be evicted at once.
  bool MakeRoom(size_t* pos, std::shared_ptr<UDPPacket>* evicted) REQUIRES(lock_);

  Entry entries_[kMaxNackPackets] GUARDED_BY(lock_);
  size_t head_ GUARDED_BY(lock_) = 0;
  size_t count_ GUARDED_BY(lock_) = 0;

  rtc::LogRateLimiter short_nack_log_;
  rtc::LogRateLimiter short_media_log_;
  // Every NACK bit would be a line, and a member may send NACKs at will: one
  // line per rtc::kPeerLogIntervalMs, carrying the count of those held back.
  rtc::LogRateLimiter resend_log_{rtc::kPeerLogIntervalMs};
  rtc::LogRateLimiter restart_log_;
};

}  // namespace corvaneserver

#endif  // SFU_NACK_H_
