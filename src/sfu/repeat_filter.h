// Which of the newest numbers of one sender's stream this server has already
// forwarded: a sliding window of bits, so that a datagram that comes round a
// cycle of cascade links is recognised and dropped instead of forwarded again.
// Fixed size, no allocation per datagram. Not thread-safe: the owner locks.
#ifndef SFU_REPEAT_FILTER_H_
#define SFU_REPEAT_FILTER_H_

#include <array>
#include <cstdint>

namespace corvaneserver {

// Numbers remembered behind the newest one (a power of two): at 50 datagrams a
// second, 20 s of a stream, far longer than a datagram takes round any cycle.
constexpr uint32_t kRepeatWindow = 1024;
// A copy comes round a cycle within milliseconds (each server sheds what waited
// longer than its age limit). A number at or behind the newest when the stream
// has not moved on for this long is a sender that started its numbers again
// (a client that reconnected), not a copy.
constexpr int64_t kRepeatMemoryMs = 1000;

class RepeatFilter {
 public:
  // True the first time `seq` is offered at `now_ms` (and remembers it);
  // false for a repeat. A number further behind the newest than the window, or
  // behind it after kRepeatMemoryMs without a newer one, is taken as a
  // restarted stream: the window starts again from it.
  bool Offer(uint32_t seq, int64_t now_ms);

 private:
  bool Seen(uint32_t seq) const { return (seen_[Word(seq)] >> Bit(seq)) & 1u; }
  void Mark(uint32_t seq) { seen_[Word(seq)] |= uint64_t{1} << Bit(seq); }
  void Unmark(uint32_t seq) { seen_[Word(seq)] &= ~(uint64_t{1} << Bit(seq)); }
  void Restart(uint32_t seq, int64_t now_ms);
  static uint32_t Word(uint32_t seq) { return (seq % kRepeatWindow) / 64; }
  static uint32_t Bit(uint32_t seq) { return seq % 64; }

  bool started_ = false;
  uint32_t newest_ = 0;
  int64_t newest_time_ms_ = 0;  // when newest_ was offered
  std::array<uint64_t, kRepeatWindow / 64> seen_{};
};

}  // namespace corvaneserver

#endif  // SFU_REPEAT_FILTER_H_
