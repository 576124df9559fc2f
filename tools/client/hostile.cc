#include "client/hostile.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <utility>

#include "packet/fec_header.h"
#include "sfu/sfu_wire.h"

#include "client/media_datagrams.h"

namespace corvanetools {
namespace {

using corvaneserver::kMediaFlagsOffset;
using corvaneserver::kMediaPayloadTypeOffset;
using corvaneserver::kMediaUserIdOffset;
using corvaneserver::kTokenHeaderOffset;
using corvaneserver::kTokenOffset;
constexpr uint8_t kNackPayloadType = corvaneserver::kNackPayloadType;
constexpr uint8_t kFecPayloadType = corvaneserver::kFecMarker;
constexpr size_t kFecHeaderBytes = corvaneserver::kFecHeaderSize;
constexpr int kTicksPerSecond = 1000;

void PutBE(uint8_t* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

size_t Uniform(std::mt19937_64& rng, size_t low, size_t high) {
  return std::uniform_int_distribution<size_t>(low, high)(rng);
}

uint64_t SomeId(std::mt19937_64& rng, const std::vector<uint64_t>& ids) {
  return ids.empty() ? rng() : ids[Uniform(rng, 0, ids.size() - 1)];
}

std::vector<uint8_t> RandomBytes(std::mt19937_64& rng, size_t size) {
  std::vector<uint8_t> out(size);
  for (uint8_t& byte : out) byte = static_cast<uint8_t>(rng());
  return out;
}

// A media header naming `id`: voice, never the authentication answer type.
std::vector<uint8_t> MediaHeader(std::mt19937_64& rng, uint64_t id, size_t size) {
  std::vector<uint8_t> out = RandomBytes(rng, std::max<size_t>(size, kTokenOffset));
  out[kMediaFlagsOffset] = kClientFlags;
  out[kMediaPayloadTypeOffset] = kDefaultVoicePayloadType;
  PutBE(&out[kMediaUserIdOffset], id, 8);
  return out;
}

int OpenSocket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::vector<uint8_t> MakeHostileDatagram(HostileKind kind, std::mt19937_64& rng,
                                         const std::vector<uint64_t>& member_ids) {
  switch (kind) {
    case HostileKind::kRandomBytes: {
      std::vector<uint8_t> out = RandomBytes(rng, Uniform(rng, 0, kMaxDatagramSize));
      // Never the authentication answer that a server relays to the member it
      // names, nor a FEC datagram wrapping one: the relay is the protocol's own.
      if (out.size() > kMediaPayloadTypeOffset &&
          (out[kMediaPayloadTypeOffset] == kAuthPayloadType ||
           out[kMediaPayloadTypeOffset] == kFecPayloadType)) {
        out[kMediaPayloadTypeOffset] = 0;
      }
      return out;
    }
    case HostileKind::kForeignNoToken: {
      std::vector<uint8_t> out = MediaHeader(rng, SomeId(rng, member_ids), 0);
      out.resize(kTokenOffset);
      PutBE(&out[kTokenHeaderOffset], 0, 2);
      return out;
    }
    case HostileKind::kForeignBadToken: {
      const size_t token = Uniform(rng, 1, 32);
      std::vector<uint8_t> out =
          MediaHeader(rng, SomeId(rng, member_ids), kTokenOffset + token + 20);
      PutBE(&out[kTokenHeaderOffset], 0x0800 | token, 2);
      return out;
    }
    case HostileKind::kReportOverclaim: {
      const size_t blocks = Uniform(rng, 0, 3);
      using corvaneserver::kReceiverReportBlockSize;
      using corvaneserver::kReceiverReportHeaderSize;
      // Claims the most blocks the flags can count, carries fewer.
      std::vector<uint8_t> out =
          RandomBytes(rng, kReceiverReportHeaderSize + kReceiverReportBlockSize * blocks +
                               Uniform(rng, 0, kReceiverReportBlockSize - 1));
      out[kMediaFlagsOffset] = kClientFlags | corvaneserver::kReceiverReportBlockCountMask;
      out[kMediaPayloadTypeOffset] = kReportPayloadType;
      PutBE(&out[corvaneserver::kReceiverReportReporterIdOffset], SomeId(rng, member_ids), 8);
      for (size_t i = 0; i < blocks; ++i) {
        PutBE(&out[kReceiverReportHeaderSize + kReceiverReportBlockSize * i +
                   corvaneserver::kReportBlockUserIdOffset],
              SomeId(rng, member_ids), 8);
      }
      return out;
    }
    case HostileKind::kNack: {
      std::vector<uint8_t> out = RandomBytes(rng, Uniform(rng, 2, 40));
      out[kMediaPayloadTypeOffset] = kNackPayloadType;
      if (out.size() >= corvaneserver::kNackMinSize) {
        PutBE(&out[corvaneserver::kNackUserIdOffset], SomeId(rng, member_ids), 8);
      }
      return out;
    }
    case HostileKind::kCascade: {
      std::vector<uint8_t> out = RandomBytes(rng, Uniform(rng, 2, 30));
      out[kMediaPayloadTypeOffset] = kCascadeType;
      return out;
    }
    case HostileKind::kFecAbsurd: {
      std::vector<uint8_t> out = RandomBytes(rng, Uniform(rng, 2, kMaxDatagramSize));
      out[kMediaPayloadTypeOffset] = kFecPayloadType;
      // The wrapped datagram's payload type.
      const size_t inner_type = kFecHeaderBytes + kMediaPayloadTypeOffset;
      if (out.size() > inner_type && out[inner_type] == kAuthPayloadType) out[inner_type] = 0;
      if (out.size() >= kFecHeaderBytes) {
        PutBE(&out[corvaneserver::kFecUserIdOffset], SomeId(rng, member_ids), 8);
        uint8_t& k = out[corvaneserver::kFecSourceCountOffset];
        if (rng() % 2 == 0) {
          k = 0;
        } else {
          k = static_cast<uint8_t>(Uniform(rng, 129, 255));
          out[corvaneserver::kFecRepairCountOffset] =
              static_cast<uint8_t>(Uniform(rng, 256 - k + 1, 255));
        }
      }
      return out;
    }
    case HostileKind::kTokenOverclaim: {
      std::vector<uint8_t> out =
          MediaHeader(rng, SomeId(rng, member_ids), kTokenOffset + Uniform(rng, 0, 40));
      PutBE(&out[kTokenHeaderOffset], 0x0800 | kMaxTokenLength, 2);
      return out;
    }
    case HostileKind::kDetectNewPort: {
      std::vector<uint8_t> out(kDetectSize);
      BuildDetect(rng(), out.data());
      return out;
    }
  }
  return {};
}

HostileSender::HostileSender(rtc::SocketAddress server, double rate,
                             std::vector<uint64_t> member_ids, uint64_t seed, int source_ports)
    : server_(std::move(server)),
      rate_(rate),
      member_ids_(std::move(member_ids)),
      seed_(seed),
      source_ports_(source_ports) {}

HostileSender::~HostileSender() {
  Stop();
  for (int fd : sockets_) ::close(fd);
}

bool HostileSender::Start(std::string* error) {
  sockaddr_in to{};
  if (server_.ToSockAddr(&to) == 0) {
    *error = "hostile traffic needs an IPv4 server address";
    return false;
  }
  for (int i = 0; i < source_ports_; ++i) {
    const int fd = OpenSocket();
    if (fd < 0) {
      *error = "cannot open the hostile sockets: " + std::string(std::strerror(errno));
      return false;
    }
    // Announced, so that what follows reaches the server's routing.
    uint8_t detect[kDetectSize];
    BuildDetect(0, detect);
    ::sendto(fd, detect, sizeof(detect), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    sockets_.push_back(fd);
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void HostileSender::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void HostileSender::Drain() {
  uint8_t sink[kMaxDatagramSize];
  for (int fd : sockets_) {
    while (::recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0) {
    }
  }
}

void HostileSender::Run() {
  pthread_setname_np(pthread_self(), "hostile");
  sockaddr_in to{};
  server_.ToSockAddr(&to);
  std::mt19937_64 rng(seed_);
  const auto start = std::chrono::steady_clock::now();
  uint64_t due = 0;
  size_t next_socket = 0;
  int kind = 0;
  while (!stop_.load(std::memory_order_relaxed)) {
    const double elapsed_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint64_t target = static_cast<uint64_t>(elapsed_s * rate_);
    for (; due < target && !stop_.load(std::memory_order_relaxed); ++due) {
      const auto hostile = static_cast<HostileKind>(kind);
      kind = (kind + 1) % kHostileKinds;
      const std::vector<uint8_t> bytes = MakeHostileDatagram(hostile, rng, member_ids_);
      if (hostile == HostileKind::kDetectNewPort) {
        const int fresh = OpenSocket();
        if (fresh >= 0) {
          ::sendto(fresh, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof(to));
          ::close(fresh);
        }
      } else {
        const int fd = sockets_[next_socket];
        next_socket = (next_socket + 1) % sockets_.size();
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
      }
      sent_.fetch_add(1, std::memory_order_relaxed);
    }
    Drain();
    std::this_thread::sleep_for(std::chrono::microseconds(1000000 / kTicksPerSecond));
  }
}

}  // namespace corvanetools
