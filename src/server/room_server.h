// What the forwarding and the mixing server share between Service and their
// own rooms: the registry of rooms and joined users, the room operations that
// act on a user by id, the head of datagram routing, receiver-report routing,
// the timers and the observers. Each server adds what differs: how a user
// joins and quits, its rooms' channels, and what it does with NACK and
// cascade datagrams.
//
// The registry is the server's top lock (read: packet routing and periodic
// sweeps; write: control operations and the inactivity sweep); each server's
// header writes the rest of its lock order.
#ifndef SERVER_ROOM_SERVER_H_
#define SERVER_ROOM_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "base/log_rate_limiter.h"
#include "base/logging.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "channel/channel_metrics.h"
#include "channel/receiver_report.h"
#include "channel/room_registry.h"
#include "packet/packet_metrics.h"
#include "packet/udp_packet.h"
#include "service/service.h"

namespace corvaneserver {

// `Room`, `Channel` and `Membership` as RoomRegistry takes them; `Channel`
// also has OnPacketReceived(packet), AllowSpeaker(bool) and MuteSpeaker(bool).
template <class Room, class Channel, class Membership>
class RoomServer : public Service {
 public:
  using Registry = RoomRegistry<Room, Channel, Membership>;

  // --- Room operations: service thread, take the write lock -------------------
  // Find the user by id alone; -1 when unknown.
  int AllowSpeaker(uint64_t, uint64_t user_id, bool allow) override EXCLUDES(registry_) {
    return registry_.ChangeUser(user_id,
                                [allow](Channel& channel) { return channel.AllowSpeaker(allow); });
  }
  int MuteSpeaker(uint64_t, uint64_t user_id, bool unmute) override EXCLUDES(registry_) {
    return registry_.ChangeUser(user_id,
                                [unmute](Channel& channel) { return channel.MuteSpeaker(unmute); });
  }
  // Drops the room and its users. Always 0.
  int RemoveRoom(uint64_t room_id) override EXCLUDES(registry_) {
    rtc::WriteLockScoped hold(&registry_);
    registry_.RemoveRoom(room_id);
    return 0;
  }
  // Neither server takes recorders: -1.
  int AddRecorder(uint64_t, uint64_t, uint64_t, std::string) override { return -1; }

  // --- Deliver workers, concurrently: take the read lock ----------------------
  // Routes one datagram by payload type: receiver reports to the speakers they
  // report on, NACKs and cascade datagrams to the server's handlers,
  // everything else to the channel of the user in its header.
  int OnPacketReceived(std::shared_ptr<UDPPacket> packet) final EXCLUDES(registry_) {
    // PacketAdmission drops such a datagram before it gets here; a caller that
    // hands one in directly is still refused without reading past it.
    if (!packet->HasMediaHeader()) {
      PacketMetrics::Get().dropped_too_short.Add();
      RTC_LOG_LIMITED(LS_ERROR, short_packet_log_)
          << "drop datagram from [" << packet->FromAddress().ToString() << "]: [" << packet->size()
          << "] bytes is shorter than its media header";
      return -1;
    }
    rtc::ReadLockScoped hold(&registry_);
    // A repair datagram's "payload type" is a repair byte: it is voice of the
    // user named in its FEC header, whatever that byte holds.
    if (!packet->IsFecRepair()) {
      const uint8_t payload_type = packet->PayloadType();
      if (IsRtcp(payload_type)) return OnRtcpReceived(*packet);
      if (IsNack(payload_type)) return OnNackReceived(packet);
      if (IsCascade(payload_type)) return OnCascadeReceived(packet);
    }
    std::shared_ptr<Channel> channel = registry_.SeekUser(packet->UserId());
    if (!channel) {
      ChannelMetrics::Get().dropped_unknown_user.Add();
      return -1;
    }
    return channel->OnPacketReceived(packet);
  }

  // --- Service thread -----------------------------------------------------------
  // Heartbeat, the 100 ms tick and the 30 s sweep; false for any other id, and
  // for the 100 ms tick when OnRedeliverTimer has no work.
  bool OnTimer(uint32_t id) override {
    switch (id) {
      case kTimerHeartbeat:
        SendHeartbeat();
        return true;
      case kTimerRedeliver:
        return OnRedeliverTimer();
      case kTimerInactive:
        OnInactiveTimer();
        return true;
      default:
        return false;
    }
  }

  // Observers for tests, tools and benchmarks; each takes the read lock.
  size_t RoomCount() const EXCLUDES(registry_) { return registry_.CountRooms(); }
  size_t UserCount() const EXCLUDES(registry_) { return registry_.CountUsers(); }
  std::shared_ptr<Room> FindRoom(uint64_t room_id) const EXCLUDES(registry_) {
    return registry_.FindRoom(room_id);
  }
  std::shared_ptr<Channel> FindUser(uint64_t user_id) const EXCLUDES(registry_) {
    return registry_.FindUser(user_id);
  }

 protected:
  // NACK and cascade datagrams: taken and dropped (0) unless the server
  // retransmits or cascades.
  virtual int OnNackReceived(const std::shared_ptr<UDPPacket>&) REQUIRES_SHARED(registry_) {
    return 0;
  }
  virtual int OnCascadeReceived(const std::shared_ptr<UDPPacket>&) REQUIRES_SHARED(registry_) {
    return 0;
  }
  // The 100 ms tick's work; false when the server has none (the framework
  // logs the id as invalid and re-arms it).
  virtual bool OnRedeliverTimer() { return false; }
  // The 30 s sweep's work.
  virtual void OnInactiveTimer() = 0;

  // The framework's gauge of rooms, and the channel counters on the first
  // scrape.
  void AddRoomMetrics() {
    ChannelMetrics::Get();
    AddMetricGauge("corvane_rooms", "Rooms on this server.", {},
                   [this] { return static_cast<double>(RoomCount()); });
  }

  // First in each server's destructor, while its own members still live: no
  // scrape reads the maps, no deliver worker is inside OnPacketReceived, then
  // users go, then rooms, as their owners let go in that order.
  void StopAndClear() EXCLUDES(registry_) {
    RemoveMetrics();
    Shutdown();
    rtc::WriteLockScoped hold(&registry_);
    registry_.Clear();
  }

  // The rooms and the joined members, and the lock that guards both maps and
  // every room's member map (the analysis cannot name a lock of another
  // object, so the rooms say it in prose).
  mutable Registry registry_;

 private:
  // A receiver report: each block to the speaker it names, when that speaker
  // is in the reporter's room.
  int OnRtcpReceived(const UDPPacket& packet) REQUIRES_SHARED(registry_) {
    ParsedReceiverReport report;
    if (!ReadReceiverReport(packet, &short_report_log_, &report)) {
      ChannelMetrics::Get().dropped_malformed.Add();
      return -1;
    }
    // Only a member can report on the speakers of its own room: samples from
    // made-up reporter ids would grow without bound and drag the average down.
    // A channel whose room is gone reports on nobody.
    const std::shared_ptr<Channel> reporter = registry_.SeekUser(report.reporter_id);
    const uint64_t reporter_room = reporter ? reporter->RoomId() : 0;
    if (reporter_room == 0) return 0;
    registry_.RouteReportBlocks(report, reporter_room);
    return 0;
  }

  // One per kind of malformed datagram.
  rtc::LogRateLimiter short_packet_log_{rtc::kPeerLogIntervalMs};
  rtc::LogRateLimiter short_report_log_{rtc::kPeerLogIntervalMs};
};

}  // namespace corvaneserver

#endif  // SERVER_ROOM_SERVER_H_
