#include "packet/udp_packet.h"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/byte_io.h"
#include "base/time_utils.h"

#include "support/media_datagram.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

std::unique_ptr<UDPPacket> Make(const std::vector<uint8_t>& bytes) {
  return std::make_unique<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

std::string Fill(size_t length) {
  std::string token;
  for (size_t i = 0; i < length; ++i) token.push_back(static_cast<char>('a' + i % 26));
  return token;
}

TEST(UDPPacketTest, CapacityConstructorGivesEmptyUnsentDatagram) {
  UDPPacket packet(1500);
  EXPECT_EQ(packet.size(), 0u);
  EXPECT_EQ(packet.capcity(), 1500u);
  EXPECT_EQ(packet.socket(), -1);
  EXPECT_TRUE(packet.FromAddress().IsNil());
  EXPECT_EQ(packet.ReceiveTime(), 0);
  EXPECT_FALSE(packet.HasMediaHeader());
}

TEST(UDPPacketTest, BytesConstructorCopiesAndFillsToCapacity) {
  const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5};
  UDPPacket packet(bytes.data(), 5);
  EXPECT_EQ(packet.size(), 5u);
  EXPECT_EQ(packet.capcity(), 5u);
  EXPECT_EQ(std::vector<uint8_t>(packet.data(), packet.data() + 5), bytes);
  EXPECT_NE(packet.data(), bytes.data());
}

TEST(UDPPacketTest, ZeroBytesGiveEmptyDatagramOfCapacityZero) {
  const uint8_t byte = 7;
  UDPPacket packet(&byte, 0);
  EXPECT_EQ(packet.size(), 0u);
  EXPECT_EQ(packet.capcity(), 0u);
  EXPECT_FALSE(packet.IsFecPacket());
  EXPECT_EQ(packet.Token(), "");
}

TEST(UDPPacketTest, SetSizeAboveCapacityKeepsSize) {
  UDPPacket packet(20);
  packet.SetSize(14);
  EXPECT_EQ(packet.size(), 14u);
  packet.SetSize(21);
  EXPECT_EQ(packet.size(), 14u);
  packet.SetSize(20);
  EXPECT_EQ(packet.size(), 20u);
  packet.SetSize(0);
  EXPECT_EQ(packet.size(), 0u);
}

TEST(UDPPacketTest, PlainHeaderAccessors) {
  auto packet =
      Make(testing_support::MediaDatagram(0xB0, 0x80, 0x01020304, 0x1122334455667788ull,
                                          testing_support::TokenHeader(3), "tok", "payload"));
  ASSERT_TRUE(packet->HasMediaHeader());
  EXPECT_FALSE(packet->IsFecPacket());
  EXPECT_EQ(packet->RawOffset(), 0u);
  EXPECT_EQ(packet->GetRawData(), packet->data());
  EXPECT_TRUE(packet->Ack());
  EXPECT_EQ(packet->PayloadType(), 0x80);
  EXPECT_EQ(packet->SequenceNum(), 0x01020304u);
  EXPECT_EQ(packet->UserId(), 0x1122334455667788ull);
  EXPECT_EQ(packet->TokenLength(), 3u);
  EXPECT_EQ(packet->Token(), "tok");
}

TEST(UDPPacketTest, AckIsBitFourOnly) {
  EXPECT_FALSE(Make(testing_support::MediaDatagram(0xEF, 1, 0, 0))->Ack());
  EXPECT_TRUE(Make(testing_support::MediaDatagram(0x10, 1, 0, 0))->Ack());
}

TEST(UDPPacketTest, FecDatagramReadsWrappedHeaderButOuterUserId) {
  const auto wrapped =
      testing_support::MediaDatagram(0x10, 0x66, 0xA0B0C0D0, 0x0102030405060708ull,
                                     testing_support::TokenHeader(4), "abcd", "voice");
  auto packet = Make(testing_support::FecDatagram(0xCAFEBABE12345678ull, wrapped));
  ASSERT_TRUE(packet->IsFecPacket());
  ASSERT_TRUE(packet->HasMediaHeader());
  EXPECT_EQ(packet->RawOffset(), 22u);
  EXPECT_EQ(packet->GetRawData(), packet->data() + 22);
  EXPECT_EQ(packet->RawSize(), wrapped.size());
  EXPECT_TRUE(packet->Ack());
  EXPECT_EQ(packet->PayloadType(), 0x66);
  EXPECT_EQ(packet->SequenceNum(), 0xA0B0C0D0u);
  EXPECT_EQ(packet->UserId(), 0xCAFEBABE12345678ull);
  EXPECT_EQ(packet->Token(), "abcd");
  EXPECT_EQ(packet->size(), 22 + wrapped.size());
}

