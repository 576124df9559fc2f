// A call-quality estimate from loss and delay: the ITU-T G.107 E-model,
// simplified to the two impairments a media server can change.
//
//   R = R0 - Is - Id - Ie_eff + A, with R0 - Is = 93.2 (G.107 defaults for
//   every other parameter) and A = 0 (no advantage factor).
//   Id: delay impairment of the one-way (mouth-to-ear) delay Ta, echo taken
//   as perfectly cancelled: Id = 0 for Ta <= 100 ms, else
//   Id = 25 * ((1 + X^6)^(1/6) - 3 * (1 + (X/3)^6)^(1/6) + 2), X = log2(Ta / 100).
//   Ie_eff = Ie + (95 - Ie) * Ppl / (Ppl / BurstR + Bpl): Ppl the percentage of
//   frames not played, BurstR the burst ratio (1 for random loss; the mean
//   length of the observed loss runs times (1 - Ppl / 100) in general).
//   Codec: G.711 with packet-loss concealment, Ie = 0, Bpl = 25.1 (G.113
//   Appendix I), the reference G.107 gives; this system carries any codec.
//   MOS = 1 for R < 0, 4.5 for R > 100, else 1 + 0.035 R + R (R - 60) (100 - R) 7e-6.
#ifndef TOOLS_CLIENT_E_MODEL_H_
#define TOOLS_CLIENT_E_MODEL_H_

#include <cstdint>

namespace corvanetools {

struct EModelConstants {
  double r0_minus_is = 93.2;
  double ie = 0;      // codec impairment
  double bpl = 25.1;  // codec robustness to packet loss
};

double DelayImpairment(double one_way_ms);
double EffectiveEquipmentImpairment(double loss_percent, double burst_ratio,
                                    const EModelConstants& c = EModelConstants());
double RFactor(double one_way_ms, double loss_percent, double burst_ratio,
               const EModelConstants& c = EModelConstants());
double MosFromR(double r);

// The burst ratio of a loss pattern: `lost` frames in `runs` runs among
// `frames` frames; 1 when nothing was lost.
double BurstRatio(uint64_t lost, uint64_t runs, uint64_t frames);

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_E_MODEL_H_
