// The known sources of every receive thread in one table, so that a source
// that announced itself on one listened address is admitted on all of them.
// Sharded by source address: threads handling different sources rarely meet
// on a lock, and one source's datagrams take one shard's lock, uncontended
// unless it sends to two addresses at once.
#ifndef PACKET_SHARED_SOURCE_TABLE_H_
#define PACKET_SHARED_SOURCE_TABLE_H_

#include <cstddef>
#include <memory>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "packet/packet_statistics.h"
#include "packet/udp_packet.h"

namespace corvaneserver {

class SharedSourceTable {
 public:
  // More shards than receive threads on any machine this runs on, so that two
  // threads seldom want the same shard at once.
  static constexpr size_t kShards = 16;
  // In all, as many sources as two unshared tables held; spread over the shards.
  static constexpr size_t kMaxSources = 2 * PacketStatistics::kMaxSources;

  // interval_ms: per-source report interval, as for PacketStatistics.
  explicit SharedSourceTable(unsigned int interval_ms);
  SharedSourceTable(const SharedSourceTable&) = delete;
  SharedSourceTable& operator=(const SharedSourceTable&) = delete;

  // PacketStatistics::OnPacketReceived on the source's shard, under its lock.
  // Safe from any thread.
  int OnPacketReceived(const std::shared_ptr<UDPPacket>& packet);

  // For tests: the sources known in all shards.
  size_t source_count() const;

 private:
  struct alignas(64) Shard {
    explicit Shard(unsigned int interval_ms) : statistics(interval_ms, kMaxSources / kShards) {}
    mutable rtc::Mutex lock;  // guards the statistics
    PacketStatistics statistics GUARDED_BY(lock);
  };
  Shard& ShardOf(const rtc::SocketAddress& address) const;

  std::vector<std::unique_ptr<Shard>> shards_;
};

}  // namespace corvaneserver

#endif  // PACKET_SHARED_SOURCE_TABLE_H_
