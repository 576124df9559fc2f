// Per-speaker receiver-report bookkeeping: the latest counter of every listener
// that reported on the speaker, closed into one running total per interval.
// Also the wire layout of receiver-report datagrams (payload type 200).
#ifndef CHANNEL_RECEIVER_REPORT_H_
#define CHANNEL_RECEIVER_REPORT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "base/log_rate_limiter.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "packet/media_constants.h"

namespace corvaneserver {

class UDPPacket;

// Receiver-report datagram, all big-endian: flags (low 4 bits: block count),
// payload type 200, 4 unused bytes, the reporter's user id (8), then blocks of
// (speaker user id (8), counter (4)).
constexpr uint8_t kReceiverReportBlockCountMask = 0x0F;  // of the flags byte
constexpr size_t kReceiverReportReporterIdOffset = kMediaUserIdOffset;
constexpr size_t kReceiverReportHeaderSize = 14;
// Offsets inside a block.
constexpr size_t kReportBlockUserIdOffset = 0;
constexpr size_t kReportBlockValueOffset = 8;
constexpr size_t kReceiverReportBlockSize = 12;
constexpr size_t kReceiverReportMaxBlocks = 15;
// The server's report to a speaker has one block, naming the speaker itself.
static_assert(kServerReportSize == kReceiverReportHeaderSize + kReceiverReportBlockSize);

struct ReceiverReportBlock {
  uint64_t user_id = 0;
  uint32_t value = 0;
};

// A listener's report as read from the wire. `blocks` holds the declared blocks
// that lie wholly inside the datagram; `declared_blocks` is what the header said.
struct ParsedReceiverReport {
  uint64_t reporter_id = 0;
  size_t declared_blocks = 0;
  size_t block_count = 0;
  std::array<ReceiverReportBlock, kReceiverReportMaxBlocks> blocks{};

  bool truncated() const { return block_count < declared_blocks; }
};

// Reads a receiver report without reading past `size`. False when the datagram
// is shorter than its 14-byte header; otherwise true, with only the complete
// blocks filled in.
bool ParseReceiverReport(const uint8_t* data, size_t size, ParsedReceiverReport* report);

// ParseReceiverReport on a received datagram. A report that declares more
// blocks than fit is logged through `truncated_log` (from any thread) and its
// complete blocks are kept; a datagram too short for the header is false,
// without a line.
bool ReadReceiverReport(const UDPPacket& packet, rtc::LogRateLimiter* truncated_log,
                        ParsedReceiverReport* report);

// Writes the 26-byte report for `speaker_id` carrying `value` into `out`.
void BuildServerReport(uint64_t speaker_id, uint32_t value, uint8_t (&out)[kServerReportSize]);

// Thread-safe: every operation takes `lock_`, which is a leaf lock (nothing else
// is taken while it is held). AddSample runs on deliver workers, GetReport on the
// service thread's 100 ms sweep, Reset and RemoveSample under the server's
// write lock.
class ReceiverReport {
 public:
  ReceiverReport() = default;
  ReceiverReport(const ReceiverReport&) = delete;
  ReceiverReport& operator=(const ReceiverReport&) = delete;

  // Records a listener's latest counter. A counter below the sample's base (a
  // listener that started counting again) is raised to the base.
  void AddSample(uint64_t reporter_id, uint32_t value) EXCLUDES(lock_);
  // Closes the interval: every sample's increase since the last call is averaged
  // over all samples (rounded half up) and added to the running total. Returns
  // the new total, or nothing when the average increase rounds to 0.
  std::optional<uint32_t> GetReport() EXCLUDES(lock_);
  // Drops the total and every sample.
  void Reset() EXCLUDES(lock_);
  // Drops one listener's sample; nothing happens when it has none.
  void RemoveSample(uint64_t reporter_id) EXCLUDES(lock_);

  size_t SampleCount() const EXCLUDES(lock_);
  uint32_t Total() const EXCLUDES(lock_);

 private:
  struct RRSample {
    RRSample(uint32_t base_value, uint32_t current_value)
        : base(base_value), current(current_value) {}
    uint32_t base;     // the listener's counter at the last closed interval
    uint32_t current;  // its latest counter, never below base
  };

  // A leaf lock: taken under the owning server's registry lock, whose header
  // writes the whole order, and never while another leaf lock is held.
  mutable rtc::Mutex lock_;
  uint32_t total_ GUARDED_BY(lock_) = 0;
  std::map<uint64_t, std::unique_ptr<RRSample>> samples_ GUARDED_BY(lock_);
};

}  // namespace corvaneserver

#endif  // CHANNEL_RECEIVER_REPORT_H_
