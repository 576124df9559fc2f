#include "client/nack_tracker.h"

#include <algorithm>

#include "base/byte_io.h"

namespace corvanetools {

namespace {

constexpr uint8_t kNackFlags = 0x80;
constexpr uint32_t kNumbersPerRequest = 16;

// a is after b in 32-bit wrapping order.
bool After(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

}  // namespace

size_t BuildNack(uint32_t sequence, uint64_t asking_user, uint64_t speaker,
                 const NackRequest& request, uint8_t* out) {
  out[0] = kNackFlags;
  out[1] = kNackPayloadType;
  rtc::SetBE32(out + 2, sequence);
  rtc::SetBE64(out + 6, asking_user);
  rtc::SetBE64(out + 14, speaker);
  rtc::SetBE32(out + 22, request.reference);
  rtc::SetBE16(out + 26, request.mask);
  return kNackSize;
}

std::vector<NackRequest> PackNackRequests(const std::vector<uint32_t>& ascending) {
  std::vector<NackRequest> requests;
  for (const uint32_t number : ascending) {
    if (!requests.empty()) {
      NackRequest& last = requests.back();
      const uint32_t offset = number - last.reference - 1;
      if (offset < kNumbersPerRequest) {
        last.mask = static_cast<uint16_t>(last.mask | (1u << offset));
        continue;
      }
    }
    requests.push_back(NackRequest{number - 1, 1});
  }
  return requests;
}

void NackTracker::MarkMissing(uint32_t from, uint32_t to) {
  if (to - from > kMaxGap) return;
  for (uint32_t s = from; s != to; ++s) missing_.emplace(s, Missing{});
}

void NackTracker::StartAt(uint32_t first) {
  if (started_) return;
  started_ = true;
  next_ = first;
}

void NackTracker::OnReceived(uint32_t sequence) {
  if (!started_) {
    started_ = true;
    next_ = sequence + 1;
    return;
  }
  if (next_ - sequence - 1 > kMaxGap && !After(sequence + 1, next_)) {
    // Far behind the highest seen: the sender restarted its numbers.
    missing_.clear();
    next_ = sequence + 1;
    return;
  }
  if (!After(sequence + 1, next_)) {
    // At or below the highest seen: a late or resent datagram.
    auto it = missing_.find(sequence);
    if (it == missing_.end()) return;
    if (it->second.attempts > 0) ++recovered_;
    missing_.erase(it);
    return;
  }
  MarkMissing(next_, sequence);
  next_ = sequence + 1;
}

void NackTracker::NoteSentBefore(uint32_t end) {
  if (!started_ || !After(end, next_)) return;
  MarkMissing(next_, end);
  next_ = end;
}

std::vector<NackRequest> NackTracker::TakeDue(int64_t now_us) {
  std::vector<uint32_t> due;
  for (auto& [number, entry] : missing_) {
    if (entry.attempts >= max_attempts_) continue;
    if (entry.attempts == 0 && wait_us_ > 0) {
      if (entry.seen_missing_us < 0) entry.seen_missing_us = now_us;
      if (now_us - entry.seen_missing_us < wait_us_) continue;
    }
    if (entry.attempts > 0 && now_us - entry.last_asked_us < retry_us_) continue;
    if (entry.attempts == 0) ++asked_;
    ++entry.attempts;
    entry.last_asked_us = now_us;
    due.push_back(number);
  }
  // Oldest first, in wrapping order: the furthest behind the newest number.
  const uint32_t next = next_;
  std::sort(due.begin(), due.end(), [next](uint32_t a, uint32_t b) { return next - a > next - b; });
  return PackNackRequests(due);
}

std::vector<uint32_t> NackTracker::MissingNumbers() const {
  std::vector<uint32_t> numbers;
  for (const auto& [number, entry] : missing_) numbers.push_back(number);
  return numbers;
}

}  // namespace corvanetools
