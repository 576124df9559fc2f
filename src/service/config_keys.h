// The configuration keys the servers read, with their defaults and the bounds
// past which a value is replaced: one home for what the servers apply and for
// what the configuration check (-t) reports.
#ifndef SERVICE_CONFIG_KEYS_H_
#define SERVICE_CONFIG_KEYS_H_

#include <cstdint>
#include <vector>

namespace corvaneserver {

// Worker counts above this are a typing error, not a plan: each worker is a thread.
constexpr uint32_t kDefaultWorkerNumbers = 2;
constexpr uint32_t kMaxWorkerNumbers = 64;
constexpr uint32_t kDefaultStatisticsIntervalSeconds = 300;
// The statistics period is kept in milliseconds in 32 bits; a day is plenty.
constexpr uint32_t kMaxStatisticsIntervalSeconds = 86400;
// Voice that waited longer than this before its handling is dropped: it would
// reach the listener too late to be played and delay everything after it.
constexpr uint32_t kDefaultMaxDelayMs = 50;
// Above this, a delay limit no longer bounds anything a listener would notice.
constexpr uint32_t kMaxMaxDelayMs = 10000;
// Room for bursts and for the moments a thread is descheduled: at 200 bytes
// a datagram, tens of milliseconds of a busy server's traffic.
constexpr uint32_t kDefaultSocketBufferBytes = 4 * 1024 * 1024;
constexpr uint32_t kMaxSocketBufferBytes = 256 * 1024 * 1024;
constexpr uint32_t kMaxPort = 65535;
constexpr uint32_t kMaxPercent = 100;

// How one key is read and checked.
struct ConfigKey {
  enum class Kind {
    kText,       // first word of the value
    kNumber,     // leading decimal digits; replaced above `max`
    kChoice,     // one word of `choices`, else the default
    kInterface,  // IP literal or interface name, listened on at packet_listen_port (UDP)
    kTcpListen,  // "ip:port" listened on (TCP)
    kGateways,   // "ip:port" joined by "|"
  };
  const char* name;
  Kind kind;
  bool required = false;
  const char* default_text = "";  // text and choice keys: the value when absent
  uint32_t default_number = 0;
  uint32_t max = UINT32_MAX;
  uint32_t over_max = UINT32_MAX;  // what a number above max becomes (UINT32_MAX: max itself)
  const char* choices = "";        // kChoice: words joined by "|"
};

// The framework's keys, read by both servers.
std::vector<ConfigKey> ServiceConfigKeys();

}  // namespace corvaneserver

#endif  // SERVICE_CONFIG_KEYS_H_
