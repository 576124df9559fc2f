// Test helpers for the tests that talk to real sockets: a client, member or
// peer server played by a UDP socket on loopback, the media datagram builders
// (support/media_datagram.h), and a log sink that keeps the lines it is given.
#ifndef TESTS_SUPPORT_UDP_TEST_PEER_H_
#define TESTS_SUPPORT_UDP_TEST_PEER_H_

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "base/ip_address.h"
#include "base/logging.h"
#include "base/socket_address.h"
#include "packet/udp_packet.h"

#include "support/log_capture.h"
#include "support/media_datagram.h"

namespace corvaneserver {
namespace testing_support {

// Real time that a test waits for a datagram that must come.
constexpr int kArrivalDeadlineMs = 5000;
// Real time that a test listens for a datagram that must not come, after the
// operation that would have sent it has returned.
constexpr int kSilenceMs = 30;

// A UDP socket on loopback for tests: plays a client, a member or a peer
// server, sends datagrams and waits (with a deadline) for what comes back.
class UdpPeer {
 public:
  // Binds to ip:port (port 0: any free port). Check ok() before use.
  explicit UdpPeer(const std::string& ip = "127.0.0.1", uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    socklen_t len = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    address_.FromSockAddr(addr);
  }
  ~UdpPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const rtc::SocketAddress& address() const { return address_; }

  bool SendTo(const rtc::SocketAddress& to, const Bytes& bytes) const {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    to.ToSockAddr(&addr);
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                    sizeof(addr)) == static_cast<ssize_t>(bytes.size());
  }

  // The next datagram, waiting at most `deadline_ms` of real time for it.
  std::optional<Bytes> Receive(int deadline_ms = kArrivalDeadlineMs,
                               rtc::SocketAddress* from = nullptr) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    while (true) {
      Bytes buffer(65536);
      sockaddr_in addr;
      socklen_t len = sizeof(addr);
      const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&addr), &len);
      if (n >= 0) {
        buffer.resize(static_cast<size_t>(n));
        if (from != nullptr) from->FromSockAddr(addr);
        return buffer;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left));
    }
  }
  std::optional<Bytes> Receive(std::chrono::milliseconds deadline,
                               rtc::SocketAddress* from = nullptr) const {
    return Receive(static_cast<int>(deadline.count()), from);
  }

  // Every datagram that arrives within `window_ms`, up to `max_count`; used
  // after the operation under test has returned, to show that nothing (more)
  // was sent. A peer that others keep sending to needs the bound, or reading
  // may never catch up and the loop never ends.
  std::vector<Bytes> Drain(int window_ms = kSilenceMs,
                           size_t max_count = std::numeric_limits<size_t>::max()) const {
    std::vector<Bytes> all;
    while (all.size() < max_count) {
      auto next = Receive(window_ms);
      if (!next) break;
      all.push_back(std::move(*next));
    }
    return all;
  }

 private:
  int fd_ = -1;
  rtc::SocketAddress address_;
};

// 127.0.0.1:port
inline rtc::SocketAddress Loopback(uint16_t port) {
  return rtc::SocketAddress(rtc::IPAddress(INADDR_LOOPBACK), port);
}

// A received-looking datagram: the bytes, arrived on `socket` from `from`.
inline std::shared_ptr<UDPPacket> MakePacket(const Bytes& bytes, int socket,
                                             const rtc::SocketAddress& from) {
  auto packet = std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
  packet->SetSocket(socket, from);
  return packet;
}

inline uint8_t PayloadTypeOf(const Bytes& bytes) { return bytes.size() > 1 ? bytes[1] : 0; }
inline uint32_t SeqOf(const Bytes& bytes) {
  return bytes.size() >= 6 ? rtc::GetBE32(bytes.data() + 2) : 0;
}
inline uint64_t IdAt(const Bytes& bytes, size_t offset) {
  return bytes.size() >= offset + 8 ? rtc::GetBE64(bytes.data() + offset) : 0;
}

}  // namespace testing_support
}  // namespace corvaneserver

#endif  // TESTS_SUPPORT_UDP_TEST_PEER_H_
