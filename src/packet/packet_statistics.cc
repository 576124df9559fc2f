#include "packet/packet_statistics.h"

#include <utility>

#include "base/logging.h"
#include "base/time_utils.h"
#include "packet/batch_sender.h"
#include "packet/packet_metrics.h"

namespace corvaneserver {

PacketStatistics::UnitPacketStat::UnitPacketStat(const rtc::SocketAddress& address,
                                                 unsigned int interval_ms)
    : address_(address),
      interval_ms_(interval_ms),
      last_time_ms_(rtc::TimeMillis()),
      period_start_time_ms_(last_time_ms_),
      next_report_time_ms_(last_time_ms_ + interval_ms) {}

PacketStatistics::UnitPacketStat::~UnitPacketStat() {
  if (quiet_) return;
  RTC_LOG(LS_INFO) << "remove [" << address_.ToString() << "] packet statistics";
}

int PacketStatistics::UnitPacketStat::OnReceived(unsigned int size) {
  ++count_;
  total_bytes_ += size;
  interval_bytes_ += size;
  last_time_ms_ = rtc::TimeMillis();
  if (interval_ms_ != 0 && last_time_ms_ >= next_report_time_ms_) {
    ToString();
    next_report_time_ms_ = last_time_ms_ + interval_ms_;
  }
  return 0;
}

void PacketStatistics::UnitPacketStat::ToString() {
  const int64_t now = rtc::TimeMillis();
  // Bits per millisecond over the time the bytes really took: a source that
  // paused for several intervals is not reported at several times its rate.
  const int64_t elapsed_ms = now - period_start_time_ms_;
  const uint64_t rate_kbps = elapsed_ms > 0 ? interval_bytes_ * 8 / elapsed_ms : 0;
  RTC_LOG(LS_INFO) << "received packet from [" << address_.ToString()
                   << "] statistics: [C:" << count_ << " | S:" << total_bytes_
                   << " | R:" << rate_kbps << " kbps]";
  interval_bytes_ = 0;
  period_start_time_ms_ = now;
}

bool PacketStatistics::UnitPacketStat::Overtime() const {
  return rtc::TimeMillis() >= last_time_ms_ + kOvertimeMs;
}

void PacketStatistics::UnitPacketStat::Touch() { last_time_ms_ = rtc::TimeMillis(); }

bool PacketStatistics::UnitPacketStat::IdleFor(int64_t idle_ms) const {
  return rtc::TimeMillis() >= last_time_ms_ + idle_ms;
}

PacketStatistics::PacketStatistics(unsigned int interval_ms, size_t max_sources)
    : start_time_ms_(rtc::TimeMillis()),
      interval_ms_(interval_ms),
      max_sources_(max_sources),
      next_sweep_time_ms_(start_time_ms_ + kSweepDelayMs) {}

PacketStatistics::~PacketStatistics() = default;

int PacketStatistics::OnPacketReceived(const std::shared_ptr<UDPPacket>& packet) {
  if (DetectPacketCheck(packet) == 0) {
    PacketMetrics::Get().detects_answered.Add();
    return -1;
  }

  if (rtc::TimeMillis() >= next_sweep_time_ms_) RemoveOvertimeStatistics();

  const auto it = sources_.find(packet->FromAddress());
  if (it != sources_.end()) return it->second->OnReceived(packet->size());

  // Another server's first cascade datagram makes it known; it is delivered
  // but not counted. Cascade datagrams are never FEC datagrams: the bytes
  // behind a FEC header say nothing about who the sender is.
  if (!packet->IsFecPacket() && packet->HasMediaHeader() && IsCascade(packet->PayloadType())) {
    return AddSource(packet->FromAddress()) ? 0 : -1;
  }
  PacketMetrics::Get().dropped_unknown_source.Add();
  return -1;
}

int PacketStatistics::DetectPacketCheck(const std::shared_ptr<UDPPacket>& packet) {
  if (!packet->IsDetectPacket()) return -1;

  const rtc::SocketAddress from = packet->FromAddress();
  const auto it = sources_.find(from);
  if (it != sources_.end()) {
    // A client that probes again is alive: a sweep right after its probe must
    // not make it probe once more.
    it->second->Touch();
  } else if (!AddSource(from)) {
    return 0;  // handled: refused, and not echoed, so the client probes again
  }
  ThreadBatch batch;
  batch->Add(packet->socket(), from, packet);
  return 0;
}

bool PacketStatistics::AddSource(const rtc::SocketAddress& address) {
  if (!MakeRoom()) {
    PacketMetrics::Get().dropped_sources_full.Add();
    RTC_LOG_LIMITED(LS_WARNING, full_log_)
        << "packet statistics hold [" << sources_.size() << "] sources, refuse new source ["
        << address.ToString() << "]";
    return false;
  }
  sources_.emplace(address, std::make_unique<UnitPacketStat>(address, interval_ms_));
  return true;
}

bool PacketStatistics::MakeRoom() {
  if (sources_.size() < max_sources_) return true;
  const int64_t now = rtc::TimeMillis();
  if (now < next_crowded_sweep_ms_) return false;
  next_crowded_sweep_ms_ = now + kSweepPeriodMs;
  const size_t before = sources_.size();
  std::erase_if(sources_, [](const auto& entry) {
    if (!entry.second->IdleFor(kCrowdedIdleMs)) return false;
    entry.second->Forget();
    return true;
  });
  if (sources_.size() < before) {
    RTC_LOG(LS_WARNING) << "packet statistics full, forgot [" << before - sources_.size()
                        << "] sources silent for [" << kCrowdedIdleMs << "] ms";
  }
  return sources_.size() < max_sources_;
}

void PacketStatistics::RemoveOvertimeStatistics() {
  const int64_t now = rtc::TimeMillis();
  if (now < start_time_ms_ + kSweepDelayMs) return;
  next_sweep_time_ms_ = now + kSweepPeriodMs;
  rtc::SocketAddress first_removed;
  uint64_t removed = 0;
  std::erase_if(sources_, [&](const auto& entry) {
    if (!entry.second->Overtime()) return false;
    if (removed++ == 0) first_removed = entry.first;
    entry.second->Forget();  // one line for the sweep, below
    return true;
  });
  if (removed == 0) return;
  // The line names the first source removed and counts the others.
  remove_log_.HoldBack(removed - 1);
  RTC_LOG_LIMITED(LS_INFO, remove_log_)
      << "remove [" << first_removed.ToString() << "] packet statistics";
}

const PacketStatistics::UnitPacketStat* PacketStatistics::Find(
    const rtc::SocketAddress& address) const {
  const auto it = sources_.find(address);
  return it == sources_.end() ? nullptr : it->second.get();
}

}  // namespace corvaneserver
