#include "channel/room_registry.h"

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace corvaneserver {
namespace {

struct FakeChannel {
  FakeChannel(uint64_t user, uint64_t room) : user_id(user), room_id(room) {}
  uint64_t RoomId() const { return room_id; }
  void OnRReportReceived(uint64_t reporter_id, uint32_t value) {
    reports.emplace_back(reporter_id, value);
  }

  uint64_t user_id;
  uint64_t room_id;
  bool expired = false;
  std::vector<std::pair<uint64_t, uint32_t>> reports;
};

struct FakeRoom {
  explicit FakeRoom(uint64_t room_id, int room_tag = 0) : id(room_id), tag(room_tag) {}
  bool IsInactive() const { return inactive; }

  uint64_t id;
  int tag;
  bool inactive = false;
  std::map<uint64_t, std::shared_ptr<FakeChannel>> members;
  std::vector<uint64_t> removed;  // every Remove, in order
};

// Distinct results, so that the registry is seen to pass the room's on.
constexpr int kAddResult = 3;
constexpr int kRemoveResult = 7;

struct FakeMembership {
  static int Add(FakeRoom& room, std::shared_ptr<FakeChannel> channel) {
    room.members[channel->user_id] = std::move(channel);
    return kAddResult;
  }
  static int Remove(FakeRoom& room, uint64_t user_id) {
    room.members.erase(user_id);
    room.removed.push_back(user_id);
    return kRemoveResult;
  }
};

class RoomRegistryTest : public ::testing::Test {
 protected:
  // Joins `user` into `room_id` (created when missing); records every transfer.
  int Join(uint64_t room_id, uint64_t user) REQUIRES(registry_) {
    std::shared_ptr<FakeRoom> room = registry_.CreateRoom(room_id);
    return registry_.JoinRoom(
        room, user, [&](uint64_t old_room) { transfers_.push_back(old_room); },
        [&] { return std::make_shared<FakeChannel>(user, room_id); });
  }

  RoomRegistry<FakeRoom, FakeChannel, FakeMembership> registry_;
  std::vector<uint64_t> transfers_;
};

TEST_F(RoomRegistryTest, CreateRoomMakesTheRoomOnceWithItsArguments) {
  rtc::WriteLockScoped hold(&registry_);
  std::shared_ptr<FakeRoom> room = registry_.CreateRoom(1, 42);
  ASSERT_TRUE(room);
  EXPECT_EQ(room->id, 1u);
  EXPECT_EQ(room->tag, 42);
  // A second create finds the first room and ignores its arguments.
  EXPECT_EQ(registry_.CreateRoom(1, 99), room);
  EXPECT_EQ(room->tag, 42);
  EXPECT_EQ(registry_.SeekRoom(1), room);
  EXPECT_FALSE(registry_.SeekRoom(2));
  EXPECT_FALSE(registry_.SeekUser(1));
  EXPECT_EQ(registry_.rooms().size(), 1u);
}

TEST_F(RoomRegistryTest, JoinEntersTheUserInBothMaps) {
  rtc::WriteLockScoped hold(&registry_);
  EXPECT_EQ(Join(1, 5), kAddResult);
  std::shared_ptr<FakeChannel> channel = registry_.SeekUser(5);
  ASSERT_TRUE(channel);
  EXPECT_EQ(registry_.SeekRoom(1)->members.at(5), channel);
  EXPECT_TRUE(transfers_.empty());
}

TEST_F(RoomRegistryTest, SecondJoinMovesTheUserAfterDroppingItsOldChannel) {
  rtc::WriteLockScoped hold(&registry_);
  Join(1, 5);
  std::weak_ptr<FakeChannel> old_channel = registry_.SeekUser(5);
  std::shared_ptr<FakeRoom> room2 = registry_.CreateRoom(2);
  bool old_gone_before_new = false;
  EXPECT_EQ(registry_.JoinRoom(
                room2, 5, [&](uint64_t old_room) { transfers_.push_back(old_room); },
                [&] {
                  old_gone_before_new = old_channel.expired();
                  return std::make_shared<FakeChannel>(5, 2);
                }),
            kAddResult);
  EXPECT_EQ(transfers_, std::vector<uint64_t>{1});
  EXPECT_TRUE(old_gone_before_new);
  std::shared_ptr<FakeRoom> room1 = registry_.SeekRoom(1);
  EXPECT_EQ(room1->removed, std::vector<uint64_t>{5});
  EXPECT_TRUE(room1->members.empty());
  EXPECT_EQ(room2->members.at(5), registry_.SeekUser(5));
  EXPECT_EQ(registry_.users().size(), 1u);
}

TEST_F(RoomRegistryTest, JoiningTheSameRoomAgainReplacesTheChannel) {
  rtc::WriteLockScoped hold(&registry_);
  Join(1, 5);
  std::shared_ptr<FakeChannel> first = registry_.SeekUser(5);
  Join(1, 5);
  EXPECT_EQ(transfers_, std::vector<uint64_t>{1});
  std::shared_ptr<FakeRoom> room = registry_.SeekRoom(1);
  EXPECT_EQ(room->removed, std::vector<uint64_t>{5});
  EXPECT_NE(registry_.SeekUser(5), first);
  EXPECT_EQ(room->members.at(5), registry_.SeekUser(5));
}

TEST_F(RoomRegistryTest, RemoveUserErasesTheUserButAsksOnlyTheNamedRoom) {
  rtc::WriteLockScoped hold(&registry_);
  Join(1, 5);
  // A room that does not exist: 0, the user leaves the map, its room keeps it.
  EXPECT_EQ(registry_.RemoveUser(9, 5), 0);
  EXPECT_FALSE(registry_.SeekUser(5));
  std::shared_ptr<FakeRoom> room = registry_.SeekRoom(1);
  EXPECT_EQ(room->members.count(5), 1u);
  // An existing room is asked even for an id that is not in the user map.
  EXPECT_EQ(registry_.RemoveUser(1, 5), kRemoveResult);
  EXPECT_EQ(room->removed, std::vector<uint64_t>{5});
  EXPECT_TRUE(room->members.empty());
}

TEST_F(RoomRegistryTest, RemoveRoomDropsItsUsersWithoutTellingTheRoom) {
  rtc::WriteLockScoped hold(&registry_);
  Join(1, 5);
  Join(1, 6);
  Join(2, 7);
  std::shared_ptr<FakeRoom> room1 = registry_.SeekRoom(1);
  registry_.RemoveRoom(1);
  EXPECT_FALSE(registry_.SeekRoom(1));
  EXPECT_FALSE(registry_.SeekUser(5));
  EXPECT_FALSE(registry_.SeekUser(6));
  EXPECT_TRUE(registry_.SeekUser(7));
  EXPECT_TRUE(room1->removed.empty());
  registry_.RemoveRoom(3);  // absent: nothing changes
  EXPECT_EQ(registry_.rooms().size(), 1u);
  EXPECT_EQ(registry_.users().size(), 1u);
}

TEST_F(RoomRegistryTest, RemoveUsersIfTakesExpiredUsersOutOfTheirRooms) {
  rtc::WriteLockScoped hold(&registry_);
  Join(2, 7);
  Join(1, 5);
  Join(1, 6);
  registry_.SeekUser(5)->expired = true;
  registry_.SeekUser(7)->expired = true;
  std::vector<uint64_t> visited;
  registry_.RemoveUsersIf([&](FakeChannel& channel) {
    visited.push_back(channel.user_id);
    return channel.expired;
  });
  EXPECT_EQ(visited, (std::vector<uint64_t>{5, 6, 7}));
  EXPECT_EQ(registry_.users().size(), 1u);
  EXPECT_TRUE(registry_.SeekUser(6));
  EXPECT_EQ(registry_.SeekRoom(1)->removed, std::vector<uint64_t>{5});
  EXPECT_EQ(registry_.SeekRoom(2)->removed, std::vector<uint64_t>{7});
}

TEST_F(RoomRegistryTest, RemoveInactiveRoomsKeepsActiveOnes) {
  rtc::WriteLockScoped hold(&registry_);
  registry_.CreateRoom(1)->inactive = true;
  registry_.CreateRoom(2);
  registry_.CreateRoom(3)->inactive = true;
  registry_.RemoveInactiveRooms();
  ASSERT_EQ(registry_.rooms().size(), 1u);
  EXPECT_TRUE(registry_.SeekRoom(2));
}

TEST_F(RoomRegistryTest, ReportBlocksReachOnlyMembersOfTheGivenRoom) {
  rtc::WriteLockScoped hold(&registry_);
  Join(1, 5);
  Join(1, 6);
  Join(2, 7);
  ParsedReceiverReport report;
  report.reporter_id = 5;
  report.blocks[0] = {6, 11};
  report.blocks[1] = {7, 12};
  report.blocks[2] = {8, 13};  // unknown user
  report.blocks[3] = {6, 14};  // past block_count: not read
  report.block_count = 3;
  report.declared_blocks = 4;
  registry_.RouteReportBlocks(report, 1);
  using Reports = std::vector<std::pair<uint64_t, uint32_t>>;
  EXPECT_EQ(registry_.SeekUser(6)->reports, (Reports{{5, 11}}));
  EXPECT_TRUE(registry_.SeekUser(7)->reports.empty());
  EXPECT_TRUE(registry_.SeekUser(5)->reports.empty());
}

TEST_F(RoomRegistryTest, ClearEmptiesBothMaps) {
  rtc::WriteLockScoped hold(&registry_);
  Join(1, 5);
  Join(2, 6);
  registry_.Clear();
  EXPECT_TRUE(registry_.rooms().empty());
  EXPECT_TRUE(registry_.users().empty());
}

}  // namespace
}  // namespace corvaneserver
