#include "gateway/room_spread.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvanetools {
namespace {

const char kA[] = "127.0.0.1:7000";
const char kB[] = "127.0.0.2:7000";
const char kC[] = "127.0.0.3:7000";

// "TARGET: WHAT" for each request, in order.
std::vector<std::string> Lines(const std::vector<Request>& requests) {
  std::vector<std::string> lines;
  for (const Request& request : requests) lines.push_back(request.target + ": " + request.what);
  return lines;
}

std::string LinkId(const char* address) {
  rtc::SocketAddress parsed;
  EXPECT_TRUE(parsed.FromString(address));
  return std::to_string(CascadeIdOf(parsed));
}

std::string Add(const char* on, const char* to) {
  return std::string(on) + ": add cascade room 7 user " + LinkId(to) + " to " + to;
}

std::string Drop(const char* on, const char* to) {
  return std::string(on) + ": quit room 7 user " + LinkId(to);
}

Placement ThreeServers(SpreadShape shape) {
  Roster roster;
  std::string error;
  for (const std::string& line : {std::string("room 7 user 1 speaker s1 server=") + kA,
                                  std::string("room 7 user 2 listener l2 server=") + kB,
                                  std::string("room 7 user 3 muted m3 server=") + kC,
                                  std::string("room 7 user 4 listener l4")}) {
    EXPECT_TRUE(ParseRosterLine(line, &roster, &error)) << error;
  }
  Placement placement;
  placement.room_id = 7;
  placement.shape = shape;
  placement.servers = {kA, kB, kC};
  placement.users = roster.users;
  return placement;
}

TEST(RoomSpreadTest, ShapesLinkTheServers) {
  using Links = std::vector<std::pair<size_t, size_t>>;
  EXPECT_EQ(SpreadLinks(SpreadShape::kStar, 4), (Links{{0, 1}, {0, 2}, {0, 3}}));
  EXPECT_EQ(SpreadLinks(SpreadShape::kChain, 4), (Links{{0, 1}, {1, 2}, {2, 3}}));
  EXPECT_EQ(SpreadLinks(SpreadShape::kMesh, 3), (Links{{0, 1}, {0, 2}, {1, 2}}));
  EXPECT_TRUE(SpreadLinks(SpreadShape::kMesh, 1).empty());
}

TEST(RoomSpreadTest, SpeakersJoinEverywhereListenersAtHomeAndLinksGoBothWays) {
  std::vector<Request> requests;
  BuildSpreadRequests(ThreeServers(SpreadShape::kChain), &requests);
  EXPECT_EQ(Lines(requests),
            (std::vector<std::string>{std::string(kA) + ": create room 7 with 3 users",  // 1, 3, 4
                                      std::string(kA) + ": mute room 7 user 3",
                                      std::string(kB) + ": create room 7 with 3 users",  // 1, 2, 3
                                      std::string(kB) + ": mute room 7 user 3",
                                      std::string(kC) + ": create room 7 with 2 users",  // 1, 3
                                      std::string(kC) + ": mute room 7 user 3", Add(kA, kB),
                                      Add(kB, kA), Add(kB, kC), Add(kC, kB)}));
}

TEST(RoomSpreadTest, WithdrawingTheMiddleOfAChainClosesTheGap) {
  Placement placement = ThreeServers(SpreadShape::kChain);
  std::vector<Request> requests;
  ASSERT_TRUE(BuildWithdrawRequests(&placement, kB, true, &requests));
  EXPECT_EQ(Lines(requests), (std::vector<std::string>{Drop(kA, kB), Drop(kC, kB),
                                                       std::string(kB) + ": close room 7",
                                                       Add(kA, kC), Add(kC, kA)}));
  EXPECT_EQ(placement.servers, (std::vector<std::string>{kA, kC}));
  EXPECT_FALSE(BuildWithdrawRequests(&placement, kB, true, &requests));
}

TEST(RoomSpreadTest, WithdrawingAStarsHubMakesTheNextServerTheHub) {
  Placement placement = ThreeServers(SpreadShape::kStar);
  std::vector<Request> requests;
  ASSERT_TRUE(BuildWithdrawRequests(&placement, kA, false, &requests));  // gone: no close
  EXPECT_EQ(Lines(requests),
            (std::vector<std::string>{Drop(kB, kA), Drop(kC, kA), Add(kB, kC), Add(kC, kB)}));
}

TEST(RoomSpreadTest, RestoringAServerPlacesTheRoomAndRelinksItOnBothSides) {
  Placement placement = ThreeServers(SpreadShape::kStar);
  std::vector<Request> requests;
  BuildRestoreRequests(&placement, kC, &requests);
  EXPECT_EQ(Lines(requests),
            (std::vector<std::string>{std::string(kC) + ": create room 7 with 2 users",
                                      std::string(kC) + ": mute room 7 user 3", Add(kA, kC),
                                      Add(kC, kA)}));
  // A server new to the room goes to the end of the shape.
  const char kD[] = "127.0.0.4:7000";
  requests.clear();
  BuildRestoreRequests(&placement, kD, &requests);
  ASSERT_EQ(requests.size(), 4u);  // speakers 1 and 3, the mute, the link
  EXPECT_EQ(Lines(requests)[2], Add(kA, kD));
  EXPECT_EQ(placement.servers.back(), kD);
}

TEST(RoomSpreadTest, LinkIdsDependOnThePeerAddressAlone) {
  rtc::SocketAddress a, b;
  ASSERT_TRUE(a.FromString(kA));
  ASSERT_TRUE(b.FromString(kB));
  EXPECT_EQ(CascadeIdOf(a), CascadeIdOf(a));
  EXPECT_NE(CascadeIdOf(a), CascadeIdOf(b));
  EXPECT_GE(CascadeIdOf(a), uint64_t{1} << 63);
}

}  // namespace
}  // namespace corvanetools
