// Per-source admission and counters of one deliver worker: answers detect
// packets, lets through only datagrams from known sources, reports each
// source's traffic at a fixed interval and forgets sources gone silent.
//
// Not thread-safe: one instance belongs to one deliver worker and is used only
// on that worker's thread.
#ifndef PACKET_PACKET_STATISTICS_H_
#define PACKET_PACKET_STATISTICS_H_

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "base/log_rate_limiter.h"
#include "base/socket_address.h"
#include "packet/udp_packet.h"

namespace corvaneserver {

class PacketStatistics {
 public:
  // A source silent this long is removed by the next sweep.
  static constexpr int64_t kOvertimeMs = 120000;
  // No sweep removes anything during the first 30 minutes, so clients keep
  // their admission across a quiet start.
  static constexpr int64_t kSweepDelayMs = 1800000;
  // Once sweeps run, at most one walk of the table per this period.
  static constexpr int64_t kSweepPeriodMs = 1000;
  // Most sources one worker keeps. Detects from ever new ports would
  // otherwise grow the table without bound. When a new source finds the
  // table full, sources silent for kCrowdedIdleMs are forgotten at once
  // (without a line each), at most once per kSweepPeriodMs; if that frees
  // nothing the new source is refused (not echoed) until it does.
  static constexpr size_t kMaxSources = 32768;
  static constexpr int64_t kCrowdedIdleMs = 10000;

  // Counters and report schedule of one known source.
  class UnitPacketStat {
   public:
    // interval_ms 0: the source is counted but never reported.
    UnitPacketStat(const rtc::SocketAddress& address, unsigned int interval_ms);
    ~UnitPacketStat();  // logs "remove [" address "] packet statistics"
    UnitPacketStat(const UnitPacketStat&) = delete;
    UnitPacketStat& operator=(const UnitPacketStat&) = delete;

    // Counts one datagram of `size` bytes and writes the report when due.
    // Returns 0.
    int OnReceived(unsigned int size);
    // Writes the report line and starts a new report period.
    void ToString();
    // Silent for at least kOvertimeMs.
    bool Overtime() const;
    // Marks the source as heard from now without counting anything (a
    // repeated detect packet).
    void Touch();
    // Silent for at least `idle_ms`.
    bool IdleFor(int64_t idle_ms) const;
    // Leaves the table without the "remove" line (crowded out, not timed out).
    void Forget() { quiet_ = true; }

    const rtc::SocketAddress& address() const { return address_; }
    uint64_t count() const { return count_; }
    uint64_t total_bytes() const { return total_bytes_; }

   private:
    const rtc::SocketAddress address_;
    const uint32_t interval_ms_;
    int64_t last_time_ms_;          // creation, then the last datagram or detect
    int64_t period_start_time_ms_;  // start of the current report period
    int64_t next_report_time_ms_;   // report due at the first datagram from then on
    uint64_t interval_bytes_ = 0;   // bytes since period_start_time_ms_
    uint64_t count_ = 0;            // datagrams since creation
    uint64_t total_bytes_ = 0;      // bytes since creation
    bool quiet_ = false;
  };

  // interval_ms: reporting interval of every source; 0 turns reports off.
  // max_sources: the most sources kept (kMaxSources unless a caller splits
  // one bound over several tables).
  explicit PacketStatistics(unsigned int interval_ms, size_t max_sources = kMaxSources);
  ~PacketStatistics();
  PacketStatistics(const PacketStatistics&) = delete;
  PacketStatistics& operator=(const PacketStatistics&) = delete;

  // 0: deliver the datagram to the server. -1: it was a detect packet (now
  // answered) or its source is unknown; drop it.
  int OnPacketReceived(const std::shared_ptr<UDPPacket>& packet);
  // 0 when the datagram was a detect packet and has been echoed to its sender
  // (its source is known from now on); -1 otherwise.
  int DetectPacketCheck(const std::shared_ptr<UDPPacket>& packet);
  // Removes every source silent for kOvertimeMs, once kSweepDelayMs have
  // passed since construction; does nothing before. Writes one "remove" line
  // per rtc::kPeerLogIntervalMs at most, with the count of the others.
  void RemoveOvertimeStatistics();

  // True when one more source fits, after forgetting idle ones if the table is full.
  bool MakeRoom();
  // Adds a source when there is room; false (counted, and logged at a
  // limited rate) when the table is full.
  bool AddSource(const rtc::SocketAddress& address);

  // For tests and diagnostics.
  size_t source_count() const { return sources_.size(); }
  const UnitPacketStat* Find(const rtc::SocketAddress& address) const;

 private:
  struct AddressHash {
    size_t operator()(const rtc::SocketAddress& address) const { return address.Hash(); }
  };

  const int64_t start_time_ms_;
  const uint32_t interval_ms_;
  const size_t max_sources_;
  int64_t next_sweep_time_ms_;
  int64_t next_crowded_sweep_ms_ = 0;
  rtc::LogRateLimiter full_log_{rtc::kPeerLogIntervalMs};
  // Sources come and go at a sender's will (a detect from each of many
  // ports): the sweeps' "remove" lines are one per period, the first removed
  // source named and the others counted.
  rtc::LogRateLimiter remove_log_{rtc::kPeerLogIntervalMs};
  // Keyed by the whole address (IP and port): two sources never share an
  // entry, whatever their hashes.
  std::unordered_map<rtc::SocketAddress, std::unique_ptr<UnitPacketStat>, AddressHash> sources_;
};

}  // namespace corvaneserver

#endif  // PACKET_PACKET_STATISTICS_H_
