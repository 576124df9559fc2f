// What happens to a received datagram before the server sees it: detect
// packets are answered, unknown sources refused, datagrams too short for a
// media header dropped, and those that waited too long dropped unless the
// server must not lose them; the rest go to the server.
//
// Not thread-safe: each thread that handles datagrams (a receive thread when
// handling inline, a deliver worker otherwise) owns one. A deliver worker's
// admission keeps its own sources (a source always reaches the same worker);
// the receive threads' admissions share one SharedSourceTable, since a source
// may send to more than one listened address, each read by other threads.
#ifndef PACKET_PACKET_ADMISSION_H_
#define PACKET_PACKET_ADMISSION_H_

#include <cstdint>
#include <memory>

#include "base/log_rate_limiter.h"
#include "packet/packet_callback.h"
#include "packet/packet_statistics.h"
#include "packet/shared_source_table.h"
#include "packet/udp_packet.h"

namespace corvaneserver {

class PacketAdmission {
 public:
  // statistics_interval_ms: per-source report interval, 0 for none.
  // max_delay_ms: a datagram that arrived longer ago than this is dropped
  // (counted, and logged at a limited rate) unless ExemptFromAgeLimit; 0 for
  // no limit.
  PacketAdmission(unsigned int statistics_interval_ms, int64_t max_delay_ms,
                  const PacketCallback& deliver);
  // The same with the known sources in `shared`, a table that other
  // admissions (of other threads) use too.
  PacketAdmission(std::shared_ptr<SharedSourceTable> shared, int64_t max_delay_ms,
                  const PacketCallback& deliver);
  PacketAdmission(const PacketAdmission&) = delete;
  PacketAdmission& operator=(const PacketAdmission&) = delete;

  // Admits one datagram and hands it to the server; -1 when it went no further.
  int Handle(std::shared_ptr<UDPPacket> packet);

  // Warns when the statistics interval turns the per-source reports off; once,
  // by whoever builds the admissions.
  static void LogSettings(unsigned int statistics_interval_ms);

  // Acknowledgements and the payload types the server keeps for resending
  // (music, retained): never dropped for age. Whether the sender asks for an
  // acknowledgement plays no part.
  static bool ExemptFromAgeLimit(const UDPPacket& packet);

 private:
  // True (counted and logged) when the datagram waited past the limit.
  bool TooLate(const UDPPacket& packet);

  // The known sources: this admission's own, or a table shared with others.
  int AdmitSource(const std::shared_ptr<UDPPacket>& packet);

  const PacketCallback deliver_;
  const int64_t max_delay_ms_;
  const std::unique_ptr<PacketStatistics> statistics_;  // null when shared_ is set
  const std::shared_ptr<SharedSourceTable> shared_;
  rtc::LogRateLimiter short_packet_log_;
  rtc::LogRateLimiter late_log_;
};

}  // namespace corvaneserver

#endif  // PACKET_PACKET_ADMISSION_H_
