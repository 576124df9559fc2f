#include "base/socket_address.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace rtc {

SocketAddress::SocketAddress(const IPAddress& ip, int port)
    : ip_(ip), port_(static_cast<uint16_t>(port)) {}

SocketAddress::SocketAddress(const std::string& hostname, int port)
    : port_(static_cast<uint16_t>(port)) {
  if (!IPFromString(hostname, &ip_)) hostname_ = hostname;
}

void SocketAddress::Clear() {
  hostname_.clear();
  ip_ = IPAddress();
  port_ = 0;
}

bool SocketAddress::FromString(const std::string& str) {
  Clear();
  std::string host;
  std::string port_text;
  if (!str.empty() && str[0] == '[') {
    const size_t close = str.find(']');
    if (close == std::string::npos || close + 1 >= str.size() || str[close + 1] != ':')
      return false;
    host = str.substr(1, close - 1);
    port_text = str.substr(close + 2);
  } else {
    const size_t colon = str.rfind(':');
    if (colon == std::string::npos) return false;
    host = str.substr(0, colon);
    port_text = str.substr(colon + 1);
  }
  if (port_text.empty() || port_text.size() > 5) return false;
  for (char c : port_text) {
    if (c < '0' || c > '9') return false;
  }
  const long port = std::strtol(port_text.c_str(), nullptr, 10);
  if (port > 65535) return false;
  IPAddress ip;
  if (IPFromString(host, &ip)) {
    ip_ = ip;
  } else {
    hostname_ = host;
  }
  port_ = static_cast<uint16_t>(port);
  return true;
}

bool SocketAddress::FromSockAddr(const sockaddr_in& saddr) {
  if (saddr.sin_family != AF_INET) return false;
  hostname_.clear();
  ip_ = IPAddress(saddr.sin_addr);
  port_ = ntohs(saddr.sin_port);
  return true;
}

size_t SocketAddress::ToSockAddr(sockaddr_in* saddr) const {
  std::memset(saddr, 0, sizeof(*saddr));
  if (ip_.family() != AF_INET) return 0;
  saddr->sin_family = AF_INET;
  saddr->sin_port = htons(port_);
  saddr->sin_addr = ip_.ipv4_address();
  return sizeof(*saddr);
}

std::string SocketAddress::HostAsURIString() const {
  if (!ip_.IsNil()) {
    if (ip_.family() == AF_INET6) return "[" + ip_.ToString() + "]";
    return ip_.ToString();
  }
  return hostname_;
}

std::string SocketAddress::ToString() const {
  return HostAsURIString() + ":" + std::to_string(port_);
}

bool SocketAddress::IsNil() const { return hostname_.empty() && ip_.IsNil() && port_ == 0; }

bool SocketAddress::IsComplete() const { return !ip_.IsNil() && !IPIsAny(ip_) && port_ != 0; }

bool SocketAddress::operator==(const SocketAddress& other) const {
  return ip_ == other.ip_ && port_ == other.port_;
}

bool SocketAddress::operator<(const SocketAddress& other) const {
  if (ip_ != other.ip_) return ip_ < other.ip_;
  return port_ < other.port_;
}

size_t SocketAddress::Hash() const {
  const uint32_t port = port_;
  const auto mixed = static_cast<int32_t>(port | (port << 16));
  size_t h = HashIP(ip_);
  h ^= static_cast<size_t>(static_cast<int64_t>(mixed));
  return h;
}

}  // namespace rtc
