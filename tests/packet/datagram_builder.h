// Builds media datagrams byte by byte for tests, independently of UDPPacket.
#ifndef TESTS_PACKET_DATAGRAM_BUILDER_H_
#define TESTS_PACKET_DATAGRAM_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace corvaneserver {
namespace test {

inline void AppendBE(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// flags, payload type, sequence number, id, then the token header (when
// token_header >= 0) and the token bytes, then the payload.
inline std::vector<uint8_t> MediaDatagram(uint8_t flags, uint8_t payload_type, uint32_t sequence,
                                          uint64_t id, int token_header = -1,
                                          const std::string& token = "",
                                          const std::string& payload = "") {
  std::vector<uint8_t> out;
  out.push_back(flags);
  out.push_back(payload_type);
  AppendBE(&out, sequence, 4);
  AppendBE(&out, id, 8);
  if (token_header >= 0) AppendBE(&out, static_cast<uint16_t>(token_header), 2);
  out.insert(out.end(), token.begin(), token.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// A token header announcing a token of `length` bytes.
inline int TokenHeader(size_t length) { return static_cast<int>(0x0800 | (length & 0x7FF)); }

// A FEC datagram: byte 1 'P', the user id at 2, ten header bytes, the wrapped
// length at 20, then the wrapped datagram.
inline std::vector<uint8_t> FecDatagram(uint64_t user_id, const std::vector<uint8_t>& wrapped) {
  std::vector<uint8_t> out;
  out.push_back(0x00);
  out.push_back(0x50);
  AppendBE(&out, user_id, 8);
  for (int i = 0; i < 10; ++i) out.push_back(static_cast<uint8_t>(0xE0 + i));
  AppendBE(&out, wrapped.size(), 2);
  out.insert(out.end(), wrapped.begin(), wrapped.end());
  return out;
}

// The 12-byte probe: "COr" and nine bytes of the client's choosing.
inline std::vector<uint8_t> DetectDatagram(uint8_t fill = 0x5A, size_t size = 12) {
  std::vector<uint8_t> out = {0x43, 0x4F, 0x72};
  for (size_t i = 3; i < size; ++i) out.push_back(static_cast<uint8_t>(fill + i));
  return out;
}

}  // namespace test
}  // namespace corvaneserver

#endif  // TESTS_PACKET_DATAGRAM_BUILDER_H_
