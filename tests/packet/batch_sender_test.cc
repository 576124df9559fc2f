#include "packet/batch_sender.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "packet/packet_metrics.h"

#include "support/log_capture.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::chrono::milliseconds kWait(2000);
constexpr std::chrono::milliseconds kNothing(100);
constexpr BatchSender::Kind kForwarded = BatchSender::Kind::kForwarded;

Bytes Datagram(uint8_t tag, size_t size = 40) {
  Bytes bytes(size, tag);
  bytes[0] = tag;
  return bytes;
}

// One sending socket and receivers on loopback.
class BatchSenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(from_.ok());
    ASSERT_TRUE(from_other_.ok());
    ASSERT_TRUE(to_.ok());
    ASSERT_TRUE(to_other_.ok());
  }

  // Tags of what `socket` receives until nothing more comes.
  static std::vector<uint8_t> Drain(const testing_support::UdpPeer& socket) {
    std::vector<uint8_t> tags;
    while (auto bytes = socket.Receive(tags.empty() ? kWait : kNothing)) {
      tags.push_back(bytes->empty() ? 0 : (*bytes)[0]);
    }
    return tags;
  }

  testing_support::UdpPeer from_;
  testing_support::UdpPeer from_other_;
  testing_support::UdpPeer to_;
  testing_support::UdpPeer to_other_;
};

TEST_F(BatchSenderTest, DatagramsOfOneSocketLeaveInOrderWithOneCall) {
  std::vector<Bytes> datagrams;
  for (uint8_t tag = 1; tag <= 10; ++tag) datagrams.push_back(Datagram(tag));
  BatchSender batch;
  for (size_t i = 0; i < datagrams.size(); ++i) {
    const auto& to = (i % 2 == 0) ? to_ : to_other_;
    ASSERT_TRUE(batch.Add(from_.fd(), to.address(), datagrams[i].data(), datagrams[i].size()));
  }
  EXPECT_EQ(batch.pending(), 10u);
  EXPECT_EQ(batch.Flush(), 10u);
  EXPECT_EQ(batch.pending(), 0u);
  EXPECT_EQ(batch.calls(), 1u);
  EXPECT_EQ(Drain(to_), (std::vector<uint8_t>{1, 3, 5, 7, 9}));
  EXPECT_EQ(Drain(to_other_), (std::vector<uint8_t>{2, 4, 6, 8, 10}));
}

TEST_F(BatchSenderTest, BytesAreSentUnchangedFromTheQueuedSocket) {
  const Bytes datagram = Datagram(0x42, 200);
  BatchSender batch;
  ASSERT_TRUE(batch.Add(from_other_.fd(), to_.address(), datagram.data(), datagram.size()));
  batch.Flush();
  rtc::SocketAddress source;
  const auto received = to_.Receive(kWait, &source);
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(*received, datagram);
  EXPECT_EQ(source, from_other_.address());
}

TEST_F(BatchSenderTest, EachSocketGetsItsOwnCallAndKeepsItsOrder) {
  std::vector<Bytes> datagrams;
  for (uint8_t tag = 1; tag <= 6; ++tag) datagrams.push_back(Datagram(tag));
  BatchSender batch;
  // Sockets alternate, as members reached through two receive sockets do.
  for (size_t i = 0; i < datagrams.size(); ++i) {
    const int socket = (i % 2 == 0) ? from_.fd() : from_other_.fd();
    ASSERT_TRUE(batch.Add(socket, to_.address(), datagrams[i].data(), datagrams[i].size()));
  }
  EXPECT_EQ(batch.Flush(), 6u);
  EXPECT_EQ(batch.calls(), 2u);
  std::vector<uint8_t> from_first;
  std::vector<uint8_t> from_second;
  while (true) {
    rtc::SocketAddress source;
    const auto bytes =
        to_.Receive(from_first.size() + from_second.size() < 6 ? kWait : kNothing, &source);
    if (!bytes) break;
    (source == from_.address() ? from_first : from_second).push_back((*bytes)[0]);
  }
  EXPECT_EQ(from_first, (std::vector<uint8_t>{1, 3, 5}));
  EXPECT_EQ(from_second, (std::vector<uint8_t>{2, 4, 6}));
}

