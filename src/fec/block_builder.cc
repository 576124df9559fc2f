#include "fec/block_builder.h"

#include <cstring>
#include <utility>

#include "base/byte_io.h"
#include "fec/fec_packet.h"
#include "fec/reed_solomon.h"

namespace fec {

namespace {

void WriteHeader(uint64_t user_id, uint32_t sequence, uint32_t start, int k, int r,
                 uint8_t* datagram) {
  datagram[corvaneserver::kMediaFlagsOffset] = 0xA0;
  datagram[corvaneserver::kMediaPayloadTypeOffset] = kFecMarker;
  corvaneserver::WriteFecHeader(
      {user_id, sequence, start, static_cast<uint8_t>(k), static_cast<uint8_t>(r)}, datagram);
}

}  // namespace

bool BuildFecBlock(uint64_t user_id, uint32_t start, const std::vector<Datagram>& media, int r,
                   bool pad_sources, std::vector<Datagram>* out) {
  const int k = static_cast<int>(media.size());
  auto codec = ReedSolomon::Get(k, r);
  if (!codec) return false;
  for (const Datagram& m : media) {
    if (m.size() > kMaxRtpSize) return false;
  }
  std::vector<Datagram> block(k + r, Datagram(kFecPacketCapacity, 0));
  std::vector<const uint8_t*> sources(k);
  std::vector<uint8_t*> repairs(r);
  for (int i = 0; i < k; ++i) {
    uint8_t* datagram = block[i].data();
    WriteHeader(user_id, start + i, start, k, r, datagram);
    rtc::SetBE16(datagram + kSymbolOffset, static_cast<uint16_t>(media[i].size()));
    if (!media[i].empty()) {
      std::memcpy(datagram + kFecHeaderSize, media[i].data(), media[i].size());
    }
    sources[i] = datagram + kSymbolOffset;
  }
  for (int j = 0; j < r; ++j) {
    WriteHeader(user_id, start + k + j, start, k, r, block[k + j].data());
    repairs[j] = block[k + j].data() + kSymbolOffset;
  }
  codec->Encode(sources.data(), repairs.data(), kSymbolSize);
  if (!pad_sources) {
    for (int i = 0; i < k; ++i) block[i].resize(kFecHeaderSize + media[i].size());
  }
  *out = std::move(block);
  return true;
}

}  // namespace fec
