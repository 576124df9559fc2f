#include "sfu/nack.h"

#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "base/byte_io.h"
#include "base/logging.h"
#include "fec/decoder.h"
#include "packet/batch_sender.h"
#include "packet/fec_header.h"
#include "packet/udp_packet.h"
#include "sfu/sfu_metrics.h"

namespace corvaneserver {

namespace {

// Kept copies get capacities in steps of this, so that the next datagram of a
// steady stream fits in the one it evicts.
constexpr unsigned int kKeptCapacityStep = 256;

std::shared_ptr<UDPPacket> CopyOf(const unsigned char* data, unsigned int size) {
  const unsigned int capacity =
      (size + kKeptCapacityStep - 1) / kKeptCapacityStep * kKeptCapacityStep;
  auto packet = std::make_shared<UDPPacket>(capacity);
  std::memcpy(packet->data(), data, size);
  packet->SetSize(size);
  return packet;
}

}  // namespace

Nack::Nack(uint64_t user_id)
    : user_id_(user_id),
      decoder_(std::make_unique<fec::Decoder>(
          [this](const unsigned char* data, unsigned int size) {
            return OnFecPacketDecoded(data, size);
          },
          fec::Decoder::LossCallback())) {}

Nack::~Nack() {
  // No decoded datagram may arrive at a map that is gone.
  decoder_.reset();
}

int Nack::OnPacketReceived(const std::shared_ptr<UDPPacket>& packet) {
  if (!packet->IsFecPacket()) return -1;
  rtc::MutexLock hold(&stream_lock_);
  // The decoder refuses a datagram without a whole header.
  if (packet->size() >= kFecHeaderSize && !FromCurrentStream(SequenceNum(packet->data()))) return 0;
  return decoder_->OnPacketReceived(packet->data(), packet->size());
}

bool Nack::FromCurrentStream(uint32_t seq) {
  // Within kRestartDistance of `newest` on either side, on the 32-bit circle.
  const auto near = [](uint32_t a, uint32_t newest) {
    return a - newest + kRestartDistance <= 2 * kRestartDistance;
  };
  if (!have_stream_) {
    have_stream_ = true;
    newest_fec_ = seq;
    return true;
  }
  if (near(seq, newest_fec_)) {
    if (seq - newest_fec_ < 0x80000000u) newest_fec_ = seq;
    return true;
  }
  if (have_retired_ && near(seq, retired_newest_fec_)) return false;
  RTC_LOG_LIMITED(LS_INFO, restart_log_)
      << "user [" << user_id_ << "] restarted its fec sequence numbers from [" << newest_fec_
      << "] to [" << seq << "], decoding and retransmission start afresh";
  have_retired_ = true;
  retired_newest_fec_ = newest_fec_;
  newest_fec_ = seq;
  decoder_->Reset();
  Clear();
  return true;
}

void Nack::Clear() {
  rtc::MutexLock hold(&lock_);
  for (size_t i = 0; i < count_; ++i) At(i).packet.reset();
  head_ = 0;
  count_ = 0;
}

int Nack::OnFecPacketDecoded(const unsigned char* data, unsigned int size) {
  if (size < kMediaHeaderSize) {
    RTC_LOG_LIMITED(LS_ERROR, short_media_log_)
        << "user [" << user_id_ << "] decoded packet of [" << size
        << "] bytes is shorter than its media header, not kept";
    return -1;
  }
  const uint32_t seq = rtc::GetBE32(data + kMediaSequenceOffset);
  rtc::MutexLock hold(&lock_);
  size_t pos = LowerBound(seq);
  if (pos < count_ && At(pos).seq == seq) return 0;  // never overwritten
  std::shared_ptr<UDPPacket> evicted;
  if (!MakeRoom(&pos, &evicted)) return 0;
  Entry& entry = At(pos);
  entry.seq = seq;
  if (evicted && evicted.use_count() == 1 && evicted->capcity() >= size) {
    // Nobody else holds it, and only SeekPacket could hand it out again,
    // under lock_. Pairs with the release of the last other holder.
    std::atomic_thread_fence(std::memory_order_acquire);
    std::memcpy(evicted->data(), data, size);
    evicted->SetSize(size);
    entry.packet = std::move(evicted);
  } else {
    entry.packet = CopyOf(data, size);
  }
  return 0;
}

int Nack::InsertPacket(std::shared_ptr<UDPPacket> packet) {
  const uint32_t seq = packet->SequenceNum();
  rtc::MutexLock hold(&lock_);
  size_t pos = LowerBound(seq);
  if (pos < count_ && At(pos).seq == seq) return 0;
  std::shared_ptr<UDPPacket> evicted;
  if (!MakeRoom(&pos, &evicted)) return 0;
  At(pos) = Entry{seq, std::move(packet)};
  return 0;
}

size_t Nack::LowerBound(uint32_t seq) {
  size_t low = 0;
  size_t high = count_;
  while (low < high) {
    const size_t mid = (low + high) / 2;
    // On the 32-bit circle: the kept numbers of one stream span far less
    // than 2^31, so after the wrap 0 comes after 0xFFFFFFFF, not before it.
    if (static_cast<int32_t>(At(mid).seq - seq) < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

bool Nack::MakeRoom(size_t* pos, std::shared_ptr<UDPPacket>* evicted) {
  if (count_ == kMaxNackPackets) {
    // Insert, then evict the smallest: a number below every kept one would
    // be evicted at once.
    if (*pos == 0) return false;
    *evicted = std::move(At(0).packet);
    head_ = (head_ + 1) % kMaxNackPackets;
    --count_;
    --*pos;
  }
  for (size_t i = count_; i > *pos; --i) At(i) = std::move(At(i - 1));
  ++count_;
  return true;
}

std::shared_ptr<UDPPacket> Nack::SeekPacket(uint32_t seq) {
  rtc::MutexLock hold(&lock_);
  const size_t pos = LowerBound(seq);
  return pos < count_ && At(pos).seq == seq ? At(pos).packet : nullptr;
}

size_t Nack::PacketCount() {
  rtc::MutexLock hold(&lock_);
  return count_;
}

int Nack::OnNackReceived(const std::shared_ptr<UDPPacket>& nack) {
  if (nack->size() < kNackPacketSize) {
    RTC_LOG_LIMITED(LS_ERROR, short_nack_log_)
        << "user [" << user_id_ << "] drop nack from [" << nack->FromAddress().ToString() << "]: ["
        << nack->size() << "] bytes, at least [" << kNackPacketSize << "] needed";
    return -1;
  }
  const uint32_t reference = rtc::GetBE32(nack->data() + kNackReferenceOffset);
  uint16_t mask = rtc::GetBE16(nack->data() + kNackMaskOffset);
  const rtc::SocketAddress to = nack->FromAddress();
  uint32_t seq = reference + 1;
  ThreadBatch batch;
  for (; mask != 0; mask >>= 1, ++seq) {
    if ((mask & 1) == 0) continue;
    const std::shared_ptr<UDPPacket> packet = SeekPacket(seq);
    if (packet) batch->Add(nack->socket(), to, packet);
    (packet ? SfuMetrics::Get().nack_resent : SfuMetrics::Get().nack_missing).Add();
    RTC_LOG_LIMITED(LS_INFO, resend_log_)
        << "+++++++++++ user [" << user_id_ << "] resend packet [" << seq << "], result ["
        << (packet ? "OK" : "Failed") << "]";
  }
  return 0;
}

}  // namespace corvaneserver
