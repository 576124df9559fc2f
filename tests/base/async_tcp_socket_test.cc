// The control link's socket over real loopback TCP: connect, framing of the
// input, the send rules, and how the connection ends.
#include "base/async_tcp_socket.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/logging.h"
#include "base/tcp_test_peer.h"
#include "base/thread.h"

#include "support/log_capture.h"

namespace rtc {
namespace {

// The capacity the sockets under test are given: the gateway link's.
constexpr size_t kMaxMessage = 65538;

using testpeer::Bytes;
using testpeer::PumpUntil;
using testpeer::TcpTestListener;

// A message of total length `length` (3-byte big-endian prefix included)
// whose other bytes come from `seed`.
Bytes Message(uint32_t length, uint32_t seed) {
  Bytes m(length);
  m[0] = static_cast<uint8_t>(length >> 16);
  m[1] = static_cast<uint8_t>(length >> 8);
  m[2] = static_cast<uint8_t>(length);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 3; i < length; ++i) {
    x = x * 1103515245u + 12345u;
    m[i] = static_cast<uint8_t>(x >> 16);
  }
  return m;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

using testutil::LogCapture;

class AsyncTCPSocketTest : public ::testing::Test {
 protected:
  AsyncTCPSocketTest() : thread_(Thread::Current()) {}
  ~AsyncTCPSocketTest() override {
    socket_.reset();
    thread_->ProcessMessages(0);
  }

  // Connects a client to the address and wires its callbacks to the recorders.
  void Connect(const SocketAddress& remote, int send_buffer = 0) {
    auto stream = AsyncTCPSocket::CreateStreamSocket(thread_, AF_INET);
    ASSERT_NE(stream, nullptr);
    if (send_buffer > 0) {
      stream->set_option(asio::socket_base::send_buffer_size(send_buffer));
    }
    socket_ = AsyncTCPSocket::Create(std::move(stream), SocketAddress(IPAddress(0u), 0), remote,
                                     kMaxMessage);
    ASSERT_NE(socket_, nullptr);
    raw_ = socket_.get();
    EXPECT_EQ(socket_->GetState(), AsyncPacketSocket::STATE_CONNECTING);
    socket_->SetConnectCallback([this](AsyncPacketSocket* s) {
      EXPECT_EQ(s, raw_);
      ++connects_;
    });
    socket_->SetReadPacketCallback(
        [this](AsyncPacketSocket* s, const uint8_t* data, size_t size, const SocketAddress& from) {
          EXPECT_EQ(s, raw_);
          received_.emplace_back(data, data + size);
          from_.push_back(from);
          if (on_read_) on_read_();
        });
    socket_->SetCloseCallback([this](AsyncPacketSocket* s, int error) {
      EXPECT_EQ(s, raw_);
      close_errors_.push_back(error);
    });
  }

  void ConnectAndAccept(TcpTestListener* listener, int send_buffer = 0) {
    Connect(listener->address(), send_buffer);
    ASSERT_TRUE(PumpUntil(thread_, [&] { return connects_ == 1 && listener->accepted() == 1; }));
    EXPECT_EQ(socket_->GetState(), AsyncPacketSocket::STATE_CONNECTED);
  }

  int SendBytes(const Bytes& bytes) { return socket_->Send(bytes.data(), bytes.size()); }

