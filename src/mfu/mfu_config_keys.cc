#include "mfu/mfu_config_keys.h"

#include "mfu/mfu_server.h"

namespace corvaneserver {

std::vector<ConfigKey> MfuConfigKeys() {
  std::vector<ConfigKey> keys = ServiceConfigKeys();
  keys.push_back({.name = "mixer_worker_numbers",
                  .kind = ConfigKey::Kind::kNumber,
                  .default_number = kDefaultMixerWorkerNumbers,
                  .max = kMaxWorkerNumbers});
  keys.push_back({.name = "mixer_frame_log",
                  .kind = ConfigKey::Kind::kNumber,
                  .default_number = kDefaultMixerFrameLog});
  return keys;
}

}  // namespace corvaneserver
