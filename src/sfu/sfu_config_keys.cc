#include "sfu/sfu_config_keys.h"

namespace corvaneserver {

std::vector<ConfigKey> SfuConfigKeys() {
  std::vector<ConfigKey> keys = ServiceConfigKeys();
  keys.push_back({.name = "packet_listen_rec_eth", .kind = ConfigKey::Kind::kInterface});
  // Anything but 0 or 1 switches it off.
  keys.push_back(
      {.name = "nack_enabled", .kind = ConfigKey::Kind::kNumber, .max = 1, .over_max = 0});
  return keys;
}

}  // namespace corvaneserver
