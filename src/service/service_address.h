// Turns the configured listening interfaces into addresses: an IP literal is
// used as it is, anything else names a network interface whose first IPv4
// address is taken.
#ifndef SERVICE_SERVICE_ADDRESS_H_
#define SERVICE_SERVICE_ADDRESS_H_

#include <ifaddrs.h>

#include <cstdint>
#include <string>

#include "base/socket_address.h"

namespace corvaneserver {

// The dotted IPv4 address of the interface `name`, or "" when none fits.
// The interface whose name equals `name` (or an alias of it, "name:N") wins;
// failing that, the first whose name begins with `name` (so "eth" finds
// "eth0"). Names compare without regard to case; interfaces without an IPv4
// address are passed over. An empty name matches nothing.
std::string GetIfAddress(const std::string& name);
// The same choice over a given interface list (as getifaddrs gives it).
std::string GetIfAddressFrom(const ifaddrs* interfaces, const std::string& name);

// The address text for a configured interface value: the canonical form of an
// IP literal, else GetIfAddress(value). An empty value logs the warning
// "configure eth [" key "] system eth [" value "] is not exist or nil" and
// gives "". `key` is the configuration key the value came from.
std::string GetServiceIp(const std::string& value, const std::string& key = "");

// interface ip:port, or an empty (nil) address when the interface resolves to
// nothing or the port is 0 or above 65535 (the latter with a warning). An
// any-address (0.0.0.0) is given back as it is, with a warning: it is no
// address of this server and callers do not listen on it.
rtc::SocketAddress GetServiceAddress(const std::string& interface_value, uint32_t port,
                                     const std::string& interface_key = "");

}  // namespace corvaneserver

#endif  // SERVICE_SERVICE_ADDRESS_H_
