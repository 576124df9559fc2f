// An IPv4 or IPv6 address, parsed from and printed as text.
#ifndef BASE_IP_ADDRESS_H_
#define BASE_IP_ADDRESS_H_

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace rtc {

class IPAddress {
 public:
  IPAddress();  // AF_UNSPEC: no address at all.
  explicit IPAddress(const in_addr& ip4);
  explicit IPAddress(const in6_addr& ip6);
  // Host-order IPv4 value, 0x7F000001 is 127.0.0.1.
  explicit IPAddress(uint32_t ip_in_host_byte_order);

  int family() const { return family_; }
  bool IsNil() const { return family_ == AF_UNSPEC; }
  // Canonical text ("1.2.3.4", "::1"); empty for a nil address.
  std::string ToString() const;
  // IPv4 only: the address in host order; 0 for anything else.
  uint32_t v4AddressAsHostOrderInteger() const;
  in_addr ipv4_address() const { return u_.ip4; }

  bool operator==(const IPAddress& other) const;
  bool operator!=(const IPAddress& other) const { return !(*this == other); }
  bool operator<(const IPAddress& other) const;

 private:
  int family_;
  union {
    in_addr ip4;
    in6_addr ip6;
  } u_;
};

// Parses "a.b.c.d" or an IPv6 literal. False (and *out untouched) otherwise.
bool IPFromString(const std::string& str, IPAddress* out);
// True for 0.0.0.0 and ::.
bool IPIsAny(const IPAddress& ip);
// IPv4: the 32-bit value as stored in network order, read as a native integer.
// IPv6: the four 32-bit words XORed.
size_t HashIP(const IPAddress& ip);

}  // namespace rtc

#endif  // BASE_IP_ADDRESS_H_
