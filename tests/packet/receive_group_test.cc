#include "packet/receive_group.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "packet/packet_metrics.h"
#include "packet/packet_receiver.h"
#include "packet/packet_test_util.h"

#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

TEST(ReceiveLoadTest, SpreadsAboveTheShareAndSharesAgainOnlyAfterASecondWellBelowIt) {
  ReceiveLoad load(50);
  EXPECT_TRUE(load.StartsShared());
  EXPECT_EQ(load.Report(50000, 100000, true), ReceiveLoad::Change::kNone);  // exactly half
  EXPECT_EQ(load.Report(50001, 100000, true), ReceiveLoad::Change::kSpread);
  // Spread: all threads together at 30% would put 30% on one thread, above
  // half the share: stay.
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(load.Report(30000, 100000, false), ReceiveLoad::Change::kNone);
  }
  // Light for nine windows, then a busy one: the count starts again.
  for (int i = 0; i < ReceiveLoad::kShareWindows - 1; ++i) {
    ASSERT_EQ(load.Report(1000, 100000, false), ReceiveLoad::Change::kNone);
  }
  EXPECT_EQ(load.Report(40000, 100000, false), ReceiveLoad::Change::kNone);
  for (int i = 0; i < ReceiveLoad::kShareWindows - 1; ++i) {
    ASSERT_EQ(load.Report(1000, 100000, false), ReceiveLoad::Change::kNone);
  }
  EXPECT_EQ(load.Report(1000, 100000, false), ReceiveLoad::Change::kShare);
}

TEST(ReceiveLoadTest, ZeroNeverSharesAndOddWindowsChangeNothing) {
  ReceiveLoad off(0);
  EXPECT_FALSE(off.StartsShared());
  EXPECT_EQ(off.Report(100000, 100000, true), ReceiveLoad::Change::kNone);
  for (int i = 0; i < 2 * ReceiveLoad::kShareWindows; ++i) {
    ASSERT_EQ(off.Report(0, 100000, false), ReceiveLoad::Change::kNone);
  }
  ReceiveLoad load(250);  // taken as 100: a busy thread never spreads
  EXPECT_EQ(load.Report(100000, 100000, true), ReceiveLoad::Change::kNone);
  EXPECT_EQ(load.Report(100000, 0, true), ReceiveLoad::Change::kNone);
}

// Sources spread over the two sockets of one address, read by a ReceiveGroup.
class ReceiveGroupTest : public ::testing::Test {
 protected:
  // Opens `count` sockets on one free loopback port, with `callback` each.
  void Open(size_t count, uint32_t spread_percent, const PacketCallback& callback) {
    port_ = static_cast<uint16_t>(testutil::FreeUdpPort());
    ASSERT_NE(port_, 0);
    PacketReceiver opener(1);
    std::vector<std::unique_ptr<ReceiveSocket>> sockets;
    int first = -1;
    for (size_t i = 0; i < count; ++i) {
      const int socket = opener.StartListen(testing_support::Loopback(port_));
      ASSERT_GE(socket, 0);
      if (first < 0) first = socket;
      sockets.push_back(std::make_unique<ReceiveSocket>(socket, first, callback));
    }
    group_ = std::make_unique<ReceiveGroup>(std::move(sockets), spread_percent);
  }
  rtc::SocketAddress server() const { return testing_support::Loopback(port_); }

  // Clients until both sockets have some (the kernel picks by source).
  void ClientsOnBothSockets() {
    std::set<std::thread::id> threads;
    while (threads.size() < 2) {
      ASSERT_LT(clients_.size(), 64u) << "the kernel put every source on one socket";
      clients_.push_back(std::make_unique<testing_support::UdpPeer>());
      ASSERT_TRUE(clients_.back()->SendTo(server(), {0xA0, 0, 0}));
      ASSERT_TRUE(recorder_.WaitForCount(clients_.size()));
      threads.insert(recorder_.entries().back().thread);
    }
  }

  uint16_t port_ = 0;
  test::PacketRecorder recorder_;
  std::vector<std::unique_ptr<testing_support::UdpPeer>> clients_;
  std::unique_ptr<ReceiveGroup> group_;
};

TEST_F(ReceiveGroupTest, WhileLightTheFirstThreadReadsEverySocket) {
  Open(2, ReceiveLoad::kDefaultSpreadPercent, recorder_.callback());
  group_->Start();
  EXPECT_EQ(group_->SharedSockets(), 2u);
  // 32 sources: the kernel puts some on each socket, yet one thread reads all.
  for (int i = 0; i < 32; ++i) {
    clients_.push_back(std::make_unique<testing_support::UdpPeer>());
    ASSERT_TRUE(clients_.back()->SendTo(server(), {0xA0, 1, static_cast<uint8_t>(i)}));
  }
  ASSERT_TRUE(recorder_.WaitForCount(32));
  std::set<std::thread::id> threads;
  std::set<int> sockets;
  for (const auto& entry : recorder_.entries()) {
    threads.insert(entry.thread);
    sockets.insert(entry.packet->socket());
  }
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(sockets, std::set<int>{group_->socket(0)});  // answered through one socket
  group_->Shutdown();
}

