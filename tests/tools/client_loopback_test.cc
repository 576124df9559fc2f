// The client simulator against a small forwarder made here: it echoes
// detects, admits by token, acknowledges, forwards unmuted speakers (and
// music) to the rest of the room, resends 0x82 datagrams until acknowledged
// and plays a cascade link. Hooks let a test drop, duplicate, reorder or leak
// datagrams and check that the client counts exactly that.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "base/byte_io.h"
#include "base/time_utils.h"

#include "client/media_datagrams.h"
#include "client/simulator.h"
#include "support/subprocess.h"
#include "support/test_util.h"

namespace corvanetools {
namespace {

using Bytes = std::vector<uint8_t>;

sockaddr_in ToSockAddr(const rtc::SocketAddress& address) {
  sockaddr_in addr{};
  address.ToSockAddr(&addr);
  return addr;
}

class FakeForwarder {
 public:
  enum class Action { kForward, kDrop, kDuplicate, kHold };
  // Decides what happens to one forwarded datagram on its way to `receiver`.
  using Hook = std::function<Action(uint64_t receiver, const IncomingDatagram& datagram)>;

  struct Member {
    uint64_t room = 0;
    std::string token;
    bool speaker = false;
    bool muted = false;
    std::optional<rtc::SocketAddress> address;
    bool music_sent = false;
  };

  FakeForwarder() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t length = sizeof(addr);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    address_.FromSockAddr(addr);
  }
  ~FakeForwarder() {
    Stop();
    ::close(fd_);
  }

  const rtc::SocketAddress& address() const { return address_; }

  void AddMember(uint64_t room, uint64_t id, const std::string& token, bool speaker,
                 bool muted = false) {
    Member& member = members_[id];
    member.room = room;
    member.token = token;
    member.speaker = speaker;
    member.muted = muted;
  }
  // A cascade link of `room` to a peer at `peer`.
  void AddCascade(uint64_t room, const rtc::SocketAddress& peer) {
    cascade_room_ = room;
    cascade_peer_ = peer;
  }
  void SetHook(Hook hook) { hook_ = std::move(hook); }
  void LeakMutedVoice() { leak_muted_ = true; }

  void Start() {
    thread_ = std::thread([this] {
      while (!stop_.load()) Step();
    });
  }
  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

  // Read after Stop().
  size_t waiting_reliable() const { return waiting_.size(); }
  uint64_t reports = 0;
  uint64_t report_blocks_naming_speakers = 0;
  uint64_t cascade_answers = 0;
  uint64_t acks_from_users = 0;
  uint64_t fec_received = 0;
  uint64_t nacks = 0;
  uint64_t nack_answers = 0;

 private:
  void Send(const uint8_t* data, size_t size, const rtc::SocketAddress& to) {
    const sockaddr_in addr = ToSockAddr(to);
    ::sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  }

  void Step() {
    pollfd pfd{fd_, POLLIN, 0};
    const int64_t now_ms = rtc::TimeMillis();
    if (now_ms >= next_resend_ms_) {
      next_resend_ms_ = now_ms + 50;
      for (const auto& [key, entry] : waiting_)
        Send(entry.second.data(), entry.second.size(), entry.first);
    }
    if (::poll(&pfd, 1, 5) <= 0) return;
    uint8_t data[2048];
    sockaddr_in from_addr{};
    socklen_t length = sizeof(from_addr);
    const ssize_t count =
        ::recvfrom(fd_, data, sizeof(data), 0, reinterpret_cast<sockaddr*>(&from_addr), &length);
    if (count <= 0) return;
    rtc::SocketAddress from;
    from.FromSockAddr(from_addr);
    Handle(data, static_cast<size_t>(count), from);
  }