TEST(UDPPacketTest, TokenHeaderValues) {
  struct Case {
    int header;
    size_t bytes_after;  // bytes of token area present in the datagram
    size_t expected;
  };
  const Case cases[] = {
      {0x0000, 8, 0},        // no token bits at all
      {0x0800, 8, 0},        // right prefix, zero length
      {0x0801, 8, 1},        // one byte
      {0x0FFF, 2047, 2047},  // the longest token
      {0x1005, 8, 0},        // h >> 11 is 2
      {0xF805, 8, 0},        // high bits set beyond the prefix
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    const std::string area = Fill(c.bytes_after);
    for (bool fec : {false, true}) {
      auto bytes = testing_support::MediaDatagram(0, 0x66, 1, 2, c.header, area);
      if (fec) bytes = testing_support::FecDatagram(9, bytes);
      auto packet = Make(bytes);
      EXPECT_EQ(packet->TokenLength(), c.expected);
      EXPECT_EQ(packet->Token(), area.substr(0, c.expected));
    }
  }
}

TEST(UDPPacketTest, TokenRunningPastTheEndIsAbsent) {
  // Declares five bytes, holds four.
  auto packet = Make(testing_support::MediaDatagram(0, 0x66, 1, 2, 0x0805, "abcd"));
  EXPECT_EQ(packet->TokenLength(), 0u);
  EXPECT_EQ(packet->Token(), "");
  // One more byte and it is there.
  packet = Make(testing_support::MediaDatagram(0, 0x66, 1, 2, 0x0805, "abcde"));
  EXPECT_EQ(packet->Token(), "abcde");
  // The longest token cut by one byte.
  packet = Make(testing_support::MediaDatagram(0, 0x66, 1, 2, 0x0FFF, Fill(2046)));
  EXPECT_EQ(packet->Token(), "");
}

TEST(UDPPacketTest, ResetAckClearsOnlyBitFour) {
  const auto bytes =
      testing_support::MediaDatagram(0xB0, 0x82, 5, 6, testing_support::TokenHeader(2), "xy");
  auto packet = Make(bytes);
  packet->ResetAck();
  std::vector<uint8_t> expected = bytes;
  expected[0] = 0xA0;
  EXPECT_EQ(std::vector<uint8_t>(packet->data(), packet->data() + packet->size()), expected);
  EXPECT_FALSE(packet->Ack());
}

TEST(UDPPacketTest, ResetAckOnFecDatagramTouchesWrappedFlags) {
  const auto bytes =
      testing_support::FecDatagram(3, testing_support::MediaDatagram(0xB0, 0x82, 5, 6));
  auto packet = Make(bytes);
  packet->ResetAck();
  std::vector<uint8_t> expected = bytes;
  expected[22] = 0xA0;
  EXPECT_EQ(std::vector<uint8_t>(packet->data(), packet->data() + packet->size()), expected);
}

// A FEC datagram numbered at or past its block start + k carries repair bytes:
// no flags byte to ask for an ack, no token, nothing to clear in place.
TEST(UDPPacketTest, RepairDatagramHasNoAckTokenOrFlagsToClear) {
  auto bytes = testing_support::FecDatagram(
      42, testing_support::MediaDatagram(0xB0, 0x82, 5, 6, testing_support::TokenHeader(3), "tok"));
  // Number 0x10 in the block starting at 0x0E with k = 2: a repair datagram.
  const uint8_t header[] = {0, 0, 0, 0x10, 0, 0, 0, 0x0E, 2, 1};
  std::copy(std::begin(header), std::end(header), bytes.begin() + 10);
  auto repair = Make(bytes);
  EXPECT_TRUE(repair->IsFecRepair());
  EXPECT_FALSE(repair->Ack());
  EXPECT_EQ(repair->TokenLength(), 0u);
  EXPECT_EQ(repair->Token(), "");
  EXPECT_EQ(repair->UserId(), 42u);
  repair->ResetAck();
  EXPECT_EQ(std::vector<uint8_t>(repair->data(), repair->data() + repair->size()), bytes);
  // One number earlier it is the block's last source datagram.
  bytes[13] = 0x0F;
  auto source = Make(bytes);
  EXPECT_FALSE(source->IsFecRepair());
  EXPECT_TRUE(source->Ack());
  EXPECT_EQ(source->Token(), "tok");
  // Without a whole FEC header nothing is a repair datagram.
  EXPECT_FALSE(Make(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 21))->IsFecRepair());
  EXPECT_FALSE(Make(testing_support::MediaDatagram(0xB0, 0x82, 5, 6))->IsFecRepair());
}

