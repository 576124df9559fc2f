// Datagrams collected during one fan-out and sent with one sendmmsg per
// socket instead of one sendto each: a room forwarding one datagram to N
// members enters the kernel once per socket, not N times.
//
// Each queued datagram is sent exactly as UDPPacket::Send would send it, once,
// without retry: nothing for an incomplete address or a negative socket, and a
// datagram the kernel refuses is dropped while the ones after it still go.
// Datagrams of one socket leave in the order they were queued.
//
// Not thread-safe: one instance belongs to the thread that fills and flushes
// it, usually on that thread's stack for the length of one fan-out.
#ifndef PACKET_BATCH_SENDER_H_
#define PACKET_BATCH_SENDER_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/socket_address.h"

namespace corvaneserver {

class BatchSender {
 public:
  // Datagrams queued before the batch flushes by itself.
  static constexpr size_t kCapacity = 64;
  // Largest datagram AddCopy keeps a copy of.
  static constexpr size_t kMaxCopySize = 32;

  BatchSender() = default;
  ~BatchSender() { Flush(); }  // nothing queued is lost
  BatchSender(const BatchSender&) = delete;
  BatchSender& operator=(const BatchSender&) = delete;

  // Queues `size` bytes at `data` for `to` through `socket`. The bytes are not
  // copied: they must stay valid until the next Flush. False (and nothing
  // queued) when `to` is not a complete IPv4 address or `socket` < 0.
  // A `forwarded` datagram (a member's media sent on to another member) is
  // counted in forwarded_sent() once the kernel takes it.
  bool Add(int socket, const rtc::SocketAddress& to, const uint8_t* data, size_t size,
           bool forwarded = false);
  // The same for bytes that need not outlive the call (at most kMaxCopySize).
  bool AddCopy(int socket, const rtc::SocketAddress& to, const uint8_t* data, size_t size);
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

  // One queued datagram: where it goes, its bytes (in `copy` for AddCopy),
  // and whether it counts in forwarded_sent().
  struct Slot {
    int socket;
    sockaddr_in address;
    iovec vector;
    std::array<uint8_t, kMaxCopySize> copy;
    bool forwarded;
  };

  // Slots [0, count_) are filled; the rest are never read, so they are left
  // uninitialised: a fan-out to a few members costs no clearing of kilobytes.
  std::array<Slot, kCapacity> slots_;
  size_t count_ = 0;

  uint64_t sent_ = 0;
  uint64_t failed_ = 0;
  uint64_t calls_ = 0;
  uint64_t forwarded_sent_ = 0;
};

}  // namespace corvaneserver

#endif  // PACKET_BATCH_SENDER_H_
