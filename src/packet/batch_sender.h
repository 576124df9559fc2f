// Datagrams collected and sent with one sendmmsg per socket instead of one
// sendto each.
//
// A receive thread (or deliver worker, or mixer worker) installs its batch
// with BatchSender::Scope for the length of one batch of work; everything that
// work sends (the fan-out, acknowledgements, authentication answers, echoed
// probes, resends) queues into it through ThreadBatch and leaves in one flush
// at the end. Code running outside any scope gets a batch of its own from
// ThreadBatch, flushed when it goes, so callers need not know which case they
// are in.
//
// Each queued datagram is sent exactly as UDPPacket::Send would send it, once,
// without retry and without blocking: nothing for an incomplete address or a
// negative socket, and a datagram the kernel refuses is dropped while the ones
// after it still go. Datagrams of one socket leave in the order they were
// queued, so each destination (always reached through one socket) gets them
// in that order.
//
// Not thread-safe: one instance belongs to the thread that fills and flushes
// it.
#ifndef PACKET_BATCH_SENDER_H_
#define PACKET_BATCH_SENDER_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "base/socket_address.h"
#include "packet/udp_packet.h"

namespace corvaneserver {

class BatchSender {
 public:
  // Datagrams queued before the batch flushes by itself: enough to spread a
  // call's cost over many datagrams, few enough to stay on the stack.
  static constexpr size_t kCapacity = 64;
  // Largest datagram AddCopy keeps a copy of.
  static constexpr size_t kMaxCopySize = 32;

  // What a queued datagram is, for the counters and the failure line.
  enum class Kind : uint8_t {
    kOther,
    // A member's media sent on to another member: counted in
    // corvane_datagrams_forwarded_total once the kernel takes it.
    kForwarded,
    // An acknowledgement: a refused one is logged.
    kAck,
  };

  // Makes `batch` this thread's batch until the scope ends, then flushes it
  // and puts back the one before (scopes nest).
  class Scope {
   public:
    explicit Scope(BatchSender* batch);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    BatchSender* const batch_;
    BatchSender* const previous_;
  };

  BatchSender() = default;
  ~BatchSender() { Flush(); }  // nothing queued is lost
  BatchSender(const BatchSender&) = delete;
  BatchSender& operator=(const BatchSender&) = delete;

  // The batch of the innermost Scope on this thread, or null.
  static BatchSender* OfThisThread();

  // Queues the whole of `packet` for `to` through `socket`, holding the packet
  // until the flush. False (and nothing queued) when `to` is not a complete
  // IPv4 address or `socket` < 0.
  bool Add(int socket, const rtc::SocketAddress& to, const std::shared_ptr<UDPPacket>& packet,
           Kind kind = Kind::kOther);
  // Queues `size` bytes at `data`, which must stay valid until the next Flush.
  bool Add(int socket, const rtc::SocketAddress& to, const uint8_t* data, size_t size,
           Kind kind = Kind::kOther);
  // The same for bytes that need not outlive the call (at most kMaxCopySize).
  bool AddCopy(int socket, const rtc::SocketAddress& to, const uint8_t* data, size_t size,
               Kind kind = Kind::kOther);
  // Sends everything queued and empties the batch. Returns the number of
  // datagrams the kernel took. Each one it refused is also counted in the
  // process's corvane_datagrams_send_failed_total.
  size_t Flush();

  size_t pending() const { return count_; }
  // Counters since construction, for tests and statistics.
  uint64_t sent() const { return sent_; }
  uint64_t failed() const { return failed_; }
  uint64_t calls() const { return calls_; }
  // Datagrams queued as forwarded that the kernel took, since construction.
  uint64_t forwarded_sent() const { return forwarded_sent_; }

 private:
  // The slot for the next datagram, flushing first when the batch is full.
  // False when `to` or `socket` cannot be sent to.
  bool Reserve(int socket, const rtc::SocketAddress& to);
  // Sends the queued datagrams of `socket` (indexes in `order`, queue order).
  size_t SendRun(int socket, const size_t* order, size_t count);
  // Counts (and for an acknowledgement logs) the refused datagram in slot i.
  void Refused(size_t i);
  // False; an acknowledgement that could not even be queued (no address or
  // socket) is logged as one the kernel refused.
  static bool NotQueued(Kind kind);
  static void LogFailedAck();

  // One queued datagram: where it goes, its bytes (in `copy` for AddCopy),
  // and what it is.
  struct Slot {
    int socket;
    sockaddr_in address;
    iovec vector;
    std::array<uint8_t, kMaxCopySize> copy;
    Kind kind;
  };

  // Slots [0, count_) are filled; the rest are never read, so they are left
  // uninitialised: a fan-out to a few members costs no clearing of kilobytes.
  std::array<Slot, kCapacity> slots_;
  size_t count_ = 0;
  // The packets queued datagrams point into: one reference per run of the
  // same packet (a fan-out queues one packet many times in a row).
  std::array<std::shared_ptr<UDPPacket>, kCapacity> held_;
  size_t held_count_ = 0;

  uint64_t sent_ = 0;
  uint64_t failed_ = 0;
  uint64_t calls_ = 0;
  uint64_t forwarded_sent_ = 0;
};

// This thread's batch when a Scope installed one, else a batch of its own,
// flushed when this object goes. Use it on the stack around a send.
class ThreadBatch {
 public:
  ThreadBatch();
  ThreadBatch(const ThreadBatch&) = delete;
  ThreadBatch& operator=(const ThreadBatch&) = delete;

  BatchSender* operator->() { return batch_; }
  BatchSender* get() { return batch_; }

 private:
  std::optional<BatchSender> own_;
  BatchSender* batch_;
};

}  // namespace corvaneserver

#endif  // PACKET_BATCH_SENDER_H_
