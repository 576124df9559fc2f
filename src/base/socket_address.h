// An IP address and port, with an optional unresolved host name.
#ifndef BASE_SOCKET_ADDRESS_H_
#define BASE_SOCKET_ADDRESS_H_

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "base/ip_address.h"

namespace rtc {

class SocketAddress {
 public:
  SocketAddress() = default;
  SocketAddress(const IPAddress& ip, int port);
  SocketAddress(const std::string& hostname, int port);

  // Empty: no IP, no host name, port 0.
  void Clear();
  // "host:port", where host is an IPv4 literal or a name. A name is kept
  // unresolved; a literal sets the IP. False for text without a usable port.
  bool FromString(const std::string& str);
  // Takes an AF_INET sockaddr_in. False for any other family.
  bool FromSockAddr(const sockaddr_in& saddr);
  // Fills an AF_INET sockaddr_in; returns its size, or 0 when the IP is not IPv4.
  size_t ToSockAddr(sockaddr_in* saddr) const;

  const IPAddress& ipaddr() const { return ip_; }
  const std::string& hostname() const { return hostname_; }
  uint16_t port() const { return port_; }
  void SetPort(int port) { port_ = static_cast<uint16_t>(port); }

  // "a.b.c.d:port" (the host name when there is no IP).
  std::string ToString() const;
  std::string HostAsURIString() const;

  // No host name, no IP and port 0.
  bool IsNil() const;
  // IP set, not the any-address, and port not 0.
  bool IsComplete() const;

  bool operator==(const SocketAddress& other) const;
  bool operator!=(const SocketAddress& other) const { return !(*this == other); }
  bool operator<(const SocketAddress& other) const;

  // HashIP(ip) ^ (port | (port << 16)); the right-hand side is an int, so a port
  // from 32768 up sign-extends into the upper 32 bits of the result.
  size_t Hash() const;

 private:
  std::string hostname_;
  IPAddress ip_;
  uint16_t port_ = 0;
};

}  // namespace rtc

#endif  // BASE_SOCKET_ADDRESS_H_
