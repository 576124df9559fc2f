// The repair encoder the simulated speakers use: the server's Reed-Solomon
// codec, so that the server rebuilds what the repairs cover.
#ifndef TOOLS_CLIENT_FEC_ENCODER_H_
#define TOOLS_CLIENT_FEC_ENCODER_H_

#include "client/fec_stream.h"

namespace corvanetools {

// The encoder of blocks of k sources and r repairs; empty when the codec
// cannot code (k, r).
RepairEncoder DefaultRepairEncoder(int k, int r);

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_FEC_ENCODER_H_
