#include "service/service_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/logging.h"

namespace corvaneserver {
namespace {

// Keeps the warning lines logged while it is registered.
class WarningLines : public rtc::LogSink {
 public:
  WarningLines() { rtc::LogMessage::AddLogToStream(this, rtc::LS_WARNING); }
  ~WarningLines() override { rtc::LogMessage::RemoveLogToStream(this); }
  void OnLogMessage(const std::string& msg) override {
    std::lock_guard<std::mutex> hold(lock_);
    lines_.push_back(msg);
  }
  size_t Count(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    size_t n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos;
    return n;
  }

 private:
  std::mutex lock_;  // guards lines_
  std::vector<std::string> lines_;
};

// An interface list as getifaddrs would give it, built by hand.
class FakeInterfaces {
 public:
  // family AF_INET with a dotted address, AF_INET6, or 0 for no address.
  void Add(const std::string& name, int family, const std::string& ip = "") {
    Entry& entry = entries_.emplace_back();
    entry.name = name;
    entry.ifa.ifa_name = entry.name.data();
    if (family == AF_INET) {
      entry.v4.sin_family = AF_INET;
      inet_pton(AF_INET, ip.c_str(), &entry.v4.sin_addr);
      entry.ifa.ifa_addr = reinterpret_cast<sockaddr*>(&entry.v4);
    } else if (family == AF_INET6) {
      entry.v6.sin6_family = AF_INET6;
      entry.ifa.ifa_addr = reinterpret_cast<sockaddr*>(&entry.v6);
    }
    if (entries_.size() > 1) entries_[entries_.size() - 2].ifa.ifa_next = &entry.ifa;
  }
  const ifaddrs* list() const { return entries_.empty() ? nullptr : &entries_.front().ifa; }