  void Handle(uint8_t* data, size_t size, const rtc::SocketAddress& from) {
    if (size == 12 && data[0] == 'C' && data[1] == 'O' && data[2] == 'r') {
      Send(data, size, from);
      known_.insert(from.ToString());
      return;
    }
    if (size < 14) return;
    const uint8_t type = data[1];
    if (type == 0x6E && size >= 18 && from == cascade_peer_) {
      // The peer answered our detect with our room and hash: the link is confirmed.
      if (rtc::GetBE64(data + 6) == cascade_room_ && rtc::GetBE32(data + 14) == kCascadeHash) {
        ++cascade_answers;
        cascade_confirmed_ = true;
      }
      return;
    }
    if (known_.count(from.ToString()) == 0) return;
    if (type == 0xC8) {
      ++reports;
      const size_t blocks = data[0] & 0x0F;
      for (size_t i = 0; i < blocks && 14 + 12 * (i + 1) <= size; ++i) {
        const uint64_t named = rtc::GetBE64(data + 14 + 12 * i);
        auto it = members_.find(named);
        if (it == members_.end() || !it->second.speaker || !it->second.address) continue;
        ++report_blocks_naming_speakers;
        uint8_t report[26] = {0xA1, 0xC8};
        rtc::SetBE64(report + 14, named);
        rtc::SetBE32(report + 22, rtc::GetBE32(data + 14 + 12 * i + 8));
        Send(report, sizeof(report), *it->second.address);
      }
      return;
    }
    if (type == 0x50) {
      HandleFec(data, size, from);
      return;
    }
    if (type == 0xCA) {
      HandleNack(data, size, from);
      return;
    }
    const uint64_t user_id = rtc::GetBE64(data + 6);
    auto it = members_.find(user_id);
    if (it == members_.end()) return;
    Member& member = it->second;
    if (!member.address || *member.address != from) {
      const uint16_t header = size >= 16 ? rtc::GetBE16(data + 14) : 0;
      const size_t token_length = (header >> 11) == 1 ? header & 0x7FF : 0;
      const bool match =
          token_length > 0 && 16 + token_length <= size &&
          std::string(reinterpret_cast<char*>(data + 16), token_length) == member.token;
      if (!match) {
        uint8_t answer[15] = {0xA0, 0x62};
        std::memcpy(answer + 2, data + 2, 4);
        rtc::SetBE64(answer + 6, user_id);
        Send(answer, sizeof(answer), from);
        return;
      }
      member.address = from;
    }
    if ((data[0] & 0x10) != 0) {
      uint8_t ack[22] = {0xA0, static_cast<uint8_t>(type - 1)};
      std::memcpy(ack + 2, data + 2, 4);
      rtc::SetBE64(ack + 14, user_id);
      Send(ack, sizeof(ack), from);
      if (type != 0x80) data[0] &= static_cast<uint8_t>(~0x10);
    }
    if (!member.music_sent) {
      member.music_sent = true;
      auto music = music_.find(member.room);
      if (music != music_.end()) Send(music->second.data(), music->second.size(), from);
    }
    if ((type & 1) != 0) {
      ++acks_from_users;
      if (type == 0x81) waiting_.erase({user_id, rtc::GetBE32(data + 2)});
      return;
    }
    const bool forward = type == 0x80 || (member.speaker && (!member.muted || leak_muted_));
    if (!forward) return;
    if (type == 0x80) music_[member.room] = Bytes(data, data + size);
    const IncomingDatagram parsed = ClassifyIncoming(data, size);
    for (auto& [id, other] : members_) {
      if (id == user_id || other.room != member.room || !other.address) continue;
      Deliver(id, *other.address, data, size, parsed);
    }
    if (member.room == cascade_room_ && !cascade_peer_.IsNil()) {
      if (!cascade_confirmed_) {
        uint8_t detect[18] = {0xA0, 0x6E};
        rtc::SetBE64(detect + 6, cascade_room_);
        rtc::SetBE32(detect + 14, kCascadeHash);
        Send(detect, sizeof(detect), cascade_peer_);
      }
      Send(data, size, cascade_peer_);
    }
  }

