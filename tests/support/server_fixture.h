// Fixtures shared by the tests that drive a server or its rooms and channels:
// the voice payload type, each user's token and the join-and-admit step, one
// template for the forwarding and mixing servers (configuration files:
// support/server_config.h).
#ifndef TESTS_SUPPORT_SERVER_FIXTURE_H_
#define TESTS_SUPPORT_SERVER_FIXTURE_H_

#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "base/thread.h"
#include "control/user_type.h"
#include "packet/media_constants.h"

#include "support/server_config.h"
#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace testing_support {

// The payload type of a plain voice datagram.
constexpr uint8_t kVoice = 0x20;

// The token the gateway gives `user` in these tests.
inline std::string TokenOf(uint64_t user) { return "token-" + std::to_string(user); }

// Hands `bytes` to `server` as a deliver worker would, as if they had come
// from `from` on `socket`.
template <typename Server>
int DeliverTo(Server& server, const UdpPeer& socket, const UdpPeer& from, const Bytes& bytes) {
  return server.OnPacketReceived(MakePacket(bytes, socket.fd(), from.address()));
}

// Joins `user` and admits `peer` as its address with a voice datagram from a
// listener, which nobody hears; then makes a speaker of it if asked.
template <typename Server>
void JoinAndAdmit(Server& server, const UdpPeer& socket, uint64_t room, uint64_t user,
                  uint32_t type, const UdpPeer& peer) {
  ASSERT_EQ(server.JoinRoom(room, user, kUserTypeListener, TokenOf(user)), 0);
  ASSERT_EQ(DeliverTo(server, socket, peer, MakeMedia(0xA0, kVoice, 0, user, TokenOf(user))), 0);
  if (type == kUserTypeSpeaker) {
    ASSERT_EQ(server.AllowSpeaker(room, user, true), 0);
  }
}

// For servers started whole (Init) and reached through their media port:
// announces `peer` with a detect datagram and waits for its echo.
inline void Detect(const UdpPeer& peer, const rtc::SocketAddress& server) {
  const Bytes detect = {0x43, 0x4F, 0x72, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_TRUE(peer.SendTo(server, detect));
  ASSERT_EQ(peer.Receive(), detect);
}

// Sends `bytes` (which ask for an acknowledgement) and waits for it: when it
// comes, the server has admitted the datagram and every datagram `peer` sent
// before it has been handled.
inline void SendAndAwaitAck(const UdpPeer& peer, const rtc::SocketAddress& server,
                            const Bytes& bytes) {
  ASSERT_EQ(bytes[0] & 0x10, 0x10);
  ASSERT_TRUE(peer.SendTo(server, bytes));
  auto ack = peer.Receive();
  ASSERT_TRUE(ack);
  ASSERT_EQ(ack->size(), kAckPacketSize);
  ASSERT_EQ(PayloadTypeOf(*ack), static_cast<uint8_t>(bytes[1] - 1));
  ASSERT_EQ(SeqOf(*ack), SeqOf(bytes));
}

// Checks that the next datagram `peer` receives is the acknowledgement of a
// datagram of `payload_type` numbered `seq`.
inline void ExpectAck(const UdpPeer& peer, uint8_t payload_type, uint32_t seq) {
  auto ack = peer.Receive();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->size(), kAckPacketSize);
  EXPECT_EQ(PayloadTypeOf(*ack), payload_type - 1);
  EXPECT_EQ(SeqOf(*ack), seq);
}

// Stops a server started whole with Init. Its gateway link hands its sockets
// to the service loop for deletion; the calling thread is that loop here.
template <typename Server>
void StopServer(std::unique_ptr<Server>& server) {
  if (server) server->Exit();
  server.reset();
  rtc::Thread::Current()->ProcessMessages(0);
}

// Joins `user` into `room` as a listener, announces `peer` and admits it with
// an acknowledged voice datagram that nobody hears.
template <typename Server>
void JoinAndAcknowledge(Server& server, const rtc::SocketAddress& media, uint64_t room,
                        uint64_t user, const UdpPeer& peer) {
  ASSERT_EQ(server.JoinRoom(room, user, kUserTypeListener, TokenOf(user)), 0);
  Detect(peer, media);
  SendAndAwaitAck(peer, media, MakeMedia(0xB0, kVoice, 0, user, TokenOf(user)));
}

// The fixture of the tests that start a `Server` whole (Init) from a
// configuration file in a temporary folder, with its media side on
// 127.0.0.1:port_, and stop it when the test ends.
template <typename Server>
class StartedServerTest : public ::testing::Test {
 protected:
  // Writes `config` to the file `name` of the temporary folder and starts the
  // server with it.
  void StartServer(const std::string& name, const std::string& config) {
    const std::string path = dir_.File(name);
    testutil::WriteFile(path, config);
    server_ = std::make_unique<Server>();
    ASSERT_TRUE(server_->Init(path));
  }

  void TearDown() override { StopServer(server_); }

  testutil::TempDir dir_;
  const int port_ = testutil::FreeUdpPort();
  const rtc::SocketAddress media_address_{"127.0.0.1", port_};
  std::unique_ptr<Server> server_;
};

}  // namespace testing_support
}  // namespace corvaneserver

#endif  // TESTS_SUPPORT_SERVER_FIXTURE_H_
