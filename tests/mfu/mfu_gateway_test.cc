// The mixing server registers as type 3 and keeps its timers alive.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/tcp_test_peer.h"
#include "base/thread.h"
#include "base/time_utils.h"
#include "control/control_header.h"
#include "control/control_messages.h"
#include "mfu/mfu_server.h"

#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

TEST(MfuGatewayTest, RegistersAsMixingServerAndLogsTheRedeliverTickAsInvalid) {
  testutil::TempDir dir;
  rtc::ScopedFakeClock clock;
  testutil::LogCapture log;
  rtc::Thread* thread = rtc::Thread::Current();
  testpeer::TcpTestListener gateway(thread);
  const std::string config = dir.File("mfu.conf");
  testutil::WriteFile(config, "log_file_path = " + dir.path() +
                                  "/\ngateway_address = " + gateway.address().ToString() +
                                  "\npacket_listen_bgp_eth = 127.0.0.1\npacket_listen_port = " +
                                  std::to_string(testutil::FreeUdpPort()) + "\n");
  auto server = std::make_unique<MfuServer>();
  ASSERT_TRUE(server->Init(config));
  ASSERT_TRUE(testpeer::PumpUntil(thread, [&] {
    return gateway.accepted() == 1 && gateway.connection(0).messages().size() >= 2;
  }));
  RegisterReq reg;
  const testpeer::Bytes frame = gateway.connection(0).messages()[0];
  ASSERT_EQ(reg.Unmarshal(frame.data() + 10, frame.size() - 10), 0);
  EXPECT_EQ(reg.server_type, 3);
  EXPECT_EQ(reg.bgp_ip, "127.0.0.1");

  // Every 100 ms tick has no handler here: the first draws an error line (the
  // later ones one an hour), and each is re-armed.
  for (int i = 0; i < 5; ++i) {
    clock.AdvanceTime(100);
    thread->ProcessMessages(0);
  }
  EXPECT_EQ(log.Count("timer id [65538] is invalid", rtc::LS_ERROR), 1u);

  server->Exit();
  server.reset();
  thread->ProcessMessages(0);
}

TEST(MfuGatewayTest, DestroyedWhileDatagramsArriveStopsItsWorkersFirst) {
  // Without the workers stopped first, a worker still routing a datagram
  // would call into the half-destroyed server (a pure virtual call).
  testutil::TempDir dir;
  testutil::LogCapture log;
  const uint16_t port = testutil::FreeUdpPort();
  const std::string config = dir.File("mfu.conf");
  testutil::WriteFile(config, "log_file_path = " + dir.path() +
                                  "/\ngateway_address = 127.0.0.1:1\n"
                                  "packet_listen_bgp_eth = 127.0.0.1\npacket_listen_port = " +
                                  std::to_string(port) + "\n");
  testing_support::UdpPeer sender;
  const rtc::SocketAddress server_address("127.0.0.1", port);
  for (int round = 0; round < 5; ++round) {
    auto server = std::make_unique<MfuServer>();
    ASSERT_TRUE(server->Init(config));
    // The probe's echo admits the sender; what it sends next is routed.
    const testing_support::Bytes detect = {0x43, 0x4F, 0x72, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(sender.SendTo(server_address, detect));
    ASSERT_TRUE(sender.Receive());
    std::atomic<bool> sending{true};
    std::thread flood([&] {
      const testing_support::Bytes voice(40, 0x20);
      while (sending.load()) sender.SendTo(server_address, voice);
    });
    server.reset();
    sending = false;
    flood.join();
  }
  rtc::Thread::Current()->ProcessMessages(0);
}

}  // namespace
}  // namespace corvaneserver