  Thread* thread_;
  std::unique_ptr<AsyncTCPSocket> socket_;
  AsyncTCPSocket* raw_ = nullptr;  // the socket the callbacks must name
  int connects_ = 0;
  std::vector<Bytes> received_;
  std::vector<SocketAddress> from_;
  std::vector<int> close_errors_;
  std::function<void()> on_read_;
};

TEST_F(AsyncTCPSocketTest, ConnectsFromAnEphemeralPortOfAnyAddress) {
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  EXPECT_EQ(socket_->GetRemoteAddress(), listener.address());
  const SocketAddress local = socket_->GetLocalAddress();
  EXPECT_EQ(local.ipaddr(), IPAddress(0x7F000001u));
  EXPECT_NE(local.port(), 0);
  EXPECT_EQ(listener.connection(0).remote(), local);
  EXPECT_TRUE(close_errors_.empty());
}

TEST_F(AsyncTCPSocketTest, RefusedConnectReportsTheError) {
  Connect(SocketAddress(IPAddress(0x7F000001u), testpeer::ClosedPort(thread_)));
  ASSERT_TRUE(PumpUntil(thread_, [&] { return !close_errors_.empty(); }));
  EXPECT_EQ(close_errors_, std::vector<int>{ECONNREFUSED});
  EXPECT_EQ(connects_, 0);
  EXPECT_EQ(socket_->GetState(), AsyncPacketSocket::STATE_CLOSED);
  EXPECT_EQ(socket_->GetError(), ECONNREFUSED);
}

TEST_F(AsyncTCPSocketTest, CreateRefusesAClosedOrMissingSocket) {
  EXPECT_EQ(AsyncTCPSocket::Create(nullptr, SocketAddress(IPAddress(0u), 0),
                                   SocketAddress(IPAddress(0x7F000001u), 1), kMaxMessage),
            nullptr);
  auto stream = AsyncTCPSocket::CreateStreamSocket(thread_, AF_INET);
  ASSERT_NE(stream, nullptr);
  stream->close();
  EXPECT_EQ(AsyncTCPSocket::Create(std::move(stream), SocketAddress(IPAddress(0u), 0),
                                   SocketAddress(IPAddress(0x7F000001u), 1), kMaxMessage),
            nullptr);
  EXPECT_EQ(AsyncTCPSocket::CreateStreamSocket(thread_, AF_UNIX), nullptr);
}

TEST_F(AsyncTCPSocketTest, CoalescedMessagesAreHandedOverOneByOne) {
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  const std::vector<Bytes> messages = {Message(10, 1), Message(25, 2), Message(10, 3),
                                       Message(3, 4), Message(4000, 5)};
  listener.connection(0).Write(Concat(messages));
  ASSERT_TRUE(PumpUntil(thread_, [&] { return received_.size() == messages.size(); }));
  EXPECT_EQ(received_, messages);
  for (const SocketAddress& from : from_) EXPECT_EQ(from, listener.address());
}

TEST_F(AsyncTCPSocketTest, SplitMessageIsHandedOverWhenItsLastByteArrives) {
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  const Bytes message = Message(40, 7);
  for (size_t split : {1u, 2u, 3u, 10u, 39u}) {
    received_.clear();
    listener.connection(0).Write(Bytes(message.begin(), message.begin() + split));
    // Give the partial bytes every chance to be (wrongly) handed over.
    EXPECT_FALSE(PumpUntil(
        thread_, [&] { return !received_.empty(); }, std::chrono::milliseconds(30)));
    listener.connection(0).Write(Bytes(message.begin() + split, message.end()));
    ASSERT_TRUE(PumpUntil(thread_, [&] { return !received_.empty(); }));
    EXPECT_EQ(received_, std::vector<Bytes>{message}) << split;
  }
}

TEST_F(AsyncTCPSocketTest, LargestMessagesArriveWhole) {
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  const std::vector<Bytes> messages = {Message(kMaxMessage, 1), Message(kMaxMessage - 1, 2),
                                       Message(kMaxMessage, 3)};
  listener.connection(0).Write(Concat(messages));
  ASSERT_TRUE(PumpUntil(thread_, [&] { return received_.size() == messages.size(); }));
  EXPECT_EQ(received_, messages);
  EXPECT_TRUE(close_errors_.empty());
}

class FramingLostTest : public AsyncTCPSocketTest,
                        public ::testing::WithParamInterface<uint32_t> {};

TEST_P(FramingLostTest, ImpossibleLengthClosesTheConnection) {
  LogCapture log;
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  const uint32_t bad = GetParam();
  const Bytes good = Message(12, 1);
  Bytes stream = good;
  stream.insert(stream.end(), {static_cast<uint8_t>(bad >> 16), static_cast<uint8_t>(bad >> 8),
                               static_cast<uint8_t>(bad), 0x00, 0x11, 0x22});
  listener.connection(0).Write(stream);
  ASSERT_TRUE(PumpUntil(thread_, [&] { return !close_errors_.empty(); }));
  EXPECT_EQ(received_, std::vector<Bytes>{good});
  EXPECT_EQ(close_errors_, std::vector<int>{AsyncTCPSocket::kFramingLostError});
  EXPECT_EQ(socket_->GetState(), AsyncPacketSocket::STATE_CLOSED);
  EXPECT_TRUE(log.Contains("lost its framing: message length [" + std::to_string(bad) + "]"));
  // The peer sees the connection go.
  EXPECT_TRUE(PumpUntil(thread_, [&] { return listener.connection(0).eof(); }));
}

INSTANTIATE_TEST_SUITE_P(Lengths, FramingLostTest,
                         ::testing::Values(0u, 1u, 2u, kMaxMessage + 1, 0x0FFFFFu, 0xFFFFFFu));

TEST_F(AsyncTCPSocketTest, PeerResetReports104) {
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  listener.connection(0).Reset();
  ASSERT_TRUE(PumpUntil(thread_, [&] { return !close_errors_.empty(); }));
  EXPECT_EQ(close_errors_, std::vector<int>{104});
  EXPECT_EQ(socket_->GetState(), AsyncPacketSocket::STATE_CLOSED);
}

TEST_F(AsyncTCPSocketTest, OrderlyCloseReportsZeroAfterTheLastMessage) {
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  listener.connection(0).Write(Message(10, 1));
  listener.connection(0).Close();
  ASSERT_TRUE(PumpUntil(thread_, [&] { return !close_errors_.empty(); }));
  EXPECT_EQ(received_, std::vector<Bytes>{Message(10, 1)});
  EXPECT_EQ(close_errors_, std::vector<int>{0});
}

TEST_F(AsyncTCPSocketTest, SendWritesTheMessageUnchanged) {
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  const std::vector<Bytes> messages = {Message(10, 1), Message(kMaxMessage, 2), Message(3, 3)};
  for (const Bytes& m : messages) {
    EXPECT_EQ(SendBytes(m), static_cast<int>(m.size()));
    // Wait for each to be written out, so that none is dropped as "busy".
    ASSERT_TRUE(PumpUntil(thread_, [&] { return socket_->pending_output() == 0; }));
  }
  const Bytes expected = Concat(messages);
  ASSERT_TRUE(PumpUntil(
      thread_, [&] { return listener.connection(0).received().size() >= expected.size(); }));
  EXPECT_EQ(listener.connection(0).received(), expected);
}

TEST_F(AsyncTCPSocketTest, OversizedMessageIsRefused) {
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  const Bytes big(kMaxMessage + 1, 0x01);
  EXPECT_EQ(SendBytes(big), -1);
  EXPECT_EQ(socket_->GetError(), EMSGSIZE);
  EXPECT_EQ(socket_->pending_output(), 0u);
  // The link still works.
  EXPECT_EQ(SendBytes(Message(10, 1)), 10);
  ASSERT_TRUE(PumpUntil(thread_, [&] { return listener.connection(0).received().size() == 10; }));
}

TEST_F(AsyncTCPSocketTest, SendBeforeConnectedFails) {
  TcpTestListener listener(thread_);
  Connect(listener.address());
  EXPECT_EQ(SendBytes(Message(10, 1)), -1);
  EXPECT_EQ(socket_->GetError(), ENOTCONN);
  EXPECT_EQ(socket_->pending_output(), 0u);
}

// Sends messages to a peer that does not read, checking each result against
// the rules, then lets the peer read and compares what arrived with the
// messages that were accepted.
struct SendOutcome {
  std::vector<Bytes> delivered;
  int dropped_while_busy = 0;
  int would_block = 0;
};

SendOutcome SendUntilBlocked(AsyncTCPSocket* socket, const std::function<Bytes(int)>& make_message,
                             int max_sends) {
  SendOutcome outcome;
  for (int i = 0; i < max_sends; ++i) {
    const Bytes m = make_message(i);
    const bool busy = socket->pending_output() > 0;
    const int rc = socket->Send(m.data(), m.size());
    if (busy) {
      EXPECT_EQ(rc, static_cast<int>(m.size()));
      ++outcome.dropped_while_busy;
    } else if (rc < 0) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(socket->GetError(), EWOULDBLOCK);
      EXPECT_EQ(socket->pending_output(), 0u);
      ++outcome.would_block;
    } else {
      EXPECT_EQ(rc, static_cast<int>(m.size()));
      outcome.delivered.push_back(m);
    }
    if (outcome.dropped_while_busy >= 3 || outcome.would_block >= 3) break;
  }
  return outcome;
}

// Lets the listener's first connection read, then checks that it receives
// exactly the messages `outcome` delivered and that nothing stays pending.
void ExpectDeliveredOnceRead(Thread* thread, AsyncTCPSocket* socket, TcpTestListener& listener,
                             const SendOutcome& outcome) {
  listener.connection(0).StartReading();
  const Bytes expected = Concat(outcome.delivered);
  ASSERT_TRUE(PumpUntil(thread, [&] {
    return listener.connection(0).received().size() >= expected.size() &&
           socket->pending_output() == 0;
  }));
  EXPECT_EQ(listener.connection(0).received(), expected);
}

TEST_F(AsyncTCPSocketTest, MessageOfferedWhileTheLastIsStillBeingWrittenIsDropped) {
  TcpTestListener listener(thread_, 0, /*read_on_accept=*/false, /*receive_buffer=*/4096);
  ConnectAndAccept(&listener, /*send_buffer=*/4096);
  const SendOutcome outcome = SendUntilBlocked(
      socket_.get(), [](int i) { return Message(kMaxMessage, static_cast<uint32_t>(i)); }, 2000);
  EXPECT_EQ(outcome.dropped_while_busy, 3);
  EXPECT_GT(socket_->pending_output(), 0u);

  ExpectDeliveredOnceRead(thread_, socket_.get(), listener, outcome);
}

TEST_F(AsyncTCPSocketTest, MessageThatCannotBeWrittenAtAllIsDropped) {
  TcpTestListener listener(thread_, 0, /*read_on_accept=*/false, /*receive_buffer=*/4096);
  ConnectAndAccept(&listener, /*send_buffer=*/4096);
  // One byte at a time: a write is all or nothing, never partial, so the
  // kernel buffer fills up with nothing left pending in ours.
  const SendOutcome outcome = SendUntilBlocked(
      socket_.get(), [](int i) { return Bytes{static_cast<uint8_t>(i * 7)}; }, 10000000);
  EXPECT_EQ(outcome.would_block, 3);
  EXPECT_EQ(outcome.dropped_while_busy, 0);

  ASSERT_NO_FATAL_FAILURE(ExpectDeliveredOnceRead(thread_, socket_.get(), listener, outcome));
  // Once drained the link takes messages again.
  EXPECT_EQ(SendBytes(Message(10, 99)), 10);
}

TEST_F(AsyncTCPSocketTest, CloseFromTheReadCallbackStopsDelivery) {
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  on_read_ = [this] { socket_->Close(); };
  listener.connection(0).Write(Concat({Message(10, 1), Message(10, 2), Message(10, 3)}));
  ASSERT_TRUE(PumpUntil(thread_, [&] { return !received_.empty(); }));
  EXPECT_FALSE(PumpUntil(
      thread_, [&] { return received_.size() > 1; }, std::chrono::milliseconds(50)));
  EXPECT_EQ(received_.size(), 1u);
  EXPECT_TRUE(close_errors_.empty());  // Close() does not report itself
  EXPECT_EQ(socket_->GetState(), AsyncPacketSocket::STATE_CLOSED);
  EXPECT_TRUE(PumpUntil(thread_, [&] { return listener.connection(0).eof(); }));
}

TEST_F(AsyncTCPSocketTest, DisposedFromTheReadCallbackIsDeletedLaterByTheLoop) {
  TcpTestListener listener(thread_);
  ConnectAndAccept(&listener);
  on_read_ = [this] {
    if (socket_) thread_->Dispose(socket_.release());
  };
  listener.connection(0).Write(Message(10, 1));
  // The loop deletes the socket, which closes the connection.
  ASSERT_TRUE(PumpUntil(thread_, [&] { return listener.connection(0).eof(); }));
  EXPECT_EQ(received_.size(), 1u);
  EXPECT_TRUE(close_errors_.empty());
}

}  // namespace
}  // namespace rtc
