// Several threads forward datagrams through one SfuServer, as the deliver
// workers do, while the service thread joins, moves, quits, mutes and sweeps.
// Meant to run under ThreadSanitizer; in any build it checks that the server
// still forwards correctly afterwards.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "packet/udp_packet.h"
#include "sfu/sfu_server.h"
#include "sfu/sfu_wire.h"
#include "sfu/voice_channel.h"
#include "sfu/voice_room.h"

#include "support/server_fixture.h"
#include "support/stress_plan.h"
#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;

constexpr StressPlan kPlan = {/*workers=*/4, /*users_per_worker=*/4, /*rooms=*/3,
                              /*control_rounds=*/400, /*min_worker_rounds=*/20};
// Datagrams a worker reads per member per round: more than one round of the
// whole room's traffic sends a member.
constexpr size_t kDrainPerRound = 256;

// Every kind of datagram a member or peer may send, for `user`.
std::vector<Bytes> Traffic(uint64_t user, uint32_t seq) {
  std::vector<Bytes> all;
  all.push_back(MakeMedia(0xB0, 0x20, seq, user, TokenOf(user), Bytes(40, 1)));
  all.push_back(MakeMedia(0xB0, kRetainedPayloadType, seq, user, TokenOf(user), Bytes(20, 2)));
  all.push_back(MakeMedia(0xB0, kMusicPayloadType, seq, user, TokenOf(user), Bytes(30, 3)));
  all.push_back(MakeMedia(0xA0, 0x81, seq - 1, user, TokenOf(user)));
  all.push_back(MakeMedia(0xA0, 0x7F, seq - 1, user, TokenOf(user)));
  all.push_back(ReceiverReportDatagram(user, {{user + 1, seq}, {user - 1, seq * 2}}));
  Bytes nack(28, 0);
  nack[1] = 0xCA;
  rtc::SetBE64(nack.data() + 14, user);
  all.push_back(nack);
  uint8_t cascade[kCascadePacketSize];
  BuildCascadePacket(1 + seq % kPlan.rooms, seq, cascade);
  all.emplace_back(cascade, cascade + sizeof(cascade));
  all.push_back(MakeMedia(0xA0, 0x62, seq, user));
  all.push_back(Bytes(7, 0x20));  // too short for a header
  all.push_back(MakeMedia(0xB0, 0x20, seq, user, "wrong-token"));
  return all;
}

TEST(SfuStressTest, ForwardingWhileMembershipChanges) {
  rtc::ScopedFakeClock clock;
  SfuServer server;
  UdpPeer server_socket;
  // One address per user; the worker that owns a user is the only one that
  // handles that user's datagrams, as the deliver pool guarantees.
  std::vector<std::unique_ptr<UdpPeer>> peers;
  for (int i = 0; i < kPlan.workers * kPlan.users_per_worker; ++i)
    peers.push_back(std::make_unique<UdpPeer>());
  auto peer_of = [&](int worker, int index) -> const UdpPeer& {
    return *peers[static_cast<size_t>(worker * kPlan.users_per_worker + index)];
  };
  for (int w = 0; w < kPlan.workers; ++w) {
    for (int i = 0; i < kPlan.users_per_worker; ++i) {
      const uint64_t user = StressPlan::UserOf(w, i);
      ASSERT_EQ(server.JoinRoom(1 + user % kPlan.rooms, user, 1 + user % 3, TokenOf(user)), 0);
    }
  }

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> accepted{0};
  std::atomic<int> rounds[kPlan.workers] = {};
  std::vector<std::thread> workers;
  for (int w = 0; w < kPlan.workers; ++w) {
    workers.emplace_back([&, w] {
      uint32_t seq = 1;
      while (!stop.load(std::memory_order_relaxed)) {
        rounds[w].fetch_add(1, std::memory_order_relaxed);
        for (int i = 0; i < kPlan.users_per_worker; ++i) {
          const UdpPeer& peer = peer_of(w, i);
          for (const Bytes& bytes : Traffic(StressPlan::UserOf(w, i), seq)) {
            if (server.OnPacketReceived(MakePacket(bytes, server_socket.fd(), peer.address())) ==
                0) {
              accepted.fetch_add(1, std::memory_order_relaxed);
            }
          }
        }
        ++seq;
        // Members read what they were sent, so their buffers do not fill;
        // bounded, since the other workers keep sending meanwhile.
        for (int i = 0; i < kPlan.users_per_worker; ++i) peer_of(w, i).Drain(0, kDrainPerRound);
      }
    });
  }

  // The service thread: every control operation and both sweeps.
  for (int round = 0; round < kPlan.control_rounds; ++round) {
    const int w = round % kPlan.workers;
    const int i = (round / kPlan.workers) % kPlan.users_per_worker;
    const uint64_t user = StressPlan::UserOf(w, i);
    const uint64_t room = 1 + static_cast<uint64_t>(round) % kPlan.rooms;
    switch (round % 9) {
      case 0:
        server.JoinRoom(room, user, kUserTypeSpeaker, TokenOf(user));
        break;
      case 1:
        server.QuitRoom(room, user);
        break;
      case 2:
        server.AllowSpeaker(room, user, round % 2 == 0);
        break;
      case 3:
        server.MuteSpeaker(room, user, round % 4 == 3);
        break;
      case 4:
        server.RedeliverTimerProcess();
        break;
      case 5:
        clock.AdvanceTime(40000);
        server.InactiveTimerProcess();
        break;
      case 6:
        server.OuputStatistics();
        server.AddCascade(room, 900 + room, "127.0.0.1:9");
        break;
      case 7:
        if (round % 45 == 7) server.RemoveRoom(room);
        break;
      default:
        server.JoinRoom(room, user, kUserTypeListener, TokenOf(user));
        break;
    }
    clock.AdvanceTime(50);
    std::this_thread::yield();
  }
  // Every worker has been forwarding alongside the control operations. The
  // deadline is generous: on a loaded machine a round of sixteen users'
  // traffic can take a good share of a second.
  EXPECT_TRUE(testutil::WaitFor(
      [&] {
        for (const auto& count : rounds) {
          if (count.load() < kPlan.min_worker_rounds) return false;
        }
        return true;
      },
      std::chrono::seconds(30)));
  stop.store(true);
  for (auto& worker : workers) worker.join();
  EXPECT_GT(accepted.load(), 0u);

  // Afterwards the server still forwards exactly as it should.
  ASSERT_EQ(server.JoinRoom(50, 1, kUserTypeSpeaker, "a"), 0);
  ASSERT_EQ(server.JoinRoom(50, 2, kUserTypeListener, "b"), 0);
  UdpPeer speaker, listener;
  ASSERT_EQ(server.OnPacketReceived(MakePacket(MakeMedia(0xA0, 0x20, 1, 2, "b"), server_socket.fd(),
                                               listener.address())),
            0);
  const Bytes voice = MakeMedia(0xA0, 0x20, 2, 1, "a", {7});
  ASSERT_EQ(server.OnPacketReceived(MakePacket(voice, server_socket.fd(), speaker.address())), 0);
  EXPECT_EQ(listener.Receive(), voice);
  EXPECT_TRUE(speaker.Drain().empty());
}

}  // namespace
}  // namespace corvaneserver
