// The mixing server through its whole stack: an MfuServer initialised from a
// configuration file listens on loopback with its own receive threads and
// deliver workers and mixes its rooms on its mixer threads (a pool, or a
// thread per room). Members are test UDP sockets that announce themselves
// with a detect datagram, as clients do; rooms are made through the server's
// room operations. The real clock runs the mixer.
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/thread.h"
#include "mfu/mfu_channel.h"
#include "mfu/mfu_server.h"
#include "packet/udp_packet.h"

#include "support/fec_test_datagram.h"
#include "support/log_capture.h"
#include "support/server_fixture.h"
#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;
using testutil::LogCapture;

Bytes Source(uint64_t user, uint32_t seq, uint8_t level) {
  return MakeFecSource(user, seq, MakeMedia(0xA0, kVoice, seq, user, "", {level, 0, 1, 2, 3}));
}

// Threads of this process named "mfu_mixer".
int MixerThreads() {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name == "mfu_mixer") ++count;
  }
  closedir(dir);
  return count;
}

// Waits (real time, with a deadline) until MixerThreads() is `count`: a new
// thread names itself once it runs.
bool MixerThreadsBecome(int count) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (MixerThreads() != count) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class MfuStackTest : public StartedServerTest<MfuServer> {
 protected:
  void Start(const std::string& extra_config) {
    StartServer("mfu.conf", ServerConfig(dir_.path()).Media(port_).Text() + extra_config);
  }

  // Announces `peer` with a detect datagram, joins `user` and admits its
  // address with a plain datagram that asks for an acknowledgement.
  void Join(uint64_t room, uint64_t user, uint32_t type, const UdpPeer& peer) {
    testing_support::Detect(peer, media_address_);
    ASSERT_EQ(server_->JoinRoom(room, user, type, TokenOf(user)), 0);
    SendAndAwaitAck(peer, media_address_, MakeMedia(kAskAck, kVoice, 0, user, TokenOf(user)));
  }

  LogCapture logs_;
};

TEST_F(MfuStackTest, SpeakersAreMixedToEveryoneButThemselves) {
  Start("mixer_worker_numbers = 2\n");
  UdpPeer s1, s2, listener;
  Join(1, 1, kUserTypeSpeaker, s1);
  Join(1, 2, kUserTypeSpeaker, s2);
  Join(1, 3, kUserTypeListener, listener);
  const Bytes from_1 = Source(1, 10, 50);
  const Bytes repair_1 = MakeFecRepair(1, 11, Bytes(30, 0xC8));
  const Bytes from_2 = Source(2, 20, 60);
  ASSERT_TRUE(s1.SendTo(media_address_, from_1));
  ASSERT_TRUE(s1.SendTo(media_address_, repair_1));
  ASSERT_TRUE(s2.SendTo(media_address_, from_2));
  // Whatever passes they fall into, each member hears the other speakers'
  // datagrams unchanged and in their own order, and never its own.
  std::vector<Bytes> heard;
  for (int i = 0; i < 3; ++i) {
    auto got = listener.Receive();
    ASSERT_TRUE(got) << i;
    heard.push_back(*got);
  }
  const auto at = [&](const Bytes& bytes) {
    return std::find(heard.begin(), heard.end(), bytes) - heard.begin();
  };
  EXPECT_LT(at(from_1), at(repair_1));
  EXPECT_LT(at(from_2), 3);
  EXPECT_EQ(s1.Receive(), from_2);
  EXPECT_EQ(s2.Receive(), from_1);
  EXPECT_EQ(s2.Receive(), repair_1);
  EXPECT_TRUE(s1.Drain().empty());
  EXPECT_TRUE(listener.Drain().empty());
  EXPECT_TRUE(MixerThreadsBecome(2));
  EXPECT_GE(server_->pass_lateness().Count(), 1u);
  EXPECT_TRUE(logs_.Contains("deliver frame, packet list size is "));
  EXPECT_TRUE(logs_.Contains("user [1] get audio, list leave size ["));
}

TEST_F(MfuStackTest, AThreadPerRoomWhenThePoolIsSwitchedOffAndNoFrameLines) {
  Start("mixer_worker_numbers = 0\nmixer_frame_log = 0\n");
  UdpPeer speaker, listener, other;
  Join(1, 1, kUserTypeSpeaker, speaker);
  Join(1, 2, kUserTypeListener, listener);
  Join(2, 3, kUserTypeListener, other);
  EXPECT_TRUE(MixerThreadsBecome(2));
  const Bytes voice = Source(1, 5, 1);
  ASSERT_TRUE(speaker.SendTo(media_address_, voice));
  EXPECT_EQ(listener.Receive(), voice);
  EXPECT_TRUE(other.Drain().empty());
  ASSERT_EQ(server_->RemoveRoom(2), 0);
  EXPECT_TRUE(MixerThreadsBecome(1));
  EXPECT_FALSE(logs_.Contains("deliver frame"));
  EXPECT_FALSE(logs_.Contains("get audio"));
  EXPECT_TRUE(logs_.Contains("mixer worker thread numbers is 0"));
}

TEST_F(MfuStackTest, RepairDatagramLookingLikeAReportIsMixedAndNotAcknowledged) {
  Start("");
  UdpPeer speaker, listener;
  Join(1, 1, kUserTypeSpeaker, speaker);
  Join(1, 2, kUserTypeListener, listener);
  Bytes inner = MakeMedia(0xB1, kReceiverReportPayloadType, 3, 1, "", Bytes(12, 0));
  const Bytes repair = MakeFecRepair(1, 8, inner);
  const Bytes source = Source(1, 9, 1);
  ASSERT_TRUE(speaker.SendTo(media_address_, repair));
  ASSERT_TRUE(speaker.SendTo(media_address_, source));
  EXPECT_EQ(listener.Receive(), repair);
  EXPECT_EQ(listener.Receive(), source);
  EXPECT_TRUE(speaker.Drain().empty());
}

}  // namespace
}  // namespace corvaneserver