  // FEC datagrams of a known speaker address go to the room as they are; the
  // media inside is kept for NACKs, rebuilt from a repair when k is 1.
  void HandleFec(const uint8_t* data, size_t size, const rtc::SocketAddress& from) {
    if (size < 22) return;
    const uint64_t user_id = rtc::GetBE64(data + 2);
    auto it = members_.find(user_id);
    if (it == members_.end() || !it->second.address || *it->second.address != from) return;
    Member& member = it->second;
    if (!member.speaker || member.muted) return;
    ++fec_received;
    const uint32_t s = rtc::GetBE32(data + 10);
    const uint32_t b = rtc::GetBE32(data + 14);
    const uint8_t k = data[18];
    const size_t length = rtc::GetBE16(data + 20);
    if ((s < b + k || k == 1) && 22 + length <= size && length >= 6) {
      const uint32_t media_sequence = rtc::GetBE32(data + 22 + 2);
      kept_[user_id].emplace(media_sequence, Bytes(data + 22, data + 22 + length));
    }
    const IncomingDatagram parsed = ClassifyIncoming(data, size);
    for (auto& [id, other] : members_) {
      if (id == user_id || other.room != member.room || !other.address) continue;
      Deliver(id, *other.address, data, size, parsed);
    }
  }

  // Answers a member's NACK with the kept media datagrams it names.
  void HandleNack(const uint8_t* data, size_t size, const rtc::SocketAddress& from) {
    if (size < 28) return;
    auto asker = members_.find(rtc::GetBE64(data + 6));
    if (asker == members_.end() || !asker->second.address || *asker->second.address != from) return;
    ++nacks;
    const auto kept = kept_.find(rtc::GetBE64(data + 14));
    if (kept == kept_.end()) return;
    const uint32_t reference = rtc::GetBE32(data + 22);
    const uint16_t mask = rtc::GetBE16(data + 26);
    for (int i = 0; i < 16; ++i) {
      if ((mask & (1u << i)) == 0) continue;
      const auto media = kept->second.find(reference + 1 + static_cast<uint32_t>(i));
      if (media == kept->second.end()) continue;
      ++nack_answers;
      Send(media->second.data(), media->second.size(), from);
    }
  }

  void Deliver(uint64_t receiver, const rtc::SocketAddress& to, const uint8_t* data, size_t size,
               const IncomingDatagram& parsed) {
    if (data[1] == 0x82) {
      waiting_.emplace(std::make_pair(receiver, rtc::GetBE32(data + 2)),
                       std::make_pair(to, Bytes(data, data + size)));
    }
    const Action action = hook_ ? hook_(receiver, parsed) : Action::kForward;
    if (action == Action::kDrop) return;
    if (action == Action::kHold) {
      held_[receiver] = std::make_pair(to, Bytes(data, data + size));
      return;
    }
    Send(data, size, to);
    if (action == Action::kDuplicate) Send(data, size, to);
    auto held = held_.find(receiver);
    if (held != held_.end()) {
      Send(held->second.second.data(), held->second.second.size(), held->second.first);
      held_.erase(held);
    }
  }

  static constexpr uint32_t kCascadeHash = 0x12345678;

  int fd_ = -1;
  rtc::SocketAddress address_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  // Used by the forwarder's thread only while it runs.
  std::map<uint64_t, Member> members_;
  std::set<std::string> known_;
  std::map<uint64_t, Bytes> music_;
  std::map<std::pair<uint64_t, uint32_t>, std::pair<rtc::SocketAddress, Bytes>> waiting_;
  std::map<uint64_t, std::pair<rtc::SocketAddress, Bytes>> held_;
  std::map<uint64_t, std::map<uint32_t, Bytes>> kept_;  // media by user and sequence
  int64_t next_resend_ms_ = 0;
  Hook hook_;
  bool leak_muted_ = false;
  uint64_t cascade_room_ = 0;
  rtc::SocketAddress cascade_peer_;
  bool cascade_confirmed_ = false;
};

class ClientLoopbackTest : public ::testing::Test {
 protected:
  // Roster users are added to the forwarder as well.
  void AddUser(uint64_t room, uint64_t id, Role role, const std::string& extra = "") {
    std::string error;
    ASSERT_TRUE(ParseRosterLine("room " + std::to_string(room) + " user " + std::to_string(id) +
                                    " " + RoleName(role) + " tok" + std::to_string(id) + " " +
                                    extra,
                                &options_.roster, &error))
        << error;
    forwarder_.AddMember(room, id, "tok" + std::to_string(id), IsTalkingRole(role),
                         role == Role::kMuted);
  }

