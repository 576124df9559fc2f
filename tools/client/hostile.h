// Hostile traffic for robustness runs: random and malformed datagrams sent to
// a server alongside real rooms, from many source ports. Every kind is one a
// server must drop (or answer within its rules) without harm to anybody else.
#ifndef TOOLS_CLIENT_HOSTILE_H_
#define TOOLS_CLIENT_HOSTILE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/socket_address.h"

namespace corvanetools {

enum class HostileKind {
  kRandomBytes,      // random bytes of a random length up to 1500
  kForeignNoToken,   // a member's id, no token, from an address not the member's
  kForeignBadToken,  // a member's id with a wrong token
  kReportOverclaim,  // a receiver report announcing more blocks than it holds
  kNack,             // a NACK of random length
  kCascade,          // a cascade datagram of random length
  kFecAbsurd,        // a FEC header with k = 0 or k + r beyond the codec's limit
  kTokenOverclaim,   // a token header claiming more bytes than the datagram holds
  kDetectNewPort,    // a detect from a source port never seen before
};
constexpr int kHostileKinds = 9;

// One datagram of the kind. `member_ids` are ids that real members use
// (may be empty: random ids then).
std::vector<uint8_t> MakeHostileDatagram(HostileKind kind, std::mt19937_64& rng,
                                         const std::vector<uint64_t>& member_ids);

class HostileSender {
 public:
  // `rate` datagrams per second in all, spread over `source_ports` sockets,
  // each of which announced itself with a detect first.
  HostileSender(rtc::SocketAddress server, double rate, std::vector<uint64_t> member_ids,
                uint64_t seed, int source_ports = 64);
  ~HostileSender();  // Stop()
  HostileSender(const HostileSender&) = delete;
  HostileSender& operator=(const HostileSender&) = delete;

  // Opens the sockets and starts the sending thread; false with a reason.
  bool Start(std::string* error);
  void Stop();
  uint64_t sent() const { return sent_.load(std::memory_order_relaxed); }

 private:
  void Run();
  // Reads and drops what came back (echoes, authentication answers).
  void Drain();

  const rtc::SocketAddress server_;
  const double rate_;
  const std::vector<uint64_t> member_ids_;
  const uint64_t seed_;
  const int source_ports_;
  std::vector<int> sockets_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> sent_{0};
  std::thread thread_;
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_HOSTILE_H_
