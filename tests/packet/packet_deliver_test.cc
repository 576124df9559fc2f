#include "packet/packet_deliver.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "packet/packet_receiver.h"
#include "packet/packet_test_util.h"

#include "support/media_datagram.h"
#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

std::vector<uint8_t> Voice(uint32_t sequence, uint64_t user_id = 7) {
  return testing_support::MediaDatagram(0xA0, 0x66, sequence, user_id,
                                        testing_support::TokenHeader(2), "tk", "voice");
}

// The media path as the service builds it: receive threads on a loopback port
// feeding the deliver pool, whose workers call a recording packet handler.
class PacketDeliverTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (receiver_) receiver_->Shutdown();
    if (deliver_) deliver_->Shutdown();
  }

  void StartPipeline(unsigned int workers, unsigned int receivers = 2,
                     unsigned int interval_ms = 300000, bool media_listener = true) {
    deliver_ = std::make_unique<PacketDeliver>(workers, interval_ms, recorder_.callback());
    receiver_ = std::make_unique<PacketReceiver>(receivers);
    port_ = static_cast<uint16_t>(testutil::FreeUdpPort());
    ASSERT_NE(port_, 0);
    PacketDeliver* deliver = deliver_.get();
    const PacketCallback to_pool = [deliver](std::shared_ptr<UDPPacket> packet) {
      return deliver->OnPacketDelivered(std::move(packet));
    };
    ASSERT_EQ(receiver_->Listen(server(), to_pool, media_listener), 0);
  }
  rtc::SocketAddress server() const { return testing_support::Loopback(port_); }

  // Probes the server from `client` and waits for the echo.
  void Detect(const testing_support::UdpPeer& client) {
    const auto probe = testing_support::DetectDatagram();
    ASSERT_TRUE(client.SendTo(server(), probe));
    rtc::SocketAddress from;
    const auto echo = client.Receive(test::kDeadline, &from);
    ASSERT_TRUE(echo.has_value());
    ASSERT_EQ(*echo, probe);
    ASSERT_EQ(from, server());
  }

  // Worker index of datagrams from `client`.
  unsigned int IndexOf(const testing_support::UdpPeer& client) {
    auto probe = std::make_shared<UDPPacket>(16);
    probe->SetSocket(-1, client.address());
    return deliver_->GetIndex(probe);
  }

  testutil::LogCapture log_;
  test::PacketRecorder recorder_;
  std::unique_ptr<PacketDeliver> deliver_;
  std::unique_ptr<PacketReceiver> receiver_;
  uint16_t port_ = 0;
};

TEST_F(PacketDeliverTest, DetectIsEchoedFromItsSocketAndNotDelivered) {
  StartPipeline(2);
  testing_support::UdpPeer client;
  Detect(client);
  const auto voice = Voice(1);
  ASSERT_TRUE(client.SendTo(server(), voice));
  ASSERT_TRUE(recorder_.WaitForCount(1));
  // The probe went to the same worker before the voice: had it been
  // delivered, it would be first.
  EXPECT_EQ(recorder_.bytes(0), voice);
  EXPECT_EQ(recorder_.count(), 1u);
}

TEST_F(PacketDeliverTest, ThirteenByteCOrIsOrdinaryAndDroppedFromUnknownSource) {
  StartPipeline(1);
  testing_support::UdpPeer client;
  ASSERT_TRUE(client.SendTo(server(), testing_support::DetectDatagram(0x20, 13)));
  Detect(client);  // the first datagram back is this probe's echo, not one for the 13 bytes
  const auto voice = Voice(2);
  ASSERT_TRUE(client.SendTo(server(), voice));
  ASSERT_TRUE(recorder_.WaitForCount(1));
  EXPECT_EQ(recorder_.bytes(0), voice);
}

TEST_F(PacketDeliverTest, UnknownSourceIsDroppedAndTheSameDatagramAfterDetectDelivered) {
  StartPipeline(2);
  testing_support::UdpPeer client;
  const auto voice = Voice(3);
  ASSERT_TRUE(client.SendTo(server(), voice));
  Detect(client);
  ASSERT_TRUE(client.SendTo(server(), voice));
  ASSERT_TRUE(recorder_.WaitForCount(1));
  const auto marker = Voice(4);
  ASSERT_TRUE(client.SendTo(server(), marker));
  ASSERT_TRUE(recorder_.WaitForCount(2));
  EXPECT_EQ(recorder_.count(), 2u);
  EXPECT_EQ(recorder_.bytes(0), voice);
  EXPECT_EQ(recorder_.bytes(1), marker);
}