  RunResult Run() {
    options_.server = forwarder_.address();
    options_.quiet = true;
    options_.duration_s = duration_s_;
    options_.drain_ms = 300;
    options_.handshake_timeout_ms = 2000;
    options_.retry_ms = 20;
    forwarder_.Start();
    Simulator simulator(options_);
    std::string error;
    EXPECT_TRUE(simulator.Setup(&error)) << error;
    simulator.Run();
    forwarder_.Stop();
    return simulator.Result();
  }

  static const UserResult& User(const RunResult& result, uint64_t id) {
    for (const UserResult& user : result.users) {
      if (user.user_id == id) return user;
    }
    ADD_FAILURE() << "no user " << id;
    return result.users.front();
  }

  FakeForwarder forwarder_;
  ClientOptions options_;
  double duration_s_ = 0.4;
};

TEST_F(ClientLoopbackTest, EveryExpectedDatagramArrives) {
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kSpeaker);
  AddUser(1, 3, Role::kListener);
  AddUser(1, 4, Role::kMuted);
  AddUser(2, 5, Role::kSpeaker);
  AddUser(2, 6, Role::kListener);
  const RunResult result = Run();
  EXPECT_TRUE(result.ok);
  const uint64_t sent1 = User(result, 1).sent;
  const uint64_t sent2 = User(result, 2).sent;
  EXPECT_GE(sent1, 10u);
  EXPECT_GT(User(result, 4).sent, 0u);  // the muted speaker talks, nobody hears it
  EXPECT_EQ(User(result, 1).expected, sent2);
  EXPECT_EQ(User(result, 2).expected, sent1);
  EXPECT_EQ(User(result, 3).expected, sent1 + sent2);
  EXPECT_EQ(User(result, 4).expected, sent1 + sent2);
  EXPECT_EQ(User(result, 6).expected, User(result, 5).sent);
  EXPECT_EQ(User(result, 5).expected, 0u);  // alone in its room
  for (const UserResult& user : result.users) {
    EXPECT_TRUE(user.admitted) << user.user_id;
    EXPECT_EQ(user.received, user.expected) << user.user_id;
    EXPECT_EQ(user.lost, 0u) << user.user_id;
    EXPECT_EQ(user.unexpected, 0u) << user.user_id;
    EXPECT_EQ(user.duplicates, 0u) << user.user_id;
    EXPECT_EQ(user.latency.count(), user.received) << user.user_id;
    EXPECT_GE(user.acks_received, 1u) << user.user_id;  // the announce at least
    EXPECT_EQ(user.problem, "");
  }
  EXPECT_EQ(result.total.expected, 4 * (sent1 + sent2) - sent1 - sent2 + User(result, 5).sent);
}

TEST_F(ClientLoopbackTest, TwoThreadsMeasureTheSame) {
  options_.threads = 2;
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  AddUser(1, 3, Role::kListener);
  const RunResult result = Run();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(User(result, 2).expected, User(result, 1).sent);
  EXPECT_EQ(User(result, 3).received, User(result, 1).sent);
  // Each loop's own CPU over the traffic: both loops ran, each on its own clock.
  EXPECT_EQ(result.threads, 2);
  EXPECT_GT(result.send_loop_cpu_s, 0);
  EXPECT_GT(result.receive_loop_cpu_s, 0);
}

