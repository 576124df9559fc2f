#include "packet/packet_receiver.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "packet/packet_metrics.h"
#include "packet/packet_test_util.h"

#include "support/media_datagram.h"
#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

uint16_t BoundPort(int socket) {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

// The kernel switches its receive timestamps on for the whole system a moment
// after the first socket asks for them (deferred work); until then a datagram
// is stamped when it is read and seems not to have waited. Waits, with a
// deadline, until a datagram that waited in a socket of our own shows its wait.
bool WaitForKernelReceiveTimestamps() {
  const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (probe < 0) return false;
  const int on = 1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  bool stamped = false;
  if (::setsockopt(probe, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) == 0 &&
      ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    stamped = testutil::WaitFor([&] {
      const uint8_t byte = 0;
      ::sendto(probe, &byte, 1, 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
      const int64_t sent_ms = rtc::TimeMillis();
      // Polled, not slept: the datagram must age before it is read.
      while (rtc::TimeMillis() - sent_ms < 5) std::this_thread::yield();
      uint8_t data = 0;
      iovec io{&data, 1};
      alignas(cmsghdr) char control[64];
      msghdr message{};
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof(control);
      if (::recvmsg(probe, &message, MSG_DONTWAIT) <= 0) return false;
      timespec now{};
      ::clock_gettime(CLOCK_REALTIME, &now);
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec stamp;
        std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
        return (now.tv_sec - stamp.tv_sec) * 1000 + (now.tv_nsec - stamp.tv_nsec) / 1000000 >= 4;
      }
      return false;
    });
  }
  ::close(probe);
  return stamped;
}

class PacketReceiverTest : public ::testing::Test {
 protected:
  // Listens on a free loopback port; the recorder plays the deliver pool.
  void StartReceiver(uint32_t workers, bool media_listener) {
    receiver_ = std::make_unique<PacketReceiver>(workers);
    port_ = static_cast<uint16_t>(testutil::FreeUdpPort());
    ASSERT_NE(port_, 0);
    ASSERT_EQ(
        receiver_->Listen(testing_support::Loopback(port_), recorder_.callback(), media_listener),
        0);
  }
  rtc::SocketAddress server() const { return testing_support::Loopback(port_); }

  testutil::LogCapture log_;
  test::PacketRecorder recorder_;
  std::unique_ptr<PacketReceiver> receiver_;
  uint16_t port_ = 0;
  testing_support::UdpPeer client_;
};

TEST_F(PacketReceiverTest, ListenOpensSeveralSocketsOnOnePortEachWithItsThread) {
  const int threads_before = test::CountThreadsNamed("ReceiveWorker");
  StartReceiver(3, false);
  EXPECT_EQ(log_.Count("receiver worker thread numbers is 3, and listen in 127.0.0.1:" +
                       std::to_string(port_)),
            1u);
  EXPECT_TRUE(testutil::WaitFor(
      [&] { return test::CountThreadsNamed("ReceiveWorker") == threads_before + 3; }));

  std::vector<int> sockets;
  for (int i = 0; i < 6; ++i) sockets.push_back(receiver_->GetSocket());
  EXPECT_EQ(std::set<int>(sockets.begin(), sockets.end()).size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_GE(sockets[i], 0);
    EXPECT_EQ(sockets[i], sockets[i + 3]);  // GetSocket goes round in turn
    EXPECT_EQ(BoundPort(sockets[i]), port_);
  }
}

TEST_F(PacketReceiverTest, TwoAddressesOfFourWorkersGiveEightThreads) {
  const int threads_before = test::CountThreadsNamed("ReceiveWorker");
  StartReceiver(4, true);
  rtc::SocketAddress second;
  ASSERT_TRUE(second.FromString("127.0.0.2:" + std::to_string(port_)));
  ASSERT_EQ(receiver_->Listen(second, recorder_.callback(), true), 0);
  EXPECT_TRUE(testutil::WaitFor(
      [&] { return test::CountThreadsNamed("ReceiveWorker") == threads_before + 8; }));
  ASSERT_TRUE(client_.SendTo(second, {0xA0, 1, 2}));
  ASSERT_TRUE(recorder_.WaitForCount(1));
}

TEST_F(PacketReceiverTest, GetSocketWithoutRecListenerIsMinusOne) {
  StartReceiver(2, true);
  EXPECT_EQ(receiver_->GetSocket(), -1);
}

TEST_F(PacketReceiverTest, DatagramIsStampedWithSocketSenderAndTime) {
  rtc::ScopedFakeClock clock;
  clock.AdvanceTime(777);
  StartReceiver(2, false);
  const std::set<int> sockets = {receiver_->GetSocket(), receiver_->GetSocket()};
  const auto bytes =
      testing_support::MediaDatagram(0xA0, 0x66, 1, 2, testing_support::TokenHeader(1), "t", "x");
  ASSERT_TRUE(client_.SendTo(server(), bytes));
  ASSERT_TRUE(recorder_.WaitForCount(1));
  const auto entry = recorder_.entries()[0];
  EXPECT_EQ(recorder_.bytes(0), bytes);
  EXPECT_EQ(entry.packet->capcity(), kMaxUdpPacketSize);
  EXPECT_EQ(entry.packet->FromAddress(), client_.address());
  EXPECT_EQ(sockets.count(entry.packet->socket()), 1u);
  EXPECT_EQ(entry.packet->ReceiveTime(), rtc::TimeMillis());
  EXPECT_NE(entry.thread, std::this_thread::get_id());
}

TEST_F(PacketReceiverTest, DatagramOver1500BytesArrivesCutTo1500) {
  StartReceiver(1, true);
  std::vector<uint8_t> bytes(2000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(client_.SendTo(server(), bytes));
  ASSERT_TRUE(recorder_.WaitForCount(1));
  EXPECT_EQ(recorder_.bytes(0), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1500));
}

TEST_F(PacketReceiverTest, ZeroLengthDatagramIsNeverHandedOn) {
  StartReceiver(1, true);
  ASSERT_TRUE(client_.SendTo(server(), {}));
  const std::vector<uint8_t> marker = {0xA0, 'm'};
  ASSERT_TRUE(client_.SendTo(server(), marker));
  ASSERT_TRUE(recorder_.WaitForCount(1));
  // One sender's datagrams are read in order from one socket: had the empty
  // one been handed on, it would have come first.
  EXPECT_EQ(recorder_.bytes(0), marker);
  ASSERT_TRUE(client_.SendTo(server(), marker));
  ASSERT_TRUE(recorder_.WaitForCount(2));
  EXPECT_EQ(recorder_.count(), 2u);
}

TEST_F(PacketReceiverTest, ManyDatagramsInABurstAllArriveInOrder) {
  StartReceiver(1, true);
  constexpr uint32_t kCount = 200;
  for (uint32_t seq = 0; seq < kCount; ++seq) {
    ASSERT_TRUE(client_.SendTo(server(), testing_support::MediaDatagram(0xA0, 0x66, seq, 1)));
    if (seq % 40 == 39) {
      ASSERT_TRUE(recorder_.WaitForCount(seq + 1));
    }
  }
  ASSERT_TRUE(recorder_.WaitForCount(kCount));
  const auto entries = recorder_.entries();
  for (uint32_t seq = 0; seq < kCount; ++seq) EXPECT_EQ(entries[seq].packet->SequenceNum(), seq);
}

TEST_F(PacketReceiverTest, ShutdownJoinsEveryThreadAndLeavesSocketsOpen) {
  const int threads_before = test::CountThreadsNamed("ReceiveWorker");
  StartReceiver(2, false);
  ASSERT_TRUE(testutil::WaitFor(
      [&] { return test::CountThreadsNamed("ReceiveWorker") == threads_before + 2; }));
  receiver_->Shutdown();
  EXPECT_EQ(test::CountThreadsNamed("ReceiveWorker"), threads_before);

  // Nobody reads any more: the datagram waits in one of the two sockets.
  const std::vector<uint8_t> bytes = {0xA0, 0x66, 9};
  ASSERT_TRUE(client_.SendTo(server(), bytes));
  pollfd fds[2] = {{receiver_->GetSocket(), POLLIN, 0}, {receiver_->GetSocket(), POLLIN, 0}};
  ASSERT_EQ(::poll(fds, 2, 5000), 1);
  const int ready = (fds[0].revents & POLLIN) != 0 ? fds[0].fd : fds[1].fd;
  std::vector<uint8_t> got(64);
  const ssize_t n = ::recv(ready, got.data(), got.size(), MSG_DONTWAIT);
  ASSERT_EQ(n, 3);
  got.resize(3);
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(recorder_.count(), 0u);
  receiver_->Shutdown();  // a second stop is harmless
}

TEST_F(PacketReceiverTest, SameAddressListenedTwiceByOneReceiverJoinsItsGroup) {
  // A single-address host names one address for media and cascade sockets.
  StartReceiver(2, true);
  ASSERT_EQ(receiver_->Listen(server(), recorder_.callback(), false), 0);
  EXPECT_EQ(log_.Count("is already in use by another socket"), 0u);
  EXPECT_EQ(log_.Count("is listened already, its new sockets join the same group"), 1u);
  EXPECT_GE(receiver_->GetSocket(), 0);
  // Datagrams from many sources spread over all four sockets; each arrives once.
  std::vector<std::unique_ptr<testing_support::UdpPeer>> clients;
  for (int i = 0; i < 16; ++i) {
    clients.push_back(std::make_unique<testing_support::UdpPeer>());
    ASSERT_TRUE(clients.back()->SendTo(server(), {0xA0, 1, static_cast<uint8_t>(i)}));
  }
  EXPECT_TRUE(recorder_.WaitForCount(16));
}

TEST_F(PacketReceiverTest, BindFailureFailsListenWithItsLine) {
  // A socket without SO_REUSEPORT holds the port.
  testing_support::UdpPeer holder;
  ASSERT_TRUE(holder.ok());
  PacketReceiver receiver(2);
  EXPECT_EQ(receiver.Listen(holder.address(), recorder_.callback(), true), -1);
  EXPECT_EQ(log_.Count("start listen in " + holder.address().ToString() + " failed", rtc::LS_ERROR),
            1u);
}

TEST_F(PacketReceiverTest, AddressHeldByAnotherReusePortListenerIsRefused) {
  // A second server on the same address would bind without error and take a
  // share of every member's datagrams; it must fail instead.
  StartReceiver(2, true);
  PacketReceiver second(2);
  EXPECT_EQ(second.Listen(server(), recorder_.callback(), true), -1);
  EXPECT_EQ(log_.Count("is already in use by another socket", rtc::LS_ERROR), 1u);
  // The first one still gets everything.
  ASSERT_TRUE(client_.SendTo(server(), {0xA0, 1, 2}));
  EXPECT_TRUE(recorder_.WaitForCount(1));
}

TEST_F(PacketReceiverTest, ZeroWorkerNumbersIsRaisedToOne) {
  StartReceiver(0, false);
  EXPECT_EQ(receiver_->worker_numbers(), 1u);
  EXPECT_EQ(log_.Count("receiver worker thread numbers is 0, use 1 instead", rtc::LS_WARNING), 1u);
  EXPECT_EQ(receiver_->GetSocket(), receiver_->GetSocket());
  ASSERT_TRUE(client_.SendTo(server(), {0xA0, 1}));
  EXPECT_TRUE(recorder_.WaitForCount(1));
}

// Sends `count` datagrams of `size` bytes and waits until all were read.
void SendInStep(const testing_support::UdpPeer& client, const rtc::SocketAddress& to,
                test::PacketRecorder* recorder, int count, size_t size) {
  const size_t start = recorder->count();
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(client.SendTo(to, std::vector<uint8_t>(size, 0xA0)));
    if (i % 32 == 31) {
      ASSERT_TRUE(recorder->WaitForCount(start + i + 1));
    }
  }
  ASSERT_TRUE(recorder->WaitForCount(start + count));
}

