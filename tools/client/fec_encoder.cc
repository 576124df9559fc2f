#include "client/fec_encoder.h"

#include <memory>

#include "fec/reed_solomon.h"

namespace corvanetools {

RepairEncoder DefaultRepairEncoder(int k, int r) {
  std::shared_ptr<const fec::ReedSolomon> codec = fec::ReedSolomon::Get(k, r);
  if (!codec) return RepairEncoder();
  return [codec](int block_k, int block_r, const uint8_t* const* sources, uint8_t* const* repairs,
                 size_t len) {
    if (block_k != codec->k() || block_r != codec->r()) return false;
    codec->Encode(sources, repairs, len);
    return true;
  };
}

}  // namespace corvanetools