TEST_F(BatchSenderTest, IncompleteAddressOrNegativeSocketQueuesNothing) {
  const Bytes datagram = Datagram(1);
  BatchSender batch;
  EXPECT_FALSE(batch.Add(from_.fd(), rtc::SocketAddress(), datagram.data(), datagram.size()));
  EXPECT_FALSE(batch.Add(from_.fd(), rtc::SocketAddress(rtc::IPAddress(INADDR_ANY), 5000),
                         datagram.data(), datagram.size()));
  EXPECT_FALSE(batch.Add(from_.fd(), rtc::SocketAddress(rtc::IPAddress(INADDR_LOOPBACK), 0),
                         datagram.data(), datagram.size()));
  EXPECT_FALSE(batch.Add(-1, to_.address(), datagram.data(), datagram.size()));
  EXPECT_EQ(batch.pending(), 0u);
  EXPECT_EQ(batch.Flush(), 0u);
  EXPECT_EQ(batch.calls(), 0u);
  EXPECT_FALSE(to_.Receive(kNothing).has_value());
}

TEST_F(BatchSenderTest, RefusedDatagramIsDroppedAndTheRestStillGo) {
  const Bytes first = Datagram(1);
  const Bytes too_long(70000, 2);  // over the largest UDP payload: EMSGSIZE
  const Bytes last = Datagram(3);
  BatchSender batch;
  ASSERT_TRUE(batch.Add(from_.fd(), to_.address(), first.data(), first.size()));
  ASSERT_TRUE(batch.Add(from_.fd(), to_.address(), too_long.data(), too_long.size()));
  ASSERT_TRUE(batch.Add(from_.fd(), to_.address(), last.data(), last.size()));
  EXPECT_EQ(batch.Flush(), 2u);
  EXPECT_EQ(batch.sent(), 2u);
  EXPECT_EQ(batch.failed(), 1u);
  EXPECT_EQ(Drain(to_), (std::vector<uint8_t>{1, 3}));
}

TEST_F(BatchSenderTest, ForwardedCountsOnlyWhatTheKernelTookAndRefusalsAreExported) {
  const Bytes voice = Datagram(1);
  const Bytes too_long(70000, 2);
  const Bytes probe = Datagram(3, 18);
  const uint64_t failed_before = PacketMetrics::Get().send_failed.Value();
  BatchSender batch;
  ASSERT_TRUE(batch.Add(from_.fd(), to_.address(), voice.data(), voice.size(), kForwarded));
  ASSERT_TRUE(batch.Add(from_.fd(), to_.address(), too_long.data(), too_long.size(), kForwarded));
  ASSERT_TRUE(batch.AddCopy(from_.fd(), to_.address(), probe.data(), probe.size()));
  // No address: never queued, so never counted.
  EXPECT_FALSE(batch.Add(from_.fd(), rtc::SocketAddress(), voice.data(), voice.size(), kForwarded));
  EXPECT_EQ(batch.Flush(), 2u);
  EXPECT_EQ(batch.forwarded_sent(), 1u);
  EXPECT_EQ(PacketMetrics::Get().send_failed.Value() - failed_before, 1u);
}

TEST_F(BatchSenderTest, RefusedFirstDatagramIsNotRetried) {
  const Bytes too_long(70000, 2);
  const Bytes next = Datagram(3);
  BatchSender batch;
  ASSERT_TRUE(batch.Add(from_.fd(), to_.address(), too_long.data(), too_long.size()));
  ASSERT_TRUE(batch.Add(from_.fd(), to_.address(), next.data(), next.size()));
  EXPECT_EQ(batch.Flush(), 1u);
  EXPECT_EQ(batch.failed(), 1u);
  EXPECT_EQ(batch.calls(), 2u);
  EXPECT_EQ(Drain(to_), (std::vector<uint8_t>{3}));
}

TEST_F(BatchSenderTest, FullBatchFlushesByItselfInOrder) {
  const size_t total = BatchSender::kCapacity * 2 + 3;
  std::vector<Bytes> datagrams;
  for (size_t i = 0; i < total; ++i) datagrams.push_back(Datagram(static_cast<uint8_t>(i + 1)));
  BatchSender batch;
  for (const Bytes& datagram : datagrams) {
    ASSERT_TRUE(batch.Add(from_.fd(), to_.address(), datagram.data(), datagram.size()));
    ASSERT_LE(batch.pending(), BatchSender::kCapacity);
  }
  batch.Flush();
  EXPECT_EQ(batch.sent(), total);
  EXPECT_EQ(batch.calls(), 3u);
  std::vector<uint8_t> expected;
  for (size_t i = 0; i < total; ++i) expected.push_back(static_cast<uint8_t>(i + 1));
  EXPECT_EQ(Drain(to_), expected);
}

TEST_F(BatchSenderTest, AddCopyKeepsTheBytesAsTheyWereQueued) {
  Bytes small = Datagram(7, 18);
  const Bytes sent = small;
  BatchSender batch;
  ASSERT_TRUE(batch.AddCopy(from_.fd(), to_.address(), small.data(), small.size()));
  small.assign(small.size(), 0xEE);  // the caller's buffer goes away or changes
  batch.Flush();
  const auto received = to_.Receive(kWait);
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(*received, sent);
}

