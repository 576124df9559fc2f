// Rooms spread over several forwarding servers, as a gateway spreads them:
// every speaker joined on every server, listeners on their own, the servers
// linked both ways as a star, a chain or a mesh. Every listener must hear every
// other speaker exactly once, in order, byte for byte, and nothing may come
// back to its sender; a server lost mid-call must not silence the others.
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/e2e_harness.h"
#include "support/test_util.h"

namespace e2e {
namespace {

struct Member {
  uint64_t id;
  bool speaker;
  size_t server;  // index into the test's servers
};

class CascadeE2eTest : public E2eTest {
 protected:
  // Server n (from 1): media on 127.0.1.n, cascade interface on 127.0.2.n;
  // `port` 0 picks a free one.
  std::unique_ptr<Server> StartNumbered(int n, int port = 0) {
    const std::string media_ip = "127.0.1." + std::to_string(n);
    const std::string rec_ip = "127.0.2." + std::to_string(n);
    if (port == 0) return StartServer("server" + std::to_string(n), media_ip, rec_ip);
    // The gateway knows the address: "registered again".
    const size_t registered = CountOf(gateway_->Output(), " registered");
    auto server = std::make_unique<Server>(dir_, "server" + std::to_string(n) + "-again",
                                           gateway_->port(), media_ip, port, rec_ip);
    EXPECT_TRUE(gateway_->WaitForOutput(" registered", registered + 1)) << gateway_->Output();
    return server;
  }

  void StartServers(size_t count) {
    for (size_t i = 0; i < count; ++i) servers_.push_back(StartNumbered(static_cast<int>(i + 1)));
  }

  // A roster of room 7 with `members`, each on its server.
  std::string RoomRoster(const std::vector<Member>& members, uint64_t room = 7,
                         const std::string& more = "") {
    std::string lines = more;
    for (const Member& m : members) {
      lines += "room " + std::to_string(room) + " user " + std::to_string(m.id) +
               (m.speaker ? " speaker" : " listener") + " t" + std::to_string(m.id) +
               " server=" + servers_[m.server]->media_address() + "\n";
    }
    return lines;
  }

  // A gateway command that sends `responses` requests, every one answered 0.
  void Gateway(const std::string& line, size_t responses) {
    const size_t before = CountOf(gateway_->Output(), " result ");
    ASSERT_TRUE(gateway_->Command(line, " result ")) << gateway_->Output();
    ASSERT_TRUE(gateway_->WaitForOutput(" result ", before + responses)) << gateway_->Output();
    EXPECT_EQ(CountOf(gateway_->Output(), " result 0 "), CountOf(gateway_->Output(), " result "))
        << gateway_->Output();
  }

  // Lines of links that got their peer's answer, over the running servers.
  size_t ConfirmedLinks() const {
    size_t confirmed = 0;
    for (const auto& server : servers_) {
      confirmed += CountOf(server->InfoLog(), "received cascade response from [");
    }
    return confirmed;
  }

  // Waits until `links` more links, both ways, have answered each other.
  void AwaitLinks(size_t links, size_t before = 0) {
    ASSERT_TRUE(testutil::WaitFor([&] { return ConfirmedLinks() >= before + 2 * links; }))
        << "links not confirmed";
  }

  ClientRun Talk(const std::string& roster, const std::string& seconds = "2") {
    return RunClient(dir_, {"--users", roster, "--duration", seconds});
  }

  // `listener` heard every datagram of `speaker` once, in order, intact.
  static void ExpectHeardAll(const ClientRun& run, uint64_t listener, uint64_t speaker) {
    const std::string user = JsonUser(run.json, listener);
    const double sent = JsonNumber(JsonUser(run.json, speaker), "sent");
    EXPECT_GT(sent, 0) << speaker;
    EXPECT_EQ(JsonNumber(user, std::to_string(speaker), "\"heard_from\""), sent)
        << listener << " from " << speaker << ": " << user;
  }

  // Every member heard every other speaker exactly once, in order, byte for
  // byte, and nothing else: not its own datagrams, no copies.
  void ExpectEveryoneHeardEveryone(const ClientRun& run, const std::vector<Member>& members) {
    EXPECT_EQ(run.status, 0) << run.json << run.stderr_text;
    for (const Member& m : members) {
      const std::string user = JsonUser(run.json, m.id);
      ASSERT_FALSE(user.empty()) << m.id << run.json;
      for (const char* zero : {"lost", "duplicates", "out_of_order", "unexpected", "malformed"}) {
        EXPECT_EQ(JsonNumber(user, zero), 0) << m.id << " " << zero << ": " << user;
      }
      EXPECT_EQ(JsonNumber(user, "received"), JsonNumber(user, "expected")) << user;
      EXPECT_EQ(JsonNumber(user, std::to_string(m.id), "\"heard_from\""), -1) << user;
      for (const Member& other : members) {
        if (other.speaker && other.id != m.id) ExpectHeardAll(run, m.id, other.id);
      }
    }
  }

  // Nobody's address moved to a peer server: each member's address changed
  // once, on its own server (its first datagram), and on no other.
  void ExpectNoAddressFlap(const std::vector<Member>& members) {
    for (const Member& m : members) {
      for (size_t i = 0; i < servers_.size(); ++i) {
        const size_t moves =
            CountOf(servers_[i]->InfoLog(), "modify user [" + std::to_string(m.id) + "]");
        EXPECT_EQ(moves, i == m.server ? 1u : 0u) << "user " << m.id << " on server " << i + 1;
      }
    }
  }

