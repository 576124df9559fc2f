#include "channel/receiver_report.h"

#include <algorithm>
#include <cstring>

#include "base/byte_io.h"
#include "base/logging.h"
#include "packet/udp_packet.h"

namespace corvaneserver {

bool ParseReceiverReport(const uint8_t* data, size_t size, ParsedReceiverReport* report) {
  if (data == nullptr || size < kReceiverReportHeaderSize) return false;
  report->reporter_id = rtc::GetBE64(data + kReceiverReportReporterIdOffset);
  report->declared_blocks = rtc::Get8(data, kMediaFlagsOffset) & kReceiverReportBlockCountMask;
  const size_t fitting = (size - kReceiverReportHeaderSize) / kReceiverReportBlockSize;
  report->block_count = std::min(report->declared_blocks, fitting);
  for (size_t i = 0; i < report->block_count; ++i) {
    const uint8_t* block = data + kReceiverReportHeaderSize + i * kReceiverReportBlockSize;
    report->blocks[i].user_id = rtc::GetBE64(block + kReportBlockUserIdOffset);
    report->blocks[i].value = rtc::GetBE32(block + kReportBlockValueOffset);
  }
  return true;
}

bool ReadReceiverReport(const UDPPacket& packet, rtc::LogRateLimiter* truncated_log,
                        ParsedReceiverReport* report) {
  if (!ParseReceiverReport(packet.data(), packet.size(), report)) return false;
  if (report->truncated()) {
    RTC_LOG_LIMITED(LS_ERROR, *truncated_log)
        << "receiver report from [" << packet.FromAddress().ToString() << "] declares ["
        << report->declared_blocks << "] blocks but only [" << report->block_count << "] fit in ["
        << packet.size() << "] bytes, using those";
  }
  return true;
}

void BuildServerReport(uint64_t speaker_id, uint32_t value, uint8_t (&out)[kServerReportSize]) {
  std::memset(out, 0, sizeof(out));
  out[kMediaFlagsOffset] = kServerReportFlags;
  out[kMediaPayloadTypeOffset] = kReceiverReportPayloadType;
  uint8_t* block = out + kReceiverReportHeaderSize;
  rtc::SetBE64(block + kReportBlockUserIdOffset, speaker_id);
  rtc::SetBE32(block + kReportBlockValueOffset, value);
}

void ReceiverReport::AddSample(uint64_t reporter_id, uint32_t value) {
  rtc::MutexLock hold(&lock_);
  auto it = samples_.find(reporter_id);
  if (it != samples_.end()) {
    // Compared with the base, not the previous counter: a lower counter replaces
    // the previous one but never falls below what was already reported.
    it->second->current = std::max(it->second->base, value);
  } else {
    samples_.emplace(reporter_id, std::make_unique<RRSample>(0, value));
  }
}

std::optional<uint32_t> ReceiverReport::GetReport() {
  rtc::MutexLock hold(&lock_);
  if (samples_.empty()) return std::nullopt;
  double sum = 0;
  for (auto& [reporter_id, sample] : samples_) {
    sum += static_cast<double>(static_cast<uint32_t>(sample->current - sample->base));
    sample->base = sample->current;
  }
  // Rounded half up; the quotient is below 2^32, so it fits an int64_t.
  const auto average =
      static_cast<uint32_t>(static_cast<int64_t>(sum / static_cast<double>(samples_.size()) + 0.5));
  total_ = static_cast<uint32_t>(
      static_cast<int64_t>(static_cast<double>(total_) + static_cast<double>(average)));
  if (average == 0) return std::nullopt;
  return total_;
}

void ReceiverReport::Reset() {
  rtc::MutexLock hold(&lock_);
  total_ = 0;
  samples_.clear();
}

void ReceiverReport::RemoveSample(uint64_t reporter_id) {
  rtc::MutexLock hold(&lock_);
  samples_.erase(reporter_id);
}

size_t ReceiverReport::SampleCount() const {
  rtc::MutexLock hold(&lock_);
  return samples_.size();
}

uint32_t ReceiverReport::Total() const {
  rtc::MutexLock hold(&lock_);
  return total_;
}

}  // namespace corvaneserver