TEST_F(ClientLoopbackTest, LossIsCountedExactly) {
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  AddUser(1, 3, Role::kListener);
  forwarder_.SetHook([](uint64_t receiver, const IncomingDatagram& d) {
    const bool victim = receiver == 2 && d.stream == StreamKind::kVoice &&
                        (d.stream_index == 3 || d.stream_index == 5);
    return victim ? FakeForwarder::Action::kDrop : FakeForwarder::Action::kForward;
  });
  const RunResult result = Run();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(User(result, 2).lost, 2u);
  EXPECT_EQ(User(result, 2).received, User(result, 1).sent - 2);
  EXPECT_EQ(User(result, 2).problem, "lost 2");
  EXPECT_EQ(User(result, 3).lost, 0u);
  EXPECT_EQ(result.total.lost, 2u);
}

TEST_F(ClientLoopbackTest, FecDatagramsCarryTheVoiceAndTheRepairsArrive) {
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  options_.fec_k = 1;
  options_.fec_r = 2;
  const RunResult result = Run();
  EXPECT_TRUE(result.ok) << User(result, 2).problem;
  const UserResult& speaker = User(result, 1);
  EXPECT_GT(speaker.sent, 0u);
  EXPECT_EQ(speaker.repairs_sent, 2 * speaker.sent);
  EXPECT_EQ(User(result, 2).received, speaker.sent);
  EXPECT_EQ(User(result, 2).repairs_received, speaker.repairs_sent);
  EXPECT_EQ(forwarder_.fec_received, speaker.sent + speaker.repairs_sent);
}

TEST_F(ClientLoopbackTest, WithoutNacksWhatTheSpeakerDropsIsNotExpected) {
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  options_.fec_k = 1;
  options_.fec_r = 1;
  options_.loss_percent = 30;
  duration_s_ = 1;
  const RunResult result = Run();
  EXPECT_TRUE(result.ok) << User(result, 2).problem;
  const UserResult& speaker = User(result, 1);
  EXPECT_GT(speaker.fec_dropped, 0u);
  EXPECT_EQ(forwarder_.fec_received, speaker.sent + speaker.repairs_sent - speaker.fec_dropped +
                                         (speaker.sent - speaker.repairs_sent));
  EXPECT_LT(User(result, 2).expected, speaker.sent);
  EXPECT_EQ(User(result, 2).received, User(result, 2).expected);
  EXPECT_EQ(User(result, 2).nacks_sent, 0u);
}

TEST_F(ClientLoopbackTest, NacksRecoverEveryDatagramARepairCovers) {
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  AddUser(1, 3, Role::kListener);
  options_.fec_k = 1;
  options_.fec_r = 1;
  options_.loss_percent = 25;
  options_.nack = true;
  duration_s_ = 1;
  const RunResult result = Run();
  EXPECT_TRUE(result.ok);
  const UserResult& speaker = User(result, 1);
  EXPECT_GT(speaker.fec_dropped, 0u);
  for (uint64_t id : {2, 3}) {
    const UserResult& listener = User(result, id);
    EXPECT_EQ(listener.lost, 0u) << listener.problem;
    EXPECT_GT(listener.recovered, 0u);
    EXPECT_GE(listener.nack_asked, listener.recovered);
    // What is still missing is exactly what no datagram of its block carried.
    EXPECT_EQ(listener.lost_for_good, listener.unrecoverable);
    EXPECT_EQ(listener.expected + listener.unrecoverable, speaker.sent);
    EXPECT_EQ(listener.received, listener.expected);
  }
  EXPECT_GT(forwarder_.nack_answers, 0u);
}

// Regression: a speaker's handshake datagrams, numbered on the same sequence
// as its voice, counted as voice lost for good when the receiver was admitted first.
TEST_F(ClientLoopbackTest, ALateSpeakersHandshakeIsNotVoiceLostForGood) {
  AddUser(1, 1, Role::kSpeaker, "start=100");
  AddUser(1, 2, Role::kListener);
  options_.fec_k = 1;
  options_.nack = true;
  const RunResult result = Run();
  EXPECT_TRUE(result.ok) << User(result, 2).problem;
  EXPECT_GT(User(result, 2).received, 0u);
  EXPECT_EQ(User(result, 2).lost_for_good, 0u);
}

