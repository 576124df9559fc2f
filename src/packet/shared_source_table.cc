#include "packet/shared_source_table.h"

namespace corvaneserver {

SharedSourceTable::SharedSourceTable(unsigned int interval_ms) {
  shards_.reserve(kShards);
  for (size_t i = 0; i < kShards; ++i) shards_.push_back(std::make_unique<Shard>(interval_ms));
}

SharedSourceTable::Shard& SharedSourceTable::ShardOf(const rtc::SocketAddress& address) const {
  return *shards_[address.Hash() % kShards];
}

int SharedSourceTable::OnPacketReceived(const std::shared_ptr<UDPPacket>& packet) {
  Shard& shard = ShardOf(packet->FromAddress());
  rtc::MutexLock hold(&shard.lock);
  return shard.statistics.OnPacketReceived(packet);
}

size_t SharedSourceTable::source_count() const {
  size_t count = 0;
  for (const auto& shard : shards_) {
    rtc::MutexLock hold(&shard->lock);
    count += shard->statistics.source_count();
  }
  return count;
}

}  // namespace corvaneserver
