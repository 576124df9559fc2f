#include "fec/decoder.h"

#include <string>
#include <utility>

#include "base/byte_io.h"
#include "base/logging.h"
#include "fec/fec_metrics.h"

namespace fec {

namespace {

// FEC sequence numbers compare on the 32-bit circle, so that a stream goes on
// across the wrap: a is newer than b when it lies less than 2^31 ahead.
bool NotOlder(uint32_t a, uint32_t b) { return a - b < 0x80000000u; }
bool IsNewer(uint32_t a, uint32_t b) { return a != b && NotOlder(a, b); }

// The bytes a media datagram needs to hold its sequence number.
constexpr uint32_t kRtpSequenceEnd = corvaneserver::kMediaSequenceOffset + 4;

}  // namespace

Decoder::Decoder(DecodedCallback decoded, LossCallback loss)
    : decoded_(std::move(decoded)), loss_(std::move(loss)), ring_(new FECPacket[kRingSize]) {
  rtc::MutexLock hold(&lock_);
  for (uint32_t i = 0; i < kRingSize; ++i) {
    symbols_[i] = nullptr;
    rebuilt_[i] = nullptr;
  }
  spare_.reserve(kRingSize);
}

size_t Decoder::BufferCount() {
  rtc::MutexLock hold(&lock_);
  return buffer_count_;
}

Decoder::~Decoder() { Stop(); }

void Decoder::Stop() {
  rtc::MutexLock hold(&lock_);
  stopped_ = true;
}

void Decoder::Reset() {
  rtc::MutexLock hold(&lock_);
  for (uint32_t index = 0; index < kRingSize; ++index) ClearSlot(index);
  dispatch_index_ = 0;
  next_start_ = 0;
  fresh_ = true;
  jumped_ = false;
}

int Decoder::OnPacketReceived(const unsigned char* data, unsigned int len) {
  if (data == nullptr || len < 2) return -1;
  if (data[corvaneserver::kMediaPayloadTypeOffset] != kFecMarker)
    return decoded_ ? decoded_(data, len) : -1;
  FecHeader header;
  const bool parsed = ParseFecHeader(data, len, &header);
  // A block must fit the codec (1 <= k, k + r <= 256) and hold this datagram.
  if (!parsed || header.k == 0 || header.k + header.r > ReedSolomon::kMaxSymbols ||
      header.sequence - header.start >= static_cast<uint32_t>(header.k + header.r)) {
    if (!parsed) {
      RTC_LOG_LIMITED(LS_ERROR, malformed_log_)
          << "drop fec packet of [" << len << "] bytes, at least [" << kFecHeaderSize << "] needed";
    } else {
      RTC_LOG_LIMITED(LS_ERROR, malformed_log_)
          << "user [" << header.user_id << "] drop fec packet "
          << "sequence number [" << header.sequence << "] start sequence number [" << header.start
          << "], fec parameter [R: " << int{header.k} << " | C: " << int{header.r} << "]";
    }
    return -1;
  }
  rtc::MutexLock hold(&lock_);
  if (stopped_) return -1;
  // Late: its block is finished already.
  if (!fresh_ && !NotOlder(header.sequence, next_start_)) return 0;
  InsertFecPacket(data, len, header);
  Pass();
  return 0;
}

void Decoder::Run() {
  rtc::MutexLock hold(&lock_);
  Pass();
}

int Decoder::InsertFecPacket(const unsigned char* data, unsigned int len, const FecHeader& header) {
  user_id_ = header.user_id;
  const uint32_t index = GetIndex(header.sequence);
  FECPacket& slot = ring_[index];
  if (slot.IsHolding()) {
    if (slot.sequence() == header.sequence) return 0;  // duplicate
    RTC_LOG_LIMITED(LS_WARNING, collision_log_)
        << "user [" << user_id_ << "] index [" << index << "] is in used, " << slot.ToString()
        << " and now coming sequence number is [" << header.sequence << "]";
  }
  Store(index, data, len, header);
  return 0;
}

void Decoder::Pass() {
  // A jump to a newer block leaves the ring unchanged for the next pass, so
  // that pass runs now. Each jump moves next start forward to a block in the
  // ring; the bound only guards against a fault.
  for (uint32_t round = 0; round < kRingSize; ++round) {
    jumped_ = false;
    DispatchPacket();
    uint32_t pos = GetIndex(next_start_);
    uint32_t walked = 0;
    while (walked < kRingSize) {
      const uint32_t n = FindSequence(pos);
      if (n >= kRingSize) break;
      if (DecodedSequence(pos, n) != 0) break;
      // The next block's datagrams already there in front of its first gap
      // go out now, not with the sender's next datagram.
      DispatchPacket();
      walked += n;
      pos = GetIndex(pos + n);
    }
    if (!jumped_) return;
  }
}

void Decoder::DispatchPacket() {
  // The position follows the walk, over slots handed out before too, so that
  // it always names the first slot not looked at yet.
  for (uint32_t walked = 0; walked < kRingSize; ++walked) {
    FECPacket& slot = ring_[dispatch_index_];
    if (!slot.IsHolding()) break;
    if (!slot.IsHandedOut()) {
      if (slot.IsSourcePacket()) decoded_(slot.RtpData(), slot.RtpSize());
      slot.MarkHandedOut();
    }
    dispatch_index_ = GetIndex(dispatch_index_ + 1);
  }
}

uint32_t Decoder::FindSequence(uint32_t pos) {
  for (uint32_t d = NextHolding(pos, kRingSize); d < kRingSize;
       d = d + 1 + NextHolding(GetIndex(pos + d + 1), kRingSize - d - 1)) {
    const uint32_t index = GetIndex(pos + d);
    FECPacket& slot = ring_[index];
    if (slot.start() == next_start_) {
      fresh_ = false;
      return slot.k() + slot.r();
    }
    if (fresh_ || IsNewer(slot.start(), next_start_)) {
      RTC_LOG_LIMITED(LS_WARNING, jump_log_)
          << "user [" << user_id_ << "] modify next decoded start sequence number from ["
          << next_start_ << "] "
          << " to [" << slot.start() << "]";
      next_start_ = slot.start();
      fresh_ = false;
      jumped_ = true;
      // The blocks skipped will hand nothing out: the next slot to hand out
      // is the new block's first one not handed out yet.
      uint32_t next = GetIndex(next_start_);
      for (uint32_t i = 0; i < kRingSize && ring_[next].IsHandedOut(); ++i) {
        next = GetIndex(next + 1);
      }
      dispatch_index_ = next;
      return kRingSize;
    }
    RTC_LOG_LIMITED(LS_WARNING, leftover_log_)
        << "user [" << user_id_ << "] index [" << index << "] " << slot.ToString()
        << ". but need next start sequence number is [" << next_start_ << "]";
    ClearSlot(index);
  }
  return kRingSize;
}

int Decoder::DecodedSequence(uint32_t pos, uint32_t n) {
  // The block's first datagram present gives k and r (FindSequence found one).
  const FECPacket* first = nullptr;
  for (uint32_t d = NextHolding(pos, n); d < n;
       d = d + 1 + NextHolding(GetIndex(pos + d + 1), n - d - 1)) {
    const FECPacket& slot = ring_[GetIndex(pos + d)];
    if (slot.start() == next_start_) {
      first = &slot;
      break;
    }
  }
  if (first == nullptr) return -1;
  const uint8_t k = first->k();
  const uint8_t r = first->r();
  uint32_t m = 0;
  for (uint32_t i = 0; i < n; ++i) m += HoldsBlockPacket(pos, i, k, r) ? 1 : 0;
  if (m < k && !IsSequenceOvertime(pos, n)) return -1;
  if (m >= k) {
    Decoded(pos, k, r);
  } else {
    FecMetrics::Get().blocks_given_up.Add();
  }
  const uint32_t start = next_start_;
  ResetSequence(pos, k, r);
  next_start_ = start + n;
  // Every slot of the block is handed out or lost now: a hand-out position
  // inside it moves to the next block's first slot. One already past it
  // (the walk went on into the next block) stays.
  if (GetIndex(dispatch_index_ - pos) < n) dispatch_index_ = GetIndex(pos + n);
  return 0;
}

bool Decoder::IsSequenceOvertime(uint32_t pos, uint32_t n) {
  bool have_x = false;
  uint32_t x = 0;
  for (uint32_t d = NextHolding(pos, n); d < n;
       d = d + 1 + NextHolding(GetIndex(pos + d + 1), n - d - 1)) {
    const uint32_t s = ring_[GetIndex(pos + d)].sequence();
    if (!have_x || IsNewer(s, x)) x = s;
    have_x = true;
  }
  if (!have_x) x = next_start_;
  bool have_y = false;
  uint32_t y = 0;
  const uint32_t after = GetIndex(pos + n);
  const uint32_t rest = kRingSize - n;
  for (uint32_t d = NextHolding(after, rest); d < rest;
       d = d + 1 + NextHolding(GetIndex(after + d + 1), rest - d - 1)) {
    const uint32_t s = ring_[GetIndex(after + d)].sequence();
    if (!have_y || IsNewer(s, y)) y = s;
    have_y = true;
  }
  return have_y && IsNewer(y, x) && y - x >= (5 * n) / 4;
}

int Decoder::Decoded(uint32_t pos, uint8_t k, uint8_t r) {
  const uint32_t n = k + r;
  uint32_t sources = 0;
  for (uint32_t i = 0; i < n; ++i) {
    FECPacket& slot = ring_[GetIndex(pos + i)];
    const bool present = HoldsBlockPacket(pos, i, k, r);
    symbols_[i] = present ? slot.Symbol() : nullptr;
    if (i < k) {
      rebuilt_[i] = nullptr;
      sources += present ? 1 : 0;
    }
  }
  if (sources == k) {
    FecMetrics::Get().blocks_complete.Add();
    return 0;
  }
  if (!budget_.Take(DecodeBudget::CostOf(k, k - sources))) {
    FecMetrics::Get().blocks_over_budget.Add();
    RTC_LOG_LIMITED(LS_WARNING, budget_log_)
        << "user [" << user_id_ << "] fec block of k [" << int{k} << "] r [" << int{r} << "] with ["
        << k - sources << "] sources missing not rebuilt: over the decoding budget";
    return -1;
  }
  for (uint32_t i = 0; i < n; ++i) {
    if (symbols_[i] != nullptr) ring_[GetIndex(pos + i)].ZeroSymbolTail();
  }
  // The missing sources are rebuilt straight into their own slots.
  for (uint32_t i = 0; i < k; ++i) {
    if (symbols_[i] != nullptr) continue;
    const uint32_t index = GetIndex(pos + i);
    Acquire(index);
    rebuilt_[i] = ring_[index].Symbol();
  }
  if (!codec_ || codec_->k() != k || codec_->r() != r) codec_ = ReedSolomon::Get(k, r);
  if (!codec_ || !codec_->Decode(symbols_, rebuilt_, kSymbolSize)) {
    FecMetrics::Get().blocks_given_up.Add();
    RTC_LOG_LIMITED(LS_ERROR, decode_log_) << "user [" << user_id_ << "] open fec decoded failed";
    return -1;
  }
  for (uint32_t i = 0; i < k; ++i) {
    if (rebuilt_[i] == nullptr) continue;
    const uint32_t index = GetIndex(pos + i);
    FECPacket& slot = ring_[index];
    uint32_t length = rtc::GetBE16(slot.Symbol());
    if (length > kMaxRtpSize) {
      // Not a symbol that any sender made: nothing to hand out.
      RTC_LOG_LIMITED(LS_ERROR, decode_log_)
          << "user [" << user_id_ << "] rebuilt packet at index [" << index << "] claims ["
          << length << "] bytes, at most [" << kMaxRtpSize << "] fit";
      length = 0;
    } else {
      decoded_(slot.Symbol() + 2, length);
    }
    slot.SetRebuilt(next_start_ + i, next_start_, k, r, length);
    holding_[index / 64] |= uint64_t{1} << (index % 64);
  }
  FecMetrics::Get().blocks_rebuilt.Add();
  return 0;
}

int Decoder::ResetSequence(uint32_t pos, uint8_t k, uint8_t r) {
  const uint32_t n = k + r;
  uint32_t first_sequence = 0;
  uint16_t loss_mask = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t index = GetIndex(pos + i);
    FECPacket& slot = ring_[index];
    const bool own = HoldsBlockPacket(pos, i, k, r);
    if (!slot.IsHandedOut()) {
      if (i < k && own) {
        decoded_(slot.RtpData(), slot.RtpSize());
        if (slot.RtpSize() >= kRtpSequenceEnd) {
          first_sequence = rtc::GetBE32(slot.RtpData() + corvaneserver::kMediaSequenceOffset) - i;
        }
      }
    }
    if (i < k && !own && i < 16) loss_mask |= static_cast<uint16_t>(1u << i);
    ClearSlot(index);
  }
  if (first_sequence != 0 && loss_mask != 0 && loss_) return loss_(first_sequence - 1, loss_mask);
  return 0;
}

