// The keys the forwarding server reads, the framework's and its own.
#ifndef SFU_SFU_CONFIG_KEYS_H_
#define SFU_SFU_CONFIG_KEYS_H_

#include <vector>

#include "service/config_keys.h"

namespace corvaneserver {

std::vector<ConfigKey> SfuConfigKeys();

}  // namespace corvaneserver

#endif  // SFU_SFU_CONFIG_KEYS_H_
