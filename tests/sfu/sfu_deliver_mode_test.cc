// The two ways the server hands datagrams to its rooms, chosen by
// packet_deliver_mode: inline on the receive threads (the default), or through
// the pool of deliver workers. Both forward the same bytes in the same order.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "base/thread.h"
#include "packet/packet_test_util.h"
#include "sfu/sfu_server.h"

#include "support/media_datagram.h"
#include "support/server_fixture.h"
#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;

class SfuDeliverModeTest : public ::testing::Test {
 protected:
  void TearDown() override { StopServer(server_); }

  // Starts a server with `extra` configuration lines.
  void Start(const std::string& extra) {
    port_ = testutil::FreeUdpPort();
    const std::string config = dir_.File("sfu.conf");
    testutil::WriteFile(config, testing_support::ServerConfig(dir_.path())
                                        .Set("packet_listen_bgp_eth", "127.0.0.1")
                                        .Set("packet_listen_port", port_)
                                        .Text() +
                                    extra);
    server_ = std::make_unique<SfuServer>();
    ASSERT_TRUE(server_->Init(config));
  }

  // A speaker and two listeners in room 1; the speaker sends `count` voice
  // datagrams and both listeners must get them all, in order.
  void ForwardInOrder(int count) {
    const rtc::SocketAddress server("127.0.0.1", port_);
    UdpPeer peers[3];
    for (uint64_t user = 1; user <= 3; ++user) {
      const std::string token = "t" + std::to_string(user);
      ASSERT_EQ(server_->JoinRoom(1, user, kUserTypeListener, token), 0);
      UdpPeer& peer = peers[user - 1];
      const Bytes detect = testing_support::DetectDatagram();
      ASSERT_TRUE(peer.SendTo(server, detect));
      ASSERT_EQ(peer.Receive(), detect);
      // Admitted once its token is seen; the acknowledgement says so.
      ASSERT_TRUE(peer.SendTo(server, MakeMedia(0xB0, 0x20, 0, user, token)));
      ASSERT_TRUE(peer.Receive());
    }
    ASSERT_EQ(server_->AllowSpeaker(1, 1, true), 0);
    for (int seq = 1; seq <= count; ++seq) {
      ASSERT_TRUE(peers[0].SendTo(server, MakeMedia(0xA0, 0x20, seq, 1)));
    }
    for (int listener = 1; listener <= 2; ++listener) {
      for (int seq = 1; seq <= count; ++seq) {
        const auto got = peers[listener].Receive();
        ASSERT_TRUE(got) << "listener " << listener << " seq " << seq;
        EXPECT_EQ(testing_support::SeqOf(*got), static_cast<uint32_t>(seq));
      }
    }
  }

  testutil::TempDir dir_;
  testutil::LogCapture log_;
  std::unique_ptr<SfuServer> server_;
  int port_ = 0;
};

TEST_F(SfuDeliverModeTest, InlineIsTheDefaultAndStartsNoDeliverWorkers) {
  const int workers_before = test::CountThreadsNamed("DeliverWorker");
  Start("dispatcher_worker_numbers = 2\n");
  EXPECT_EQ(log_.Count("packet deliver mode is inline, max delay 50 ms"), 1u);
  EXPECT_EQ(server_->packet_deliver(), nullptr);
  EXPECT_EQ(test::CountThreadsNamed("DeliverWorker"), workers_before);
  ForwardInOrder(40);
}

TEST_F(SfuDeliverModeTest, PoolModeHandsDatagramsToDeliverWorkers) {
  const int workers_before = test::CountThreadsNamed("DeliverWorker");
  Start("packet_deliver_mode = pool\ndispatcher_worker_numbers = 2\npacket_max_delay_ms = 80\n");
  EXPECT_EQ(log_.Count("packet deliver mode is pool, max delay 80 ms"), 1u);
  ASSERT_NE(server_->packet_deliver(), nullptr);
  EXPECT_TRUE(testutil::WaitFor(
      [&] { return test::CountThreadsNamed("DeliverWorker") == workers_before + 2; }));
  ForwardInOrder(40);
}

TEST_F(SfuDeliverModeTest, UnknownModeAndAbsurdLimitsAreReplacedWithALine) {
  Start(
      "packet_deliver_mode = turbo\npacket_max_delay_ms = 999999\n"
      "packet_socket_buffer_bytes = 4000000000\n");
  EXPECT_EQ(log_.Count("configure [packet_deliver_mode] is \"turbo\", not inline or pool; "
                       "using inline",
                       rtc::LS_WARNING),
            1u);
  EXPECT_EQ(log_.Count("configure [packet_max_delay_ms] is 999999, using 10000", rtc::LS_WARNING),
            1u);
  EXPECT_EQ(log_.Count("configure [packet_socket_buffer_bytes] is 4000000000, using 268435456",
                       rtc::LS_WARNING),
            1u);
  EXPECT_EQ(server_->packet_deliver(), nullptr);
  ForwardInOrder(5);
}

// A client that announced itself (detect) on the first listened address and
// sends its token and voice to the second is admitted there too: the known
// sources are shared by the receive threads of every address.
void ExpectAdmittedAcrossAddresses(SfuServer* server, int port) {
  const rtc::SocketAddress first("127.0.0.1", port);
  const rtc::SocketAddress second("127.0.0.2", port);
  UdpPeer peers[2];
  for (uint64_t user = 1; user <= 2; ++user) {
    const std::string token = "t" + std::to_string(user);
    ASSERT_EQ(server->JoinRoom(1, user, kUserTypeListener, token), 0);
    UdpPeer& peer = peers[user - 1];
    const Bytes detect = testing_support::DetectDatagram();
    ASSERT_TRUE(peer.SendTo(first, detect));
    ASSERT_EQ(peer.Receive(), detect);
    ASSERT_TRUE(peer.SendTo(second, MakeMedia(0xB0, 0x20, 0, user, token)));
    ASSERT_TRUE(peer.Receive()) << "user " << user << " not admitted on the second address";
  }
  ASSERT_EQ(server->AllowSpeaker(1, 1, true), 0);
  for (int seq = 1; seq <= 20; ++seq) {
    ASSERT_TRUE(peers[0].SendTo(second, MakeMedia(0xA0, 0x20, seq, 1)));
  }
  for (int seq = 1; seq <= 20; ++seq) {
    const auto got = peers[1].Receive();
    ASSERT_TRUE(got) << "seq " << seq;
    EXPECT_EQ(testing_support::SeqOf(*got), static_cast<uint32_t>(seq));
  }
}

TEST_F(SfuDeliverModeTest, InlineSourceKnownOnOneAddressIsAdmittedOnTheOther) {
  Start("packet_listen_tel_eth = 127.0.0.2\n");
  ExpectAdmittedAcrossAddresses(server_.get(), port_);
}

TEST_F(SfuDeliverModeTest, PoolSourceKnownOnOneAddressIsAdmittedOnTheOther) {
  Start("packet_listen_tel_eth = 127.0.0.2\npacket_deliver_mode = pool\n");
  ExpectAdmittedAcrossAddresses(server_.get(), port_);
}

}  // namespace
}  // namespace corvaneserver