TEST_F(PacketDeliverTest, FirstCascadeDatagramMakesItsSourceKnownWithoutBeingCounted) {
  rtc::ScopedFakeClock clock;
  StartPipeline(2, 2, 1000);
  testing_support::UdpPeer peer;
  for (uint32_t seq = 1; seq <= 2; ++seq) {
    ASSERT_TRUE(peer.SendTo(server(), testing_support::MediaDatagram(0xA0, 'n', seq, 42)));
    ASSERT_TRUE(recorder_.WaitForCount(seq));
  }
  clock.AdvanceTime(1000);
  ASSERT_TRUE(peer.SendTo(server(), Voice(3)));
  ASSERT_TRUE(recorder_.WaitForCount(3));
  ASSERT_TRUE(log_.WaitFor("received packet from [" + peer.address().ToString() + "]"));
  // Three delivered, two counted.
  EXPECT_EQ(
      log_.Count("received packet from [" + peer.address().ToString() + "] statistics: [C:2 | "),
      1u);
}

TEST_F(PacketDeliverTest, OneSourceIsHandledInOrderByOneWorker) {
  StartPipeline(2, 2);
  testing_support::UdpPeer client;
  Detect(client);
  constexpr uint32_t kCount = 300;
  for (uint32_t seq = 0; seq < kCount; ++seq) {
    ASSERT_TRUE(client.SendTo(server(), Voice(seq, seq)));  // user ids vary: not the key
    if (seq % 50 == 49) {
      ASSERT_TRUE(recorder_.WaitForCount(seq + 1));
    }
  }
  ASSERT_TRUE(recorder_.WaitForCount(kCount));
  const auto entries = recorder_.entries();
  std::set<std::thread::id> threads;
  for (uint32_t seq = 0; seq < kCount; ++seq) {
    EXPECT_EQ(entries[seq].packet->SequenceNum(), seq);
    threads.insert(entries[seq].thread);
  }
  EXPECT_EQ(threads.size(), 1u);
}

TEST_F(PacketDeliverTest, SourcesAreSpreadOverWorkersByAddress) {
  StartPipeline(2, 2);
  // Three clients for each worker.
  std::vector<std::unique_ptr<testing_support::UdpPeer>> clients;
  int per_index[2] = {0, 0};
  while (clients.size() < 6) {
    auto client = std::make_unique<testing_support::UdpPeer>();
    ASSERT_TRUE(client->ok());
    const unsigned int index = IndexOf(*client);
    ASSERT_LT(index, 2u);
    if (per_index[index] < 3) {
      ++per_index[index];
      clients.push_back(std::move(client));
    }
  }
  for (const auto& client : clients) Detect(*client);
  constexpr uint32_t kPerClient = 20;
  for (uint32_t seq = 0; seq < kPerClient; ++seq) {
    for (size_t c = 0; c < clients.size(); ++c) {
      ASSERT_TRUE(clients[c]->SendTo(server(), Voice(seq, c)));
    }
  }
  ASSERT_TRUE(recorder_.WaitForCount(kPerClient * clients.size()));

  std::map<uint64_t, std::set<std::thread::id>> threads_of_client;
  std::map<uint64_t, uint32_t> next_sequence;
  for (const auto& entry : recorder_.entries()) {
    const uint64_t c = entry.packet->UserId();
    threads_of_client[c].insert(entry.thread);
    EXPECT_EQ(entry.packet->SequenceNum(), next_sequence[c]++) << "client " << c;
  }
  std::map<unsigned int, std::set<std::thread::id>> threads_of_index;
  for (size_t c = 0; c < clients.size(); ++c) {
    ASSERT_EQ(threads_of_client[c].size(), 1u) << "client " << c;
    threads_of_index[IndexOf(*clients[c])].insert(*threads_of_client[c].begin());
  }
  ASSERT_EQ(threads_of_index.size(), 2u);
  EXPECT_EQ(threads_of_index[0].size(), 1u);
  EXPECT_EQ(threads_of_index[1].size(), 1u);
  EXPECT_NE(*threads_of_index[0].begin(), *threads_of_index[1].begin());
}