// 1 000 000 bytes in 300 000 ms make 26 kbit/s.
TEST_F(PacketReceiverTest, RateLineEveryFiveMinutesGoesToTheStatLog) {
  rtc::ScopedFakeClock clock;
  StartReceiver(1, false);
  const int socket = receiver_->GetSocket();
  // Each datagram's count is taken from its own arrival stamp, so moving the
  // clock while the thread still counts the previous one changes nothing.
  SendInStep(client_, server(), &recorder_, 666, 1500);
  clock.AdvanceTime(299999);
  SendInStep(client_, server(), &recorder_, 1, 500);
  clock.AdvanceTime(1);
  SendInStep(client_, server(), &recorder_, 1, 500);
  const std::string line = "receive socket [" + std::to_string(socket) +
                           "] received packet count [668] and bytes [1000000] and rate is "
                           "[26kbps]";
  ASSERT_TRUE(log_.WaitFor(line));
  EXPECT_EQ(log_.Count(line, rtc::LS_NONE), 1u);
  EXPECT_EQ(log_.Count("receive socket ["), 1u);  // none before the 300 s were up

  // The next period starts at that line; totals go on.
  SendInStep(client_, server(), &recorder_, 100, 1500);
  clock.AdvanceTime(150000);
  SendInStep(client_, server(), &recorder_, 1, 1500);
  clock.AdvanceTime(150000);
  SendInStep(client_, server(), &recorder_, 1, 1500);
  const std::string second = "receive socket [" + std::to_string(socket) +
                             "] received packet count [770] and bytes [1153000] and rate is "
                             "[4kbps]";
  ASSERT_TRUE(log_.WaitFor(second));
  EXPECT_EQ(log_.Count(second, rtc::LS_NONE), 1u);
  EXPECT_EQ(log_.Count("receive socket ["), 2u);
}

