#include "client/e_model.h"

#include <algorithm>
#include <cmath>

namespace corvanetools {

double DelayImpairment(double one_way_ms) {
  if (one_way_ms <= 100) return 0;
  const double x = std::log2(one_way_ms / 100);
  return 25 * (std::pow(1 + std::pow(x, 6), 1.0 / 6) -
               3 * std::pow(1 + std::pow(x / 3, 6), 1.0 / 6) + 2);
}

double EffectiveEquipmentImpairment(double loss_percent, double burst_ratio,
                                    const EModelConstants& c) {
  const double ppl = std::clamp(loss_percent, 0.0, 100.0);
  const double burst = std::max(1.0, burst_ratio);
  return c.ie + (95 - c.ie) * ppl / (ppl / burst + c.bpl);
}

double RFactor(double one_way_ms, double loss_percent, double burst_ratio,
               const EModelConstants& c) {
  return c.r0_minus_is - DelayImpairment(one_way_ms) -
         EffectiveEquipmentImpairment(loss_percent, burst_ratio, c);
}

double MosFromR(double r) {
  if (r < 0) return 1;
  if (r > 100) return 4.5;
  return 1 + 0.035 * r + r * (r - 60) * (100 - r) * 7e-6;
}

double BurstRatio(uint64_t lost, uint64_t runs, uint64_t frames) {
  if (lost == 0 || runs == 0 || frames == 0) return 1;
  const double mean_run = static_cast<double>(lost) / static_cast<double>(runs);
  const double kept = 1 - static_cast<double>(lost) / static_cast<double>(frames);
  return std::max(1.0, mean_run * kept);
}

}  // namespace corvanetools
