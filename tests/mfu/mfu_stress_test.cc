// Deliver-worker threads feed one MfuServer's channels while its mixer threads
// pass every room and the service thread joins, quits, moves, mutes, changes
// roles, removes rooms and sweeps. Rooms and channels go away during passes:
// a pass finishes on the references it copied, and a room's destruction waits
// for its pass. Meant to run under ThreadSanitizer (and AddressSanitizer); in
// any build it checks that everything is gone afterwards and that mixing
// still works.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/thread.h"
#include "mfu/mfu_channel.h"
#include "mfu/mfu_room.h"
#include "mfu/mfu_server.h"
#include "packet/udp_packet.h"

#include "support/fec_test_datagram.h"
#include "support/server_fixture.h"
#include "support/stress_plan.h"
#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;

constexpr StressPlan kPlan = {/*workers=*/3, /*users_per_worker=*/4, /*rooms=*/4,
                              /*control_rounds=*/1500, /*min_worker_rounds=*/20};

// A speaker's datagrams of one round: sources, a repair, a receiver report and
// a plain datagram; all carry the token, so any channel of the user admits them.
std::vector<Bytes> Traffic(uint64_t user, uint32_t seq) {
  std::vector<Bytes> all;
  for (uint32_t i = 0; i < 3; ++i) {
    all.push_back(MakeFecSource(
        user, seq + i,
        MakeMedia(0xB0, 0x20, seq + i, user, TokenOf(user),
                  {static_cast<uint8_t>(seq + user), static_cast<uint8_t>(i << 4), 7})));
  }
  all.push_back(MakeFecRepair(user, seq + 3, Bytes(40, static_cast<uint8_t>(seq))));
  all.push_back(ReceiverReportDatagram(user, {{user + 1, seq}}));
  all.push_back(MakeMedia(0xA0, 0x20, seq, user, TokenOf(user), {1}));
  return all;
}

class MfuStressTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    const std::string config = ServerConfig(dir_.path())
                                   .Set("mixer_frame_log", 0)
                                   .Set("mixer_worker_numbers", GetParam())
                                   .WriteTo(dir_.File("mfu.conf"));
    server_ = std::make_unique<MfuServer>();
    ASSERT_TRUE(server_->Init(config));
  }
  void TearDown() override { StopServer(server_); }

  testutil::TempDir dir_;
  std::unique_ptr<MfuServer> server_;
};

TEST_P(MfuStressTest, ControlDeliveryAndMixingRaceCleanly) {
  UdpPeer server_socket;
  std::vector<std::unique_ptr<UdpPeer>> peers;
  for (int i = 0; i < kPlan.workers * kPlan.users_per_worker; ++i)
    peers.push_back(std::make_unique<UdpPeer>());
  for (int w = 0; w < kPlan.workers; ++w) {
    for (int i = 0; i < kPlan.users_per_worker; ++i) {
      ASSERT_EQ(server_->JoinRoom(static_cast<uint64_t>(1 + (w + i) % kPlan.rooms),
                                  StressPlan::UserOf(w, i), kUserTypeSpeaker,
                                  TokenOf(StressPlan::UserOf(w, i))),
                0);
    }
  }

  std::atomic<bool> stop{false};
  std::atomic<int> rounds_done[kPlan.workers] = {};
  std::vector<std::thread> workers;
  for (int w = 0; w < kPlan.workers; ++w) {
    workers.emplace_back([&, w] {
      uint32_t seq = 1;
      while (!stop.load(std::memory_order_relaxed) ||
             rounds_done[w].load() < kPlan.min_worker_rounds) {
        for (int i = 0; i < kPlan.users_per_worker; ++i) {
          const uint64_t user = StressPlan::UserOf(w, i);
          const UdpPeer& from = *peers[static_cast<size_t>(w * kPlan.users_per_worker + i)];
          for (const Bytes& bytes : Traffic(user, seq)) {
            server_->OnPacketReceived(MakePacket(bytes, server_socket.fd(), from.address()));
          }
        }
        seq += 4;
        rounds_done[w].fetch_add(1);
      }
    });
  }

  // The service thread's part.
  for (int round = 0; round < kPlan.control_rounds; ++round) {
    const int w = round % kPlan.workers;
    const int i = (round / kPlan.workers) % kPlan.users_per_worker;
    const uint64_t user = StressPlan::UserOf(w, i);
    const uint64_t room = static_cast<uint64_t>(1 + round % kPlan.rooms);
    switch (round % 8) {
      case 0:
        server_->JoinRoom(room, user, kUserTypeSpeaker, TokenOf(user));  // a move
        break;
      case 1:
        server_->MuteSpeaker(room, user, false);
        break;
      case 2:
        server_->MuteSpeaker(room, user, true);
        break;
      case 3:
        server_->AllowSpeaker(room, user, false);
        break;
      case 4:
        server_->AllowSpeaker(room, user, true);
        break;
      case 5:
        server_->QuitRoom(room, user);
        server_->JoinRoom(room, user, kUserTypeSpeaker, TokenOf(user));
        break;
      case 6:
        // A whole room goes, with its users, while it is being mixed.
        server_->RemoveRoom(room);
        for (int k = 0; k < kPlan.users_per_worker; ++k) {
          server_->JoinRoom(room, StressPlan::UserOf(w, k), kUserTypeSpeaker,
                            TokenOf(StressPlan::UserOf(w, k)));
        }
        break;
      case 7:
        server_->InactiveTimerProcess();
        break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  stop.store(true);
  for (auto& worker : workers) worker.join();

  // Mixing still works: a fresh room with a speaker and a listener.
  UdpPeer speaker, listener;
  ASSERT_EQ(server_->JoinRoom(99, 1, kUserTypeSpeaker, "a"), 0);
  ASSERT_EQ(server_->JoinRoom(99, 2, kUserTypeListener, "b"), 0);
  ASSERT_EQ(server_->OnPacketReceived(MakePacket(MakeMedia(0xA0, 0x20, 0, 2, "b"),
                                                 server_socket.fd(), listener.address())),
            0);
  const Bytes voice = MakeFecSource(1, 1, MakeMedia(0xA0, 0x20, 1, 1, "a", {5, 0}));
  ASSERT_EQ(server_->OnPacketReceived(MakePacket(voice, server_socket.fd(), speaker.address())), 0);
  EXPECT_EQ(listener.Receive(), voice);

  for (uint64_t room = 1; room <= kPlan.rooms; ++room) server_->RemoveRoom(room);
  server_->RemoveRoom(99);
  EXPECT_EQ(server_->RoomCount(), 0u);
  EXPECT_EQ(server_->UserCount(), 0u);
  EXPECT_GT(server_->pass_lateness().Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(PoolAndThreadPerRoom, MfuStressTest, ::testing::Values(2, 0),
                         [](const ::testing::TestParamInfo<int>& param_info) {
                           return param_info.param == 0 ? std::string("ThreadPerRoom")
                                                        : "Pool" + std::to_string(param_info.param);
                         });

}  // namespace
}  // namespace corvaneserver
