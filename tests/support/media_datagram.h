// Builds media, FEC and probe datagrams byte by byte for tests, independently
// of UDPPacket, so that a test states the wire bytes it expects.
#ifndef TESTS_SUPPORT_MEDIA_DATAGRAM_H_
#define TESTS_SUPPORT_MEDIA_DATAGRAM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvaneserver {
namespace testing_support {

using Bytes = std::vector<uint8_t>;

// Flags of a client's media datagram, without and with the request for an
// acknowledgement.
constexpr uint8_t kNoAck = 0xA0;
constexpr uint8_t kAskAck = 0xB0;

inline void AppendBE(Bytes* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A token header announcing a token of `length` bytes.
inline int TokenHeader(size_t length) { return static_cast<int>(0x0800 | (length & 0x7FF)); }

// flags, payload type, sequence number, id, then the token header (when
// token_header >= 0) and the token bytes, then the payload.
[[gnu::noinline]] inline Bytes MediaDatagramOf(uint8_t flags, uint8_t payload_type,
                                               uint32_t sequence, uint64_t id, int token_header,
                                               const std::string& token, const uint8_t* payload,
                                               size_t payload_size) {
  // Not inlined: g++ 12 at -O2 reports false out-of-bounds copies once the
  // sizes of a call site are propagated into it.
  Bytes out;
  out.reserve(16 + token.size() + payload_size);
  out.push_back(flags);
  out.push_back(payload_type);
  AppendBE(&out, sequence, 4);
  AppendBE(&out, id, 8);
  if (token_header >= 0) AppendBE(&out, static_cast<uint16_t>(token_header), 2);
  out.insert(out.end(), token.begin(), token.end());
  out.insert(out.end(), payload, payload + payload_size);
  return out;
}

inline Bytes MediaDatagram(uint8_t flags, uint8_t payload_type, uint32_t sequence, uint64_t id,
                           int token_header = -1, const std::string& token = "",
                           const std::string& payload = "") {
  return MediaDatagramOf(flags, payload_type, sequence, id, token_header, token,
                         reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
}

// A media datagram as a client sends it: the token header is always there,
// zero when `token` is empty.
inline Bytes MakeMedia(uint8_t flags, uint8_t payload_type, uint32_t seq, uint64_t user_id,
                       const std::string& token = "", const Bytes& payload = {}) {
  return MediaDatagramOf(flags, payload_type, seq, user_id,
                         token.empty() ? 0 : TokenHeader(token.size()), token, payload.data(),
                         payload.size());
}

// A FEC datagram: byte 1 'P', the user id at 2, ten header bytes (a source
// datagram: its number is its block's start), the wrapped length at 20, then
// the wrapped datagram.
inline Bytes FecDatagram(uint64_t user_id, const Bytes& wrapped) {
  Bytes out;
  out.push_back(0x00);
  out.push_back(0x50);
  AppendBE(&out, user_id, 8);
  for (int i = 0; i < 10; ++i) out.push_back(static_cast<uint8_t>(0xE0 + (i < 8 ? i % 4 : i)));
  AppendBE(&out, wrapped.size(), 2);
  out.insert(out.end(), wrapped.begin(), wrapped.end());
  return out;
}

// A receiver report as a listener sends it: flags 0x80 with the block count
// (`declared` when it is 0 or more), payload type 200, four zero bytes, the
// reporter's id, then a block of (speaker id, counter) for each of `blocks`.
inline Bytes ReceiverReportDatagram(uint64_t reporter,
                                    const std::vector<std::pair<uint64_t, uint32_t>>& blocks,
                                    int declared = -1) {
  const size_t count = declared >= 0 ? static_cast<size_t>(declared) : blocks.size();
  Bytes out = MediaDatagram(static_cast<uint8_t>(0x80 | count), 200, 0, reporter);
  for (const auto& [user_id, value] : blocks) {
    AppendBE(&out, user_id, 8);
    AppendBE(&out, value, 4);
  }
  return out;
}

// The 12-byte probe: "COr" and nine bytes of the client's choosing.
inline Bytes DetectDatagram(uint8_t fill = 0x5A, size_t size = 12) {
  Bytes out = {0x43, 0x4F, 0x72};
  for (size_t i = 3; i < size; ++i) out.push_back(static_cast<uint8_t>(fill + i));
  return out;
}

}  // namespace testing_support
}  // namespace corvaneserver

#endif  // TESTS_SUPPORT_MEDIA_DATAGRAM_H_