 private:
  struct Entry {
    std::string name;
    ifaddrs ifa{};
    sockaddr_in v4{};
    sockaddr_in6 v6{};
  };
  std::deque<Entry> entries_;  // stable addresses as it grows
};

TEST(GetIfAddressTest, LoopbackInterfaceByNameWithoutRegardToCase) {
  EXPECT_EQ(GetIfAddress("lo"), "127.0.0.1");
  EXPECT_EQ(GetIfAddress("LO"), "127.0.0.1");
}

TEST(GetIfAddressTest, UnknownOrEmptyNameGivesNothing) {
  EXPECT_EQ(GetIfAddress("no-such-interface9"), "");
  EXPECT_EQ(GetIfAddress(""), "");
  EXPECT_EQ(GetIfAddress(std::string("lo\0x", 4)), "");
}

TEST(GetIfAddressTest, PrefixOfAnInterfaceNameFindsIt) {
  FakeInterfaces interfaces;
  interfaces.Add("lo", AF_INET, "127.0.0.1");
  interfaces.Add("eth0", AF_INET6);
  interfaces.Add("eth0", AF_INET, "10.1.1.1");
  interfaces.Add("eth1", AF_INET, "10.2.2.2");
  EXPECT_EQ(GetIfAddressFrom(interfaces.list(), "eth"), "10.1.1.1");
  EXPECT_EQ(GetIfAddressFrom(interfaces.list(), "ETH1"), "10.2.2.2");
  EXPECT_EQ(GetIfAddressFrom(interfaces.list(), "eth0x"), "");
  EXPECT_EQ(GetIfAddressFrom(interfaces.list(), "wlan"), "");
}

TEST(GetIfAddressTest, EntriesWithoutIpv4AddressArePassedOver) {
  FakeInterfaces interfaces;
  interfaces.Add("eth0", 0);
  interfaces.Add("eth0", AF_INET6);
  EXPECT_EQ(GetIfAddressFrom(interfaces.list(), "eth0"), "");
  interfaces.Add("eth0", AF_INET, "192.0.2.7");
  EXPECT_EQ(GetIfAddressFrom(interfaces.list(), "eth0"), "192.0.2.7");
  EXPECT_EQ(GetIfAddressFrom(nullptr, "eth0"), "");
}

TEST(GetIfAddressTest, AliasOfTheNamedInterfaceCounts) {
  FakeInterfaces interfaces;
  interfaces.Add("eth0:1", AF_INET, "192.0.2.9");
  EXPECT_EQ(GetIfAddressFrom(interfaces.list(), "eth0"), "192.0.2.9");
}

// Regression: "eth1" took the first interface whose name began with it, so an
// "eth10" listed first won over eth1 itself.
TEST(GetIfAddressTest, ExactNameBeatsALongerNameListedFirst) {
  FakeInterfaces interfaces;
  interfaces.Add("eth10", AF_INET, "10.10.10.10");
  interfaces.Add("eth1", AF_INET, "10.1.1.1");
  EXPECT_EQ(GetIfAddressFrom(interfaces.list(), "eth1"), "10.1.1.1");
  EXPECT_EQ(GetIfAddressFrom(interfaces.list(), "eth10"), "10.10.10.10");
}

TEST(GetServiceIpTest, IpLiteralIsUsedAsItIs) {
  EXPECT_EQ(GetServiceIp("192.0.2.200", "packet_listen_bgp_eth"), "192.0.2.200");
  EXPECT_EQ(GetServiceIp("::1"), "::1");
}

TEST(GetServiceIpTest, InterfaceNameIsResolved) {
  EXPECT_EQ(GetServiceIp("lo", "packet_listen_tel_eth"), "127.0.0.1");
  EXPECT_EQ(GetServiceIp("no-such-interface9", "packet_listen_tel_eth"), "");
}

TEST(GetServiceIpTest, EmptyValueWarnsWithItsKey) {
  WarningLines warnings;
  EXPECT_EQ(GetServiceIp("", "packet_listen_tel_eth"), "");
  EXPECT_EQ(
      warnings.Count("configure eth [packet_listen_tel_eth] system eth [] is not exist or nil"),
      1u);
}

TEST(GetServiceAddressTest, InterfaceAndPortMakeTheAddress) {
  const rtc::SocketAddress address = GetServiceAddress("lo", 9000, "packet_listen_bgp_eth");
  EXPECT_TRUE(address.IsComplete());
  EXPECT_EQ(address.ToString(), "127.0.0.1:9000");
  EXPECT_EQ(GetServiceAddress("192.0.2.1", 65535).ToString(), "192.0.2.1:65535");
}

TEST(GetServiceAddressTest, MissingInterfaceOrPortGivesNilAddress) {
  WarningLines warnings;
  EXPECT_TRUE(GetServiceAddress("", 9000, "packet_listen_rec_eth").IsNil());
  EXPECT_EQ(warnings.Count("configure eth [packet_listen_rec_eth] system eth []"), 1u);
  EXPECT_TRUE(GetServiceAddress("no-such-interface9", 9000).IsNil());
  EXPECT_TRUE(GetServiceAddress("lo", 0).IsNil());
}

// Regression: the port was cut to 16 bits, so 70000 listened on 4464.
TEST(GetServiceAddressTest, PortAbove65535IsRefusedWithAWarning) {
  WarningLines warnings;
  EXPECT_TRUE(GetServiceAddress("lo", 70000, "packet_listen_bgp_eth").IsNil());
  EXPECT_EQ(warnings.Count("configure port [70000] of [packet_listen_bgp_eth] is out of range"),
            1u);
}

TEST(GetServiceAddressTest, AnyAddressIsReturnedIncompleteWithAWarning) {
  WarningLines warnings;
  const rtc::SocketAddress address = GetServiceAddress("0.0.0.0", 9000, "packet_listen_bgp_eth");
  EXPECT_FALSE(address.IsComplete());
  EXPECT_EQ(warnings.Count("is the any-address"), 1u);
}

}  // namespace
}  // namespace corvaneserver
