// FEC datagrams for the tests of both servers: a source datagram wraps a whole
// media datagram behind the 22-byte FEC header, a repair datagram carries
// arbitrary repair bytes there.
#ifndef TESTS_SUPPORT_FEC_TEST_DATAGRAM_H_
#define TESTS_SUPPORT_FEC_TEST_DATAGRAM_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "packet/fec_header.h"
#include "packet/udp_packet.h"

#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace testing_support {

// The FEC header of the datagram numbered `fec_seq` in the block that starts
// at `block_start` with `k` source datagrams, then `body`.
// Not inlined: g++ 12 at -O2 reports false out-of-bounds copies once the sizes
// of a call site are propagated into it.
[[gnu::noinline]] inline std::vector<uint8_t> MakeFec(uint64_t user_id, uint32_t fec_seq,
                                                      uint32_t block_start, uint8_t k,
                                                      const std::vector<uint8_t>& body) {
  std::vector<uint8_t> bytes(kFecHeaderSize + body.size(), 0);
  bytes[kMediaFlagsOffset] = 0xA0;
  bytes[kMediaPayloadTypeOffset] = kFecMarker;
  FecHeader header;
  header.user_id = user_id;
  header.sequence = fec_seq;
  header.start = block_start;
  header.k = k;
  header.r = 1;
  WriteFecHeader(header, bytes.data());
  rtc::SetBE16(bytes.data() + kFecSymbolOffset, static_cast<uint16_t>(body.size()));
  if (!body.empty()) std::memcpy(bytes.data() + kFecHeaderSize, body.data(), body.size());
  return bytes;
}

// A source datagram of a block of one source datagram numbered `fec_seq`.
inline std::vector<uint8_t> MakeFecSource(uint64_t user_id, uint32_t fec_seq,
                                          const std::vector<uint8_t>& media) {
  return MakeFec(user_id, fec_seq, fec_seq, 1, media);
}

// A repair datagram of the block of one source datagram that starts just
// before `fec_seq`.
inline std::vector<uint8_t> MakeFecRepair(uint64_t user_id, uint32_t fec_seq,
                                          const std::vector<uint8_t>& repair) {
  return MakeFec(user_id, fec_seq, fec_seq - 1, 1, repair);
}

// Repair datagrams of `user` whose repair bytes look like media headers of
// every kind that a server routes, acknowledges, keeps or relays (receiver
// report, NACK, cascade, acknowledgements, music, retained, authentication,
// plain voice), with and without the ack bit, carrying `token`.
inline std::vector<std::vector<uint8_t>> LookAlikeRepairs(uint64_t user, const std::string& token) {
  std::vector<std::vector<uint8_t>> repairs;
  uint32_t seq = 100;
  const uint8_t types[] = {kReceiverReportPayloadType,
                           kNackPayloadType,
                           kCascadePayloadType,
                           0x7F,
                           0x80,
                           0x81,
                           0x82,
                           0x62,
                           0x21,
                           0x20};
  for (const uint8_t flags : {uint8_t{0xA0}, uint8_t{0xB0}}) {
    for (const uint8_t type : types) {
      // The low bits of the flags make a report's block count too.
      std::vector<uint8_t> inner = MakeMedia(static_cast<uint8_t>(flags | 0x0F), type, seq, user,
                                             token, std::vector<uint8_t>(20, 0x33));
      repairs.push_back(MakeFecRepair(user, seq++, inner));
    }
  }
  return repairs;
}

}  // namespace testing_support
}  // namespace corvaneserver

#endif  // TESTS_SUPPORT_FEC_TEST_DATAGRAM_H_
