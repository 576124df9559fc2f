#include "service/config_keys.h"

#include "packet/receive_load.h"

namespace corvaneserver {

std::vector<ConfigKey> ServiceConfigKeys() {
  using Kind = ConfigKey::Kind;
  std::vector<ConfigKey> keys;
  keys.push_back({.name = "log_file_path", .kind = Kind::kText, .required = true});
  keys.push_back({.name = "gateway_address", .kind = Kind::kGateways, .required = true});
  keys.push_back({.name = "packet_statistics_interval_seconds",
                  .kind = Kind::kNumber,
                  .default_number = kDefaultStatisticsIntervalSeconds,
                  .max = kMaxStatisticsIntervalSeconds});
  keys.push_back({.name = "packet_deliver_mode",
                  .kind = Kind::kChoice,
                  .default_text = "inline",
                  .choices = "inline|pool"});
  keys.push_back({.name = "dispatcher_worker_numbers",
                  .kind = Kind::kNumber,
                  .default_number = kDefaultWorkerNumbers,
                  .max = kMaxWorkerNumbers});
  keys.push_back({.name = "receiver_worker_numbers",
                  .kind = Kind::kNumber,
                  .default_number = kDefaultWorkerNumbers,
                  .max = kMaxWorkerNumbers});
  keys.push_back({.name = "receiver_spread_busy_percent",
                  .kind = Kind::kNumber,
                  .default_number = ReceiveLoad::kDefaultSpreadPercent,
                  .max = kMaxPercent});
  keys.push_back({.name = "packet_max_delay_ms",
                  .kind = Kind::kNumber,
                  .default_number = kDefaultMaxDelayMs,
                  .max = kMaxMaxDelayMs});
  keys.push_back({.name = "packet_socket_buffer_bytes",
                  .kind = Kind::kNumber,
                  .default_number = kDefaultSocketBufferBytes,
                  .max = kMaxSocketBufferBytes});
  // Beyond 65535 no address is listened on: the port reads as none.
  keys.push_back(
      {.name = "packet_listen_port", .kind = Kind::kNumber, .max = kMaxPort, .over_max = 0});
  keys.push_back({.name = "packet_listen_bgp_eth", .kind = Kind::kInterface});
  keys.push_back({.name = "packet_listen_tel_eth", .kind = Kind::kInterface});
  keys.push_back({.name = "metrics_listen_address", .kind = Kind::kTcpListen});
  return keys;
}

}  // namespace corvaneserver