  std::vector<std::unique_ptr<Server>> servers_;
};

TEST_F(CascadeE2eTest, TwoServersLinkedBothWaysHearEachOtherOnce) {
  StartServers(2);
  const std::vector<Member> members = {
      {101, true, 0}, {102, false, 0}, {103, true, 1}, {104, false, 1}};
  const std::string roster = Roster("room.txt", RoomRoster(members));
  Gateway("spread " + roster + " chain", 4);  // two rooms, one link both ways
  AwaitLinks(1);
  ClientRun run = Talk(roster);
  ExpectEveryoneHeardEveryone(run, members);
  ExpectNoAddressFlap(members);
  // With the links confirmed before the first word, nothing went round.
  for (const auto& server : servers_) {
    EXPECT_EQ(CountOf(server->InfoLog(), "drop repeated datagram"), 0u) << server->InfoLog();
  }
}

class CascadeShapeE2eTest : public CascadeE2eTest,
                            public ::testing::WithParamInterface<const char*> {};

// Three servers; room 7 has a speaker and a listener on each, room 8 one
// speaker on the first server and a listener on each, which gives the delay
// each hop adds.
TEST_P(CascadeShapeE2eTest, ThreeServersEveryoneHearsEveryoneOnce) {
  const std::string shape = GetParam();
  StartServers(3);
  const std::vector<Member> room7 = {{101, true, 0},  {102, false, 0}, {103, true, 1},
                                     {104, false, 1}, {105, true, 2},  {106, false, 2}};
  const std::vector<Member> room8 = {
      {201, true, 0}, {202, false, 0}, {203, false, 1}, {204, false, 2}};
  const std::string roster = Roster("room.txt", RoomRoster(room7, 7, RoomRoster(room8, 8)));
  const size_t links = shape == "mesh" ? 3 : 2;
  Gateway("spread " + roster + " " + shape, 2 * (3 + 2 * links));
  AwaitLinks(2 * links);
  ClientRun run = Talk(roster);
  ExpectEveryoneHeardEveryone(run, room7);
  ExpectEveryoneHeardEveryone(run, room8);
  ExpectNoAddressFlap(room7);

  // Hops from the first server: star and mesh 0, 1, 1; chain 0, 1, 2.
  const std::vector<int> hops =
      shape == "chain" ? std::vector<int>{0, 1, 2} : std::vector<int>{0, 1, 1};
  const double local_p50 = JsonNumber(JsonUser(run.json, 202), "p50", "latency_ms");
  for (size_t i = 0; i < 3; ++i) {
    const std::string user = JsonUser(run.json, 202 + i);
    const double p50 = JsonNumber(user, "p50", "latency_ms");
    const double p99 = JsonNumber(user, "p99", "latency_ms");
    std::printf(
        "[ %s ] listener on server %zu, %d hop(s): p50 %.3f ms, p99 %.3f ms, "
        "added p50 %.3f ms\n",
        shape.c_str(), i + 1, hops[i], p50, p99, p50 - local_p50);
    RecordProperty("hops" + std::to_string(hops[i]) + "_server" + std::to_string(i + 1) + "_p50_us",
                   static_cast<int>(p50 * 1000));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CascadeShapeE2eTest, ::testing::Values("star", "chain", "mesh"),
                         [](const auto& shape_info) { return std::string(shape_info.param); });

TEST_F(CascadeE2eTest, ServerLostMidCallOthersKeepTalkingAndItsMembersReturnOnceRestored) {
  StartServers(3);
  const std::vector<Member> members = {{101, true, 0},  {102, false, 0}, {103, true, 1},
                                       {104, false, 1}, {105, true, 2},  {106, false, 2}};
  const std::string roster = Roster("room.txt", RoomRoster(members));
  Gateway("spread " + roster + " star", 3 + 2 * 2);
  AwaitLinks(2);

  auto client = StartClient(dir_, {"--users", roster, "--duration", "3"});
  // Every user of the third server talks to it; then it dies.
  ASSERT_TRUE(testutil::WaitFor([&] {
    return CountOf(servers_[2]->InfoLog(), "remote address from [") >= 2;
  })) << servers_[2]->InfoLog();
  const std::string address = servers_[2]->media_address();
  const int port = std::stoi(address.substr(address.rfind(':') + 1));
  ASSERT_TRUE(servers_[2]->Signal(SIGKILL));
  int status = -1;
  ASSERT_TRUE(servers_[2]->Wait(&status));
  ClientRun during;
  ASSERT_TRUE(client->Wait(std::chrono::seconds(60), &during.status));
  during.json = client->Stdout();
  // The first two servers' members heard each other without a gap.
  for (uint64_t listener : {101, 102, 103, 104}) {
    for (uint64_t speaker : {101, 103}) {
      if (listener != speaker) ExpectHeardAll(during, listener, speaker);
    }
  }
  const double lost_speaker_sent = JsonNumber(JsonUser(during.json, 105), "sent");
  EXPECT_LT(JsonNumber(JsonUser(during.json, 102), "105", "\"heard_from\""), lost_speaker_sent);

  // The gateway takes the lost server out of the room (the hub drops its
  // link), then puts it back once it runs again: the room on it, the link on
  // both sides.
  Gateway("withdraw 7 " + address, 1);
  servers_[2] = StartNumbered(3, port);
  const size_t confirmed = ConfirmedLinks();
  Gateway("restore 7 " + address, 3);
  AwaitLinks(1, confirmed);
  ClientRun after = Talk(roster);
  ExpectEveryoneHeardEveryone(after, members);
}

}  // namespace
}  // namespace e2e
