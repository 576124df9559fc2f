// The keys the mixing server reads, the framework's and its own.
#ifndef MFU_MFU_CONFIG_KEYS_H_
#define MFU_MFU_CONFIG_KEYS_H_

#include <vector>

#include "service/config_keys.h"

namespace corvaneserver {

std::vector<ConfigKey> MfuConfigKeys();

}  // namespace corvaneserver

#endif  // MFU_MFU_CONFIG_KEYS_H_