// Regression: sources and repairs of a block that straddles 2^32 were told
// apart without wrap, so sources before the wrap read as repairs and repairs
// after it as sources.
TEST(UDPPacketTest, SourceOrRepairHoldsAcrossTheWrapOfFecNumbers) {
  auto with_numbers = [](uint32_t sequence, uint32_t start, uint8_t k) {
    auto bytes =
        testing_support::FecDatagram(42, testing_support::MediaDatagram(0xB0, 0x20, 5, 42));
    rtc::SetBE32(bytes.data() + 10, sequence);
    rtc::SetBE32(bytes.data() + 14, start);
    bytes[18] = k;
    bytes[19] = 2;
    return Make(bytes);
  };
  // Block at 2^32 - 2 with k = 4, r = 2: sources ..FE, ..FF, 0, 1; repairs 2, 3.
  const uint32_t start = 0xFFFFFFFEu;
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(with_numbers(start + i, start, 4)->IsFecRepair(), i >= 4) << i;
  }
  // Block at 2^32 - 5 with k = 4: its repairs ..FF and 0 straddle the wrap.
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(with_numbers(0xFFFFFFFBu + i, 0xFFFFFFFBu, 4)->IsFecRepair(), i >= 4) << i;
  }
}

TEST(UDPPacketTest, PayloadTypePredicates) {
  EXPECT_TRUE(IsAckPacket(0x7F));
  EXPECT_TRUE(IsAckPacket(0x81));
  EXPECT_FALSE(IsAckPacket(0x80));
  EXPECT_FALSE(IsAckPacket(0x82));
  EXPECT_TRUE(IsRtcp(200));
  EXPECT_TRUE(IsNack(202));
  EXPECT_TRUE(IsCascade('n'));
  int rtcp = 0, nack = 0, cascade = 0, ack = 0;
  for (int v = 0; v < 256; ++v) {
    const auto b = static_cast<unsigned char>(v);
    rtcp += IsRtcp(b);
    nack += IsNack(b);
    cascade += IsCascade(b);
    ack += IsAckPacket(b);
    // An acknowledgement carries the acknowledged type minus one.
    if (v % 2 == 0) {
      EXPECT_TRUE(IsAckPacket(static_cast<unsigned char>(b - 1))) << v;
    }
  }
  EXPECT_EQ(rtcp, 1);
  EXPECT_EQ(nack, 1);
  EXPECT_EQ(cascade, 1);
  EXPECT_EQ(ack, 128);
}

TEST(UDPPacketTest, DetectPacketIsTwelveBytesStartingCOr) {
  EXPECT_TRUE(Make(testing_support::DetectDatagram())->IsDetectPacket());
  EXPECT_TRUE(Make(testing_support::DetectDatagram(0x00))->IsDetectPacket());
  EXPECT_FALSE(Make(testing_support::DetectDatagram(0x5A, 11))->IsDetectPacket());
  EXPECT_FALSE(Make(testing_support::DetectDatagram(0x5A, 13))->IsDetectPacket());
  auto other = testing_support::DetectDatagram();
  other[2] = 's';
  EXPECT_FALSE(Make(other)->IsDetectPacket());
}

// Every prefix of a datagram: the accessors give the real value exactly when
// its bytes are inside the prefix, and 0 / false / "" otherwise. Each prefix
// lives in a buffer of exactly its own size, so a read past it trips ASan.
void CheckEveryPrefix(const std::vector<uint8_t>& full, unsigned int raw_offset) {
  const auto whole = Make(full);
  for (size_t length = 0; length <= full.size(); ++length) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> prefix(full.begin(), full.begin() + length);
    UDPPacket packet(prefix.data(), static_cast<unsigned int>(length));
    const bool fec = length >= 2 && raw_offset > 0;
    EXPECT_EQ(packet.IsFecPacket(), fec);
    const unsigned int offset = fec ? raw_offset : 0;
    const size_t raw = length >= offset ? length - offset : 0;
    EXPECT_EQ(packet.RawSize(), raw);
    EXPECT_EQ(packet.HasMediaHeader(), length >= offset + 14);
    if (length < offset) {
      EXPECT_EQ(packet.GetRawData(), nullptr);
    }
    if (raw_offset > 0 && !fec) {
      // Too short to show the 'P' marker: read as the plain datagram it seems.
      EXPECT_EQ(packet.Ack(), length >= 1 && (full[0] & 0x10) != 0);
    } else {
      EXPECT_EQ(packet.Ack(), length >= offset + 1 ? whole->Ack() : false);
    }
    EXPECT_EQ(packet.PayloadType(), length >= offset + 2 ? whole->PayloadType() : 0);
    EXPECT_EQ(packet.SequenceNum(), length >= offset + 6 ? whole->SequenceNum() : 0u);
    const size_t user_id_end = fec ? 10 : 14;
    EXPECT_EQ(packet.UserId(), length >= user_id_end ? whole->UserId() : 0u);
    const size_t token_end = offset + 16 + whole->TokenLength();
    EXPECT_EQ(packet.Token(), length >= token_end ? whole->Token() : "");
    EXPECT_FALSE(packet.IsDetectPacket());
    packet.ResetAck();
    EXPECT_FALSE(packet.Ack());
  }
}