TEST_F(ClientLoopbackTest, ANackBringsBackWhatTheServerLostOnTheWayOut) {
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  options_.fec_k = 1;
  options_.nack = true;
  forwarder_.SetHook([](uint64_t, const IncomingDatagram& d) {
    const bool victim = d.fec && (d.stream_index == 3 || d.stream_index == 4);
    return victim ? FakeForwarder::Action::kDrop : FakeForwarder::Action::kForward;
  });
  const RunResult result = Run();
  EXPECT_TRUE(result.ok) << User(result, 2).problem;
  EXPECT_EQ(User(result, 2).recovered, 2u);
  EXPECT_EQ(User(result, 2).nacks_sent, 1u);  // one NACK names both
  EXPECT_EQ(User(result, 2).lost_for_good, 0u);
  EXPECT_EQ(User(result, 2).received, User(result, 1).sent);
}

// The forwarder plays a mixer whose choice never changes: the two best of
// three speakers (by mark, then level) every period.
TEST_F(ClientLoopbackTest, MixerModeCountsTheChosenFramesAndTheOnesThatShouldHaveBeenDropped) {
  AddUser(1, 1, Role::kSpeaker, "level=90");
  AddUser(1, 2, Role::kSpeaker, "level=10 priority=1");
  AddUser(1, 3, Role::kSpeaker, "level=40");
  AddUser(1, 4, Role::kListener);
  options_.mixer = true;
  options_.fec_k = 1;
  int leaked = 0;
  forwarder_.SetHook([&leaked](uint64_t receiver, const IncomingDatagram& d) {
    // Speaker 3 ranks last; one of its frames slips through to the listener.
    if (d.id != 3) return FakeForwarder::Action::kForward;
    if (receiver == 4 && d.stream_index == 5) {
      ++leaked;
      return FakeForwarder::Action::kForward;
    }
    return FakeForwarder::Action::kDrop;
  });
  const RunResult result = Run();
  const UserResult& speaker = User(result, 1);
  ASSERT_GT(speaker.sent, 5u);
  EXPECT_EQ(speaker.fec_dropped, 0u);
  // Speaker 1 hears 2, speaker 2 hears 1, speaker 3 and the listener both.
  EXPECT_EQ(User(result, 1).chosen_expected, User(result, 2).sent);
  EXPECT_EQ(User(result, 2).chosen_expected, User(result, 1).sent);
  EXPECT_EQ(User(result, 3).chosen_expected, User(result, 1).sent + User(result, 2).sent);
  EXPECT_EQ(User(result, 4).chosen_expected, User(result, 1).sent + User(result, 2).sent);
  for (uint64_t id : {1, 2, 3, 4}) {
    EXPECT_EQ(User(result, id).chosen_received, User(result, id).chosen_expected) << id;
    EXPECT_EQ(User(result, id).lost, 0u) << id;
  }
  EXPECT_EQ(leaked, 1);
  EXPECT_EQ(User(result, 4).unchosen_received, 1u);
  EXPECT_EQ(User(result, 4).problem, "1 frames the mixer should have dropped");
  EXPECT_EQ(User(result, 1).unchosen_received, 0u);
  EXPECT_EQ(User(result, 4).heard_from.at(3), 1u);
  EXPECT_FALSE(result.ok);
}

// Frames the speaker dropped never reach the mixer: the next best takes the place.
TEST_F(ClientLoopbackTest, MixerModeLetsTheNextSpeakerInWhenTheBestDropsAFrame) {
  AddUser(1, 1, Role::kSpeaker, "level=90");
  AddUser(1, 2, Role::kSpeaker, "level=80");
  AddUser(1, 3, Role::kSpeaker, "level=70");
  AddUser(1, 4, Role::kListener);
  options_.mixer = true;
  options_.fec_k = 1;
  options_.loss_percent = 20;
  duration_s_ = 1;
  // Forward all: the listener then gets speaker 3 exactly in the periods
  // where 1 or 2 dropped their frame.
  const RunResult result = Run();
  const UserResult& listener = User(result, 4);
  const uint64_t dropped = User(result, 1).fec_dropped + User(result, 2).fec_dropped;
  ASSERT_GT(dropped, 0u);
  EXPECT_EQ(listener.chosen_received, listener.chosen_expected);
  EXPECT_GT(listener.heard_from.at(3), listener.unchosen_received);
  EXPECT_EQ(listener.heard_from.at(3) - listener.unchosen_received,
            listener.chosen_expected - (User(result, 1).sent - User(result, 1).fec_dropped) -
                (User(result, 2).sent - User(result, 2).fec_dropped));
}

