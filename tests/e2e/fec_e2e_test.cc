// FEC decoding and NACK answers in the forwarding server, as operators run it
// with nack_enabled: speakers send FEC blocks with a simulated loss, listeners
// NACK what they miss and the client counts what came back.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/byte_io.h"

#include "e2e/e2e_harness.h"
#include "support/udp_test_peer.h"

namespace e2e {
namespace {

using corvaneserver::testing_support::Bytes;
using corvaneserver::testing_support::MakeMedia;
using corvaneserver::testing_support::UdpPeer;

class FecE2eTest : public E2eTest {
 protected:
  std::unique_ptr<Server> StartForwarder() {
    return StartServer("sfu", "127.0.0.1", "", CORVANE_SFU_SERVER, "nack_enabled = 1\n");
  }
};

Bytes Detect(uint64_t user_id) {
  Bytes bytes = {'C', 'O', 'r', 1, 0, 0, 0, 0, 0, 0, 0, 0};
  rtc::SetBE64(bytes.data() + 4, user_id);
  return bytes;
}

Bytes Nack(uint64_t asking_user, uint64_t speaker, uint32_t reference, uint16_t mask) {
  Bytes bytes(28, 0);
  bytes[0] = 0x80;
  bytes[1] = 0xCA;
  rtc::SetBE64(bytes.data() + 6, asking_user);
  rtc::SetBE64(bytes.data() + 14, speaker);
  rtc::SetBE32(bytes.data() + 22, reference);
  rtc::SetBE16(bytes.data() + 26, mask);
  return bytes;
}

// Waits for a datagram that `match` accepts, dropping the others.
std::optional<Bytes> ReceiveMatching(const UdpPeer& peer,
                                     const std::function<bool(const Bytes&)>& match,
                                     int deadline_ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  while (std::chrono::steady_clock::now() < end) {
    std::optional<Bytes> next = peer.Receive(50);
    if (next && match(*next)) return next;
  }
  return std::nullopt;
}

TEST_F(FecE2eTest, AtTenPercentLossListenersGetBackEverythingTheCodecCanRebuild) {
  auto server = StartForwarder();
  const std::string roster = Roster("room.txt",
                                    "room 7 user 701 speaker a\n"
                                    "room 7 user 702 speaker b\n"
                                    "room 7 user 703 listener c\n"
                                    "room 7 user 704 listener d\n");
  Load(roster, 1);
  const ClientRun run =
      RunClient(dir_, {"--server", server->media_address(), "--users", roster, "--duration", "3",
                       "--fec-k", "4", "--fec-r", "2", "--loss", "10", "--nack"});
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  EXPECT_GT(JsonNumber(run.json, "fec_dropped", "\"total\""), 10) << run.json;
  for (uint64_t listener : {703, 704}) {
    const std::string u = JsonUser(run.json, listener);
    EXPECT_EQ(JsonNumber(u, "lost"), 0) << u;
    EXPECT_GT(JsonNumber(u, "recovered"), 0) << u;
    // All that stays missing is what no four datagrams of its block carried.
    EXPECT_EQ(JsonNumber(u, "lost_for_good"), JsonNumber(u, "unrecoverable")) << u;
    EXPECT_EQ(JsonNumber(u, "received"), JsonNumber(u, "expected")) << u;
  }
}

TEST_F(FecE2eTest, ANackFromOutsideTheRoomGetsNothing) {
  auto server = StartForwarder();
  const std::string roster = Roster("room.txt",
                                    "room 8 user 801 speaker a\n"
                                    "room 8 user 802 listener b\n"
                                    "room 8 user 803 listener c\n");
  Load(roster, 1);
  rtc::SocketAddress server_address;
  ASSERT_TRUE(server_address.FromString(server->media_address()));
  auto client = StartClient(dir_, {"--server", server->media_address(), "--users", roster, "--only",
                                   "801,802", "--duration", "6", "--fec-k", "4", "--fec-r", "2"});

  // The test plays member 803: detect, then its token until acknowledged.
  UdpPeer member;
  ASSERT_TRUE(member.ok());
  auto is_detect = [](const Bytes& b) { return b.size() == 12 && b[0] == 'C'; };
  ASSERT_TRUE(testutil::WaitFor([&] {
    member.SendTo(server_address, Detect(803));
    return ReceiveMatching(member, is_detect, 100).has_value();
  }));
  ASSERT_TRUE(testutil::WaitFor([&] {
    member.SendTo(server_address, MakeMedia(0x90, 0x64, 1, 803, "c"));
    return ReceiveMatching(
               member, [](const Bytes& b) { return b.size() >= 2 && b[1] == 0x63; }, 100)
        .has_value();
  }));
  // A source datagram of the speaker names a media sequence number the server holds.
  const std::optional<Bytes> source = ReceiveMatching(member, [](const Bytes& b) {
    return b.size() > 22 + 14 && b[1] == 'P' && rtc::GetBE64(b.data() + 2) == 801 &&
           rtc::GetBE32(b.data() + 10) < rtc::GetBE32(b.data() + 14) + b[18];
  });
  ASSERT_TRUE(source.has_value());
  const uint32_t sequence = rtc::GetBE32(source->data() + 22 + 2);
  auto is_answer = [sequence](const Bytes& b) {
    return b.size() >= 14 && b[1] != 'P' && rtc::GetBE32(b.data() + 2) == sequence &&
           rtc::GetBE64(b.data() + 6) == 801;
  };

  // An outsider asks for it, under its own id and under the member's: nothing.
  UdpPeer outsider;
  ASSERT_TRUE(testutil::WaitFor([&] {
    outsider.SendTo(server_address, Detect(899));
    return ReceiveMatching(outsider, is_detect, 100).has_value();
  }));
  outsider.SendTo(server_address, Nack(899, 801, sequence - 1, 0xFFFF));
  outsider.SendTo(server_address, Nack(803, 801, sequence - 1, 0xFFFF));
  // The member asks for it too: the answer shows the server holds it.
  ASSERT_TRUE(testutil::WaitFor([&] {
    member.SendTo(server_address, Nack(803, 801, sequence - 1, 0x0001));
    return ReceiveMatching(member, is_answer, 100).has_value();
  }));
  EXPECT_TRUE(outsider.Drain(300).empty());

  int status = -1;
  client->Wait(std::chrono::seconds(30), &status);
}

}  // namespace
}  // namespace e2e