TEST_F(ReceiveGroupTest, WithSpreadingOffEachThreadReadsItsOwnSocket) {
  Open(2, 0, recorder_.callback());
  group_->Start();
  EXPECT_EQ(group_->SharedSockets(), 1u);
  ClientsOnBothSockets();  // fails unless two threads handle datagrams
  group_->Shutdown();
}

TEST_F(ReceiveGroupTest, WhatAReceivedBatchCausesLeavesInOneSendmmsg) {
  // Each datagram is answered twice through the thread's batch.
  testing_support::UdpPeer answers;
  ASSERT_TRUE(answers.ok());
  PacketCallback echo_twice = [&](std::shared_ptr<UDPPacket> packet) {
    ThreadBatch batch;
    batch->Add(packet->socket(), answers.address(), packet);
    batch->Add(packet->socket(), answers.address(), packet);
    return 0;
  };
  Open(1, 0, echo_twice);
  // Eight datagrams wait in the socket before its thread starts: one recvmmsg.
  testing_support::UdpPeer client;
  for (uint8_t i = 0; i < 8; ++i) ASSERT_TRUE(client.SendTo(server(), {0xA0, i}));
  const uint64_t calls_before = PacketMetrics::Get().send_calls.Value();
  group_->Start();
  std::vector<uint8_t> order;
  while (order.size() < 16) {
    const auto bytes = answers.Receive();
    ASSERT_TRUE(bytes.has_value()) << "after " << order.size() << " answers";
    order.push_back((*bytes)[1]);
  }
  EXPECT_EQ(order, (std::vector<uint8_t>{0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7}));
  EXPECT_EQ(PacketMetrics::Get().send_calls.Value() - calls_before, 1u);
  group_->Shutdown();
}

TEST_F(ReceiveGroupTest, SocketsChangeHandsUnderLoadWithoutReorderingOrLosingASource) {
  // Handling costs CPU time (a spin), so a stream of datagrams keeps the
  // first thread busy past the share: the others join in. When the stream
  // stops, the first thread takes the sockets back. Through both changes each
  // source's numbers arrive once and in order.
  std::mutex lock;
  std::map<uint8_t, std::vector<uint16_t>> seen;  // numbers by source tag
  std::atomic<size_t> handled{0};
  PacketCallback slow = [&](std::shared_ptr<UDPPacket> packet) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
    while (std::chrono::steady_clock::now() < end) {
    }
    const uint8_t* d = packet->data();
    {
      std::lock_guard<std::mutex> hold(lock);
      seen[d[1]].push_back(static_cast<uint16_t>(d[2] << 8 | d[3]));
    }
    handled.fetch_add(1);
    return 0;
  };
  // A low share, so that the spinning thread passes it even when it gets only
  // part of a core on a loaded host.
  Open(2, 10, slow);
  group_->Start();
  constexpr int kSources = 16;
  constexpr int kEach = 400;
  std::vector<std::unique_ptr<testing_support::UdpPeer>> sources;
  for (int s = 0; s < kSources; ++s)
    sources.push_back(std::make_unique<testing_support::UdpPeer>());
  bool spread = false;
  for (int n = 0; n < kEach; ++n) {
    for (int s = 0; s < kSources; ++s) {
      ASSERT_TRUE(
          sources[s]->SendTo(server(), {0xA0, static_cast<uint8_t>(s), static_cast<uint8_t>(n >> 8),
                                        static_cast<uint8_t>(n & 0xFF)}));
    }
    spread = spread || group_->SharedSockets() == 1;
    // Paced a little below what two threads handle, well above one's share.
    if (n % 4 == 3) {
      while (handled.load() + 64 < static_cast<size_t>((n + 1) * kSources)) {
        std::this_thread::yield();
      }
    }
  }
  ASSERT_TRUE(testutil::WaitFor([&] { return handled.load() == kSources * kEach; },
                                std::chrono::milliseconds(30000)));
  EXPECT_TRUE(spread) << "the threads never spread";
  // Idle now: within a few seconds the first thread holds every socket again.
  EXPECT_TRUE(testutil::WaitFor([&] { return group_->SharedSockets() == 2; },
                                std::chrono::milliseconds(10000)));
  std::lock_guard<std::mutex> hold(lock);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kSources));
  for (const auto& [source, numbers] : seen) {
    ASSERT_EQ(numbers.size(), static_cast<size_t>(kEach)) << "source " << int(source);
    for (int n = 0; n < kEach; ++n) {
      ASSERT_EQ(numbers[n], n) << "source " << int(source);
    }
  }
  group_->Shutdown();
}

}  // namespace
}  // namespace corvaneserver
