#include "packet/receive_load.h"

#include <algorithm>

namespace corvaneserver {

ReceiveLoad::ReceiveLoad(uint32_t spread_percent)
    : spread_percent_(std::min<uint32_t>(spread_percent, 100)) {}

ReceiveLoad::Change ReceiveLoad::Report(int64_t busy_us, int64_t elapsed_us, bool shared) {
  if (spread_percent_ == 0 || elapsed_us <= 0) return Change::kNone;
  // busy / elapsed against spread_percent / 100, without rounding.
  const int64_t busy = busy_us * 100;
  const int64_t share = static_cast<int64_t>(spread_percent_) * elapsed_us;
  if (shared) {
    light_windows_ = 0;
    return busy > share ? Change::kSpread : Change::kNone;
  }
  // Shared again, all that work would fall on one thread: only when it would
  // stay well below the share that spreads them.
  if (busy * 2 >= share) {
    light_windows_ = 0;
    return Change::kNone;
  }
  if (++light_windows_ < kShareWindows) return Change::kNone;
  light_windows_ = 0;
  return Change::kShare;
}

}  // namespace corvaneserver
