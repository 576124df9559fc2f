#include "client/fec_encoder.h"

namespace corvanetools {

bool ReedSolomonAvailable() { return false; }

RepairEncoder DefaultRepairEncoder() { return CopyRepairEncoder; }

}  // namespace corvanetools
