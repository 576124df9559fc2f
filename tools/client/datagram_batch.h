// Datagrams collected during one pass of a loop and sent with one sendmmsg
// per socket. Not thread-safe: each loop has its own batch.
#ifndef TOOLS_CLIENT_DATAGRAM_BATCH_H_
#define TOOLS_CLIENT_DATAGRAM_BATCH_H_

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "packet/media_constants.h"

namespace corvanetools {

class DatagramBatch {
 public:
  static constexpr size_t kMaxDatagram = corvaneserver::kMaxUdpPacketSize;

  // Space for one datagram of at most kMaxDatagram bytes; valid until the
  // next Reserve, Commit or Flush.
  uint8_t* Reserve();
  // Queues the reserved bytes (size 0 drops them). `owner` is handed back to
  // the failure callback of Flush.
  void Commit(int fd, const sockaddr_in& to, size_t size, uint32_t owner);

  // Sends everything queued, consecutive entries of one socket in one
  // sendmmsg call, and empties the batch. Calls on_failure(owner) for each
  // datagram the kernel did not take.
  void Flush(const std::function<void(uint32_t owner)>& on_failure);

  size_t pending() const { return entries_.size(); }

 private:
  struct Entry {
    int fd;
    sockaddr_in to;
    size_t offset;
    size_t size;
    uint32_t owner;
  };
  std::vector<uint8_t> arena_;
  std::vector<Entry> entries_;
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_DATAGRAM_BATCH_H_
