// A UDP socket on 127.0.0.1 for tests: plays a client or a peer server, sends
// datagrams and waits (with a deadline) for what comes back.
#ifndef TESTS_PACKET_LOOPBACK_SOCKET_H_
#define TESTS_PACKET_LOOPBACK_SOCKET_H_

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/ip_address.h"
#include "base/socket_address.h"

namespace corvaneserver {
namespace test {

class LoopbackSocket {
 public:
  // Binds to ip:port (port 0: any free port). Check ok() before use.
  explicit LoopbackSocket(const std::string& ip = "127.0.0.1", uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in addr{};
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
  ~LoopbackSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const rtc::SocketAddress& address() const { return address_; }

  bool SendTo(const rtc::SocketAddress& to, const std::vector<uint8_t>& bytes) const {
    sockaddr_in addr;
    to.ToSockAddr(&addr);
    const ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    return sent == static_cast<ssize_t>(bytes.size());
  }

  // Waits up to `timeout` for one datagram. Empty when none came.
  std::optional<std::vector<uint8_t>> Receive(
      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
      rtc::SocketAddress* from = nullptr) const {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    std::vector<uint8_t> bytes(65536);
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    const ssize_t n = ::recvfrom(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&addr), &len);
    if (n < 0) return std::nullopt;
    bytes.resize(static_cast<size_t>(n));
    if (from != nullptr) from->FromSockAddr(addr);
    return bytes;
  }

 private:
  int fd_ = -1;
  rtc::SocketAddress address_;
};

// 127.0.0.1:port
inline rtc::SocketAddress Loopback(uint16_t port) {
  return rtc::SocketAddress(rtc::IPAddress(INADDR_LOOPBACK), port);
}

}  // namespace test
}  // namespace corvaneserver

#endif  // TESTS_PACKET_LOOPBACK_SOCKET_H_