TEST_F(BatchSenderTest, AddCopyRefusesWhatDoesNotFit) {
  const Bytes large = Datagram(1, BatchSender::kMaxCopySize + 1);
  BatchSender batch;
  EXPECT_FALSE(batch.AddCopy(from_.fd(), to_.address(), large.data(), large.size()));
  EXPECT_EQ(batch.pending(), 0u);
}

TEST_F(BatchSenderTest, DestructionSendsWhatIsStillQueued) {
  const Bytes datagram = Datagram(9);
  {
    BatchSender batch;
    ASSERT_TRUE(batch.Add(from_.fd(), to_.address(), datagram.data(), datagram.size()));
  }
  EXPECT_EQ(Drain(to_), (std::vector<uint8_t>{9}));
}

TEST_F(BatchSenderTest, ThreadBatchJoinsTheInnermostScopeAndOwnsOneOutsideAny) {
  const Bytes first = Datagram(1);
  const Bytes second = Datagram(2);
  const Bytes third = Datagram(3);
  BatchSender outer;
  {
    BatchSender::Scope outer_scope(&outer);
    {
      ThreadBatch batch;
      EXPECT_EQ(batch.get(), &outer);
      ASSERT_TRUE(batch->AddCopy(from_.fd(), to_.address(), first.data(), 32));
    }
    BatchSender inner;
    {
      BatchSender::Scope inner_scope(&inner);
      ThreadBatch batch;
      EXPECT_EQ(batch.get(), &inner);
      ASSERT_TRUE(batch->AddCopy(from_.fd(), to_.address(), second.data(), 32));
    }
    // The inner scope flushed its own; the outer one still holds the first.
    EXPECT_EQ(inner.sent(), 1u);
    EXPECT_EQ(outer.pending(), 1u);
    EXPECT_EQ(BatchSender::OfThisThread(), &outer);
  }
  EXPECT_EQ(BatchSender::OfThisThread(), nullptr);
  EXPECT_EQ(outer.sent(), 1u);
  {
    ThreadBatch own;
    ASSERT_NE(own.get(), nullptr);
    ASSERT_TRUE(own->AddCopy(from_.fd(), to_.address(), third.data(), 32));
  }  // sent as it goes
  EXPECT_EQ(Drain(to_), (std::vector<uint8_t>{2, 1, 3}));
}

TEST_F(BatchSenderTest, QueuedPacketOutlivesItsOwnerAcrossFlushesOfAFullBatch) {
  // A receive batch's fan-out is queued long after the datagram's handler let
  // go of it, and one packet may fill the batch more than once.
  const size_t copies = BatchSender::kCapacity + 10;
  BatchSender batch;
  auto packet = std::make_shared<UDPPacket>(48);
  packet->SetSize(48);
  for (size_t i = 0; i < 48; ++i) packet->data()[i] = static_cast<uint8_t>(0x40 + i);
  const Bytes expected(packet->data(), packet->data() + 48);
  for (size_t i = 0; i < copies; ++i) ASSERT_TRUE(batch.Add(from_.fd(), to_.address(), packet));
  std::weak_ptr<UDPPacket> watch = packet;
  packet.reset();
  EXPECT_FALSE(watch.expired());  // the batch holds it for the last ten
  EXPECT_EQ(batch.Flush(), 10u);
  EXPECT_TRUE(watch.expired());  // and lets go once they are sent
  size_t received = 0;
  while (auto bytes = to_.Receive(received == 0 ? kWait : kNothing)) {
    ASSERT_EQ(*bytes, expected);
    ++received;
  }
  EXPECT_EQ(received, copies);
}

TEST_F(BatchSenderTest, RefusedAcknowledgementIsLoggedOthersOnlyCounted) {
  testutil::LogCapture log;
  const int not_a_socket = ::eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(not_a_socket, 0);
  const Bytes ack = Datagram(7, 22);
  const uint64_t failed_before = PacketMetrics::Get().send_failed.Value();
  {
    BatchSender batch;
    ASSERT_TRUE(batch.AddCopy(not_a_socket, to_.address(), ack.data(), ack.size()));
    ASSERT_TRUE(batch.AddCopy(not_a_socket, to_.address(), ack.data(), ack.size(),
                              BatchSender::Kind::kAck));
    EXPECT_EQ(batch.Flush(), 0u);
  }
  ::close(not_a_socket);
  EXPECT_EQ(PacketMetrics::Get().send_failed.Value() - failed_before, 2u);
  EXPECT_EQ(log.Count("send ack packet failed,  have only deliver -1 length", rtc::LS_ERROR), 1u);
}

}  // namespace
}  // namespace corvaneserver
