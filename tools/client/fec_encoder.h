// The repair encoder the simulated speakers use.
#ifndef TOOLS_CLIENT_FEC_ENCODER_H_
#define TOOLS_CLIENT_FEC_ENCODER_H_

#include "client/fec_stream.h"

namespace corvanetools {

// True when blocks of more than one source can be coded.
bool ReedSolomonAvailable();
// The Reed-Solomon encoder when it is built, else CopyRepairEncoder.
RepairEncoder DefaultRepairEncoder();

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_FEC_ENCODER_H_
