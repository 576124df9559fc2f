#include "packet/packet_admission.h"

#include <utility>

#include "base/logging.h"
#include "base/time_utils.h"
#include "packet/media_constants.h"
#include "packet/packet_metrics.h"

namespace corvaneserver {

PacketAdmission::PacketAdmission(unsigned int statistics_interval_ms, int64_t max_delay_ms,
                                 const PacketCallback& deliver)
    : deliver_(deliver),
      max_delay_ms_(max_delay_ms > 0 ? max_delay_ms : 0),
      statistics_(std::make_unique<PacketStatistics>(statistics_interval_ms)) {}

PacketAdmission::PacketAdmission(std::shared_ptr<SharedSourceTable> shared, int64_t max_delay_ms,
                                 const PacketCallback& deliver)
    : deliver_(deliver),
      max_delay_ms_(max_delay_ms > 0 ? max_delay_ms : 0),
      shared_(std::move(shared)) {}

int PacketAdmission::AdmitSource(const std::shared_ptr<UDPPacket>& packet) {
  return shared_ ? shared_->OnPacketReceived(packet) : statistics_->OnPacketReceived(packet);
}

bool PacketAdmission::ExemptFromAgeLimit(const UDPPacket& packet) {
  // Repair bytes sit where a plain datagram has its payload type.
  if (packet.IsFecRepair()) return false;
  const uint8_t payload_type = packet.PayloadType();
  // An acknowledgement dropped here would have the server resend what its
  // receiver already has; the kinds the server keeps and resends would come
  // back anyway. The sender's acknowledgement-request bit counts for nothing:
  // any sender can set it on all of its voice.
  return IsAckPacket(payload_type) || payload_type == kMusicPayloadType ||
         payload_type == kRetainedPayloadType;
}

void PacketAdmission::LogSettings(unsigned int statistics_interval_ms) {
  if (statistics_interval_ms == 0) {
    RTC_LOG(LS_WARNING) << "packet statistics interval is 0, per-source packet statistics "
                           "reports are disabled";
  }
}

bool PacketAdmission::TooLate(const UDPPacket& packet) {
  // Only datagrams read from a socket carry an arrival time.
  if (max_delay_ms_ == 0 || packet.ReceiveTime() == 0) return false;
  const int64_t waited_ms = rtc::TimeMillis() - packet.ArrivalTime();
  if (waited_ms <= max_delay_ms_) return false;
  PacketMetrics::Get().dropped_late.Add();
  RTC_LOG_LIMITED(LS_WARNING, late_log_)
      << "drop packet from [" << packet.FromAddress().ToString() << "]: it waited " << waited_ms
      << " ms to be handled, more than " << max_delay_ms_ << " ms";
  return true;
}

int PacketAdmission::Handle(std::shared_ptr<UDPPacket> packet) {
  // Datagrams without a source (made inside the server) skip admission.
  const bool from_outside = !packet->FromAddress().IsNil();
  if (from_outside && AdmitSource(packet) != 0) return -1;

  // Every handler routes on the payload type and user id: a datagram too short
  // to hold them goes no further.
  if (!packet->HasMediaHeader()) {
    PacketMetrics::Get().dropped_too_short.Add();
    RTC_LOG_LIMITED(LS_WARNING, short_packet_log_)
        << "drop packet of " << packet->size() << " bytes from ["
        << packet->FromAddress().ToString() << "]: shorter than its media header";
    return -1;
  }
  // Shedding load means not forwarding stale voice. A probe was answered
  // above; what the server must not lose is exempt.
  if (from_outside && !ExemptFromAgeLimit(*packet) && TooLate(*packet)) return -1;
  return deliver_(std::move(packet));
}

}  // namespace corvaneserver
