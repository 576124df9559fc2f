// What one receiver could play of one sender's voice: each frame (by its
// stream index) arrived directly, was rebuilt from the FEC repairs the
// receiver got, came back on a NACK, or never came; and whether it came in
// time for a playout that runs a fixed delay behind the sender's clock.
#ifndef TOOLS_CLIENT_PLAYOUT_METER_H_
#define TOOLS_CLIENT_PLAYOUT_METER_H_

#include <cstdint>
#include <vector>

namespace corvanetools {

class PlayoutMeter {
 public:
  enum class Via : uint8_t { kNone = 0, kDirect = 1, kFec = 2, kNack = 3 };

  // A frame is played when it arrives at most playout_us after it was sent.
  explicit PlayoutMeter(int64_t playout_us) : playout_us_(playout_us) {}

  // The first arrival of a frame counts; later copies change nothing.
  void Arrived(uint32_t index, Via via, int64_t send_us, int64_t now_us);
  bool Has(uint32_t index) const;

  struct Counts {
    uint64_t expected = 0;
    uint64_t played = 0;   // in time, however it came
    uint64_t by_fec = 0;   // of all that came: rebuilt by the receiver
    uint64_t by_nack = 0;  // of all that came: resent on a NACK
    uint64_t late = 0;     // came, but after its playout time
    uint64_t lost = 0;     // never came
    uint64_t runs = 0;     // runs of frames not played (lost or late)
    void Add(const Counts& other);
  };
  // The frames with index in [from, to).
  Counts Count(uint32_t from, uint32_t to) const;
  // Adds one frame to *counts; *in_run carries whether the frame counted
  // before it was not played.
  void CountFrame(uint32_t index, Counts* counts, bool* in_run) const;

 private:
  static constexpr uint8_t kLate = 0x80;
  const int64_t playout_us_;
  std::vector<uint8_t> state_;  // Via, | kLate
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_PLAYOUT_METER_H_
