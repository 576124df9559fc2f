#include "packet/packet_admission.h"

#include <netinet/in.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "packet/packet_metrics.h"
#include "packet/packet_test_util.h"

#include "support/media_datagram.h"

namespace corvaneserver {
namespace {

constexpr int64_t kLimitMs = 50;

// A voice datagram as a receive thread hands it on: read at `read_ms`, after
// `kernel_wait_ms` in the socket buffer, from 10.0.0.1:4000.
std::shared_ptr<UDPPacket> Received(int64_t read_ms, int64_t kernel_wait_ms,
                                    uint8_t payload_type = 0x66) {
  const auto bytes = testing_support::MediaDatagram(0xA0, payload_type, 1, 7);
  auto packet = std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x0A000001);
  from.sin_port = htons(4000);
  packet->SetSocket(-1, from, read_ms, kernel_wait_ms);
  return packet;
}

class PacketAdmissionTest : public ::testing::Test {
 protected:
  // A known source: its first cascade datagram makes it known without being
  // delivered, so every later datagram of it reaches the recorder.
  void MakeSourceKnown(PacketAdmission& admission) {
    const auto cascade = testing_support::MediaDatagram(0xA0, 'n', 1, 7);
    auto packet =
        std::make_shared<UDPPacket>(cascade.data(), static_cast<unsigned int>(cascade.size()));
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x0A000001);
    from.sin_port = htons(4000);
    packet->SetSocket(-1, from, rtc::TimeMillis(), 0);
    admission.Handle(packet);
  }

  rtc::ScopedFakeClock clock_;
  testutil::LogCapture log_;
  test::PacketRecorder recorder_;
};

TEST_F(PacketAdmissionTest, DatagramOlderThanTheLimitIsDroppedCountedAndLoggedAtALimitedRate) {
  clock_.AdvanceTime(1000);
  PacketAdmission admission(0, kLimitMs, recorder_.callback());
  MakeSourceKnown(admission);
  const size_t known = recorder_.count();
  const uint64_t late_before = PacketMetrics::Get().dropped_late.Value();
  const int64_t now = rtc::TimeMillis();

  // Age counts the wait in the socket buffer and the wait after the read.
  EXPECT_EQ(admission.Handle(Received(now, kLimitMs)), 0);           // exactly at the limit
  EXPECT_EQ(admission.Handle(Received(now, kLimitMs + 1)), -1);      // in the kernel only
  EXPECT_EQ(admission.Handle(Received(now - 30, 21)), -1);           // 30 + 21 ms in all
  EXPECT_EQ(admission.Handle(Received(now - kLimitMs - 1, 0)), -1);  // after the read only
  EXPECT_EQ(recorder_.count(), known + 1);
  EXPECT_EQ(PacketMetrics::Get().dropped_late.Value() - late_before, 3u);
  EXPECT_EQ(log_.Count("drop packet from [10.0.0.1:4000]: it waited 51 ms to be handled, more "
                       "than 50 ms\n",
                       rtc::LS_WARNING),
            1u);
  EXPECT_EQ(log_.Count("ms to be handled"), 1u);

  clock_.AdvanceTime(1000);
  EXPECT_EQ(admission.Handle(Received(rtc::TimeMillis(), 200)), -1);
  EXPECT_EQ(
      log_.Count("it waited 200 ms to be handled, more than 50 ms (2 more since the last line)"),
      1u);
}

TEST_F(PacketAdmissionTest, LateAcknowledgementsAndKeptKindsAreStillHandled) {
  clock_.AdvanceTime(1000);
  PacketAdmission admission(0, kLimitMs, recorder_.callback());
  MakeSourceKnown(admission);
  const size_t known = recorder_.count();
  // Acknowledgements (odd types), music and retained datagrams.
  for (uint8_t type : {0x7F, 0x81, 0x65, 0x80, 0x82}) {
    EXPECT_EQ(admission.Handle(Received(rtc::TimeMillis(), 500, type)), 0) << int{type};
  }
  EXPECT_EQ(recorder_.count(), known + 5);
  EXPECT_EQ(log_.Count("ms to be handled"), 0u);
}

TEST_F(PacketAdmissionTest, AcknowledgementRequestBitDoesNotExemptLateVoice) {
  clock_.AdvanceTime(1000);
  PacketAdmission admission(0, kLimitMs, recorder_.callback());
  MakeSourceKnown(admission);
  const size_t known = recorder_.count();
  auto voice = Received(rtc::TimeMillis(), 500);
  voice->data()[0] |= kAckFlag;  // a sender may set it on every datagram
  ASSERT_TRUE(voice->Ack());
  EXPECT_EQ(admission.Handle(voice), -1);
  EXPECT_EQ(recorder_.count(), known);
  EXPECT_EQ(log_.Count("ms to be handled"), 1u);
}

TEST_F(PacketAdmissionTest, NoLimitOrNoReadTimeNeverDropsForAge) {
  clock_.AdvanceTime(100000);
  PacketAdmission unlimited(0, 0, recorder_.callback());
  MakeSourceKnown(unlimited);
  EXPECT_EQ(unlimited.Handle(Received(1, 5000)), 0);

  // A datagram made inside the server has no source and no read time.
  PacketAdmission limited(0, kLimitMs, recorder_.callback());
  const auto bytes = testing_support::MediaDatagram(0xA0, 0x66, 2, 7);
  EXPECT_EQ(limited.Handle(
                std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()))),
            0);
  EXPECT_EQ(log_.Count("ms to be handled"), 0u);
}

TEST_F(PacketAdmissionTest, AdmissionsSharingATableKnowEachOthersSources) {
  auto shared = std::make_shared<SharedSourceTable>(0);
  PacketAdmission first(shared, 0, recorder_.callback());
  PacketAdmission second(shared, 0, recorder_.callback());
  PacketAdmission alone(0, 0, recorder_.callback());
  MakeSourceKnown(first);
  const size_t known = recorder_.count();
  EXPECT_EQ(second.Handle(Received(rtc::TimeMillis(), 0)), 0);
  EXPECT_EQ(alone.Handle(Received(rtc::TimeMillis(), 0)), -1) << "a table of its own";
  EXPECT_EQ(recorder_.count(), known + 1);
  EXPECT_EQ(shared->source_count(), 1u);
}

}  // namespace
TEST(SharedSourceTableTest, ThreadsAdmitEachOthersSourcesConcurrently) {
  // Two receive threads: each makes 200 sources known, then handles voice from
  // the other's sources (datagrams to the other listened address), at once.
  auto shared = std::make_shared<SharedSourceTable>(0);
  test::PacketRecorder recorder;
  auto from = [](uint16_t port, uint8_t payload_type) {
    const auto bytes = testing_support::MediaDatagram(0xA0, payload_type, 1, 7);
    auto packet =
        std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7F000001);
    address.sin_port = htons(port);
    packet->SetSocket(-1, address, 0, 0);
    return packet;
  };
  std::atomic<int> ready{0};
  auto receive_thread = [&](uint16_t own, uint16_t other) {
    PacketAdmission admission(shared, 0, recorder.callback());
    for (uint16_t i = 0; i < 200; ++i) admission.Handle(from(own + i, 'n'));
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    for (uint16_t i = 0; i < 200; ++i) admission.Handle(from(other + i, 0x66));
  };
  std::thread a(receive_thread, 30000, 31000);
  std::thread b(receive_thread, 31000, 30000);
  a.join();
  b.join();
  EXPECT_EQ(shared->source_count(), 400u);
  EXPECT_EQ(recorder.count(), 400u + 400u);  // the first datagrams, then the voice
}

}  // namespace corvaneserver
