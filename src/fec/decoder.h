// Rebuilds one user's media stream from the FEC datagrams the user sends.
//
// Clients send their media datagrams in blocks of k source datagrams (each a
// media datagram behind a FEC header) and r repair datagrams; any k of a block
// rebuild all k. The decoder keeps the datagrams in a ring indexed by FEC
// sequence number and hands the media datagrams out through a callback: those
// in front of the block's first gap as they arrive, then, once k datagrams of
// the block are there, the rebuilt ones and the rest in position order. A
// block that cannot be completed is given up once the stream has moved 1.25
// block lengths past it, and its losses are reported through a second callback.
//
// The decoder's outputs depend only on the ring's contents, which change only
// when a datagram is inserted; so the decoding pass runs right after each
// insertion, on the inserting thread, instead of on a thread of its own.
#ifndef FEC_DECODER_H_
#define FEC_DECODER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/log_rate_limiter.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "fec/decode_budget.h"
#include "fec/fec_packet.h"
#include "fec/reed_solomon.h"

namespace fec {

// Slots of the ring; a power of two so that an index is s & (kRingSize - 1).
constexpr uint32_t kRingSize = 512;

class Decoder {
 public:
  // Receives each media datagram, in hand-out order.
  using DecodedCallback = std::function<int(const unsigned char*, unsigned int)>;
  // Receives a finished block's losses as (reference, mask): bit i of the
  // mask stands for media sequence number reference + 1 + i.
  using LossCallback = std::function<int(unsigned int, unsigned short)>;

  // `loss` may be empty. Both callbacks run with the decoder's lock held, on
  // the thread that calls OnPacketReceived or Run; they must not call back
  // into the decoder.
  Decoder(DecodedCallback decoded, LossCallback loss);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // One whole datagram. Not a FEC datagram: passed to the decoded callback as
  // it is, and its result returned. A FEC datagram: -1 when malformed (shorter
  // than its header, k = 0, k + r above 256, s outside its block) or after
  // Stop(); else 0, whether it was kept or dropped as late or duplicate.
  // After a kept datagram, runs a decoding pass. Safe to call from any thread.
  int OnPacketReceived(const unsigned char* data, unsigned int len) EXCLUDES(lock_);

  // One decoding pass: hand out what lies in front of the first gap, then
  // finish every block that can be finished. OnPacketReceived runs it; tests
  // may call it to see that a pass over unchanged contents does nothing.
  void Run() EXCLUDES(lock_);

  // Every FEC datagram from now on gives -1.
  void Stop() EXCLUDES(lock_);

  // Forgets the stream: an empty ring, and the next datagram is taken as the
  // first of a fresh decoder. For a sender that restarted its numbers.
  void Reset() EXCLUDES(lock_);

  static uint32_t GetIndex(uint32_t value) { return value & (kRingSize - 1); }

  // Slot buffers made so far: the most slots ever occupied at once.
  size_t BufferCount();

 private:
  int InsertFecPacket(const unsigned char* data, unsigned int len, const FecHeader& header)
      REQUIRES(lock_);
  void Pass() REQUIRES(lock_);
  void DispatchPacket() REQUIRES(lock_);
  // Length of the block that starts at next start, or kRingSize when none can
  // be finished in this pass.
  uint32_t FindSequence(uint32_t pos) REQUIRES(lock_);
  // 0 when the block at pos (n slots) was finished, -1 when it must wait.
  int DecodedSequence(uint32_t pos, uint32_t n) REQUIRES(lock_);
  bool IsSequenceOvertime(uint32_t pos, uint32_t n) REQUIRES(lock_);
  int Decoded(uint32_t pos, uint8_t k, uint8_t r) REQUIRES(lock_);
  int ResetSequence(uint32_t pos, uint8_t k, uint8_t r) REQUIRES(lock_);

  // Whether the slot at pos + i holds datagram i of the block at next start.
  bool HoldsBlockPacket(uint32_t pos, uint32_t i, uint8_t k, uint8_t r) const REQUIRES(lock_);
  // Ring distance from `from` of the first slot holding a datagram, among the
  // next `count` slots; `count` when there is none.
  uint32_t NextHolding(uint32_t from, uint32_t count) const REQUIRES(lock_);
  void Store(uint32_t index, const unsigned char* data, unsigned int len, const FecHeader& header)
      REQUIRES(lock_);
  void ClearSlot(uint32_t index) REQUIRES(lock_);
  // Lends the slot a buffer when it has none.
  void Acquire(uint32_t index) REQUIRES(lock_);

  // Passed by argument.
  const DecodedCallback decoded_;
  const LossCallback loss_;

  rtc::Mutex lock_;
  uint64_t user_id_ GUARDED_BY(lock_) = 0;
  // The block's symbols for the codec (null where missing), and where the
  // codec writes the missing sources: straight into their empty slots.
  const uint8_t* symbols_[kRingSize] GUARDED_BY(lock_);
  uint8_t* rebuilt_[kRingSize] GUARDED_BY(lock_);
  // Ring index of the next slot DispatchPacket looks at: every slot from the
  // block at next start up to it was handed out.
  uint32_t dispatch_index_ GUARDED_BY(lock_) = 0;
  // FEC sequence number b of the next block to finish.
  uint32_t next_start_ GUARDED_BY(lock_) = 0;
  // No block adopted yet: every sequence number counts as new.
  bool fresh_ GUARDED_BY(lock_) = true;
  // Set when FindSequence moved next start to a newer block: the pass runs
  // again at once, as the next pass would find the ring unchanged.
  bool jumped_ GUARDED_BY(lock_) = false;
  bool stopped_ GUARDED_BY(lock_) = false;
  // Rebuilds beyond it are skipped (the block's present sources still go
  // out): a sender chooses k and r, and a rebuild's cost grows with k squared.
  DecodeBudget budget_ GUARDED_BY(lock_);
  // The codec of the last block rebuilt; fetched again when (k, r) changes.
  std::shared_ptr<const ReedSolomon> codec_ GUARDED_BY(lock_);
  // Allocated by this: the slots, once, and their buffers when first needed.
  // An emptied slot gives its buffer back to `spare_`, whose capacity holds
  // every buffer there can be, so a steady stream allocates nothing. The slots
  // are guarded by lock_; clang 14 takes PT_GUARDED_BY on raw pointers only.
  const std::unique_ptr<FECPacket[]> ring_;
  std::vector<std::unique_ptr<UDPPacket>> spare_ GUARDED_BY(lock_);
  size_t buffer_count_ GUARDED_BY(lock_) = 0;
  // Bit i set when slot i holds a datagram: scans skip empty slots by word.
  uint64_t holding_[kRingSize / 64] GUARDED_BY(lock_) = {};

  // A sender can trigger these at will: one line per second each.
  rtc::LogRateLimiter malformed_log_;
  rtc::LogRateLimiter collision_log_;
  rtc::LogRateLimiter jump_log_;
  rtc::LogRateLimiter leftover_log_;
  rtc::LogRateLimiter decode_log_;
  rtc::LogRateLimiter budget_log_;
};

}  // namespace fec

#endif  // FEC_DECODER_H_
