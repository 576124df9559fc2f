#include "base/ip_address.h"

#include <arpa/inet.h>

#include <cstring>

namespace rtc {

IPAddress::IPAddress() : family_(AF_UNSPEC) { std::memset(&u_, 0, sizeof(u_)); }

IPAddress::IPAddress(const in_addr& ip4) : family_(AF_INET) {
  std::memset(&u_, 0, sizeof(u_));
  u_.ip4 = ip4;
}

IPAddress::IPAddress(const in6_addr& ip6) : family_(AF_INET6) { u_.ip6 = ip6; }

IPAddress::IPAddress(uint32_t ip_in_host_byte_order) : family_(AF_INET) {
  std::memset(&u_, 0, sizeof(u_));
  u_.ip4.s_addr = htonl(ip_in_host_byte_order);
}

std::string IPAddress::ToString() const {
  char buf[INET6_ADDRSTRLEN] = {0};
  if (family_ == AF_INET) {
    inet_ntop(AF_INET, &u_.ip4, buf, sizeof(buf));
  } else if (family_ == AF_INET6) {
    inet_ntop(AF_INET6, &u_.ip6, buf, sizeof(buf));
  }
  return buf;
}

uint32_t IPAddress::v4AddressAsHostOrderInteger() const {
  return family_ == AF_INET ? ntohl(u_.ip4.s_addr) : 0;
}

bool IPAddress::operator==(const IPAddress& other) const {
  if (family_ != other.family_) return false;
  if (family_ == AF_INET) return u_.ip4.s_addr == other.u_.ip4.s_addr;
  if (family_ == AF_INET6) return std::memcmp(&u_.ip6, &other.u_.ip6, sizeof(u_.ip6)) == 0;
  return true;
}

bool IPAddress::operator<(const IPAddress& other) const {
  if (family_ != other.family_) return family_ < other.family_;
  if (family_ == AF_INET)
    return v4AddressAsHostOrderInteger() < other.v4AddressAsHostOrderInteger();
  if (family_ == AF_INET6) return std::memcmp(&u_.ip6, &other.u_.ip6, sizeof(u_.ip6)) < 0;
  return false;
}

bool IPFromString(const std::string& str, IPAddress* out) {
  in_addr a4;
  if (inet_pton(AF_INET, str.c_str(), &a4) == 1) {
    *out = IPAddress(a4);
    return true;
  }
  in6_addr a6;
  if (inet_pton(AF_INET6, str.c_str(), &a6) == 1) {
    *out = IPAddress(a6);
    return true;
  }
  return false;
}

bool IPIsAny(const IPAddress& ip) {
  if (ip.family() == AF_INET) return ip.v4AddressAsHostOrderInteger() == 0;
  if (ip.family() == AF_INET6) return ip == IPAddress(in6addr_any);
  return false;
}

size_t HashIP(const IPAddress& ip) {
  if (ip.family() == AF_INET) return ip.ipv4_address().s_addr;
  if (ip.family() == AF_INET6) {
    const std::string text = ip.ToString();
    in6_addr a6;
    inet_pton(AF_INET6, text.c_str(), &a6);
    uint32_t words[4];
    std::memcpy(words, &a6, sizeof(words));
    return words[0] ^ words[1] ^ words[2] ^ words[3];
  }
  return 0;
}

}  // namespace rtc