// Holds the receive thread inside its first callback until released, so that
// what is sent meanwhile waits in the socket buffer.
class GatedRecorder {
 public:
  PacketCallback callback() {
    return [this](std::shared_ptr<UDPPacket> packet) {
      std::unique_lock<std::mutex> hold(lock_);
      packets_.push_back(std::move(packet));
      changed_.notify_all();
      changed_.wait(hold, [this] { return open_; });
      return 0;
    };
  }
  bool WaitForCount(size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, test::kDeadline, [&] { return packets_.size() >= count; });
  }
  // Waits up to `wait` for a datagram of exactly these bytes.
  bool WaitForBytes(const std::vector<uint8_t>& bytes, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, wait, [&] {
      for (const auto& packet : packets_) {
        if (std::vector<uint8_t>(packet->data(), packet->data() + packet->size()) == bytes) {
          return true;
        }
      }
      return false;
    });
  }
  void Open() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      open_ = true;
    }
    changed_.notify_all();
  }
  std::vector<std::shared_ptr<UDPPacket>> packets() {
    std::lock_guard<std::mutex> hold(lock_);
    return packets_;
  }

 private:
  std::mutex lock_;  // guards packets_ and open_
  std::condition_variable changed_;
  std::vector<std::shared_ptr<UDPPacket>> packets_;
  bool open_ = false;
};

