// Wraps media datagrams into FEC blocks as clients send them: k source
// datagrams (FEC header, 2-byte length, the media datagram) and r repair
// datagrams of the same code. For the client simulator, tests and benchmarks.
#ifndef FEC_BLOCK_BUILDER_H_
#define FEC_BLOCK_BUILDER_H_

#include <cstdint>
#include <vector>

namespace fec {

using Datagram = std::vector<uint8_t>;

// The k + r datagrams of the block at FEC sequence number `start` holding the
// k = media.size() media datagrams, in sequence order. With `pad_sources` the
// source datagrams are 1500 bytes long; otherwise they end with their media
// datagram (the symbol counts as zero past it either way). False, with *out
// untouched, when k or r is out of the codec's range or a media datagram is
// longer than 1478 bytes.
bool BuildFecBlock(uint64_t user_id, uint32_t start, const std::vector<Datagram>& media, int r,
                   bool pad_sources, std::vector<Datagram>* out);

}  // namespace fec

#endif  // FEC_BLOCK_BUILDER_H_