TEST_F(PacketDeliverTest, DatagramWithNilSourceSkipsTheStatistics) {
  StartPipeline(2);
  const auto bytes = Voice(5);
  auto packet = std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
  ASSERT_TRUE(packet->FromAddress().IsNil());
  EXPECT_EQ(deliver_->OnPacketDelivered(packet), 0);
  ASSERT_TRUE(recorder_.WaitForCount(1));
  EXPECT_EQ(recorder_.entries()[0].packet, packet);  // the same object, not a copy
}

TEST_F(PacketDeliverTest, ShortDatagramFromKnownSourceIsDroppedWithALine) {
  StartPipeline(1);
  testing_support::UdpPeer client;
  Detect(client);
  ASSERT_TRUE(client.SendTo(server(), {0xA0, 0x66, 0, 0, 0}));
  const auto voice = Voice(6);
  ASSERT_TRUE(client.SendTo(server(), voice));
  ASSERT_TRUE(recorder_.WaitForCount(1));
  EXPECT_EQ(recorder_.bytes(0), voice);
  EXPECT_EQ(log_.Count("drop packet of 5 bytes from [" + client.address().ToString() + "]",
                       rtc::LS_WARNING),
            1u);
}

TEST_F(PacketDeliverTest, WorkerIsChosenByAddressHashOrByUserId) {
  PacketDeliver deliver(3, 300000, recorder_.callback());
  const uint64_t user_id = 0x123456789ull;
  auto bytes = Voice(1, user_id);
  auto packet = std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
  EXPECT_EQ(deliver.GetIndex(packet), user_id % 3);
  // Port 0: not complete, still the user id.
  packet->SetSocket(-1, testing_support::Loopback(0));
  EXPECT_EQ(deliver.GetIndex(packet), user_id % 3);
  // A complete address: its hash, sign-extended ports and all, whatever the
  // user id.
  for (uint16_t port : {1000, 32767, 32768, 40000, 65535}) {
    packet->SetSocket(-1, testing_support::Loopback(port));
    EXPECT_EQ(deliver.GetIndex(packet),
              static_cast<uint64_t>(testing_support::Loopback(port).Hash()) % 3)
        << port;
  }
  deliver.Shutdown();
}

TEST_F(PacketDeliverTest, ZeroWorkersIsRaisedToOneAndZeroIntervalWarns) {
  StartPipeline(0, 1, 0);
  EXPECT_EQ(deliver_->worker_numbers(), 1u);
  EXPECT_EQ(log_.Count("deliver worker thread numbers is 0", rtc::LS_INFO), 1u);
  EXPECT_EQ(log_.Count("deliver worker thread numbers is 0, use 1 instead", rtc::LS_WARNING), 1u);
  EXPECT_EQ(log_.Count("packet statistics interval is 0", rtc::LS_WARNING), 1u);
  testing_support::UdpPeer client;
  Detect(client);
  ASSERT_TRUE(client.SendTo(server(), Voice(1)));
  EXPECT_TRUE(recorder_.WaitForCount(1));
}

TEST_F(PacketDeliverTest, ShutdownStopsReceiversBeforeWorkersAndJoinsEveryThread) {
  const int receive_before = test::CountThreadsNamed("ReceiveWorker");
  const int deliver_before = test::CountThreadsNamed("DeliverWorker");
  StartPipeline(2, 2, 300000, false);
  ASSERT_TRUE(testutil::WaitFor([&] {
    return test::CountThreadsNamed("ReceiveWorker") == receive_before + 2 &&
           test::CountThreadsNamed("DeliverWorker") == deliver_before + 2;
  }));

  receiver_->Shutdown();
  EXPECT_EQ(test::CountThreadsNamed("ReceiveWorker"), receive_before);
  EXPECT_EQ(test::CountThreadsNamed("DeliverWorker"), deliver_before + 2);
  // The workers still run: a datagram handed to the pool is delivered.
  const auto bytes = Voice(9);
  auto packet = std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
  ASSERT_EQ(deliver_->OnPacketDelivered(packet), 0);
  ASSERT_TRUE(recorder_.WaitForCount(1));
  // The receivers do not: a datagram stays in its socket.
  testing_support::UdpPeer client;
  ASSERT_TRUE(client.SendTo(server(), Voice(10)));
  pollfd fds[2] = {{receiver_->GetSocket(), POLLIN, 0}, {receiver_->GetSocket(), POLLIN, 0}};
  EXPECT_EQ(::poll(fds, 2, 5000), 1);

  deliver_->Shutdown();
  EXPECT_EQ(test::CountThreadsNamed("DeliverWorker"), deliver_before);
  EXPECT_EQ(recorder_.count(), 1u);
}