TEST_F(PacketReceiverTest, TimeInTheSocketBufferCountsInTheDatagramsAge) {
  GatedRecorder gate;
  PacketReceiver receiver(1);
  const uint16_t port = static_cast<uint16_t>(testutil::FreeUdpPort());
  ASSERT_EQ(receiver.Listen(testing_support::Loopback(port), gate.callback(), true), 0);
  ASSERT_TRUE(WaitForKernelReceiveTimestamps());
  ASSERT_TRUE(client_.SendTo(testing_support::Loopback(port), {0xA0, 1}));
  ASSERT_TRUE(gate.WaitForCount(1));
  ASSERT_TRUE(client_.SendTo(testing_support::Loopback(port), {0xA0, 2}));
  // The second datagram ages in the kernel while the thread is held.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  gate.Open();
  ASSERT_TRUE(gate.WaitForCount(2));
  const auto packets = gate.packets();
  EXPECT_LE(packets[0]->ReceiveTime() - packets[0]->ArrivalTime(), 20);
  EXPECT_GE(packets[1]->ReceiveTime() - packets[1]->ArrivalTime(), 55);
  receiver.Shutdown();
}

TEST_F(PacketReceiverTest, DatagramsTheKernelDropsForAFullBufferAreCounted) {
  GatedRecorder gate;
  PacketReceiver receiver(1, 4096);  // the kernel's smallest buffer, about
  const uint16_t port = static_cast<uint16_t>(testutil::FreeUdpPort());
  const rtc::SocketAddress to = testing_support::Loopback(port);
  ASSERT_EQ(receiver.Listen(to, gate.callback(), true), 0);
  const uint64_t before = PacketMetrics::Get().dropped_socket_buffer.Value();
  ASSERT_TRUE(client_.SendTo(to, {0xA0, 0}));
  ASSERT_TRUE(gate.WaitForCount(1));
  constexpr size_t kBurst = 300;
  for (size_t i = 0; i < kBurst; ++i) {
    ASSERT_TRUE(client_.SendTo(to, std::vector<uint8_t>(200, 0xA0)));
  }
  gate.Open();
  // What was dropped is told with the next datagram read. A marker sent
  // before the buffer has room again is dropped too: then send another.
  size_t sent = 1 + kBurst;
  for (uint8_t i = 0;; ++i) {
    ASSERT_LT(i, 50);
    const std::vector<uint8_t> marker = {0xA0, 'm', i};
    ASSERT_TRUE(client_.SendTo(to, marker));
    ++sent;
    if (gate.WaitForBytes(marker, std::chrono::milliseconds(200))) break;
  }
  const uint64_t dropped = PacketMetrics::Get().dropped_socket_buffer.Value() - before;
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(gate.packets().size() + dropped, sent);
  receiver.Shutdown();
}

