#include "service/service_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include "base/ip_address.h"
#include "base/logging.h"

namespace corvaneserver {

namespace {

// How well an interface name fits the configured one.
enum class NameMatch { kNone, kPrefix, kExact };

NameMatch MatchName(const char* interface_name, const std::string& name) {
  if (::strncasecmp(interface_name, name.c_str(), name.size()) != 0) return NameMatch::kNone;
  const char next = interface_name[name.size()];
  // "eth0" and its aliases "eth0:1" are eth0 itself; "eth01" is not.
  if (next == '\0' || next == ':') return NameMatch::kExact;
  return NameMatch::kPrefix;
}

}  // namespace

std::string GetIfAddressFrom(const ifaddrs* interfaces, const std::string& name) {
  // An embedded NUL would end the comparison early and let it read past a
  // shorter interface name.
  if (name.empty() || name.find('\0') != std::string::npos) return std::string();

  // A configured "eth1" must not land on "eth10" listed before it: an exact
  // name beats the first prefix match.
  const ifaddrs* prefix_match = nullptr;
  const ifaddrs* exact_match = nullptr;
  for (const ifaddrs* entry = interfaces; entry != nullptr && exact_match == nullptr;
       entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (entry->ifa_name == nullptr) continue;
    switch (MatchName(entry->ifa_name, name)) {
      case NameMatch::kExact:
        exact_match = entry;
        break;
      case NameMatch::kPrefix:
        if (prefix_match == nullptr) prefix_match = entry;
        break;
      case NameMatch::kNone:
        break;
    }
  }
  const ifaddrs* match = exact_match != nullptr ? exact_match : prefix_match;
  if (match == nullptr) return std::string();
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(match->ifa_addr);
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof(text)) == nullptr) return std::string();
  return text;
}

std::string GetIfAddress(const std::string& name) {
  if (name.empty()) return std::string();
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return std::string();
  std::string address = GetIfAddressFrom(interfaces, name);
  ::freeifaddrs(interfaces);
  return address;
}

std::string GetServiceIp(const std::string& value, const std::string& key) {
  if (value.empty()) {
    RTC_LOG(LS_WARNING) << "configure eth [" << key << "] system eth [" << value
                        << "] is not exist or nil";
    return std::string();
  }
  rtc::IPAddress ip;
  if (rtc::IPFromString(value, &ip)) return ip.ToString();
  return GetIfAddress(value);
}

rtc::SocketAddress GetServiceAddress(const std::string& interface_value, uint32_t port,
                                     const std::string& interface_key) {
  const std::string ip = GetServiceIp(interface_value, interface_key);
  if (ip.empty() || port == 0) return rtc::SocketAddress();
  if (port > 0xFFFF) {
    RTC_LOG(LS_WARNING) << "configure port [" << port << "] of [" << interface_key
                        << "] is out of range";
    return rtc::SocketAddress();
  }
  rtc::SocketAddress address(ip, static_cast<int>(port));
  if (rtc::IPIsAny(address.ipaddr())) {
    RTC_LOG(LS_WARNING) << "configure eth [" << interface_key << "] address [" << ip
                        << "] is the any-address, not an address of this server";
  }
  return address;
}

}  // namespace corvaneserver
