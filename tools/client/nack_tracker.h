// What one receiver misses of one sender's media sequence numbers, and the
// NACKs that ask the server for it again.
//
// A gap in the sequence numbers that arrive marks the numbers in it missing;
// each missing number is asked for at once and then every retry interval, a
// limited number of times. One that arrives after it was asked for counts as
// recovered; what is still missing at the end is lost for good.
//
// A NACK names a reference R and a 16-bit mask M: bit i asks for R + 1 + i.
// Wire form (28 bytes, big-endian): 0 flags 0x80, 1 type 202, 2 sequence (32),
// 6 the asking user's id (64), 14 the speaker's id (64), 22 R (32), 26 M (16).
#ifndef TOOLS_CLIENT_NACK_TRACKER_H_
#define TOOLS_CLIENT_NACK_TRACKER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "packet/media_constants.h"

namespace corvanetools {

constexpr uint8_t kNackPayloadType = corvaneserver::kNackPayloadType;
constexpr size_t kNackSize = 28;

struct NackRequest {
  uint32_t reference = 0;
  uint16_t mask = 0;
};

size_t BuildNack(uint32_t sequence, uint64_t asking_user, uint64_t speaker,
                 const NackRequest& request, uint8_t* out);

// Packs ascending sequence numbers into as few requests as possible; each
// request starts at the lowest number it does not cover yet.
std::vector<NackRequest> PackNackRequests(const std::vector<uint32_t>& ascending);

class NackTracker {
 public:
  // Gaps wider than this are not asked for (a sender restart, not a loss).
  static constexpr uint32_t kMaxGap = 1024;

  // A missing number is first asked for once it has been missing for
  // `wait_us` (seen missing by TakeDue that long ago): a reordered datagram
  // usually comes meanwhile.
  NackTracker(int64_t retry_us, int max_attempts, int64_t wait_us = 0)
      : retry_us_(retry_us), max_attempts_(max_attempts), wait_us_(wait_us) {}

  // Expects every number from `first` on (before anything arrived; otherwise
  // the first arrival sets where the tracker starts).
  void StartAt(uint32_t first);
  // A datagram with this media sequence number arrived. One more than kMaxGap
  // behind the highest seen starts the tracker afresh (a sender restart).
  void OnReceived(uint32_t sequence);
  // The sender is known to have sent every number below `end`: a missing
  // tail is asked for too.
  void NoteSentBefore(uint32_t end);
  // The requests due at now_us; marks the numbers in them as asked.
  std::vector<NackRequest> TakeDue(int64_t now_us);

  uint64_t recovered() const { return recovered_; }
  uint64_t asked() const { return asked_; }  // numbers asked for at least once
  uint64_t missing() const { return missing_.size(); }
  // The numbers still missing, ascending.
  std::vector<uint32_t> MissingNumbers() const;

 private:
  struct Missing {
    int attempts = 0;
    int64_t last_asked_us = 0;
    int64_t seen_missing_us = -1;  // when TakeDue first saw it missing
  };
  void MarkMissing(uint32_t from, uint32_t to);  // [from, to)

  const int64_t retry_us_;
  const int max_attempts_;
  const int64_t wait_us_;
  bool started_ = false;
  uint32_t next_ = 0;  // one past the highest number seen
  std::map<uint32_t, Missing> missing_;
  uint64_t recovered_ = 0;
  uint64_t asked_ = 0;
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_NACK_TRACKER_H_