// A handler that holds the first datagram until released.
class BlockingHandler {
 public:
  PacketCallback callback() {
    return [this](std::shared_ptr<UDPPacket>) {
      std::unique_lock<std::mutex> hold(lock_);
      ++handled_;
      changed_.notify_all();
      changed_.wait(hold, [this] { return released_; });
      return 0;
    };
  }
  bool WaitHandled(size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, test::kDeadline, [&] { return handled_ >= count; });
  }
  void Release() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      released_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex lock_;  // guards handled_ and released_
  std::condition_variable changed_;
  size_t handled_ = 0;
  bool released_ = false;
};

TEST_F(PacketDeliverTest, FullQueueDropsNewDatagramsInsteadOfGrowing) {
  BlockingHandler handler;
  PacketDeliver deliver(1, 300000, handler.callback());
  const auto bytes = Voice(1);
  auto make = [&] {
    return std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
  };
  ASSERT_EQ(deliver.OnPacketDelivered(make()), 0);
  ASSERT_TRUE(handler.WaitHandled(1));  // the worker is now stuck in the handler
  for (size_t i = 0; i < PacketDeliver::kMaxQueuedPackets; ++i) {
    ASSERT_EQ(deliver.OnPacketDelivered(make()), 0) << i;
  }
  EXPECT_EQ(deliver.OnPacketDelivered(make()), -1);
  EXPECT_EQ(deliver.OnPacketDelivered(make()), -1);
  EXPECT_EQ(log_.Count("deliver queue full", rtc::LS_WARNING), 1u);  // rate-limited
  handler.Release();
  EXPECT_TRUE(handler.WaitHandled(1 + PacketDeliver::kMaxQueuedPackets));
  deliver.Shutdown();
}

// Holds the first datagram until released; records the order and the thread
// of every datagram it handles.
class GatedRecorder {
 public:
  PacketCallback callback() {
    return [this](std::shared_ptr<UDPPacket> packet) {
      std::unique_lock<std::mutex> hold(lock_);
      sequences_.push_back(packet->SequenceNum());
      threads_.insert(std::this_thread::get_id());
      changed_.notify_all();
      changed_.wait(hold, [this] { return released_; });
      return 0;
    };
  }
  bool WaitHandled(size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, test::kDeadline, [&] { return sequences_.size() >= count; });
  }
  void Release() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      released_ = true;
    }
    changed_.notify_all();
  }
  std::vector<uint32_t> sequences() const {
    std::lock_guard<std::mutex> hold(lock_);
    return sequences_;
  }
  size_t thread_count() const {
    std::lock_guard<std::mutex> hold(lock_);
    return threads_.size();
  }

 private:
  mutable std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  std::vector<uint32_t> sequences_;
  std::set<std::thread::id> threads_;
  bool released_ = false;
};

TEST_F(PacketDeliverTest, BacklogLongerThanOneWorkerBatchIsHandledInOrderOnOneThread) {
  GatedRecorder recorder;
  PacketDeliver deliver(1, 300000, recorder.callback());
  auto make = [](uint32_t sequence) {
    const auto bytes = Voice(sequence);
    return std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
  };
  ASSERT_EQ(deliver.OnPacketDelivered(make(0)), 0);
  ASSERT_TRUE(recorder.WaitHandled(1));  // the worker holds datagram 0; the rest queue up
  constexpr uint32_t kBacklog = 5 * PacketDeliver::kHandleBatch + 3;
  for (uint32_t sequence = 1; sequence <= kBacklog; ++sequence) {
    ASSERT_EQ(deliver.OnPacketDelivered(make(sequence)), 0);
  }
  recorder.Release();
  ASSERT_TRUE(recorder.WaitHandled(kBacklog + 1));
  const std::vector<uint32_t> sequences = recorder.sequences();
  for (uint32_t sequence = 0; sequence <= kBacklog; ++sequence) {
    EXPECT_EQ(sequences[sequence], sequence);
  }
  EXPECT_EQ(recorder.thread_count(), 1u);
  deliver.Shutdown();
}

}  // namespace
}  // namespace corvaneserver