TEST(UDPPacketTest, TruncatedPlainDatagramsOfEveryLength) {
  CheckEveryPrefix(testing_support::MediaDatagram(0xB0, 0x80, 0xDEADBEEF, 0x0102030405060708ull,
                                                  testing_support::TokenHeader(5), "token", "xy"),
                   0);
}

TEST(UDPPacketTest, TruncatedFecDatagramsOfEveryLength) {
  CheckEveryPrefix(testing_support::FecDatagram(
                       0xF0E0D0C0B0A09080ull,
                       testing_support::MediaDatagram(0xB0, 0x80, 0xDEADBEEF, 77,
                                                      testing_support::TokenHeader(5), "token")),
                   22);
}

TEST(UDPPacketTest, SetSocketStoresSenderAndStampsReceiveTime) {
  rtc::ScopedFakeClock clock;
  clock.AdvanceTime(1234);
  UDPPacket packet(1500);
  sockaddr_in from{};
  testing_support::Loopback(40123).ToSockAddr(&from);
  packet.SetSocket(17, from);
  EXPECT_EQ(packet.socket(), 17);
  EXPECT_EQ(packet.FromAddress(), testing_support::Loopback(40123));
  EXPECT_EQ(packet.ReceiveTime(), rtc::TimeMillis());

  clock.AdvanceTime(10);
  packet.SetSocket(18, testing_support::Loopback(40124));
  EXPECT_EQ(packet.socket(), 18);
  EXPECT_EQ(packet.FromAddress(), testing_support::Loopback(40124));
  EXPECT_EQ(packet.ReceiveTime(), rtc::TimeMillis());
}

TEST(UDPPacketTest, SendDeliversWholeOuterDatagram) {
  testing_support::UdpPeer sender;
  testing_support::UdpPeer receiver;
  ASSERT_TRUE(sender.ok() && receiver.ok());
  const auto bytes =
      testing_support::FecDatagram(1, testing_support::MediaDatagram(0xA0, 0x66, 2, 3));
  auto packet = Make(bytes);
  EXPECT_EQ(packet->Send(receiver.address(), sender.fd()), static_cast<int>(bytes.size()));
  rtc::SocketAddress from;
  auto got = receiver.Receive(std::chrono::milliseconds(5000), &from);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, bytes);
  EXPECT_EQ(from, sender.address());
}

TEST(UDPPacketTest, SendToIncompleteAddressOrBadSocketSendsNothing) {
  testing_support::UdpPeer sender;
  testing_support::UdpPeer receiver;
  ASSERT_TRUE(sender.ok() && receiver.ok());
  auto packet = Make(testing_support::MediaDatagram(0xA0, 0x66, 2, 3));
  EXPECT_EQ(packet->Send(rtc::SocketAddress(), sender.fd()), 0);
  EXPECT_EQ(packet->Send(testing_support::Loopback(0), sender.fd()), 0);
  rtc::SocketAddress any;
  any.FromString("0.0.0.0:" + std::to_string(receiver.address().port()));
  EXPECT_EQ(packet->Send(any, sender.fd()), 0);
  EXPECT_EQ(packet->Send(receiver.address(), -1), 0);
  // Nothing arrived: a marker sent afterwards is the first datagram there.
  const std::vector<uint8_t> marker = {'m'};
  ASSERT_TRUE(sender.SendTo(receiver.address(), marker));
  auto got = receiver.Receive();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, marker);
}

}  // namespace
}  // namespace corvaneserver
