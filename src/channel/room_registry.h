// A server's two registries: its rooms by room id and its joined users by user
// id, with the operations that keep them in step (a user is in one room at a
// time; a second join moves it). Shared by the forwarding and the mixing
// server, which differ only in their room and channel types.
//
// The registry is its own reader/writer lock: the owner takes it with
// rtc::WriteLockScoped / rtc::ReadLockScoped around every call, and can name it
// in ACQUIRED_BEFORE and REQUIRES like any other lock. Nothing here takes it:
// each operation says which side it needs, and the lock is not recursive.
#ifndef CHANNEL_ROOM_REGISTRY_H_
#define CHANNEL_ROOM_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>

#include "base/logging.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "channel/receiver_report.h"

namespace corvaneserver {

// A room without membership change for this long may be removed once it is
// empty (a forwarding room: or holds only a cascader); each room's
// IsInactive() applies it.
constexpr int64_t kRoomInactiveMs = 600000;

// `Room` has `IsInactive()`; `Channel` has `RoomId()` and
// `OnRReportReceived(reporter_id, value)`. `Membership` says how a room takes a
// member in and lets one go, as each kind of room names it:
//   static int Add(Room& room, std::shared_ptr<Channel> channel);
//   static int Remove(Room& room, uint64_t user_id);
template <class Room, class Channel, class Membership>
class RoomRegistry : public rtc::RWLock {
 public:
  using RoomMap = std::map<uint64_t, std::shared_ptr<Room>>;
  using UserMap = std::map<uint64_t, std::shared_ptr<Channel>>;

  RoomRegistry() = default;
  RoomRegistry(const RoomRegistry&) = delete;
  RoomRegistry& operator=(const RoomRegistry&) = delete;

  // The room under `room_id`; when there is none, a new Room(room_id,
  // room_args...) is entered and returned. Never empty.
  template <class... RoomArgs>
  std::shared_ptr<Room> CreateRoom(uint64_t room_id, RoomArgs&&... room_args) REQUIRES(this) {
    std::shared_ptr<Room> room = SeekRoom(room_id);
    if (!room) {
      room = std::make_shared<Room>(room_id, std::forward<RoomArgs>(room_args)...);
      rooms_.emplace(room_id, room);
    }
    return room;
  }

  // The stored room or channel, or an empty pointer.
  std::shared_ptr<Room> SeekRoom(uint64_t room_id) const REQUIRES_SHARED(this) {
    auto it = rooms_.find(room_id);
    return it == rooms_.end() ? nullptr : it->second;
  }
  std::shared_ptr<Channel> SeekUser(uint64_t user_id) const REQUIRES_SHARED(this) {
    auto it = users_.find(user_id);
    return it == users_.end() ? nullptr : it->second;
  }

  // Observers that take the read lock themselves, for callers outside it.
  size_t CountRooms() EXCLUDES(this) {
    rtc::ReadLockScoped hold(this);
    return rooms_.size();
  }
  size_t CountUsers() EXCLUDES(this) {
    rtc::ReadLockScoped hold(this);
    return users_.size();
  }
  std::shared_ptr<Room> FindRoom(uint64_t room_id) EXCLUDES(this) {
    rtc::ReadLockScoped hold(this);
    return SeekRoom(room_id);
  }
  std::shared_ptr<Channel> FindUser(uint64_t user_id) EXCLUDES(this) {
    rtc::ReadLockScoped hold(this);
    return SeekUser(user_id);
  }

  // Under the write lock: `change(channel)` on the channel of `user_id` and
  // its result, or -1 when there is no such user.
  template <class Change>
  int ChangeUser(uint64_t user_id, Change change) EXCLUDES(this) {
    rtc::WriteLockScoped hold(this);
    std::shared_ptr<Channel> channel = SeekUser(user_id);
    return channel ? change(*channel) : -1;
  }

  // Erases `user_id` from the user map whatever room it is in, then takes it
  // out of the room `room_id` when that room exists: the room's result, else 0.
  int RemoveUser(uint64_t room_id, uint64_t user_id) REQUIRES(this) {
    users_.erase(user_id);
    std::shared_ptr<Room> room = SeekRoom(room_id);
    return room ? Membership::Remove(*room, user_id) : 0;
  }

  // Gives `user_id` a fresh channel in `room`. A user that already has one, in
  // this room or another, leaves that room first: `on_transfer(old_room_id)`
  // is called (the owner's log line), then RemoveUser, so the old channel is
  // gone before `make_channel()` makes the new one. The new channel enters the
  // user map and the room; returns the room's result.
  template <class OnTransfer, class MakeChannel>
  int JoinRoom(const std::shared_ptr<Room>& room, uint64_t user_id, OnTransfer&& on_transfer,
               MakeChannel&& make_channel) REQUIRES(this) {
    if (std::shared_ptr<Channel> existing = SeekUser(user_id)) {
      const uint64_t old_room_id = existing->RoomId();
      existing.reset();
      on_transfer(old_room_id);
      RemoveUser(old_room_id, user_id);
    }
    std::shared_ptr<Channel> channel = make_channel();
    users_[user_id] = channel;
    return Membership::Add(*room, std::move(channel));
  }

  // Erases every user whose channel names `room_id`, then the room itself
  // (nothing when absent). The room is not told: it goes with its members.
  void RemoveRoom(uint64_t room_id) REQUIRES(this) {
    for (auto it = users_.begin(); it != users_.end();) {
      if (it->second->RoomId() == room_id) {
        it = users_.erase(it);
      } else {
        ++it;
      }
    }
    rooms_.erase(room_id);
  }

  // Walks the users in ascending id; each one for which `expired(channel)`
  // holds leaves the room its channel names and the user map.
  template <class Predicate>
  void RemoveUsersIf(Predicate&& expired) REQUIRES(this) {
    for (auto it = users_.begin(); it != users_.end();) {
      if (!expired(*it->second)) {
        ++it;
        continue;
      }
      if (std::shared_ptr<Room> room = SeekRoom(it->second->RoomId())) {
        Membership::Remove(*room, it->first);
      }
      it = users_.erase(it);
    }
  }

  // Walks the rooms in ascending id and erases each inactive one, logged.
  void RemoveInactiveRooms() REQUIRES(this) {
    for (auto it = rooms_.begin(); it != rooms_.end();) {
      if (it->second->IsInactive()) {
        RTC_LOG(LS_WARNING) << "remove room [" << it->first << "] for it is inactive";
        it = rooms_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Hands each block of a receiver report to the channel of the user it names,
  // when that channel is in `room_id` (the reporter's room); other blocks are
  // skipped.
  void RouteReportBlocks(const ParsedReceiverReport& report, uint64_t room_id) const
      REQUIRES_SHARED(this) {
    for (size_t i = 0; i < report.block_count; ++i) {
      const ReceiverReportBlock& block = report.blocks[i];
      std::shared_ptr<Channel> channel = SeekUser(block.user_id);
      if (channel && channel->RoomId() == room_id) {
        channel->OnRReportReceived(report.reporter_id, block.value);
      }
    }
  }

  // Users first, then rooms: a room's members go before the room.
  void Clear() REQUIRES(this) {
    users_.clear();
    rooms_.clear();
  }

  // For walks in ascending id; valid while the lock is held.
  const RoomMap& rooms() const REQUIRES_SHARED(this) { return rooms_; }
  const UserMap& users() const REQUIRES_SHARED(this) { return users_; }

 private:
  RoomMap rooms_ GUARDED_BY(this);
  UserMap users_ GUARDED_BY(this);
};

}  // namespace corvaneserver

#endif  // CHANNEL_ROOM_REGISTRY_H_