bool Decoder::HoldsBlockPacket(uint32_t pos, uint32_t i, uint8_t k, uint8_t r) const {
  const FECPacket& slot = ring_[GetIndex(pos + i)];
  return slot.IsHolding() && slot.start() == next_start_ && slot.k() == k && slot.r() == r &&
         slot.sequence() == next_start_ + i;
}

uint32_t Decoder::NextHolding(uint32_t from, uint32_t count) const {
  uint32_t d = 0;
  while (d < count) {
    const uint32_t index = GetIndex(from + d);
    const uint32_t bit = index % 64;
    const uint64_t bits = holding_[index / 64] >> bit;
    if (bits != 0) {
      const uint32_t found = d + static_cast<uint32_t>(__builtin_ctzll(bits));
      return found < count ? found : count;
    }
    d += 64 - bit;
  }
  return count;
}

void Decoder::Store(uint32_t index, const unsigned char* data, unsigned int len,
                    const FecHeader& header) {
  Acquire(index);
  ring_[index].AppendData(data, len, header);
  holding_[index / 64] |= uint64_t{1} << (index % 64);
}

void Decoder::ClearSlot(uint32_t index) {
  std::unique_ptr<UDPPacket> buffer = ring_[index].Detach();
  if (buffer) spare_.push_back(std::move(buffer));
  holding_[index / 64] &= ~(uint64_t{1} << (index % 64));
}

void Decoder::Acquire(uint32_t index) {
  FECPacket& slot = ring_[index];
  if (slot.HasBuffer()) return;
  if (spare_.empty()) {
    slot.Attach(std::make_unique<UDPPacket>(kFecPacketCapacity));
    ++buffer_count_;
    return;
  }
  slot.Attach(std::move(spare_.back()));
  spare_.pop_back();
}

}  // namespace fec
