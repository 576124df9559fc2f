// A seeded, reproducible model of a bad network path, applied by
// corvane-client to each user's uplink (what it sends) and downlink (what it
// receives): random loss, two-state Gilbert-Elliott burst loss, delay with
// jitter (in order, or reordering), duplication and stalls that hold
// everything for a while and then release it at once.
#ifndef TOOLS_CLIENT_IMPAIRMENT_H_
#define TOOLS_CLIENT_IMPAIRMENT_H_

#include <netinet/in.h>

#include <cstdint>
#include <queue>
#include <string>
#include <vector>

namespace corvanetools {

struct NetworkConditions {
  double loss_percent = 0;        // each datagram lost with this chance
  double burst_loss_percent = 0;  // Gilbert-Elliott: long-run share of datagrams lost
  double burst_length = 1;        // Gilbert-Elliott: mean datagrams per loss burst (>= 1)
  int delay_ms = 0;               // fixed delay
  int jitter_ms = 0;              // plus a uniform 0 .. jitter_ms
  bool reorder = false;           // jittered datagrams may overtake each other
  double duplicate_percent = 0;   // a second copy with this chance
  int stall_every_ms = 0;  // every this often (0: never), first half of it after the start, ...
  int stall_ms = 0;        // ... hold everything this long, then release it at once

  bool Any() const;
  std::string ToString() const;
};

// "loss=1,burst=3:3,delay=20,jitter=10,reorder,dup=1,stall=500/10000" (any
// subset, in any order; burst=PERCENT:LENGTH, stall=MS/EVERY_MS). False with
// a reason for anything else.
bool ParseNetworkConditions(const std::string& text, NetworkConditions* conditions,
                            std::string* error);

// A named set of conditions: both directions, and whether talking users
// restart their numbers half way through the traffic.
struct ImpairmentPreset {
  NetworkConditions uplink;
  NetworkConditions downlink;
  bool restart = false;
  // Where talking users' numbers start (0: the default); the restart goes
  // back to 1, far below, as after a long session.
  uint32_t first_sequence = 0;
};
// wifi, cellular, stall, restart. False for another name.
bool FindImpairmentPreset(const std::string& name, ImpairmentPreset* preset);
// The names, comma-separated, for messages and --help.
const char* ImpairmentPresetNames();

// One direction of one user. Not thread-safe: one loop owns it.
class Impairment {
 public:
  // Stall windows are counted from `start_us`; the seed fixes every draw.
  Impairment(const NetworkConditions& conditions, uint64_t seed, int64_t start_us);

  // What happens to a datagram handed over at now_us: it is lost (copies 0)
  // or arrives once or twice, at the release times (at or after now_us).
  struct Verdict {
    int copies = 1;
    int64_t release_us[2] = {0, 0};
  };
  Verdict Decide(int64_t now_us);

  uint64_t lost() const { return lost_; }
  uint64_t duplicated() const { return duplicated_; }
  uint64_t held() const { return held_; }  // released later than handed over

  // The draws, exposed for the tests.
  uint64_t NextRandom();
  double Uniform();  // [0, 1)

 private:
  bool LoseOne();
  int64_t ReleaseTime(int64_t now_us);

  const NetworkConditions conditions_;
  const int64_t start_us_;
  uint64_t state_;
  // Gilbert-Elliott: in the bad state every datagram is lost.
  bool bad_ = false;
  double good_to_bad_ = 0;
  double bad_to_good_ = 1;
  // In order: no datagram is released before the one handed over before it.
  int64_t last_release_us_ = 0;
  uint64_t lost_ = 0;
  uint64_t duplicated_ = 0;
  uint64_t held_ = 0;
};

// Datagrams held by an impairment until their release time, oldest release
// first (equal times in the order they were held).
class DelayLine {
 public:
  struct Held {
    int64_t release_us = 0;
    uint64_t order = 0;
    uint32_t owner = 0;  // index of the simulated user
    sockaddr_in to{};    // uplink: where it goes
    std::vector<uint8_t> bytes;
  };
  void Hold(int64_t release_us, uint32_t owner, const sockaddr_in& to, const uint8_t* data,
            size_t size);
  bool Empty() const { return queue_.empty(); }
  // Release time of the next datagram; only when not Empty().
  int64_t NextRelease() const { return queue_.top().release_us; }
  // Takes the next datagram when it is due at now_us.
  bool PopDue(int64_t now_us, Held* out);

 private:
  struct Later {
    bool operator()(const Held& a, const Held& b) const {
      return a.release_us != b.release_us ? a.release_us > b.release_us : a.order > b.order;
    }
  };
  std::priority_queue<Held, std::vector<Held>, Later> queue_;
  uint64_t next_order_ = 0;
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_IMPAIRMENT_H_