TEST_F(ClientLoopbackTest, DuplicatesAndReorderingAreCounted) {
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  forwarder_.SetHook([](uint64_t, const IncomingDatagram& d) {
    if (d.stream != StreamKind::kVoice) return FakeForwarder::Action::kForward;
    if (d.stream_index == 2) return FakeForwarder::Action::kDuplicate;
    if (d.stream_index == 4) return FakeForwarder::Action::kHold;  // goes out after 5
    return FakeForwarder::Action::kForward;
  });
  const RunResult result = Run();
  EXPECT_TRUE(result.ok);  // nothing lost
  EXPECT_EQ(User(result, 2).duplicates, 1u);
  EXPECT_EQ(User(result, 2).out_of_order, 1u);
  EXPECT_EQ(User(result, 2).received, User(result, 1).sent);
}

TEST_F(ClientLoopbackTest, ForwardedMutedVoiceIsUnexpected) {
  AddUser(1, 1, Role::kMuted);
  AddUser(1, 2, Role::kListener);
  forwarder_.LeakMutedVoice();
  const RunResult result = Run();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(User(result, 2).expected, 0u);
  EXPECT_GE(User(result, 2).unexpected, User(result, 1).sent);
}

TEST_F(ClientLoopbackTest, AWrongTokenGetsAuthenticationAnswersAndIsNotAdmitted) {
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener, "auth=wrong");
  AddUser(1, 3, Role::kListener, "auth=none");
  const RunResult result = Run();
  EXPECT_TRUE(result.ok);  // refusal is what these two expect
  for (uint64_t id : {2u, 3u}) {
    EXPECT_FALSE(User(result, id).admitted) << id;
    EXPECT_GE(User(result, id).auth_answers, 1u) << id;
    EXPECT_EQ(User(result, id).expected, 0u) << id;
    EXPECT_EQ(User(result, id).problem, "") << id;
  }
  EXPECT_EQ(User(result, 1).auth_answers, 0u);
}

TEST_F(ClientLoopbackTest, WithoutADetectNothingIsAdmittedOrAnswered) {
  options_.skip_detect = true;
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  const RunResult result = Run();
  EXPECT_TRUE(result.ok);  // being dropped is what they expect
  for (uint64_t id : {1u, 2u}) {
    EXPECT_FALSE(User(result, id).admitted) << id;
    EXPECT_EQ(User(result, id).auth_answers, 0u) << id;
    EXPECT_EQ(User(result, id).acks_received, 0u) << id;
    EXPECT_GE(User(result, id).sent_control, 2u) << id;  // it kept trying
  }
}

TEST_F(ClientLoopbackTest, ReliableDatagramsAreResentUntilAcknowledged) {
  options_.reliable_every = 2;
  options_.withhold_percent = 100;  // withhold every first acknowledgement
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  const RunResult result = Run();
  EXPECT_TRUE(result.ok);
  const UserResult& listener = User(result, 2);
  EXPECT_GE(listener.acks_withheld, 5u);
  // Each withheld datagram comes again and is acknowledged then (a copy that
  // arrives twice before the acknowledgement lands is acknowledged twice).
  EXPECT_GE(listener.acks_sent, listener.acks_withheld);
  EXPECT_GE(listener.resends, listener.acks_withheld);
  EXPECT_EQ(listener.lost, 0u);
  EXPECT_EQ(forwarder_.waiting_reliable(), 0u);
  // The speaker asked for acknowledgements of its 0x82 datagrams and got them.
  EXPECT_GE(User(result, 1).acks_received, User(result, 1).sent / 2);
}

