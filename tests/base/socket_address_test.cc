#include "base/socket_address.h"

#include <arpa/inet.h>

#include <unordered_set>

#include <gtest/gtest.h>

#include "base/byte_io.h"
#include "base/ip_address.h"

namespace rtc {
namespace {

TEST(SocketAddressTest, HashOfLowPortStaysInLower32Bits) {
  SocketAddress addr;
  ASSERT_TRUE(addr.FromString("10.0.0.1:8000"));
  // 10.0.0.1 in network order read as a native (little-endian) integer.
  const size_t ip = 0x0100000A;
  const size_t port_mix = 8000u | (8000u << 16);
  EXPECT_EQ(addr.Hash(), ip ^ port_mix);
  EXPECT_EQ(addr.Hash() >> 32, 0u);
}

TEST(SocketAddressTest, HashOfHighPortSignExtends) {
  SocketAddress addr;
  ASSERT_TRUE(addr.FromString("10.0.0.1:40000"));
  const uint64_t port_mix = 0xFFFFFFFF00000000ull | (40000u | (40000u << 16));
  EXPECT_EQ(addr.Hash(), 0x0100000Aull ^ port_mix);
  EXPECT_EQ(addr.Hash() >> 32, 0xFFFFFFFFu);

  SocketAddress boundary;
  ASSERT_TRUE(boundary.FromString("127.0.0.1:32768"));
  EXPECT_EQ(boundary.Hash() >> 32, 0xFFFFFFFFu);
  ASSERT_TRUE(boundary.FromString("127.0.0.1:32767"));
  EXPECT_EQ(boundary.Hash() >> 32, 0u);
}

TEST(SocketAddressTest, HashIpIsNetworkOrderWord) {
  IPAddress ip;
  ASSERT_TRUE(IPFromString("192.168.1.2", &ip));
  in_addr raw;
  inet_pton(AF_INET, "192.168.1.2", &raw);
  EXPECT_EQ(HashIP(ip), raw.s_addr);
}

TEST(SocketAddressTest, ParsesAndPrints) {
  SocketAddress addr;
  ASSERT_TRUE(addr.FromString("127.0.0.1:9000"));
  EXPECT_EQ(addr.ToString(), "127.0.0.1:9000");
  EXPECT_EQ(addr.port(), 9000);
  EXPECT_TRUE(addr.IsComplete());
  EXPECT_FALSE(addr.IsNil());

  EXPECT_FALSE(addr.FromString("127.0.0.1"));
  EXPECT_FALSE(addr.FromString("127.0.0.1:"));
  EXPECT_FALSE(addr.FromString("127.0.0.1:70000"));
  EXPECT_FALSE(addr.FromString("127.0.0.1:12a"));

  ASSERT_TRUE(addr.FromString("gateway.local:9000"));
  EXPECT_EQ(addr.hostname(), "gateway.local");
  EXPECT_FALSE(addr.IsComplete());  // unresolved names cannot be sent to
}

TEST(SocketAddressTest, CompletenessNeedsIpNotAnyAndPort) {
  SocketAddress addr;
  EXPECT_TRUE(addr.IsNil());
  EXPECT_FALSE(addr.IsComplete());
  ASSERT_TRUE(addr.FromString("0.0.0.0:8000"));
  EXPECT_FALSE(addr.IsComplete());
  ASSERT_TRUE(addr.FromString("1.2.3.4:0"));
  EXPECT_FALSE(addr.IsComplete());
  addr.Clear();
  EXPECT_TRUE(addr.IsNil());
}

TEST(SocketAddressTest, SockAddrRoundTripAndOrdering) {
  SocketAddress a(IPAddress(0x7F000001u), 5000);
  sockaddr_in raw;
  ASSERT_EQ(a.ToSockAddr(&raw), sizeof(raw));
  EXPECT_EQ(ntohs(raw.sin_port), 5000);
  SocketAddress b;
  ASSERT_TRUE(b.FromSockAddr(raw));
  EXPECT_EQ(a, b);

  SocketAddress c(IPAddress(0x7F000001u), 5001);
  SocketAddress d(IPAddress(0x7F000002u), 1);
  EXPECT_TRUE(a < c);
  EXPECT_TRUE(c < d);
  EXPECT_NE(a, c);
}

TEST(ByteIoTest, BigEndianAtAnyAlignment) {
  uint8_t buf[11] = {0};
  SetBE16(buf + 1, 0x1234);
  SetBE32(buf + 3, 0xA1B2C3D4);
  EXPECT_EQ(buf[1], 0x12);
  EXPECT_EQ(buf[2], 0x34);
  EXPECT_EQ(buf[3], 0xA1);
  EXPECT_EQ(buf[6], 0xD4);
  EXPECT_EQ(GetBE16(buf + 1), 0x1234);
  EXPECT_EQ(GetBE32(buf + 3), 0xA1B2C3D4u);
  SetBE64(buf + 3, 0x0102030405060708ull);
  EXPECT_EQ(buf[3], 0x01);
  EXPECT_EQ(buf[10], 0x08);
  EXPECT_EQ(GetBE64(buf + 3), 0x0102030405060708ull);
}

}  // namespace
}  // namespace rtc
