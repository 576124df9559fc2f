#include "fec/decode_budget.h"

#include <algorithm>

#include "base/time_utils.h"

namespace fec {

DecodeBudget::DecodeBudget() : last_refill_ms_(rtc::TimeMillis()) {}

void DecodeBudget::Refill() {
  const int64_t now = rtc::TimeMillis();
  if (now <= last_refill_ms_) return;
  // Kept in thousandths of a unit: a millisecond earns kUnitsPerSecond of them.
  millis_ = std::min(kMaxUnits * 1000, millis_ + (now - last_refill_ms_) * kUnitsPerSecond);
  last_refill_ms_ = now;
}

bool DecodeBudget::Take(int64_t units) {
  Refill();
  if (units * 1000 > millis_) return false;
  millis_ -= units * 1000;
  return true;
}

}  // namespace fec