TEST_F(ClientLoopbackTest, ANewcomerGetsTheStoredMusicFirst) {
  options_.music_every = 2;
  duration_s_ = 0.6;
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener, "start=300");
  const RunResult result = Run();
  EXPECT_TRUE(result.ok);
  const UserResult& newcomer = User(result, 2);
  EXPECT_TRUE(newcomer.admitted);
  EXPECT_GE(newcomer.early, 1u);
  EXPECT_LT(newcomer.expected, User(result, 1).sent);  // joined late
  EXPECT_GT(newcomer.expected, 0u);
}

TEST_F(ClientLoopbackTest, ReceiverReportsReachTheSpeaker) {
  options_.report_ms = 100;
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  const RunResult result = Run();
  EXPECT_TRUE(result.ok);
  EXPECT_GE(forwarder_.reports, 2u);
  EXPECT_GE(forwarder_.report_blocks_naming_speakers, 1u);
  EXPECT_GE(User(result, 1).reports_received, 1u);
  EXPECT_GT(User(result, 1).last_report_value, 0u);
}

TEST_F(ClientLoopbackTest, APeerAnswersCascadeDetectsAndCountsTheRoom) {
  const int port = testutil::FreeUdpPort();
  rtc::SocketAddress peer;
  ASSERT_TRUE(ParseIpPort("127.0.0.1:" + std::to_string(port), &peer));
  std::string error;
  ASSERT_TRUE(
      ParseRosterLine("cascade 1 id 900 address " + peer.ToString(), &options_.roster, &error));
  forwarder_.AddCascade(1, peer);
  AddUser(1, 1, Role::kSpeaker);
  AddUser(1, 2, Role::kListener);
  const RunResult result = Run();
  EXPECT_TRUE(result.ok);
  const UserResult& link = User(result, 900);
  EXPECT_EQ(link.role, "peer");
  EXPECT_GE(link.cascade_detects, 1u);
  EXPECT_EQ(link.expected, User(result, 1).sent);
  EXPECT_EQ(link.received, link.expected);
  EXPECT_GE(forwarder_.cascade_answers, 1u);
}

TEST(ClientProgramTest, HelpAndWriteUsers) {
  testutil::TempDir dir;
  testutil::Subprocess help({CORVANE_CLIENT, "--help"}, dir.path());
  int status = -1;
  ASSERT_TRUE(help.Wait(std::chrono::seconds(10), &status));
  EXPECT_EQ(status, 0);
  EXPECT_NE(help.Stdout().find("--reliable-every"), std::string::npos);

  testutil::Subprocess write(
      {CORVANE_CLIENT, "--generate", "1,1,2", "--write-users", dir.File("room.txt")}, dir.path());
  ASSERT_TRUE(write.Wait(std::chrono::seconds(10), &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testutil::ReadFile(dir.File("room.txt")),
            "room 1 user 1000 speaker tok-1000\nroom 1 user 1001 listener tok-1001\n"
            "room 1 user 1002 listener tok-1002\n");

  testutil::Subprocess bad({CORVANE_CLIENT, "--rate", "0"}, dir.path());
  ASSERT_TRUE(bad.Wait(std::chrono::seconds(10), &status));
  EXPECT_EQ(status, 2);
}

TEST(ClientProgramTest, AnUnansweredClientFailsWithinItsBounds) {
  // Nobody listens on this port: no user is admitted and the run says so.
  testutil::TempDir dir;
  const int port = testutil::FreeUdpPort();
  testutil::Subprocess run(
      {CORVANE_CLIENT, "--server", "127.0.0.1:" + std::to_string(port), "--user", "1:2:speaker:t",
       "--duration", "0.1", "--handshake-timeout-ms", "200", "--drain-ms", "0", "--json"},
      dir.path());
  int status = -1;
  ASSERT_TRUE(run.Wait(std::chrono::seconds(10), &status));
  EXPECT_EQ(status, 1);
  EXPECT_NE(run.Stdout().find("\"problem\":\"not admitted\""), std::string::npos) << run.Stdout();
}

}  // namespace
}  // namespace corvanetools