TEST_F(PacketReceiverTest, SocketBuffersAreAskedForAndWhatTheKernelGrantedIsLogged) {
  PacketReceiver receiver(2, 65536);
  const uint16_t port = static_cast<uint16_t>(testutil::FreeUdpPort());
  const rtc::SocketAddress address = testing_support::Loopback(port);
  ASSERT_EQ(receiver.Listen(address, recorder_.callback(), false), 0);
  for (int i = 0; i < 2; ++i) {
    int granted = 0;
    socklen_t length = sizeof(granted);
    ASSERT_EQ(::getsockopt(receiver.GetSocket(), SOL_SOCKET, SO_RCVBUF, &granted, &length), 0);
    EXPECT_EQ(granted, 2 * 65536);  // Linux reports its bookkeeping share too
  }
  EXPECT_EQ(log_.Count("sockets of " + address.ToString() +
                       " asked for 65536 bytes of buffer, granted receive 65536 and send 65536 "
                       "bytes"),
            1u);  // once per address
  EXPECT_EQ(log_.Count("granted less socket buffer", rtc::LS_WARNING), 0u);

  // More than any kernel lets an unprivileged socket have without a sysctl.
  PacketReceiver greedy(1, 1u << 30);
  ASSERT_EQ(greedy.Listen(testing_support::Loopback(static_cast<uint16_t>(testutil::FreeUdpPort())),
                          recorder_.callback(), false),
            0);
  EXPECT_EQ(log_.Count("the kernel granted less socket buffer than packet_socket_buffer_bytes "
                       "1073741824",
                       rtc::LS_WARNING),
            1u);
  receiver.Shutdown();
  greedy.Shutdown();
}

TEST_F(PacketReceiverTest, EachThreadGetsACallbackOfItsOwn) {
  PacketReceiver receiver(3);
  const uint16_t port = static_cast<uint16_t>(testutil::FreeUdpPort());
  int made = 0;
  ASSERT_EQ(receiver.Listen(
                testing_support::Loopback(port),
                [&] {
                  ++made;
                  return recorder_.callback();
                },
                true),
            0);
  EXPECT_EQ(made, 3);
  receiver.Shutdown();
}

TEST_F(PacketReceiverTest, DatagramsOfOneAddressNameOneSocketToAnswerThrough) {
  // Sources spread over both sockets of the address, yet all are answered
  // through one, so a fan-out to them leaves in one sendmmsg.
  StartReceiver(2, false);
  std::vector<std::unique_ptr<testing_support::UdpPeer>> clients;
  std::set<std::thread::id> threads;
  while (threads.size() < 2) {
    ASSERT_LT(clients.size(), 64u) << "the kernel put every source on one socket";
    clients.push_back(std::make_unique<testing_support::UdpPeer>());
    ASSERT_TRUE(clients.back()->SendTo(server(), {0xA0, 1}));
    ASSERT_TRUE(recorder_.WaitForCount(clients.size()));
    threads.insert(recorder_.entries().back().thread);
  }
  std::set<int> sockets;
  for (const auto& entry : recorder_.entries()) sockets.insert(entry.packet->socket());
  ASSERT_EQ(sockets.size(), 1u);
  const int first = *sockets.begin();
  EXPECT_TRUE(first == receiver_->GetSocket() || first == receiver_->GetSocket());
  // An answer through it comes from the listened address and port.
  const std::vector<uint8_t> answer = {0xA1, 2};
  sockaddr_in to{};
  ASSERT_NE(clients[0]->address().ToSockAddr(&to), 0u);
  ASSERT_EQ(::sendto(first, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof(to)),
            static_cast<ssize_t>(answer.size()));
  rtc::SocketAddress from;
  EXPECT_EQ(clients[0]->Receive(test::kDeadline, &from), answer);
  EXPECT_EQ(from, server());
}

}  // namespace
}  // namespace corvaneserver
