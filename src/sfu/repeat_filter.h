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

class RepeatFilter {
 public:
  // True the first time `seq` is offered (and remembers it); false for a
  // repeat. A number further behind the newest than the window is taken as a
  // restarted stream: the window starts again from it.
  bool Offer(uint32_t seq);

 private:
  bool Seen(uint32_t seq) const { return (seen_[Word(seq)] >> Bit(seq)) & 1u; }
  void Mark(uint32_t seq) { seen_[Word(seq)] |= uint64_t{1} << Bit(seq); }
  void Unmark(uint32_t seq) { seen_[Word(seq)] &= ~(uint64_t{1} << Bit(seq)); }
  void Restart(uint32_t seq);
  static uint32_t Word(uint32_t seq) { return (seq % kRepeatWindow) / 64; }
  static uint32_t Bit(uint32_t seq) { return seq % 64; }

  bool started_ = false;
  uint32_t newest_ = 0;
  std::array<uint64_t, kRepeatWindow / 64> seen_{};
};

}  // namespace corvaneserver

#endif  // SFU_REPEAT_FILTER_H_
